// The style and MIDI-file library: files are found on disk, read whole and
// handed to the engine as bytes.
#include "app/CApplication.h"
#include "base/FileReader.h"
#include "base/MessageSink.h"
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// Longer paths are refused, never cut short.
constexpr size_t kMaxPath = 511;

// Recordings stay in the engine under ids 11 to 90, in turn.
constexpr int kFirstRecordingId = 11;
constexpr int kRecordingIds = 80;
constexpr int kSongId = 1;

// The part of a name after its last "/", "\" or ":".
std::string baseName(std::string_view name)
{
    const size_t p = name.find_last_of("/\\:");
    return std::string(p == std::string_view::npos ? name : name.substr(p + 1));
}

// The folder text made to end with the separator, stored back. An empty
// folder is the working directory and stays empty: a lone "/" would name
// the root instead.
std::string folderPrefix(std::string& folder, const std::string& separator)
{
    if (folder.empty()) return {};
    if (folder.size() < separator.size() || folder.compare(folder.size() - separator.size(), separator.size(), separator) != 0)
        folder += separator;
    return folder;
}

bool pathTooLong(const std::string& path)
{
    if (path.size() <= kMaxPath) return false;
    vtn::printLine("Path too long (512 characters or more): " + path);
    return true;
}

} // namespace

void CApplication::loadStyleByName(std::string_view name)
{
    const std::string path = folderPrefix(styleFolder, pathSeparator) + baseName(name);
    if (pathTooLong(path)) return;
    std::vector<uint8_t> data;
    if (vtn::readWholeFile(path, kMaxStyleFileBytes, data) != vtn::kFileRead) {
        vtn::printLine("Style not found");
        return;
    }
    if (engine->loadStyle(-2, data.data(), static_cast<int>(data.size()), path) == -1)
        vtn::printLine("Not a style file: " + path);
}

void CApplication::nextStyleFile()
{
    if (styleFiles.empty()) {
        std::string prefix = styleFolder;
        const std::string folder = prefix.empty() ? "." : prefix;
        if (!prefix.empty() && prefix.back() != '/') prefix += '/';
        DIR* dir = opendir(folder.c_str());
        if (!dir) {
            vtn::printLine("Unable to open style folder");
            return;
        }
        while (const dirent* entry = readdir(dir)) {
            const std::string file = entry->d_name;
            if (file.empty() || file[0] == '.') continue;
            // Only files can be styles: sub-folders, devices and dangling
            // links are passed over; a link to a file counts as the file.
            struct stat info {};
            if (stat((prefix + file).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            styleFiles.push_back(file);
        }
        closedir(dir);
        if (styleFiles.empty()) return;
        styleIndex = 0;
    } else if (styleIndex < INT32_MAX) {
        ++styleIndex;
    }
    if (styleIndex < 0 || static_cast<size_t>(styleIndex) >= styleFiles.size()) return;
    const std::string file = styleFiles[static_cast<size_t>(styleIndex)];
    loadStyleByName(file);
    vtn::printLine(file);
}

void CApplication::deleteStyleFile()
{
    if (styleFiles.empty() || styleIndex < 0 || static_cast<size_t>(styleIndex) >= styleFiles.size()) return;
    const std::string path = styleFolder + styleFiles[static_cast<size_t>(styleIndex)];
    if (pathTooLong(path)) return;
    std::remove(path.c_str());
    nextStyleFile();
}

void CApplication::playMidiFile(std::string_view name)
{
    const std::string path = folderPrefix(midiFolder, pathSeparator) + baseName(name);
    if (pathTooLong(path)) return;
    std::vector<uint8_t> data;
    if (vtn::readWholeFile(path, kMaxSongFileBytes, data) != vtn::kFileRead) {
        vtn::printLine("file not found");
        return;
    }
    auto* song = new CMidiSequence;
    song->sequenceId = kSongId;
    // A file the reader refuses would leave an empty song that blocks the
    // chord recognition (playMode) with nothing to play.
    if (song->readMidiFile(data.data(), 0, static_cast<int>(data.size()), engine->sequenceOptions()) == 0) {
        delete song;
        vtn::printLine("Not a MIDI file: " + path);
        return;
    }
    engine->lock();
    CMidiSequence* old = engine->sequences[kSongId];
    // A song still being played is left to its player.
    const bool inUse = old && (old == engine->playingSong || old == engine->recordSequence);
    engine->sequences[kSongId] = song;
    engine->playMode = 1;
    engine->unlock();
    if (!inUse) delete old;
    engine->markChanged();
    // TODO(song player): start the song player with sequence 1, further arguments 0.
}

void CApplication::playSongSlot()
{
    const int count = engine->get(engine->recordCount);
    // -1: nothing recorded yet.
    if (count < 0) return;
    const int id = kFirstRecordingId + count % kRecordingIds;
    engine->lock();
    const bool held = engine->sequences[id] != nullptr;
    if (held) engine->playMode = 1;
    engine->unlock();
    if (!held) return;
    engine->markChanged();
    // TODO(song player): start the song player with sequence `id`, further arguments 0.
}
