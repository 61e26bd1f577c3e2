#include "input/FunctionCatalogue.h"

#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/Text.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "sequence/CStyle.h"

#include <algorithm>

namespace {
// Settings stepped by functions.
enum Setting : int32_t {
    kMelodyVolume,
    kAccompVolume,
    kDrumsVolume,
    kBassVolume,
    kOtherVolume,
    kVelocityVariety,
    kPitchVariety,
    kBassVariety,
};

// Switches toggled by functions.
enum Switch : int32_t {
    kLeftVoices,
    kDrums,
    kBass,
    kOther,
    kSyncStop,
    kBlockTempo,
    kMinorPedal,
    kLyricsMaximized,
    kLyricsBigFont,
};

// Volumes move in steps of 10 and land on multiples of 10; the row keeps
// them within its range (0-200).
int volumeStep(int v, int delta) { return (v + (delta > 0 ? 10 : -10) + 5) / 10 * 10; }

int toggled(int v) { return 1 - v; }

// What the step functions change, by Setting, and the group whose volumes
// are sent again (-1 none, 0 all).
struct Stepped {
    int32_t Mixer::*field;
    int group;
};
constexpr Stepped kStepped[] = {
    {&Mixer::melodyVolume, -1}, {&Mixer::accompVolume, 0},    {&Mixer::drumsVolume, 1},
    {&Mixer::bassVolume, 2},    {&Mixer::otherVolume, 3},     {&Mixer::velocityVariety, -1},
    {&Mixer::pitchVariety, -1}, {&Mixer::bassVariety, -1},
};
} // namespace

// What the rows of the catalogue do. A friend of CLiveInput.
struct FunctionEffects {
    static void varUpDown(CLiveInput& in, const FunctionInfo& row, int) { in.stepVariation(row.argument); }

    static void fillIn(CLiveInput& in, const FunctionInfo&, int)
    {
        CKvSeq& e = *in.engine;
        const CStyle* style = e.currentStyle();
        if (!style) return;
        const int current = e.get(e.play.currentPart);
        int letter = 0;
        if (current > 0 && current < style->partCount()) letter = style->parts[static_cast<size_t>(current)].level1;
        int type = kPartFillIn, level1 = letter, level2 = letter;
        const int found = style->findPart(type, level1, level2);
        // A style without fills offers a Main instead: not what was asked for.
        if (found >= 1 && type == kPartFillIn) in.requestAndSelect(found);
    }

    static void introEnding(CLiveInput& in, const FunctionInfo&, int)
    {
        CKvSeq& e = *in.engine;
        const CStyle* style = e.currentStyle();
        if (!style) return;
        const int current = e.get(e.play.currentPart);
        int level1 = 0, level2 = 0, currentType = -1;
        if (current >= 0 && current < style->partCount()) {
            const StylePart& p = style->parts[static_cast<size_t>(current)];
            level1 = p.level1;
            level2 = p.level2;
            currentType = p.type;
        }
        const int wanted = e.isStylePlaying() && currentType != kPartEnding ? kPartEnding : kPartIntro;
        int type = wanted;
        const int found = style->findPart(type, level1, level2);
        if (found >= 1 && type == wanted) in.requestAndSelect(found);
    }

    static void startStop(CLiveInput& in, const FunctionInfo&, int) { in.startStop(); }

    static void namedPart(CLiveInput& in, const FunctionInfo& row, int action)
    {
        in.selectVariation(row.partName, row.argument, action);
    }

    static void step(CLiveInput& in, const FunctionInfo& row, int) { in.changeSetting(row.argument, row.step); }

    static void tempo(CLiveInput& in, const FunctionInfo& row, int) { in.engine->stepTempo(row.step); }

    static void transpose(CLiveInput& in, const FunctionInfo& row, int)
    {
        in.engine->changeTransposition(row.step, true);
    }

    static void toggle(CLiveInput& in, const FunctionInfo& row, int)
    {
        CKvSeq& e = *in.engine;
        int group = 0, now = 0;
        switch (row.argument) {
        case kLeftVoices: e.toggleSetting(&Mixer::leftVoicesOff); break;
        case kDrums: now = e.toggleSetting(&Mixer::drumsOff), group = 1; break;
        case kBass: now = e.toggleSetting(&Mixer::bassOff), group = 2; break;
        case kOther: now = e.toggleSetting(&Mixer::otherOff), group = 3; break;
        case kSyncStop: e.toggleSetting(&KeyboardAreas::syncStop, kChangeNone); break; // no display shows it
        case kBlockTempo: e.toggleSetting(&PlayState::blockTempo); break;
        case kMinorPedal: e.toggleMinorPedal(); break;
        case kLyricsMaximized: in.lyricsMaximized = toggled(in.lyricsMaximized), e.markChanged(); break;
        case kLyricsBigFont: in.lyricsBigFont = toggled(in.lyricsBigFont), e.markChanged(); break;
        default: return;
        }
        if (group && now == 1) in.silenceGroup(group);
    }

    static void tapTempo(CLiveInput& in, const FunctionInfo&, int)
    {
        CKvSeq& e = *in.engine;
        const int64_t now = e.clock ? e.clock->nowMs() : 0;
        const int64_t d = now - in.lastTapTime;
        const int64_t change = d - in.lastTapInterval;
        if (change >= -1999 && change <= 1999 && d > 0) {
            // A tapped tempo is the player's own: the style's tempo events
            // must not take it back at the next loop.
            e.setTempo(static_cast<int>(std::min<int64_t>(60000 / d, 1000)));
            e.setUserTempo(e.get(e.play.tempo));
        }
        in.lastTapInterval = static_cast<int32_t>(std::min<int64_t>(d, INT32_MAX));
        in.lastTapTime = now;
    }

    static void chordMethod(CLiveInput& in, const FunctionInfo& row, int)
    {
        in.engine->setSetting(&KeyboardAreas::chordMethod, row.argument);
    }

    static void silence(CLiveInput& in, const FunctionInfo&, int)
    {
        if (in.engine->port) in.engine->port->allNotesOff();
    }

    static void pause(CLiveInput& in, const FunctionInfo&, int)
    {
        CKvSeq& e = *in.engine;
        const int now = e.togglePause();
        e.markChanged();
        if (now == 1) in.silenceGroup(9); // the players hold their place by themselves
    }

    static void presetVoice(CLiveInput& in, const FunctionInfo& row, int)
    {
        CKvSeq& e = *in.engine;
        const int preset = e.get(e.defaults.presetButtons[row.argument]);
        if (e.melody) e.melody->selectPreset(preset);
        e.markChanged();
    }

    static void showLoader(CLiveInput& in, const FunctionInfo&, int) { in.engine->markChanged(kChangeOpenLoader); }

    static void exitMenu(CLiveInput& in, const FunctionInfo&, int)
    {
        if (in.currentSet != 0) in.exitMenu();
    }

    static void lyricsScroll(CLiveInput& in, const FunctionInfo& row, int)
    {
        in.lyricsScroll = row.step;
        in.engine->markChanged(kChangeSetting | kChangeLyricsScroll);
    }

    static void chordsOnOff(CLiveInput& in, const FunctionInfo&, int)
    {
        in.engine->setChordRecognition(1 - in.engine->get(in.engine->areas.chordRecognitionOff));
    }

    static void chordArea(CLiveInput& in, const FunctionInfo&, int) { in.chordKeyDefinePending = 1; }

    static void splitArea(CLiveInput& in, const FunctionInfo&, int)
    {
        // Twice without a key: no split area, and the next key still defines one.
        if (in.splitKeyDefinePending)
            in.engine->setSetting(&KeyboardAreas::splitKey, -1);
        else
            in.splitKeyDefinePending = 1;
    }

    static void barLoop(CLiveInput& in, const FunctionInfo&, int)
    {
        CKvSeq& e = *in.engine;
        if (e.toggleSetting(&SongSettings::barLoop, kChangeNone) == 0) {
            e.setSetting(&SongSettings::songLoop, 0, kChangeNone);
            return;
        }
        CMidiSequence* song = e.get(e.play.playingSong);
        if (!song) return;
        // While a song plays the position counts thousandths of its ticks.
        const int64_t ticks = e.playPosition() / 1000;
        const int bar = song->barOfTicks(static_cast<int>(std::clamp<int64_t>(ticks, 0, INT32_MAX)));
        e.setSongRange(bar, bar, true);
        if (e.port) e.port->allNotesOff();
    }
};

namespace {
using F = FunctionEffects;
const char* const kPresetVoiceHelp = "Activate this voice. The four voice can be defined in preset and become available "
                                     "after the preset is activated.";
const char* const kSingleFingerHelp = "Select chord recognition method is single finger Yamaha standard.";

const FunctionInfo kCatalogue[kFunctionCount] = {
    {"Var Up", "Higher variation", "Switch to the next higher main variation.", &F::varUpDown, 1},
    {"Var Down", "Lower variation", "Switch to the next lower main variation.", &F::varUpDown, -1},
    {"Fill In", "Fill In", "Play the fill in that matches the current main variation.", &F::fillIn},
    {"Intro/ Ending", "Intro/ending",
     "Play the ending variation that matches the current main variation and then stop the accompaniment. If the "
     "accompaniment is already stopped or playing an ending then switch to an intro variation.",
     &F::introEnding},
    {"Start/ Stop", "Start/Stop", "Start (without chord, drums only) and stop the accompaniment.", &F::startStop},
    {"Intro A", "Intro A", "Play intro A.", &F::namedPart, 0, "Intro A"},
    {"Main A", "Main A", "Switch to main variation A.", &F::namedPart, 0, "Main A"},
    {"Fill In + Main A", "Fill In + Main A", "Play a fill in and then continue with main variation A.", &F::namedPart, 1,
     "Main A"},
    {"Ending A", "Ending A", "Play ending A and stop the accompaniment.", &F::namedPart, 0, "Ending A"},
    {"Intro B", "Intro B", "Play intro B.", &F::namedPart, 0, "Intro B"},
    {"Main B", "Main B", "Switch to main variation B.", &F::namedPart, 0, "Main B"},
    {"Fill In + Main B", "Fill In + Main B", "Play a fill in and then continue with main variation B.", &F::namedPart, 1,
     "Main B"},
    {"Ending B", "Ending B", "Play ending B and stop the accompaniment.", &F::namedPart, 0, "Ending B"},
    {"Intro C", "Intro C", "Play intro C.", &F::namedPart, 0, "Intro C"},
    {"Main C", "Main C", "Switch to main variation C.", &F::namedPart, 0, "Main C"},
    {"Fill In + Main C", "Fill In + Main C", "Play a fill in and then continue with main variation C.", &F::namedPart, 1,
     "Main C"},
    {"Ending C", "Ending C", "Play ending C and stop the accompaniment.", &F::namedPart, 0, "Ending C"},
    {"Main D", "Main D", "Switch to main variation D.", &F::namedPart, 0, "Main D"},
    {"Fill In + Main D", "Fill In + Main D", "Play a fill in and then continue with main variation D.", &F::namedPart, 1,
     "Main D"},
    {"Melody vol up", "Melody volume up", "Increase the volume of the melody voices.", &F::step, kMelodyVolume, nullptr,
     false, 1},
    {"Melody vol dn", "Melody volume down", "Decrease the volume of the melody voices.", &F::step, kMelodyVolume,
     nullptr, false, -1},
    {"Accomp vol up", "Accomp. volume up", "Increase the volume of the accompaniment.", &F::step, kAccompVolume, nullptr,
     false, 1},
    {"Accomp vol dn", "Accomp. volume down", "Decrease the volume of the accompaniment.", &F::step, kAccompVolume,
     nullptr, false, -1},
    {"Drums vol up", "Drums volume up", "Increase the volume of the drums.", &F::step, kDrumsVolume, nullptr, false, 1},
    {"Drums vol dn", "Drums volume down", "Decrease the volume of the drums.", &F::step, kDrumsVolume, nullptr, false, -1},
    {"Bass vol up", "Bass volume up", "Increase the volume of the bass.", &F::step, kBassVolume, nullptr, false, 1},
    {"Bass vol dn", "Bass volume down", "Decrease the volume of the bass.", &F::step, kBassVolume, nullptr, false, -1},
    {"Other vol up", "Other instr. volume up", "Increase the volume of the other accompaniment instruments.", &F::step,
     kOtherVolume, nullptr, false, 1},
    {"Other vol dn", "Other instr. volume down", "Decrease the volume of the other accompaniment instruments.",
     &F::step, kOtherVolume, nullptr, false, -1},
    {"Tempo up", "Tempo up", "Increase the tempo of the accompaniment.", &F::tempo, 0, nullptr, false, 5},
    {"Tempo down", "Tempo down", "Decrease the tempo of the accompaniment.", &F::tempo, 0, nullptr, false, -5},
    {"Transp up", "Transposition up", "Transpose everything that is played one semitone up.", &F::transpose, 0, nullptr,
     false, 1},
    {"Transp down", "Transposition down", "Transpose everything that is played one semitone down.", &F::transpose, 0,
     nullptr, false, -1},
    {"Left on/off", "Left hand voices on/off",
     "Switch left hand voices on/off. When left hand voices are switched on then the keys pressed in the chord area "
     "will not just trigger chord changes in the accompaniment, but will sound individually with the instrument that "
     "is defined for the left hand voices for the current multivoice in the voices window.",
     &F::toggle, kLeftVoices},
    {"Drums on/off", "Drums on/off", "Switch the drums of the accompaniment on and off.", &F::toggle, kDrums},
    {"Bass on/off", "Bass on/off", "Switch the bass of the accompaniment on and off.", &F::toggle, kBass},
    {"Other on/off", "Other instr. on/off", "Switch the other accompaniment instruments on and off.", &F::toggle,
     kOther},
    {"Tap tempo", "Tap tempo", "Set the tempo by tapping the beat.", &F::tapTempo},
    {"", "",
     "Switch sync stop on and off. During sync stop the accompaniment will stop immediately when you lift your left "
     "hand from the keyboard.",
     &F::toggle, kSyncStop},
    {"Full fingrd", "Full fingered", "Select chord recognition method is full fingered.", &F::chordMethod, 0},
    {"Single fngr Y", "Single finger (Yamaha)", kSingleFingerHelp, &F::chordMethod, 1},
    {"Single fngr R", "Single finger (Roland)", kSingleFingerHelp, &F::chordMethod, 2},
    {"Fingrd on bass", "Fingered on bass", "Select chord recognition method is fingered on bass.", &F::chordMethod, 3},
    {"Full keybrd", "Full keyboard", "Select chord recognition method is full keyboard.", &F::chordMethod, 4},
    {"Fingr: guitar", "Guitar", "Select chord recognition method is guitar.", &F::chordMethod, 5},
    {"", "",
     "If you use VTN in combination with an arranger keyboard then you can use this function to switch quickly "
     "between the internal arranger of your keyboard and VTN. In menu settings/On Off MIDI data, you can define all "
     "the sysex and controllers that have to be sent to your arranger."},
    {"", "", "Display the loader window to select a style.", &F::showLoader},
    {"Silence", "Silence", "Stop hanging notes.", &F::silence},
    {"Pause/ restart", "Pause / restart",
     "Pause and resume playing of MIDI files and accompaniment. Can be used to play without accompaniment. While "
     "paused you can play the lefthand voices without starting the accompaniment. Chords will still be applied to "
     "the autoharmony of the righthand melody. If the confirm restart preference is active then the accompaniment "
     "will not restart when a chord is played after an ending until you press this key.",
     &F::pause},
    {"", "",
     "When active the chord fixation pedal will prevent chord changes when pressed. This is usefull in combination "
     "with the chord recognition methods Guitar and Full-keyboard."},
    {"Free form", "Free form", "Select chord recognition method is free form.", &F::chordMethod, 6},
    {"Preset voice 1", "Preset voice 1", kPresetVoiceHelp, &F::presetVoice, 0},
    {"Preset voice 2", "Preset voice 2", kPresetVoiceHelp, &F::presetVoice, 1},
    {"Preset voice 3", "Preset voice 3", kPresetVoiceHelp, &F::presetVoice, 2},
    {"Preset voice 4", "Preset voice 4", kPresetVoiceHelp, &F::presetVoice, 3},
    {"Block tempo", "Block tempo", "Keep the tempo when another style is selected.", &F::toggle, kBlockTempo},
    {"Minor pedal", "Minor pedal", "Make the next chord a minor chord.", &F::toggle, kMinorPedal},
    {"Exit menu", "Exit menu", "Leave the current menu.", &F::exitMenu},
    {"Maxim. lyrics", "Maximize lyrics", "Maximize the lyrics display.", &F::toggle, kLyricsMaximized},
    {"Scroll down", "Scroll down", "Scroll the lyrics down.", &F::lyricsScroll, 0, nullptr, false, 1},
    {"Scroll up", "Scroll up", "Scroll the lyrics up.", &F::lyricsScroll, 0, nullptr, false, -1},
    {"", "", "Switch the big font of the lyrics display on and off.", &F::toggle, kLyricsBigFont},
    {"", "",
     "If the context of a function trigger is defined as 'After attention' then that function trigger will only be "
     "activated if the attention function is activated first. If the attention trigger is a key then it is active "
     "until it is released. Other attention triggers are valid until the next function is activated."},
    {"", "", ""},
    {"", "", ""},
    {"Chords on/off", "Chordrecognition on/off", "Switch the chord recognition on and off.", &F::chordsOnOff},
    {"Chord area", "Define highest chord key",
     "After activating this function the next key you press becomes the highest key of the chord area.",
     &F::chordArea},
    {"Split area", "Define split area",
     "After activating this function you can define the split area of you MIDI keyboard controller by pressing the "
     "splitkey. The keys in this area will play an alternate instrument as defined in the multivoice. Activating the "
     "function twice (without pressing a key) will set the split key to None.",
     &F::splitArea},
    {"Bar loop", "Bar loop", "Repeat the current bar of the MIDI file with drums and bass only.", &F::barLoop},
    {"Fill In A", "Fill In A",
     "Play Fill In A and repeat until the key is lifted (if triggered by a key). After that continue with the same "
     "Main variation as before.",
     &F::namedPart, 2, "Fill In A", true},
    {"Fill In B", "Fill In B",
     "Play Fill In B and repeat until the key is lifted (if triggered by a key). After that continue with the same "
     "Main variation as before.",
     &F::namedPart, 2, "Fill In B", true},
    {"Fill In C", "Fill In C",
     "Play Fill In C and repeat until the key is lifted (if triggered by a key). After that continue with the same "
     "Main variation as before.",
     &F::namedPart, 2, "Fill In C", true},
    {"Fill In D", "Fill In D",
     "Play Fill In D and repeat until the key is lifted (if triggered by a key). After that continue with the same "
     "Main variation as before.",
     &F::namedPart, 2, "Fill In D", true},
    {"Velocity variety+", "Increase velocity variety", "Make the velocities of the accompaniment vary more.", &F::step,
     kVelocityVariety, nullptr, false, 1},
    {"Velocity variety-", "Decrease velocity variety", "Make the velocities of the accompaniment vary less.", &F::step,
     kVelocityVariety, nullptr, false, -1},
    {"Pitch variety+", "Increase pitch variety", "Let the accompaniment vary its octaves more.", &F::step,
     kPitchVariety, nullptr, false, 1},
    {"Pitch variety-", "Decrease pitch variety", "Let the accompaniment vary its octaves less.", &F::step,
     kPitchVariety, nullptr, false, -1},
    {"Bass variety+", "Increase bass instrument variety", "Let the bass vary its instrument more.", &F::step,
     kBassVariety, nullptr, false, 1},
    {"Bass variety-", "Decrease bass instrument variety", "Let the bass vary its instrument less.", &F::step,
     kBassVariety, nullptr, false, -1},
};
} // namespace

const FunctionInfo* functionCatalogue() { return kCatalogue; }

int CLiveInput::callFunction(int id, int action)
{
    CLockGuard guard(inputMutex);
    return executeFunction(id, action);
}

int CLiveInput::executeFunction(int id, int action)
{
    const int result = runFunction(id, action);
    // What the function changed holds for the rest of the message.
    view = engine->inputView();
    return result;
}

int CLiveInput::runFunction(int id, int action)
{
    if (id == kFnAttention) {
        attentionContext = action == 2 ? 0 : action == 1 ? 2 : 1;
        return 0;
    }
    // An attention called from a controller lasts until the next function.
    if (attentionContext == 1) attentionContext = 0;
    if (id >= 0 && id < kFunctionCount) {
        const FunctionInfo& row = functions[static_cast<size_t>(id)];
        if (action == 2 && !row.actsOnRelease) return 0;
        if (row.effect) row.effect(*this, row, action);
        return id == kFnExitMenu && action != 2 ? 1 : 0;
    }
    if (action == 2) return 0;
    if (id >= kPresetFunctionBase && id < kPresetFunctionEnd) {
        if (engine->melody) engine->melody->selectPreset(id - kPresetFunctionBase);
        engine->markChanged();
    }
    return 0;
}

void CLiveInput::changeSetting(int which, int delta)
{
    if (which < 0 || which >= static_cast<int>(std::size(kStepped))) return;
    const Stepped& s = kStepped[which];
    const bool volume = which <= kOtherVolume;
    engine->changeSetting(s.field, [delta, volume](int32_t v) { return volume ? volumeStep(v, delta) : v + delta; });
    if (which == kMelodyVolume && engine->melody) engine->melody->updateVolumes(false);
    if (s.group >= 0) resendGroupVolumes(s.group);
}

void CLiveInput::requestAndSelect(int part)
{
    engine->requestPart(part);
    // A stopped accompaniment takes the part at once; the next chord starts it there.
    if (!engine->isStylePlaying()) engine->selectPart(engine->pendingRequest());
}

void CLiveInput::stepVariation(int direction)
{
    const CStyle* style = engine->currentStyle();
    if (!style) return;
    const int request = engine->get(engine->play.partRequest);
    const int base = request != 0 ? request : engine->get(engine->play.currentPart);
    if (base < 0 || base >= style->partCount()) return;
    const StylePart& p = style->parts[static_cast<size_t>(base)];
    int type = kPartMain, level1 = direction > 0 ? p.level1 + 1 : std::max(p.level1 - 1, 0), level2 = p.level2;
    const int found = style->findPart(type, level1, level2);
    if (found >= 1) requestAndSelect(found);
}

void CLiveInput::startStop()
{
    CKvSeq& e = *engine;
    const int mode = e.get(e.songState.playMode);
    if (mode == 0) {
        if (e.isStylePlaying()) {
            heldChordKeys.clear();
            e.requestStop();
            return;
        }
        // A song still playing after a style was loaded stops first.
        if (e.isSongPlaying()) {
            e.requestStop();
            return;
        }
        const CStyle* style = e.currentStyle();
        if (!style || style->partCount() < 2) {
            // Nothing to accompany with: play back the latest recording.
            const ApplicationHooks h = e.get(e.hooks);
            if (h.playSongSlot) h.playSongSlot(h.context);
            return;
        }
        // Drums alone until a chord is played, unless the left hand holds one.
        e.prepareStyleStart(!heldChordKeys.empty());
        e.markChanged();
        e.startStylePlayer();
    } else if (mode == 1 || mode == 2) {
        // Whatever plays stops; otherwise the loaded song starts.
        if (e.isPlaying()) {
            e.requestStop();
        } else if (CMidiSequence* song = e.loadedSong()) {
            e.playSong(song);
        }
    }
}

int CLiveInput::findPartByName(std::string_view name) const
{
    // Any letter case: the words are put into the case part names have.
    const std::string_view t = vtn::trimView(name);
    char words[32];
    if (t.size() >= sizeof words) return 0;
    bool wordStart = true;
    for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (wordStart && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        words[i] = c;
        wordStart = c == ' ';
    }
    int32_t wanted = kPartMain, level1 = 0, level2 = 0;
    if (!partKindOf(std::string_view(words, t.size()), wanted, level1, level2)) return 0;
    const CStyle* style = engine->currentStyle();
    if (!style) return 0;
    int type = wanted;
    const int found = style->findPart(type, level1, level2);
    // The Main A that stands in for a kind the style lacks is not the part named.
    return type == wanted ? found : 0;
}

void CLiveInput::selectVariation(std::string_view name, int kind, int action)
{
    if (kind == 2) {
        // The fill repeats while its key is held; letting go ends the repetition.
        engine->setRepeatFill(action == 1);
        if (action == 2) return;
    }
    const int index = findPartByName(name);
    if (index == 0) return;
    if (kind != 1) {
        requestAndSelect(index);
        return;
    }
    engine->setReturnPart(index);
    const CStyle* style = engine->currentStyle();
    const int current = engine->get(engine->play.currentPart);
    int letter = 0;
    if (style && current > 0 && current < style->partCount()) letter = style->parts[static_cast<size_t>(current)].level1;
    int type = kPartFillIn, level1 = letter, level2 = letter;
    const int fillPart = style ? style->findPart(type, level1, level2) : 0;
    // Without a fill in the style the named Main follows at once.
    requestAndSelect(fillPart >= 1 && type == kPartFillIn ? fillPart : index);
}
