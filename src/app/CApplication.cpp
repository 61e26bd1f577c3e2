#include "app/CApplication.h"

#include "app/CControlSocket.h"
#include "app/CRecordingSaver.h"

#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "base/RealTime.h"
#include "base/Text.h"
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "player/EngineAssembly.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

using vtn::startsWith;
using vtn::toLower;
using vtn::trim;

namespace {
const char* const kFrame = "  *******************************************************************";

// The text after the first colon.
std::string_view afterColon(std::string_view s)
{
    const size_t p = s.find(':');
    return p == std::string_view::npos ? std::string_view() : s.substr(p + 1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The word after the first blank ("registration 2" gives "2").
std::string afterBlank(std::string_view s)
{
    const size_t p = s.find(' ');
    return p == std::string_view::npos ? std::string() : trim(s.substr(p + 1));
}
} // namespace

CApplication::CApplication() : saver(new CRecordingSaver()) {}

CApplication::~CApplication()
{
    // The display's threads read the engine: they end first.
    if (engine) closeRemote();
    if (engine) {
        engine->requestStop();
        engine->shutdown();
        // shutdown returns only when no thread of the engine runs any more.
        delete engine;
        engine = nullptr;
    }
    // The last recording, handed over as the players ended, is written first.
    delete saver;
    saver = nullptr;
}

void CApplication::waitForSaves() { saver->waitIdle(); }

void CApplication::run()
{
    // Ctrl-C and SIGTERM end the arranger exactly as "quit" does. They are
    // blocked in every thread (the threads started below inherit the mask)
    // and taken by the console loop alone.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Before any thread starts, so that their stacks are locked too.
    realTimeNote = vtn::prepareRealTime();
    startUp();
    commandLoop();
}

void CApplication::startUp()
{
    vtn::printText("\n");
    vtn::printLine(kFrame);
    vtn::printLine("  * Veltrona Live v1.0 - Realtime Arranger for the Raspberry Pi *");
    vtn::printLine(kFrame);
    vtn::printText("\n");
    if (!realTimeNote.empty()) vtn::printLine(realTimeNote);
    createEngine();
    configure();
}

void CApplication::createEngine()
{
    engine = new CKvSeq();
    // What the engine's threads ask of the application: the style player
    // saves each recording as it ends; keys run their commands.
    engine->hooks.context = this;
    engine->hooks.saveRecording = [](void* context, CMidiSequence* recording) {
        static_cast<CApplication*>(context)->saveRecording(recording);
    };
    engine->hooks.runKeyCommand = [](void* context, int note) { static_cast<CApplication*>(context)->runKeyCommand(note); };
    engine->hooks.playSongSlot = [](void* context) { static_cast<CApplication*>(context)->playSongSlot(); };
    assembleEngine(*engine, 1);
    engine->application = this;
}

void CApplication::configure()
{
    readConfigFirstPass();
    loadSettingsFile();
    readConfigSecondPass();

    Chord start;
    parseChordSymbol(start, "C");
    engine->setCurrentChord(start);
    openRemote();
    vtn::printText("Ready\n");
}

void CApplication::commandLoop()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    const int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);

    bool inputOpen = true;
    std::string line;
    bool overlong = false;
    char buffer[4096];
    for (;;) {
        pollfd fds[3];
        nfds_t n = 0;
        if (signals >= 0) fds[n++] = {signals, POLLIN, 0};
        const nfds_t inputSlot = n;
        if (inputOpen) fds[n++] = {STDIN_FILENO, POLLIN, 0};
        if (n == 0) break; // neither input nor signals: nothing can ever end us but a kill
        const nfds_t remoteSlot = n;
        if (remote) fds[n++] = {remote->commandFd(), POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (signals >= 0 && (fds[0].revents & POLLIN)) break;
        if (remote && (fds[remoteSlot].revents & POLLIN)) serveRemote();
        if (!inputOpen || !(fds[inputSlot].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;

        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            // End of input: a last line without its newline still counts;
            // then the arranger runs on headless until a stop signal.
            inputOpen = false;
            if (!line.empty() || overlong) {
                const bool go = overlong ? (vtn::printText("Line too long\nReady\n"), true) : command(line);
                if (!go) break;
            }
            line.clear();
            overlong = false;
            if (signals < 0) break;
            // Headless (a service, whose output goes to the log): say once
            // what the board is set to.
            vtn::printLine(statusLine());
            continue;
        }
        bool quit = false;
        for (ssize_t i = 0; i < got && !quit; ++i) {
            const char c = buffer[i];
            if (c != '\n') {
                // Keep the line bounded whatever arrives; a line that grew too
                // long is refused whole, never carried out in pieces.
                if (line.size() < kMaxLine) line.push_back(c);
                else overlong = true;
                continue;
            }
            if (overlong) {
                vtn::printText("Line too long\nReady\n");
            } else if (!command(line)) {
                quit = true;
            }
            line.clear();
            overlong = false;
        }
        if (quit) break;
    }
    if (signals >= 0) ::close(signals);
}

bool CApplication::command(std::string_view line)
{
    if (line == "quit") return false;
    const std::string t = trim(line);
    const std::string l = toLower(t);

    if (startsWith(l, "split:")) {
        const long n = vtn::decimalValue(trim(afterColon(l)));
        engine->setSetting(&KeyboardAreas::splitKey, int64_t{n} - 1);
    } else if (l == "record") {
        engine->toggleSetting(&RecordingSettings::recording);
    } else if (startsWith(l, "midiin:")) {
        engine->midiInName = trim(afterColon(l));
        engine->port->connectInput(0, 1, engine->midiInName);
    } else if (startsWith(l, "midiout:")) {
        engine->midiOutName = trim(afterColon(l));
        engine->port->connectOutput(engine->midiOutName);
    } else if (startsWith(l, "stylefiles:")) {
        const std::string folder = trim(afterColon(t));
        {
            CLockGuard guard(folderMutex);
            styleFolder = folder;
        }
        styleFiles.clear();
    } else if (startsWith(l, "midifiles:")) {
        const std::string folder = trim(afterColon(t));
        CLockGuard guard(folderMutex);
        midiFolder = folder;
    } else if (startsWith(l, "play:")) {
        playMidiFile(afterColon(t));
    } else if (l == "a") {
        nextStyleFile();
    } else if (l == "d") {
        deleteStyleFile();
    } else {
        int kind = 0, index = 0;
        classifyCommand(t, kind, index);
        // "status" only where nothing else took the word: a preset or a
        // style of that name comes first.
        if (kind == kCommandNone && l == "status") vtn::printLine(statusLine());
        else if (kind == kCommandNone && startsWith(l, "registration ")) runRegistration(afterBlank(l));
        else if (kind == kCommandNone && startsWith(l, "function ")) runFunctionNumber(afterBlank(l));
        else if (kind == kCommandNone) vtn::printText("Unknown command\n");
        else carryOut(kind, index, t);
    }
    vtn::printText("Ready\n");
    return true;
}

void CApplication::carryOut(int kind, int index, std::string_view text, bool onInputThread)
{
    if (kind == kCommandStyle) {
        loadStyleByName(text);
    } else if (kind == kCommandPreset && index >= 0 && engine->melody) {
        engine->melody->selectPreset(index);
    } else if (kind == kCommandFunction && engine->liveInput) {
        if (onInputThread)
            engine->liveInput->executeFunction(index, 1);
        else
            engine->liveInput->callFunction(index, 1);
    }
}

void CApplication::runKeyCommand(int note)
{
    // The lowest keys are never commands: they belong to the chord area.
    if (note < 36 || note > 127) return;
    const KeyCommand& entry = keyCommands[note];
    if (entry.kind != kCommandNone) {
        carryOut(entry.kind, entry.index, entry.text, true);
        return;
    }
    if (!engine->liveInput) return;
    // No command of its own: the key is a button of the current menu.
    loadRegistration(engine->liveInput->executeMenuEntry(note - 36, false));
}

void CApplication::loadRegistration(const MenuResult& r)
{
    if (r.kind == 0 && r.fileName.size() > 4) {
        // A registration whose style is not loaded must not wait for the
        // next style that happens to be selected.
        if (!loadStyleByName(r.fileName)) engine->setPendingRegistration(-1);
    } else if (r.kind > 0 && !r.fileName.empty()) {
        playMidiFile(r.fileName);
    }
}

void CApplication::runRegistration(std::string_view number)
{
    const long n = vtn::decimalValue(number);
    CLiveInput* input = engine->liveInput;
    if (!input || n < 1 || n > static_cast<long>(input->styleEntries.size())) {
        vtn::printLine("No registration " + std::string(number));
        return;
    }
    MenuResult result;
    input->callStyleEntry(static_cast<int>(n - 1), result);
    loadRegistration(result);
}

void CApplication::runFunctionNumber(std::string_view number)
{
    const long n = vtn::decimalValue(number);
    if (!engine->liveInput || n < 0 || n >= kFunctionCount || number.find_first_not_of("0123456789") != std::string_view::npos) {
        vtn::printLine("No function " + std::string(number));
        return;
    }
    engine->liveInput->callFunction(static_cast<int>(n), 1);
}

void CApplication::classifyCommand(std::string_view text, int& kind, int& index)
{
    kind = kCommandNone;
    if (text.empty()) return;
    if (text.find('.') != std::string_view::npos) {
        kind = kCommandStyle;
        return;
    }
    const std::string wanted = toLower(trim(text));
    engine->lock();
    for (int p = 0; p < kPresetCount; ++p) {
        kind = kCommandNone;
        index = 0;
        if (toLower(trim(engine->presets[p].name)) == wanted) {
            kind = kCommandPreset;
            index = p;
            break;
        }
    }
    engine->unlock();
    if (kind != kCommandNone) return;
    // Function names, short or long; when several match the last one wins.
    const FunctionInfo* functions = functionCatalogue();
    for (int f = 0; f < kFunctionCount; ++f) {
        for (const char* name : {functions[f].shortName, functions[f].menuName}) {
            if (name && *name && toLower(trim(name)) == wanted) {
                kind = kCommandFunction;
                index = f;
            }
        }
    }
    if (kind != kCommandNone) return;
    if (text.size() >= 2 && text[0] == 'i' && isDigit(text[1])) {
        kind = kCommandPreset;
        index = defineMultiVoice(text);
    }
}

int CApplication::defineMultiVoice(std::string_view text)
{
    engine->lock();
    int number = -1;
    for (int p = 0; p < kPresetCount; ++p) {
        if (engine->presets[p].name == kFreePresetName) {
            number = p;
            break;
        }
    }
    if (number < 0) {
        engine->unlock();
        // Every preset is in use: overwrite none of them.
        vtn::printLine("No free preset for " + std::string(text));
        return -1;
    }
    Preset& preset = engine->presets[number];
    preset.name = std::string(text);

    int layer = -1;
    long value = 0;
    bool expectProgram = false, expectVolume = false, collecting = false, hasLeftLayer = false;
    auto current = [&]() -> PresetLayer* { return layer >= 0 && layer <= 3 ? &preset.layers[layer] : nullptr; };
    for (size_t pos = 0; pos <= text.size(); ++pos) {
        const char c = pos < text.size() ? text[pos] : '\0'; // the end acts as a final separator
        if (collecting) {
            if (isDigit(c)) {
                if (value <= 100000) value = value * 10 + (c - '0');
                continue;
            }
            PresetLayer* l = current();
            if (expectProgram && value <= 127) {
                if (l) {
                    l->program = static_cast<int32_t>(value);
                    l->volume = 100;
                    if (expectVolume) l->volume = static_cast<int32_t>(value);
                }
            } else if (expectVolume && !expectProgram && value <= 127) {
                if (l) l->volume = static_cast<int32_t>(value);
            }
            value = 0;
            expectProgram = expectVolume = collecting = false;
        }
        if (c == 'i' || c == 'l') {
            if (++layer > 3) break;
            PresetLayer& l = preset.layers[layer];
            if (c == 'i') {
                l.type = 1;
            } else {
                l.type = 5;
                l.octaveShift = 2;
                hasLeftLayer = true;
            }
            expectProgram = collecting = true;
        } else if (c == 'v') {
            expectVolume = collecting = true;
        } else if ((c == 'd' || c == 'c' || c == 'w') && layer == 0) {
            preset.layers[0].type = c == 'd' ? 4 : c == 'c' ? 2 : 3;
        } else if (c == 'o' || c == 'O') {
            if (PresetLayer* l = current()) l->octaveShift -= (c == 'o' ? 1 : 2);
        }
    }
    if (!hasLeftLayer && preset.layers[3].type == 0) {
        PresetLayer& left = preset.layers[3];
        left.type = 5;
        left.octaveShift = 2;
        left.program = 48;
        left.volume = 70;
    }
    engine->unlock();
    return number;
}
