// Saving a recorded performance: a Standard MIDI File named after the moment
// it was saved and the style and preset it was played with.
#include "app/CApplication.h"
#include "app/CRecordingSaver.h"
#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"

#include <climits>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

const char* const kExtension = ".mid";
// The recording number in front of the sequence name ("0001-Pop-Piano").
constexpr size_t kNumberPrefix = 4;

// Local date and time, e.g. "20240315-184502".
std::string timeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

// The file name: stamp, the recording name without its number, ".mid". A
// "/" in a style or preset name would point into a folder, so it becomes
// "_"; the name part is cut (never inside a UTF-8 character) to keep the
// whole within the system's limit for one name.
std::string recordingFileName(const std::string& stamp, const std::string& recordingName)
{
    std::string part = recordingName.size() > kNumberPrefix ? recordingName.substr(kNumberPrefix) : std::string();
    for (char& c : part)
        if (c == '/' || c == '\0') c = '_';
    // Room for the ".part" the file is written under first.
    const size_t fixed = stamp.size() + std::char_traits<char>::length(kExtension) + 5;
    const size_t room = NAME_MAX > fixed ? NAME_MAX - fixed : 0;
    if (part.size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(part[cut]) & 0xC0) == 0x80) --cut;
        part.resize(cut);
    }
    return stamp + part + kExtension;
}

} // namespace

void CApplication::saveRecording(CMidiSequence* sequence)
{
    if (!engine->get(engine->recordState.recording) || !sequence) return;

    // No lock: the recording is no longer the engine's recordSequence, so
    // no thread writes into it any more.
    const int size = sequence->writeMidiFile("VeltronaLive", engine->sequenceOptions());
    std::vector<uint8_t> bytes(static_cast<size_t>(size > 0 ? size : 0));
    sequence->copyOut(bytes.data());

    std::string folder;
    {
        CLockGuard guard(folderMutex);
        folder = folderPrefix(midiFolder, pathSeparator);
    }
    saver->post(std::move(folder), recordingFileName(timeStamp(), sequence->name), std::move(bytes));
}
