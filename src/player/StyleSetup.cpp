// The set-up a style sends when it is selected: its own set-up part (part 0,
// transformed like any style event), then the channel defaults it leaves
// unset, so every style starts from the same known state.
#include "player/StyleSetup.h"

#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "midi/CMidiPort.h"
#include "player/Transform.h"
#include "sequence/CStyle.h"

namespace {
constexpr int kCtlPolyMode = 127;
constexpr int kStatusIgnored = 126;

bool startsPart(const CStyle& style, int r)
{
    for (int k = 1; k < style.partCount(); ++k)
        if (style.parts[static_cast<size_t>(k)].startevent == r) return true;
    return false;
}
} // namespace

void sendStyleSetup(CKvSeq& engine)
{
    CStyle* style = engine.currentStyle();
    CMidiPort* port = engine.port;
    if (!style || style->partCount() < 1 || !port) return;

    bool used[16] = {};
    for (const StylePart& part : style->parts)
        for (const PartChannel& ch : part.channels)
            if (ch.dest >= 0 && ch.dest < 16) used[ch.dest] = true;
    for (int c = 8; c < 16; ++c)
        if (used[c]) engine.sendEvent(controllerStatus(c), kCtlResetControllers, 0);
    port->resetControllers();

    const TransformSettings settings = transformSettings(engine);
    const Chord chord = engine.get(engine.play.accompChord);
    const bool bankSelect0 = settings.styleBankSelect == 0;
    const bool recording = engine.get(engine.play.inputMode) == kLiveMode && engine.isStylePlaying() && engine.get(engine.recordState.recording);
    const StylePart& setup = style->parts[0];
    for (int r = style->events[static_cast<size_t>(setup.startevent)].next; r >= kFirstEvent;
         r = style->events[static_cast<size_t>(r)].next) {
        const MidiEvent& m = style->events[static_cast<size_t>(r)];
        if (startsPart(*style, r)) break; // an empty set-up part
        StyleEvent e{m.stat, m.db1, m.db2, m.onoff};
        const bool plays = transformEvent(*style, e, chord, 0, settings, engine.bassMemory, engine.random);
        if (plays) {
            const bool sustain = isController(e.stat) && e.db1 == kCtlSustain;
            const bool bank = isController(e.stat) && (e.db1 == kCtlBankMsb || e.db1 == kCtlBankLsb);
            const bool drumProgram = isProgramChange(e.stat) && channelOf(e.stat) == 9;
            if (e.stat == kStatSysEx) {
                port->sendSysExText(m.string);
                if (recording) engine.recordEvent(kStatSysEx, 0, 0, 0, m.string);
            } else if (!sustain && e.stat != kStatusIgnored && !(bankSelect0 && (bank || drumProgram)) &&
                       isChannelMessage(e.stat)) {
                if (isProgramChange(e.stat) && bankSelect0) {
                    engine.sendEvent(controllerStatus(channelOf(e.stat)), kCtlBankMsb, engine.get(engine.defaults.bankMsb));
                    engine.sendEvent(controllerStatus(channelOf(e.stat)), kCtlBankLsb, engine.get(engine.defaults.bankLsb));
                }
                engine.sendEvent(e.stat, e.db1, e.db2);
            }
        }
        if (style->partEndsAfter(0, r)) break;
    }

    const int modulation = engine.get(engine.defaults.defaultModulation);
    const int pan = engine.get(engine.defaults.defaultPan);
    const int reverb = engine.get(engine.defaults.defaultReverb);
    const int chorus = engine.get(engine.defaults.defaultChorus);
    const int bankMode = settings.styleBankSelect;
    for (int c = 8; c < 16; ++c) {
        if (!used[c]) continue;
        engine.sendEvent(pitchBendStatus(c), 0, kPitchBendCentreMsb);
        engine.sendEvent(controllerStatus(c), kCtlPolyMode, 0);
        const int defaults[][2] = {{kCtlModulation, modulation}, {kCtlPortamentoTime, 0}, {kCtlPan, pan},
                                   {kCtlReverb, reverb},         {kCtlExpression, 127},  {kCtlChorus, chorus}};
        for (const auto& [controller, value] : defaults)
            if (port->controllerOf(c, controller) < 0) engine.sendEvent(controllerStatus(c), controller, value);
        if (bankMode != 0) {
            if (port->controllerOf(c, kCtlBankMsb) < 0)
                engine.sendEvent(controllerStatus(c), kCtlBankMsb, bankMode == 1 && setup.channels[c].drum ? 127 : 0);
            if (port->controllerOf(c, kCtlBankLsb) < 0) engine.sendEvent(controllerStatus(c), kCtlBankLsb, 0);
        }
    }
    const int volume = engine.get(engine.defaults.defaultVolume);
    for (const PartChannel& ch : setup.channels) {
        if (ch.dest <= 7 || ch.dest > 15) continue;
        const int level = applyVolumeLevel(*style, volume, noteClass(ch), settings);
        if (port->controllerOf(ch.dest, kCtlVolume) < 0) engine.sendEvent(controllerStatus(ch.dest), kCtlVolume, level);
    }
}
