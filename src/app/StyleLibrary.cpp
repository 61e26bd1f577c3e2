// The style and MIDI-file library: files are found on disk, read whole and
// handed to the engine as bytes.
#include "app/CApplication.h"
#include "base/CLockGuard.h"
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

// The part of a name after its last "/", "\" or ":".
std::string baseName(std::string_view name)
{
    const size_t p = name.find_last_of("/\\:");
    return std::string(p == std::string_view::npos ? name : name.substr(p + 1));
}

bool pathTooLong(const std::string& path)
{
    if (path.size() <= kMaxPath) return false;
    vtn::printLine("Path too long (512 characters or more): " + path);
    return true;
}

} // namespace

// An empty folder is the working directory and stays empty: a lone "/"
// would name the root instead.
std::string CApplication::folderPrefix(std::string& folder, const std::string& separator)
{
    if (folder.empty()) return {};
    if (folder.size() < separator.size() || folder.compare(folder.size() - separator.size(), separator.size(), separator) != 0)
        folder += separator;
    return folder;
}

std::string CApplication::stylePrefix()
{
    CLockGuard guard(folderMutex);
    return folderPrefix(styleFolder, pathSeparator);
}

bool CApplication::loadStyleByName(std::string_view name) { return loadStyleFile(stylePrefix() + baseName(name)) >= 0; }

int CApplication::loadStyleFile(const std::string& path)
{
    if (pathTooLong(path)) return kNoStyleFile;
    std::vector<uint8_t> data;
    if (vtn::readWholeFile(path, kMaxStyleFileBytes, data) != vtn::kFileRead) {
        vtn::printLine("Style not found");
        return kNoStyleFile;
    }
    const int slot = engine->loadStyle(-2, data.data(), static_cast<int>(data.size()), path);
    if (slot == -1) {
        vtn::printLine("Not a style file: " + path);
        return kNoStyleFile;
    }
    return slot;
}

void CApplication::nextStyleFile()
{
    steppedStyle.clear();
    const std::string prefix = stylePrefix();
    if (styleFiles.empty()) {
        const std::string folder = prefix.empty() ? "." : prefix;
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
    // Files that are no style are passed over, each reported once, so the
    // step always lands on a style "d" may delete, or past the end.
    for (; styleIndex >= 0 && static_cast<size_t>(styleIndex) < styleFiles.size(); ++styleIndex) {
        const std::string& file = styleFiles[static_cast<size_t>(styleIndex)];
        // The entry itself, never its base name: "x:Pop.sty" is not Pop.sty.
        if (loadStyleFile(prefix + file) == kNoStyleFile) continue;
        steppedStyle = prefix + file;
        vtn::printLine(file);
        return;
    }
}

void CApplication::deleteStyleFile()
{
    if (steppedStyle.empty()) {
        vtn::printLine("Nothing deleted: no style was loaded by \"a\"");
        return;
    }
    std::remove(steppedStyle.c_str());
    nextStyleFile();
}

void CApplication::playMidiFile(std::string_view name)
{
    std::string prefix;
    {
        CLockGuard guard(folderMutex);
        prefix = folderPrefix(midiFolder, pathSeparator);
    }
    const std::string base = baseName(name);
    std::string path = prefix + base;
    if (pathTooLong(path)) return;
    std::vector<uint8_t> data;
    int result = vtn::readWholeFile(path, kMaxSongFileBytes, data);
    // "play: song.mid" names song.mid unless a file " song.mid" exists.
    const size_t named = base.find_first_not_of(" \t");
    if (result == vtn::kFileMissing && named != 0 && named != std::string::npos) {
        path = prefix + base.substr(named);
        result = vtn::readWholeFile(path, kMaxSongFileBytes, data);
    }
    if (result != vtn::kFileRead) {
        vtn::printLine("file not found: " + path);
        return;
    }
    auto* song = new CMidiSequence;
    song->sequenceId = kSongId;
    song->name = baseName(path); // a recording over the song is named after it
    // A file the reader refuses would leave an empty song that blocks the
    // chord recognition (playMode) with nothing to play.
    if (song->readMidiFile(data.data(), 0, static_cast<int>(data.size()), engine->sequenceOptions()) == 0) {
        delete song;
        vtn::printLine("Not a MIDI file: " + path);
        return;
    }
    // What plays ends first: the song takes over from the accompaniment,
    // and a song playing is never replaced under its player.
    engine->stopAndWait();
    showSong(*song);
    engine->installSequence(kSongId, song);
    engine->setSetting(&SongSettings::playMode, 1);
    engine->playSong(song);
}

void CApplication::playSongSlot()
{
    const int count = engine->get(engine->recordCount);
    // -1: nothing recorded yet.
    if (count < 0) return;
    const int id = kFirstRecordingId + count % kRecordingIds;
    CMidiSequence* recording = engine->get(engine->sequences[id]);
    if (!recording) return;
    showSong(*recording);
    engine->setSetting(&SongSettings::playMode, 1);
    engine->playSong(recording);
}
