#pragma once
// What the board allows the arranger for keeping time: real-time priority
// for its input and player threads, and memory locked against page faults.
#include <cstddef>
#include <pthread.h>
#include <string>

namespace vtn {

// Stack sizes of the arranger's own threads. With memory locked every byte
// of a stack is resident, so the system's default (8 MiB each) is not used.
// The whole demo, input, players and start-up together, runs in 48 KiB of
// stack (checked with `ulimit -s`); these leave a wide margin. The input
// thread runs key commands, which may load files and list folders.
constexpr size_t kInputThreadStack = 512 * 1024;
constexpr size_t kPlayerThreadStack = 256 * 1024;
constexpr size_t kSaverThreadStack = 256 * 1024;

// A thread attribute with the given stack size; destroy it after use.
void initThreadAttributes(pthread_attr_t& attributes, size_t stackBytes);

// Locks the process's memory, present and future, where the system allows
// it, and finds out whether threads may take real-time priority. Empty when
// both are allowed; otherwise the one line that says what is missing.
// Call it once, before the threads start, so their stacks are locked too.
std::string prepareRealTime();

} // namespace vtn
