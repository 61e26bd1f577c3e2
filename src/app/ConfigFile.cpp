// config.txt: the musician's hand-written set-up, read twice at start-up.
#include "app/CApplication.h"
#include "base/FileReader.h"
#include "base/MessageSink.h"
#include "base/Text.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"

#include <algorithm>

using vtn::startsWith;
using vtn::toLower;
using vtn::trim;

namespace {
// Longest line taken from config.txt; the rest of a longer line is dropped.
constexpr size_t kMaxConfigLine = 4096;
// A hand-written set-up is a few lines; anything larger is no config.txt.
constexpr size_t kMaxConfigBytes = size_t{1} << 20;

std::string afterColon(std::string_view s)
{
    const size_t p = s.find(':');
    return p == std::string_view::npos ? std::string() : trim(s.substr(p + 1));
}

// The remote display's lines are taken by the first pass (the port) and by
// the display program itself (the PIN).
bool isFirstPassEntry(std::string_view l)
{
    return startsWith(l, "midiin:") || startsWith(l, "midiout:") || startsWith(l, "stylefiles:") ||
           startsWith(l, "midifiles:") || startsWith(l, "remote:") || startsWith(l, "remotepin:");
}
} // namespace

void CApplication::stripComment(std::string& line)
{
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = trim(line);
}

bool CApplication::readConfigLines(std::vector<std::string>& lines, bool report)
{
    std::vector<uint8_t> data;
    const int result = vtn::readWholeFile("config.txt", kMaxConfigBytes, data);
    if (result == vtn::kFileMissing || result == vtn::kFileReadError) {
        vtn::printLine("Unable to open file config.txt");
        return false;
    }
    if (result != vtn::kFileRead) {
        if (report) vtn::printLine("config.txt not read: " + vtn::fileReadError(result, kMaxConfigBytes));
        return false;
    }
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        // Cut here, so an overlong line is never copied whole.
        std::string line(text.substr(start, std::min(end - start, kMaxConfigLine + 1)));
        // Files written on Windows end their lines with a carriage return.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxConfigLine) line.resize(kMaxConfigLine);
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

void CApplication::readConfigFirstPass()
{
    std::vector<std::string> lines;
    if (!readConfigLines(lines, true)) return;
    for (std::string& line : lines) {
        stripComment(line);
        const std::string l = toLower(line);
        if (startsWith(l, "midiin:"))
            engine->midiInName = afterColon(l);
        else if (startsWith(l, "midiout:"))
            engine->midiOutName = afterColon(l);
        else if (startsWith(l, "stylefiles:"))
            styleFolder = afterColon(line); // the input thread loads no style before live mode
        else if (startsWith(l, "midifiles:"))
            midiFolder = afterColon(line);
        else if (startsWith(l, "remote:"))
            remotePort = static_cast<int32_t>(std::clamp(vtn::decimalValue(afterColon(l)), 0L, 65535L));
    }
}

void CApplication::readConfigSecondPass()
{
    std::vector<std::string> lines;
    if (readConfigLines(lines, false)) {
        for (std::string& line : lines) {
            stripComment(line);
            const std::string l = toLower(line);
            if (startsWith(l, "split:")) {
                engine->setSetting(&KeyboardAreas::splitKey, int64_t{vtn::decimalValue(afterColon(l))} - 1);
            } else if (l == "record") {
                engine->setSetting(&RecordingSettings::recording, 1);
            } else if (isFirstPassEntry(l) || startsWith(l, "remote:") || startsWith(l, "remotepin:")) {
                // Taken in the first pass, or veltrona-remote's; not a key command for note 0.
            } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
                const long key = vtn::decimalValue(std::string_view(line).substr(0, colon));
                if (key < 0 || key > 127) continue;
                KeyCommand& entry = keyCommands[key];
                entry.text = trim(std::string_view(line).substr(colon + 1));
                if (toLower(entry.text) == "attention") engine->setAttentionKey(static_cast<int>(key));
            } else if (!line.empty()) {
                int kind = 0, index = 0;
                classifyCommand(line, kind, index);
                carryOut(kind, index, line);
            }
        }
    }
    for (KeyCommand& entry : keyCommands) {
        int kind = 0, index = 0;
        classifyCommand(entry.text, kind, index);
        entry.kind = kind;
        entry.index = index;
    }
}
