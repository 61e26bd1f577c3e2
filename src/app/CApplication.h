#pragma once
// The shell around the engine: start-up, the console command loop, the two
// set-up files and shut-down.
#include "app/SongDisplay.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <pthread.h>
#include <string>
#include <string_view>
#include <vector>

class CKvSeq;
class CRecordingSaver;
class CMidiSequence;
class CControlSocket;
struct MenuResult;

struct KeyCommand {
    std::string text;
    int32_t kind = 0;
    int32_t index = 0;
};

// What a text names, as classifyCommand sees it.
enum CommandKind : int32_t { kCommandNone = 0, kCommandStyle = 1, kCommandPreset = 2, kCommandFunction = 3 };

class CApplication {
public:
    // Longest console line that is carried out; a longer one is refused whole.
    static constexpr size_t kMaxLine = 79;

    CApplication();
    ~CApplication();
    CApplication(const CApplication&) = delete;
    CApplication& operator=(const CApplication&) = delete;

    void run();

    // Start-up up to and including the first "Ready": the banner,
    // createEngine, then configure.
    void startUp();
    // The engine, initialised, with the application's hooks installed.
    void createEngine();
    // config.txt, the settings file, config.txt again, the chord "C", "Ready".
    void configure();
    // Carries out one console line and prints "Ready"; false for "quit".
    bool command(std::string_view line);

    // Style and part, tempo, chord, preset, recording, split key and the
    // connected ports, on one line (StatusLine.cpp).
    std::string statusLine();

    void classifyCommand(std::string_view text, int& kind, int& index);
    int defineMultiVoice(std::string_view text);

    void readConfigFirstPass();
    void readConfigSecondPass();
    static void stripComment(std::string& line);
    // Carries out the console command assigned to a key; called by trigger matching.
    void runKeyCommand(int note);
    void loadSettingsFile();

    // The style and MIDI-file library (StyleLibrary.cpp).
    // True when the style was read (and selected, or waits for the bar line).
    bool loadStyleByName(std::string_view name);
    void nextStyleFile();
    void deleteStyleFile();
    void playMidiFile(std::string_view name);
    void playSongSlot();

    // Recordings (Recording.cpp). Saves the recording as a file named after
    // the moment and what was played; called on the player's thread as it ends.
    void saveRecording(CMidiSequence* recording);
    // Returns when every recording handed over so far is on the storage.
    void waitForSaves();
    // The folder text made to end with the separator, stored back; empty
    // stays empty (the working directory).
    static std::string folderPrefix(std::string& folder, const std::string& separator);

    CKvSeq* engine = nullptr;
    std::string styleFolder;
    std::string midiFolder;
    // Guards the folders: the style player's thread saves into midiFolder,
    // keys on the input thread load from styleFolder.
    mutable pthread_mutex_t folderMutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<std::string> styleFiles;
    std::string pathSeparator = "/";
    int32_t styleIndex = 0;
    // The file "a" loaded last as a style: the only one "d" may delete.
    std::string steppedStyle;
    KeyCommand keyCommands[128];
    // Writes the recordings; outlives the engine, whose players hand them over.
    CRecordingSaver* saver = nullptr;

    // The display of the board (RemoteDisplay.cpp): config.txt's "remote:"
    // port opens the control socket that the display program talks to.
    int32_t remotePort = 0;
    CControlSocket* remote = nullptr;
    void openRemote();
    void closeRemote();
    // Carries out the lines waiting at the control socket.
    void serveRemote();
    // The status line of the socket: "S" and the state as JSON.
    std::string remoteStatus();
    // The song about to play, as a display follows it.
    void showSong(CMidiSequence& song);

private:
    void remoteChanged(uint32_t changes);
    void followSongStart();
    void followSong();
    std::string portNames();
    std::string remoteQuery(const std::string& line, int passed, int& passBack);
    // Carries out a registration's file as a menu key does.
    void loadRegistration(const MenuResult& result);
    // "registration n" (from 1) and "function n" (by number, the unnamed
    // ones too) at the console.
    void runRegistration(std::string_view number);
    void runFunctionNumber(std::string_view number);
    // Guards what the display threads read of the application.
    mutable pthread_mutex_t displayMutex = PTHREAD_MUTEX_INITIALIZER;
    SongDisplay songDisplay;
    std::string registrationsJson = "[]";
    std::string portsJson;
    struct FileListing {
        std::time_t modified = 0;
        int64_t bytes = -1;
        bool readable = false;
        int tempo = 0;
        std::string timeSignature;
        double seconds = 0;
        // True, with what was read forgotten, when the file changed since.
        bool renew(std::time_t modifiedNow, int64_t bytesNow)
        {
            if (modified == modifiedNow && bytes == bytesNow) return false;
            *this = FileListing();
            modified = modifiedNow;
            bytes = bytesNow;
            return true;
        }
    };
    // What the lists read of each file, until the file changes.
    std::map<std::string, FileListing> styleListing;
    std::map<std::string, FileListing> recordingListing;

    // What the system refused of real-time running, said after the banner.
    std::string realTimeNote;
    // What a classified command does: load a style, select a preset or run
    // a function. `onInputThread`: called by trigger matching, which already
    // holds the live input's lock.
    void carryOut(int kind, int index, std::string_view text, bool onInputThread = false);
    std::string stylePrefix();
    // Reads config.txt into lines; false when it cannot be read. A missing
    // file is reported by every pass, a refused one only when `report` is set.
    static bool readConfigLines(std::vector<std::string>& lines, bool report);
    // Loads the style file at the path: the slot, -2 when a style switch
    // still waits for its bar line, kNoStyleFile (and one line) when the
    // file is none.
    static constexpr int kNoStyleFile = -3;
    int loadStyleFile(const std::string& path);
    // Reads console lines until "quit", end of input followed by a signal, or a signal.
    void commandLoop();
};
