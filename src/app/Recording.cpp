// Saving a recorded performance: a Standard MIDI File named after the moment
// it was saved and the style and preset it was played with.
#include "app/CApplication.h"
#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>
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
    const size_t fixed = stamp.size() + std::char_traits<char>::length(kExtension);
    const size_t room = NAME_MAX > fixed ? NAME_MAX - fixed : 0;
    if (part.size() > room) {
        size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(part[cut]) & 0xC0) == 0x80) --cut;
        part.resize(cut);
    }
    return stamp + part + kExtension;
}

enum WriteResult { kWritten, kNotCreated, kNotWritten };

// Writes the bytes to a file at `path`, replacing one that is there; the
// errno of a failure goes to `error`.
WriteResult writeBytes(const std::string& path, const std::vector<uint8_t>& bytes, int& error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return kNotCreated;
    }
    size_t done = 0;
    error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    // Delayed write errors (a full disk, a network folder) show at close.
    if (::close(fd) != 0 && error == 0) error = errno;
    return error == 0 ? kWritten : kNotWritten;
}

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

} // namespace

bool CApplication::saveFile(const std::string& folder, const std::string& fileName, const std::vector<uint8_t>& bytes)
{
    std::string path = folder + fileName;
    int error = 0;
    WriteResult result = writeBytes(path, bytes, error);
    if (result == kNotCreated && !folder.empty()) {
        // The performance is kept rather than lost with the folder.
        const std::string reason = errorText(error);
        path = fileName;
        result = writeBytes(path, bytes, error);
        if (result == kWritten)
            vtn::printLine("Unable to save in " + folder + " (" + reason + "); recording saved as " + path +
                           " in the working directory");
    }
    if (result == kNotCreated) vtn::printLine("Unable to open vtnnew");
    if (result == kNotWritten) vtn::printLine("Recording not saved completely: " + path + ": " + errorText(error));
    return result == kWritten;
}

void CApplication::saveRecording(CMidiSequence* sequence)
{
    if (!engine->get(engine->recording) || !sequence) return;

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
    saveFile(folder, recordingFileName(timeStamp(), sequence->name), bytes);
}
