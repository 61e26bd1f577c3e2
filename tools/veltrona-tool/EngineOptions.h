#pragma once
// The engine settings a musician would have made on the arranger, given to
// the subcommands that run style events through an engine (transform,
// render), and the number and chord texts they take.
#include <string>
#include <string_view>

class CKvSeq;
struct Chord;

namespace vtntool {

// The options as shown in a usage line.
extern const char* const kEngineOptionsUsage;

// A decimal number within [lo, hi], at most five digits.
bool parseNumber(std::string_view text, int lo, int hi, int& value);
// Only "none" means no chord; any other text must be a chord symbol whose
// root, type and any bass are all understood.
bool parseChord(std::string_view symbol, Chord& chord);

enum class OptionResult { Applied, Unknown, BadValue };
// Applies one engine option and its value.
OptionResult applyEngineOption(CKvSeq& engine, const std::string& option, const std::string& value);

} // namespace vtntool
