// "chord METHOD NOTE...": holds the keys (MIDI note numbers) in a fresh engine
// in live mode, runs one recognition with the method and prints the chord
// then installed, or null.
#include "ChordCommand.h"

#include "Command.h"
#include "EngineOptions.h"

#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "player/EngineAssembly.h"

#include <string>
#include <string_view>

int chordCommand(int argc, char** argv)
{
    if (argc < 3) return vtntool::refuse("usage: veltrona-tool chord METHOD NOTE...");
    int method = 0;
    if (!vtntool::parseNumber(argv[1], 0, 6, method))
        return vtntool::refuse(std::string("chord: method '") + argv[1] + "' is not 0-6");
    int notes[128];
    int count = 0;
    for (int i = 2; i < argc; ++i) {
        if (count == 128 || !vtntool::parseNumber(argv[i], 0, 127, notes[count]))
            return vtntool::refuse(std::string("chord: note '") + argv[i] + "' is not a MIDI note number 0-127");
        ++count;
    }

    // Without init: no MIDI port, no input thread; the live-input object is
    // all recognition needs, and the engine releases it.
    CKvSeq engine;
    installEngineParts(engine);
    engine.clock = new CClock();
    engine.liveInput = new CLiveInput(&engine);
    engine.enterLiveMode();
    engine.setSetting(&KeyboardAreas::chordMethod, method);
    CLiveInput& live = *engine.liveInput;
    for (int i = 0; i < count; ++i) live.updateHeldKeys(0x90, notes[i], 100);
    live.recogniseChord();

    const Chord installed = engine.get(engine.play.currentChord);
    if (installed.root < 0) return vtntool::printDocument(nullptr);
    return vtntool::printDocument({{"root", installed.root},
                                   {"type", installed.type},
                                   {"bass", installed.bass},
                                   {"symbol", installed.symbol},
                                   {"intervals", installed.intervals},
                                   {"typeName", installed.typeName}});
}

namespace {
int runChordCommand(const std::vector<std::string>& args) { return vtntool::runAsMain(chordCommand, "chord", args); }
const vtntool::ToolCommandRegistration registration{{"chord", "METHOD NOTE...", -1, runChordCommand}};
} // namespace
