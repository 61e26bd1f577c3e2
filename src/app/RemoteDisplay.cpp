// The display of the board: what the control socket tells a program such as
// the phone display (the status, display requests, the folders' contents)
// and what it takes from one (console lines, uploads). Nothing here runs on
// the input or player threads.
#include "app/CApplication.h"
#include "app/CControlSocket.h"
#include "app/SongDisplay.h"

#include "base/CLockGuard.h"
#include "base/FileReader.h"
#include "base/JsonText.h"
#include "base/MessageSink.h"
#include "base/Text.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"
#include "sequence/CMidiFileReader.h"
#include "sequence/CMidiSequence.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using vtn::asUtf8;
using vtn::jsonText;
using vtn::startsWith;
using vtn::toLower;

namespace {

const char* const kSocketName = "veltrona.sock";
// A song's bar and lyric line are followed this often while it plays.
constexpr int kFollowMs = 40;

const char* jsonBool(bool b) { return b ? "true" : "false"; }

// A plain name of a file in a folder: no path, nothing hidden, no control
// character. Everything the socket names must be one.
bool plainFileName(std::string_view name)
{
    if (name.empty() || name.size() > NAME_MAX || name[0] == '.') return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20; });
}

bool hasExtension(std::string_view name, std::initializer_list<const char*> extensions)
{
    const std::string l = toLower(name);
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* e) {
        const size_t n = std::strlen(e);
        return l.size() > n && l.compare(l.size() - n, n, e) == 0;
    });
}

bool isSongName(std::string_view name) { return hasExtension(name, {".mid", ".midi", ".kar"}); }

// A recording's name begins with the moment it was saved, "20240315-184502".
bool recordingStamp(std::string_view name, std::string& date)
{
    if (name.size() < 15 || name[8] != '-') return false;
    for (size_t k = 0; k < 15; ++k)
        if (k != 8 && (name[k] < '0' || name[k] > '9')) return false;
    date = std::string(name.substr(0, 4)) + "-" + std::string(name.substr(4, 2)) + "-" + std::string(name.substr(6, 2)) +
           " " + std::string(name.substr(9, 2)) + ":" + std::string(name.substr(11, 2)) + ":" +
           std::string(name.substr(13, 2));
    return true;
}

// Seconds from the start to the last event, through every tempo change.
double songSeconds(CMidiSequence& song)
{
    const double tpb = std::max(1, song.ticksPerBeat);
    double usPerQuarter = song.usPerQuarter > 0 ? song.usPerQuarter : 60e6 / std::max(1, song.tempo);
    double seconds = 0;
    int32_t at = 0;
    const int limit = song.eventCount();
    int walked = 0;
    for (int r = song.events[kMainList].next; r >= kFirstEvent && r < limit && walked < limit; r = song.events[r].next, ++walked) {
        const MidiEvent& e = song.events[r];
        seconds += (e.ticks - at) / tpb * usPerQuarter / 1e6;
        at = e.ticks;
        if (e.stat == kStatTempo) {
            if (e.db2 > 0) usPerQuarter = e.db2;
            else if (e.db1 > 0) usPerQuarter = 60e6 / e.db1;
        }
    }
    return seconds;
}

// The regular files of a folder ("" the working directory), in name order.
std::vector<std::string> folderFiles(const std::string& prefix)
{
    std::vector<std::string> names;
    DIR* dir = opendir(prefix.empty() ? "." : prefix.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!plainFileName(name)) continue;
        struct stat info {};
        if (lstat((prefix + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Reads what a descriptor passed with an upload holds, at most `limit` bytes.
bool readPassed(int fd, size_t limit, std::vector<uint8_t>& data, std::string& why)
{
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "no file came with the upload";
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > limit) {
        why = "larger than " + std::to_string(limit >> 20) + " MB";
        return false;
    }
    data.resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = pread(fd, data.data() + got, data.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    if (got != static_cast<size_t>(info.st_size)) {
        why = "the upload could not be read whole";
        return false;
    }
    return true;
}

// Writes a new file into a folder: under a hidden name first, then linked
// to its own name, which must not exist yet (a file kept is never replaced).
bool keepFile(const std::string& prefix, const std::string& name, const std::vector<uint8_t>& data, std::string& why)
{
    const std::string temporary = prefix + ".upload-" + std::to_string(getpid()) + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = std::string("cannot write in the folder: ") + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool written = done == data.size() && fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        why = "the folder's storage is full or failing";
        ::unlink(temporary.c_str());
        return false;
    }
    // link, unlike rename, refuses a name that exists.
    const bool linked = ::link(temporary.c_str(), (prefix + name).c_str()) == 0;
    if (!linked) why = errno == EEXIST ? "a file of that name is there already" : std::strerror(errno);
    ::unlink(temporary.c_str());
    return linked;
}

} // namespace

void CApplication::openRemote()
{
    if (remotePort <= 0 || remote) return;
    remote = new CControlSocket();
    if (!remote->open(kSocketName)) {
        delete remote;
        remote = nullptr;
        return;
    }
    // What the settings gave: the registrations and their labels on the
    // menu keys, fixed from now on.
    std::string list;
    if (CLiveInput* input = engine->liveInput) {
        for (size_t k = 0; k < input->styleEntries.size(); ++k) {
            std::string label;
            for (const TriggerSet& set : input->triggerSets) {
                for (const TriggerEntry& entry : set.entries)
                    if (entry.type == kEntryStyle && entry.values[0] == static_cast<int>(k) && label.empty())
                        label = entry.label;
            }
            std::string file = input->styleEntries[k].fileName;
            file.erase(0, file.find_last_of("/\\") + 1);
            if (label.empty()) label = file;
            list += std::string(list.empty() ? "" : ",") + "{\"number\":" + std::to_string(k + 1) +
                    ",\"label\":" + jsonText(label) + ",\"file\":" + jsonText(file) + "}";
        }
    }
    registrationsJson = "[" + list + "]";
    portsJson = portNames();
    remote->publishStatus(remoteStatus());
    if (engine->isSongPlaying()) followSongStart();
    engine->events.listen([](void* self, uint32_t changes) { static_cast<CApplication*>(self)->remoteChanged(changes); },
                          this);
    vtn::printLine("Remote display: control socket " + std::string(kSocketName));
}

void CApplication::closeRemote()
{
    if (!remote) return;
    // The listener reads the socket; it ends first.
    engine->events.stop();
    remote->close();
    delete remote;
    remote = nullptr;
}

std::string CApplication::portNames()
{
    if (!engine->port) return "\"in\":\"none\",\"out\":\"none\"";
    return "\"in\":" + jsonText(engine->port->connectedInputNames()) +
           ",\"out\":" + jsonText(engine->port->connectedOutputNames());
}

void CApplication::remoteChanged(uint32_t changes)
{
    if (!remote) return;
    if (changes & kChangeOpenLoader) remote->broadcast("E {\"open\":\"loader\"}\n");
    if ((changes & kChangeLyricsScroll) && engine->liveInput)
        remote->broadcast("E {\"lyricsScroll\":" + std::to_string(engine->liveInput->lyricsScroll.load()) + "}\n");
    if (changes & (kChangePortLost | kChangePortFound)) {
        const std::string ports = portNames();
        CLockGuard guard(displayMutex);
        portsJson = ports;
    }
    if (changes & kChangeSongStarted) followSongStart();
    if ((changes & kChangeSongEnded) && !engine->isSongPlaying()) remote->setTicker(nullptr, nullptr, 0);
    remote->publishStatus(remoteStatus());
}

void CApplication::followSongStart()
{
    remote->setTicker([](void* self) { static_cast<CApplication*>(self)->followSong(); }, this, kFollowMs);
}

void CApplication::followSong()
{
    if (remote) remote->publishStatus(remoteStatus());
}

void CApplication::showSong(CMidiSequence& song)
{
    SongDisplay display = songDisplayOf(song);
    CLockGuard guard(displayMutex);
    songDisplay = std::move(display);
}

std::string CApplication::remoteStatus()
{
    CKvSeq& e = *engine;
    const std::string part = e.currentPartName();
    e.lock();
    const bool styleRuns = e.play.playingStyle != nullptr;
    const bool songRuns = e.play.playingSong != nullptr;
    std::string style = e.styleName;
    const int tempo = e.play.tempo;
    const std::string chord = e.play.currentChord.root >= 0 ? e.play.currentChord.symbol : std::string();
    const int preset = e.play.presetIndex;
    const std::string presetName = preset >= 0 && preset < kPresetCount ? e.presets[preset].name : std::string();
    int buttons[4];
    std::string buttonNames[4];
    for (int b = 0; b < 4; ++b) {
        buttons[b] = e.defaults.presetButtons[b];
        buttonNames[b] = buttons[b] >= 0 && buttons[b] < kPresetCount ? e.presets[buttons[b]].name : std::string();
    }
    const int transposition = e.play.transposition;
    const bool recording = e.recordState.recording != 0;
    const bool drums = !e.mixer.drumsOff, bass = !e.mixer.bassOff, other = !e.mixer.otherOff;
    const int split = e.areas.splitKey;
    e.unlock();
    const int64_t position = songRuns ? e.playPosition() / 1000 : 0;
    style.erase(0, style.find_last_of("/\\") + 1);

    int bar = 0, beat = 0, line = -1;
    std::string song, ports;
    {
        CLockGuard guard(displayMutex);
        if (songRuns) {
            song = songDisplay.name;
            songDisplay.barBeat(position, bar, beat);
            line = songDisplay.lineAt(position);
        }
        ports = portsJson;
    }
    const CLiveInput* input = e.liveInput;
    std::string s = "S {\"chord\":" + jsonText(chord) + ",\"style\":" + jsonText(style) + ",\"part\":" + jsonText(part) +
                    ",\"playing\":" + jsonBool(styleRuns) + ",\"tempo\":" + std::to_string(tempo) +
                    ",\"preset\":{\"number\":" + std::to_string(preset) + ",\"name\":" + jsonText(presetName) +
                    "},\"presetButtons\":[";
    for (int b = 0; b < 4; ++b)
        s += std::string(b ? "," : "") + "{\"number\":" + std::to_string(buttons[b]) + ",\"name\":" +
             jsonText(buttonNames[b]) + "}";
    s += "],\"transposition\":" + std::to_string(transposition) + ",\"recording\":" + jsonBool(recording) +
         ",\"song\":" + jsonText(song) + ",\"bar\":" + std::to_string(bar) + ",\"beat\":" + std::to_string(beat) +
         ",\"lyricLine\":" + std::to_string(line) + ",\"drums\":" + jsonBool(drums) + ",\"bass\":" + jsonBool(bass) +
         ",\"other\":" + jsonBool(other) +
         ",\"lyricsMaximized\":" + jsonBool(input && input->lyricsMaximized.load() != 0) +
         ",\"lyricsBigFont\":" + jsonBool(input && input->lyricsBigFont.load() != 0) +
         ",\"registrations\":" + registrationsJson + ",\"split\":" + std::to_string(split) + "," + ports + "}\n";
    return s;
}

void CApplication::serveRemote()
{
    ControlCommand job;
    while (remote && remote->takeCommand(job)) {
        std::string reply;
        int passBack = -1;
        if (startsWith(job.line, "?")) {
            reply = remoteQuery(job.line, job.fd, passBack);
        } else if (job.line == "quit") {
            reply = "R quit is taken from the console only\n";
        } else if (job.line.size() > kMaxLine) {
            reply = "R Line too long\n";
        } else {
            vtn::CThreadMessageCapture capture;
            command(job.line);
            reply = capture.take();
            // The console's own "Ready" ends the reply below.
            if (reply.size() >= 6 && reply.compare(reply.size() - 6, 6, "Ready\n") == 0) reply.resize(reply.size() - 6);
            std::string prefixed;
            for (size_t start = 0; start < reply.size();) {
                const size_t end = std::min(reply.find('\n', start), reply.size());
                prefixed += "R " + asUtf8(std::string_view(reply).substr(start, end - start)) + "\n";
                start = end + 1;
            }
            reply.swap(prefixed);
        }
        if (job.fd >= 0) ::close(job.fd);
        remote->reply(job.client, reply + "R Ready\n", passBack);
    }
}

std::string CApplication::remoteQuery(const std::string& line, int passed, int& passBack)
{
    std::string stylePrefixText, midiPrefix;
    {
        CLockGuard guard(folderMutex);
        stylePrefixText = folderPrefix(styleFolder, pathSeparator);
        midiPrefix = folderPrefix(midiFolder, pathSeparator);
    }
    const SequenceOptions options = engine->sequenceOptions();
    if (line == "?styles") {
        std::string list;
        for (const std::string& name : folderFiles(stylePrefixText)) {
            // Only what the console can load by its name: a name with a ".".
            if (name.find('.') == std::string::npos) continue;
            const std::string path = stylePrefixText + name;
            struct stat info {};
            if (stat(path.c_str(), &info) != 0) continue;
            FileListing& known = styleListing[name];
            if (known.renew(info.st_mtime, info.st_size)) {
                std::vector<uint8_t> data;
                CStyle style;
                if (vtn::readWholeFile(path, kMaxStyleFileBytes, data) == vtn::kFileRead &&
                    style.readStyle(data.data(), static_cast<int>(data.size()), options) >= 1 && style.partCount() > 1) {
                    known.readable = true;
                    known.tempo = style.tempo;
                    known.timeSignature = std::to_string(style.numerator) + "/" + std::to_string(style.denominator);
                }
            }
            if (!known.readable) continue;
            list += std::string(list.empty() ? "" : ",") + "{\"name\":" + jsonText(name) +
                    ",\"tempo\":" + std::to_string(known.tempo) + ",\"timeSignature\":" + jsonText(known.timeSignature) + "}";
        }
        return "J {\"styles\":[" + list + "]}\n";
    }
    if (line == "?songs" || line == "?recordings") {
        const bool recordings = line == "?recordings";
        std::vector<std::string> names = folderFiles(midiPrefix);
        if (recordings) std::reverse(names.begin(), names.end()); // newest first
        std::string list;
        for (const std::string& name : names) {
            std::string date;
            if (!isSongName(name) || (recordings && !recordingStamp(name, date))) continue;
            struct stat info {};
            if (stat((midiPrefix + name).c_str(), &info) != 0) continue;
            std::string entry = "{\"name\":" + jsonText(name) + ",\"bytes\":" + std::to_string(info.st_size);
            if (recordings) {
                FileListing& known = recordingListing[name];
                if (known.renew(info.st_mtime, info.st_size)) {
                    std::vector<uint8_t> data;
                    CMidiSequence song;
                    if (vtn::readWholeFile(midiPrefix + name, kMaxSongFileBytes, data) == vtn::kFileRead &&
                        song.readMidiFile(data.data(), 0, static_cast<int>(data.size()), options) != 0)
                        known.seconds = songSeconds(song);
                }
                char length[32];
                std::snprintf(length, sizeof length, "%.1f", known.seconds);
                entry += ",\"date\":" + jsonText(date) + ",\"seconds\":" + length;
            }
            list += std::string(list.empty() ? "" : ",") + entry + "}";
        }
        return "J {\"" + std::string(recordings ? "recordings" : "songs") + "\":[" + list + "]}\n";
    }
    if (line == "?lyrics") {
        CLockGuard guard(displayMutex);
        std::string lines;
        for (const SongDisplay::Line& l : songDisplay.lines) lines += std::string(lines.empty() ? "" : ",") + jsonText(l.text);
        return "J {\"song\":" + jsonText(songDisplay.name) + ",\"lines\":[" + lines + "]}\n";
    }
    if (startsWith(line, "?download ")) {
        const std::string name = line.substr(10);
        if (!plainFileName(name) || !isSongName(name)) return "R Not a MIDI file name: " + name + "\n";
        const int fd = ::open((midiPrefix + name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0) ::close(fd);
            return "R file not found: " + name + "\n";
        }
        passBack = fd;
        return "J {\"name\":" + jsonText(name) + ",\"bytes\":" + std::to_string(info.st_size) + "}\n";
    }
    if (startsWith(line, "?upload ")) {
        std::string_view rest = std::string_view(line).substr(8);
        const bool style = startsWith(rest, "style "), song = startsWith(rest, "song ");
        const std::string name(rest.substr(style ? 6 : 5));
        std::string why;
        std::vector<uint8_t> data;
        if (!style && !song)
            why = "say style or song";
        else if (!plainFileName(name) || name.find('.') == std::string::npos ||
                 (song && !isSongName(name)))
            why = "not a plain file name with its extension: " + name;
        else if (passed < 0)
            why = "no file came with the upload";
        if (why.empty() && readPassed(passed, style ? kMaxStyleFileBytes : kMaxSongFileBytes, data, why)) {
            // Read exactly as a load would read it; what does not read is not kept.
            if (style) {
                CStyle reader;
                if (reader.readStyle(data.data(), static_cast<int>(data.size()), options) < 1)
                    why = "not a style file: " + midiRefusalReason(data.data(), data.size());
                else if (reader.partCount() <= 1)
                    why = "not a style file: no style parts (Main A, ...) in it";
            } else {
                CMidiSequence reader;
                if (reader.readMidiFile(data.data(), 0, static_cast<int>(data.size()), options) == 0)
                    why = "not a MIDI file: " + midiRefusalReason(data.data(), data.size());
            }
            if (why.empty()) keepFile(style ? stylePrefixText : midiPrefix, name, data, why);
        }
        if (!why.empty()) return "J {\"ok\":false,\"message\":" + jsonText(name + " refused: " + why) + "}\n";
        if (style) styleFiles.clear(); // "a" steps through the new one too
        return "J {\"ok\":true,\"message\":" + jsonText(name + " kept") + "}\n";
    }
    return "R Unknown query\n";
}
