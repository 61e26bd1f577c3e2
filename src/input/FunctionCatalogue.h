#pragma once
// The 79 functions of the arranger: one row per function, carrying its id (the
// row's place), the names a display and a menu show, its help text and what
// executing it does. Console, config.txt, triggers, menus and chord
// recognition all reach a function through CLiveInput::executeFunction.
#include <cstdint>

class CLiveInput;
struct FunctionInfo;

// What a function does; `action` is 0 (controller, program change, menu or
// internal), 1 (key press) or 2 (key release, seen only by the functions that
// act on it).
using FunctionEffect = void (*)(CLiveInput& input, const FunctionInfo& row, int action);

struct FunctionInfo {
    const char* shortName;
    const char* menuName;
    const char* helpText;
    FunctionEffect effect = nullptr; // nullptr: the function does nothing
    int32_t argument = 0;            // what the effect needs: a step, a group, a method
    const char* partName = nullptr;  // the part a variation function selects
    bool actsOnRelease = false;      // a key release reaches the effect too
    int32_t step = 0;                // the size and direction of a step
};

constexpr int kFunctionCount = 79;
// Ids with a role outside their own row.
enum FunctionId : int {
    kFnStartStop = 4,
    kFnMainA = 6,
    kFnMainB = 10,
    kFnMainC = 14,
    kFnMainD = 17,
    kFnExitMenu = 57,
    kFnAttention = 62,
};
// Ids 100-599 select preset id - 100.
constexpr int kPresetFunctionBase = 100;
constexpr int kPresetFunctionEnd = 600;

// The catalogue, in id order.
const FunctionInfo* functionCatalogue();
