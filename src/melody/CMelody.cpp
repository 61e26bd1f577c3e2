#include "melody/CMelody.h"

#include "base/CLockGuard.h"
#include "base/MessageSink.h"
#include "chords/Chord.h"
#include "engine/CKvSeq.h"
#include "sequence/CMidiSequence.h"

#include <algorithm>
#include <cstdio>

namespace {
// Room for every note that can sound at once; the melody's key path then
// never allocates.
constexpr size_t kReleasedCapacity = 256;
// Entries ended per pass of endKey; a key has at most 12 notes of its own,
// more only when a left-hand key was struck again and again without release.
constexpr int kEndBatch = 32;
// Beyond 11 octaves no shifted note is in range, so larger shifts behave the
// same and cannot overflow.
constexpr int kMaxOctaveShift = 11;

bool isChordTone(const Chord& chord, int pitch)
{
    for (const int32_t s : chord.intervals)
        if (s != -1 && (((s + chord.root) % 12) + 12) % 12 == pitch % 12) return true;
    return false;
}

int layerType(int pNoteOn) { return pNoteOn & 0xFF; }
bool isMelodyType(int type) { return type >= kLayerSingle && type <= kLayerCloseWide; }

} // namespace

CMelody::CMelody(CKvSeq* owner) : engine(owner)
{
    releasedNotes.reserve(kReleasedCapacity);
    if (initSharedMutex(melodyMutex) != 0) {
        vtn::printText("MutexInit failed");
    }
}

CMelody::~CMelody() { pthread_mutex_destroy(&melodyMutex); }

// ---- preset and volumes ----------------------------------------------------

void CMelody::selectPreset(int n)
{
    if (n < 0 || n >= kPresetCount) return;
    const bool pinned = engine->melodyView(true).pinned;
    {
        CLockGuard guard(melodyMutex);
        engine->setPresetIndex(n);
        bool split = false;
        for (int i = 0; i < 4; ++i) {
            PresetLayer l = engine->get(engine->presets[n].layers[i]);
            // Settings files are not to be trusted with a channel: any value
            // must stay a channel, never turn a note on into another status.
            l.layerChannel = ((l.layerChannel % 16) + 16) % 16;
            l.octaveShift = std::clamp(l.octaveShift, -kMaxOctaveShift, kMaxOctaveShift);
            layers[i] = l;
            split = split || l.type == kLayerSplit;
            if (l.type <= 0) continue;
            const int c = l.layerChannel;
            if (l.bankMsb >= 0) engine->sendEvent(controllerStatus(c), kCtlBankMsb, l.bankMsb);
            if (l.bankLsb >= 0) engine->sendEvent(controllerStatus(c), kCtlBankLsb, l.bankLsb);
            if (l.program >= 0) engine->sendEvent(programStatus(c), l.program, 0);
            engine->sendEvent(controllerStatus(c), kCtlModulation, l.modulation >= 0 ? l.modulation : engine->get(engine->defaults.defaultModulation));
            engine->sendEvent(controllerStatus(c), kCtlVolume, l.volume >= 0 ? l.volume : engine->get(engine->defaults.defaultVolume));
            engine->sendEvent(controllerStatus(c), kCtlPan, l.pan >= 0 ? l.pan : engine->get(engine->defaults.defaultPan));
            engine->sendEvent(controllerStatus(c), kCtlReverb, l.reverb >= 0 ? l.reverb : engine->get(engine->defaults.defaultReverb));
            engine->sendEvent(controllerStatus(c), kCtlChorus, l.chorus >= 0 ? l.chorus : engine->get(engine->defaults.defaultChorus));
        }
        updateVolumes(true);
        splitVoice.store(split, std::memory_order_relaxed);
    }
    engine->events.post(kChangePreset);
    if (pinned) engine->unpinRecordTime();
}

void CMelody::updateVolumes(bool alreadyLocked)
{
    if (!alreadyLocked) pthread_mutex_lock(&melodyMutex);
    const int melodyPercent = engine->get(engine->mixer.melodyVolume);
    const int leftPercent = engine->get(engine->mixer.leftVolume);
    const int defaultVolume = engine->get(engine->defaults.defaultVolume);
    for (const PresetLayer& l : layers) {
        if (l.type < 1) continue;
        const int v = l.volume >= 0 ? l.volume : defaultVolume;
        const int percent = l.type == kLayerLeft ? leftPercent : melodyPercent;
        engine->sendEvent(controllerStatus(l.layerChannel), kCtlVolume, levelAtPercent(v, percent));
    }
    if (!alreadyLocked) pthread_mutex_unlock(&melodyMutex);
}

int CMelody::hasSplitVoice() { return splitVoice.load(std::memory_order_relaxed) ? 1 : 0; }

// ---- left-hand and split keys ---------------------------------------------

void CMelody::areaVoice(int status, int pitch, int velocity, int area)
{
    if (!isNote(status) || pitch < 0 || pitch > 127) return;
    if (area != kLayerLeft && area != kLayerSplit) return;
    const bool pinned = engine->melodyView(true).pinned;
    {
        CLockGuard guard(melodyMutex);
        if (kindOf(status) == kNoteOff || velocity <= 0) {
            endKey(pitch, velocity);
        } else {
            const int v = std::min(velocity, 127);
            for (const PresetLayer& l : layers) {
                if (l.type != area) continue;
                int m = pitch + 12 * l.octaveShift;
                if (m < 0 || m > 127) m = pitch;
                // No sounding check: a key struck again sounds again, and its
                // one release ends every note it started.
                engine->sendEvent(noteOnStatus(l.layerChannel), m, v);
                trackEvent(noteOnStatus(l.layerChannel), m, v, l.type, false, pitch);
            }
        }
    }
    if (pinned) engine->unpinRecordTime();
}

// ---- right-hand keys with harmony -------------------------------------------

int CMelody::chordToneBelow(const Chord& chord, int from)
{
    int q = from - 2;
    if (q < 0) return q;
    do {
        --q;
    } while (q >= 0 && !isChordTone(chord, q));
    return q;
}

void CMelody::computeHarmony(int pitch, int& close, int& wide)
{
    harmonyOf(engine->melodyView(), pitch, close, wide);
}

void CMelody::harmonyOf(const MelodyView& v, int pitch, int& close, int& wide)
{
    close = wide = -1;
    if (!v.harmonyAllowed) return;
    close = chordToneBelow(v.chord, pitch);
    wide = chordToneBelow(v.chord, close);
}

void CMelody::keyOn(int pitch, int velocity, bool rebuild)
{
    if (pitch < 0 || pitch > 127) return;
    velocity = std::clamp(velocity, 1, 127);
    const MelodyView v = engine->melodyView(true);
    if (rebuild) {
        playKey(v, pitch, velocity, true);
    } else {
        CLockGuard guard(melodyMutex);
        playKey(v, pitch, velocity, false);
    }
    // The notes have left; the key goes into the recording after them.
    if (v.recordsMelody) engine->recordEvent(kStatMelody, pitch, velocity, 144, {});
    if (v.pinned) engine->unpinRecordTime();
}

void CMelody::playKey(const MelodyView& v, int pitch, int velocity, bool rebuild)
{
    int close = -1, wide = -1;
    harmonyOf(v, pitch, close, wide);
    const long long share = static_cast<long long>(v.harmonyVolume) * velocity / 100;
    const int hv = static_cast<int>(std::clamp(share, 1LL, 127LL)); // never 0: that would be a note off
    if (!rebuild) keyVelocity[pitch] = velocity;

    for (const PresetLayer& l : layers) {
        const int t = l.type;
        if (!isMelodyType(t)) continue;
        const int o = 12 * l.octaveShift;
        const int c = l.layerChannel;
        // On a chord change the main notes sound on untouched.
        if (!rebuild) {
            int m = pitch + o;
            if (m < 1 || m > 127) m = pitch;
            startNote(c, m, velocity, t, pitch);
        }
        const int harmony[2] = {(t == kLayerClose || t == kLayerCloseWide) ? close : -1,
                                (t == kLayerWide || t == kLayerCloseWide) ? wide : -1};
        for (const int h : harmony) {
            if (h < 0 || h + o < 0 || h + o > 127) continue;
            startNote(c, h + o, hv, t | kHarmonyNote, pitch);
        }
    }
}

void CMelody::startNote(int channel, int pitch, int velocity, int pNoteOn, int key)
{
    // One lock section for the check, the sends and the memory, held across
    // the sends as a player holds its own.
    CLockGuard guard(deviceMutex);
    if (findSounding(channel, pitch) >= 0) {
        engine->sendEvent(noteOffStatus(channel), pitch, velocity);
        trackEvent(noteOffStatus(channel), pitch, velocity, 0, true, 0);
    }
    engine->sendEvent(noteOnStatus(channel), pitch, velocity);
    trackEvent(noteOnStatus(channel), pitch, velocity, pNoteOn, true, key);
}

void CMelody::keyOff(int pitch, int velocity)
{
    if (pitch < 0 || pitch > 127) return;
    const MelodyView v = engine->melodyView(true);
    {
        CLockGuard guard(melodyMutex);
        endKey(pitch, velocity);
    }
    if (v.recordsMelody) engine->recordEvent(kStatMelody, pitch, velocity, 128, {});
    if (v.pinned) engine->unpinRecordTime();
}

void CMelody::endKey(int key, int velocity)
{
    // The entries are copied out under deviceMutex and sent without it: no
    // lock of this device is held while the engine and the port are called.
    SoundingNote batch[kEndBatch];
    for (;;) {
        int count = 0;
        pthread_mutex_lock(&deviceMutex);
        for (const SoundingNote& n : soundingNotes)
            if (n.pitchOriginal == key && count < kEndBatch) batch[count++] = n;
        pthread_mutex_unlock(&deviceMutex);
        if (count == 0) return;
        for (int i = 0; i < count; ++i) engine->sendEvent(noteOffStatus(batch[i].channel), batch[i].pitch, velocity);
        for (int i = 0; i < count; ++i) forget(batch[i]);
    }
}

void CMelody::forget(const SoundingNote& note)
{
    CLockGuard guard(deviceMutex);
    for (size_t i = 0; i < soundingNotes.size(); ++i) {
        const SoundingNote& n = soundingNotes[i];
        if (n.channel == note.channel && n.pitch == note.pitch && n.velocity == note.velocity &&
            n.pNoteOn == note.pNoteOn && n.pitchOriginal == note.pitchOriginal) {
            soundingNotes.erase(soundingNotes.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
    }
}

// ---- chord changes -----------------------------------------------------------

void CMelody::noteOff(int channel, int pitch, int velocity, int pNoteOn, int pitchOriginal)
{
    // Runs under deviceMutex inside releaseAll: send through the engine, never
    // touch this device's memories.
    if (pNoteOn & kHarmonyNote) engine->sendEvent(noteOffStatus(channel), pitch, 100);
    releasedNotes.push_back({channel, pitch, velocity, pNoteOn, pitchOriginal});
}

void CMelody::chordChanged()
{
    CLockGuard guard(melodyMutex);
    releasedNotes.clear();
    releaseAll(); // harmony notes end; every note is now in releasedNotes, last started first

    // Main notes and left-hand and split notes sound on: enter them again as
    // they are, in their original order. Re-deriving them from the layers
    // would lose notes of a preset changed since their key went down.
    const int count = static_cast<int>(releasedNotes.size());
    for (int i = count - 1; i >= 0; --i) {
        const SoundingNote& n = releasedNotes[static_cast<size_t>(i)];
        if (!(n.pNoteOn & kHarmonyNote))
            trackEvent(noteOnStatus(n.channel), n.pitch, n.velocity, n.pNoteOn, false, n.pitchOriginal);
    }

    // Each held right-hand key once, with the velocity it was struck with.
    uint64_t done[2] = {};
    for (int i = count - 1; i >= 0; --i) {
        const int key = releasedNotes[static_cast<size_t>(i)].pitchOriginal;
        if (!isMelodyType(layerType(releasedNotes[static_cast<size_t>(i)].pNoteOn)) || key < 0 || key > 127) continue;
        const uint64_t bit = uint64_t{1} << (key % 64);
        if (done[key / 64] & bit) continue;
        done[key / 64] |= bit;
        if (engine->melodyView().recordsMelody) engine->recordEvent(kStatMelody, key, keyVelocity[key], 128, {});
        keyOn(key, keyVelocity[key], true);
    }
    releasedNotes.clear();
}
