#pragma once
// What the board allows the arranger for keeping time: real-time priority
// for its input and player threads, and memory locked against page faults.
#include <string>

namespace vtn {

// Locks the process's memory, present and future, where the system allows
// it, and finds out whether threads may take real-time priority. Empty when
// both are allowed; otherwise the one line that says what is missing.
// Call it once, before the threads start, so their stacks are locked too.
std::string prepareRealTime();

} // namespace vtn
