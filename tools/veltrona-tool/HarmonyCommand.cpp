// "harmony CHORD PITCH": a fresh engine in live mode, no song, Full fingered,
// the chord symbol in force; prints what the melody's harmony search gives,
// negative values (no note) as they come.
#include "HarmonyCommand.h"

#include "Command.h"

#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "player/EngineAssembly.h"

#include <string>
#include <string_view>

namespace {

bool parsePitch(std::string_view text, int& value)
{
    if (text.empty() || text.size() > 3) return false;
    int v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > 127) return false;
    value = v;
    return true;
}

} // namespace

int harmonyCommand(int argc, char** argv)
{
    if (argc != 3) return vtntool::refuse("usage: veltrona-tool harmony CHORD PITCH");
    int pitch = 0;
    if (!parsePitch(argv[2], pitch))
        return vtntool::refuse(std::string("harmony: pitch '") + argv[2] + "' is not a MIDI note number 0-127");

    // Without init: no port and no input thread; the search only reads the
    // engine's chord and modes. The engine releases the melody.
    CKvSeq engine;
    installEngineParts(engine);
    engine.enterLiveMode();
    engine.setSetting(&SongSettings::playMode, 0);
    engine.setSetting(&KeyboardAreas::chordMethod, kFullFingered);
    // "N.C." asks for no chord, and so no harmony; any other text must name
    // its root and any bass, or a typing error would read as no chord.
    Chord chord;
    parseChordSymbol(chord, argv[1]);
    const std::string_view symbol = argv[1];
    const size_t slash = symbol.find('/');
    const bool badBass = slash != std::string_view::npos && slash + 1 < symbol.size() && slash > 0 &&
                         parseNoteName(symbol.substr(slash + 1)) < 0;
    if ((chord.root < 0 && symbol != "N.C.") || badBass)
        return vtntool::refuse("harmony: '" + std::string(symbol) + "' is not a chord symbol");
    engine.setCurrentChord(chord);
    engine.melody = new CMelody(&engine);

    int close = -1, wide = -1;
    engine.melody->computeHarmony(pitch, close, wide);
    return vtntool::printDocument({{"close", close}, {"wide", wide}});
}

namespace {
int runHarmonyCommand(const std::vector<std::string>& args) { return vtntool::runAsMain(harmonyCommand, "harmony", args); }
const vtntool::ToolCommandRegistration registration{{"harmony", "CHORD PITCH", 2, runHarmonyCommand}};
} // namespace
