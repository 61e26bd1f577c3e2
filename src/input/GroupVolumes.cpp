// The mixer groups of the accompaniment (1 drums, 2 bass, 3 other): their
// volumes sent again after a change, and what sounds on them cut.
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "input/CLiveInput.h"
#include "midi/CMidiPort.h"
#include "player/Transform.h"
#include "sequence/CStyle.h"

#include <algorithm>

namespace {
bool songMode(const CKvSeq& e)
{
    const int mode = e.get(e.songState.playMode);
    return mode == 1 || mode == 2;
}

// Group of song channel c: 1 drums (channel 10), 2 the song's bass, 3 other.
int songGroup(int c, int bassChannel) { return c == 9 ? 1 : c == bassChannel ? 2 : 3; }
} // namespace

void CLiveInput::resendGroupVolumes(int group)
{
    CKvSeq& e = *engine;
    CMidiPort* port = e.port;
    if (!port) return;
    if (songMode(e)) {
        const int bassChannel = e.get(e.songState.songBassChannel);
        const Mixer mixer = e.snapshot<Mixer>();
        const int accomp = mixer.accompVolume;
        const int levels[] = {0, mixer.drumsVolume, mixer.bassVolume, mixer.otherVolume};
        for (int c = 0; c < 16; ++c) {
            const int g = songGroup(c, bassChannel);
            if (group != 0 && group != g) continue;
            // A channel the song never set a volume for is left as it is.
            const int song = port->controllerOf(c, kCtlVolume);
            if (song < 0) continue;
            const int p = accomp * levels[g] / 100;
            port->send(controllerStatus(c), kCtlVolume, levelAtPercent(song, p));
        }
        return;
    }

    // Style mode: every channel of the style again, whatever the group.
    const CStyle* style = e.currentStyle();
    if (!style || style->partCount() < 2) return;
    const TransformSettings settings = transformSettings(e);
    const int part = settings.currentPart;
    if (part < 0 || part >= style->partCount()) return;

    int setupVolume[16];
    std::fill(std::begin(setupVolume), std::end(setupVolume), -1);
    const StylePart& setup = style->parts[0];
    for (int r = style->events[static_cast<size_t>(setup.startevent)].next; r >= kFirstEvent;
         r = style->events[static_cast<size_t>(r)].next) {
        const MidiEvent& m = style->events[static_cast<size_t>(r)];
        if (std::any_of(style->parts.begin() + 1, style->parts.end(), [r](const StylePart& p) { return p.startevent == r; }))
            break; // an empty set-up part
        if (isController(m.stat) && m.db1 == kCtlVolume) setupVolume[channelOf(m.stat)] = m.db2;
        if (style->partEndsAfter(0, r)) break;
    }

    // A controller follows no chord; without one in force any chord carries it.
    Chord chord = e.get(e.play.accompChord);
    if (chord.root < 0) buildChord(chord, 0, 0, -1);
    const int defaultVolume = e.get(e.defaults.defaultVolume);
    int out[16];
    std::fill(std::begin(out), std::end(out), -1);
    BassMemory bass;
    CRandom random;
    for (int c = 0; c < 16; ++c) {
        int value = setupVolume[c];
        if (value < 0) {
            if (style->parts[static_cast<size_t>(part)].channels[c].dest < 0) continue; // not in use
            value = defaultVolume;
        }
        StyleEvent event{controllerStatus(c), kCtlVolume, std::clamp(value, 0, 127), 0};
        if (transformEvent(*style, event, chord, part, settings, bass, random) && isController(event.stat))
            out[channelOf(event.stat)] = event.db2;
    }
    for (int d = 8; d < 16; ++d)
        if (out[d] >= 0) e.sendEvent(controllerStatus(d), kCtlVolume, out[d]);
}

void CLiveInput::silenceGroup(int group)
{
    CKvSeq& e = *engine;
    CMidiPort* port = e.port;
    if (!port) return;
    bool member[16] = {};
    if (songMode(e)) {
        const CMidiSequence* song = e.loadedSong();
        const int bassChannel = e.get(e.songState.songBassChannel);
        for (int c = 0; c < 16; ++c) {
            const int g = songGroup(c, bassChannel);
            const bool used = song && song->channelNoteCount[c] > 0;
            member[c] = group == 9 ? used : group == g && (g != 3 || used);
        }
    } else {
        const CStyle* style = e.currentStyle();
        const int part = e.get(e.play.currentPart);
        for (int c = 0; style && c < 16; ++c) {
            const int cls = style->channelClass(part, c);
            member[c] = group == 9 ? cls > 0 : cls == group;
        }
    }
    for (int c = 0; c < 16; ++c) {
        if (!member[c]) continue;
        port->forgetChannel(c); // only these: a later cut still ends the others' notes one by one
        port->send(controllerStatus(c), kCtlAllNotesOff, 0);
        port->send(controllerStatus(c), kCtlAllSoundOff, 0);
    }
}
