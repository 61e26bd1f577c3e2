// veltrona-tool: checks and conversions for musicians and for the test suite.
// The subcommands live in their own source files and register themselves in
// the table below; this file only dispatches.
#include "Command.h"

#include "base/FileReader.h"
#include "base/MessageSink.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace vtntool {

std::vector<ToolCommand>& commandTable()
{
    static std::vector<ToolCommand> table;
    return table;
}

int refuse(const std::string& message)
{
    std::fprintf(stderr, "veltrona-tool: %s\n", message.c_str());
    return 1;
}

bool readWholeFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>& data, std::string& why)
{
    const int result = vtn::readWholeFile(path, maxBytes, data);
    why = vtn::fileReadError(result, maxBytes);
    return result == vtn::kFileRead;
}

bool writeWholeFile(const std::string& path, const std::vector<uint8_t>& data, std::string& why)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        why = std::strerror(errno);
        return false;
    }
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) {
        why = "write error";
        return false;
    }
    return true;
}

int runAsMain(int (*entry)(int, char**), const char* name, const std::vector<std::string>& args)
{
    std::vector<std::string> words{name};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return entry(static_cast<int>(words.size()), argv.data());
}

int printDocument(const Document& document)
{
    std::fputs(document.dump(-1, ' ', true, Document::error_handler_t::replace).c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace vtntool

namespace {

int usage()
{
    std::string line = "usage: veltrona-tool";
    const char* sep = " ";
    for (const auto& c : vtntool::commandTable()) {
        line += sep;
        line += c.name;
        if (*c.arguments) line += std::string(" ") + c.arguments;
        sep = " | ";
    }
    return vtntool::refuse(line);
}

} // namespace

int main(int argc, char** argv)
{
    // Standard output carries the JSON only; the readers' messages go beside it.
    vtn::setMessageStream(stderr);
    if (argc < 2) return usage();
    const std::string name = argv[1];
    for (const auto& c : vtntool::commandTable()) {
        if (name != c.name) continue;
        const int given = argc - 2;
        if (c.argumentCount >= 0 ? given != c.argumentCount : given < 1) return usage();
        return c.run(std::vector<std::string>(argv + 2, argv + argc));
    }
    return usage();
}
