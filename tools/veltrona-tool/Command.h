#pragma once
// The tool's subcommands. Each source file of the tool registers its own
// subcommands with a static ToolCommandRegistration; main() looks the first
// argument up in the table they fill.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

class CMidiSequence;

namespace vtntool {

struct ToolCommand {
    const char* name;
    const char* arguments; // shown in the usage line, e.g. "FILE"
    int argumentCount;     // number of arguments after the subcommand name; -1: one or more
    // Prints one JSON document on standard output and returns 0, or prints
    // one line on standard error and returns 1.
    int (*run)(const std::vector<std::string>& args);
};

std::vector<ToolCommand>& commandTable();

struct ToolCommandRegistration {
    explicit ToolCommandRegistration(const ToolCommand& command) { commandTable().push_back(command); }
};

// Runs a subcommand written as a classic main (argv[0] = its name).
int runAsMain(int (*entry)(int, char**), const char* name, const std::vector<std::string>& args);

// One line on standard error; returns the exit status 1.
int refuse(const std::string& message);

// The whole of a regular file of at most maxBytes; false (with `why` set)
// when it cannot be read or is refused.
bool readWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& data, std::string& why);
bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& data, std::string& why);

// Reads a Standard MIDI File as an arranger without settings would; false
// (the one line printed, `status` the exit status) when it is refused.
bool loadSong(const std::string& path, CMidiSequence& song, int& status);

// Keys stay in the order they are set, so a document reads like its source.
using Document = nlohmann::ordered_json;

// Writes the document as one line of ASCII and a newline to standard output;
// returns 0. Texts of bytes go in through jsonbytes::toUtf8.
int printDocument(const Document& document);

} // namespace vtntool
