#include "player/Transform.h"

#include "base/MidiStatus.h"

#include <algorithm>
#include <cstdlib>

namespace {

bool startsNote(const StyleEvent& e) { return isNoteOn(e.stat, e.db2); }

// A five-note chord's tension stands in for its fifth: the fifth is the note
// a band leaves out, and the tension is what gives the chord its colour.
int slot(const Chord& chord, int i)
{
    const bool tension = chord.intervals[4] >= 0;
    if (tension && i == 2) return chord.intervals[4];
    if (tension && i == 4) return -1;
    return chord.intervals[i];
}

int normalise(int v)
{
    if (v > 6) return v - 12;
    if (v < -6) return v + 12;
    return v;
}

bool bitSet(uint8_t byte, int bit) { return ((byte >> bit) & 1) != 0; }

// The chord's root and type must both be enabled for the channel.
bool chordAllowed(const PartChannel& ch, const Chord& chord)
{
    const int t = chord.type, r = chord.root;
    if (t < 0 || t >= kChordTypeCount || r < 0 || r > 11) return false;
    return bitSet(ch.chordMute[4 - t / 8], t % 8) && bitSet(ch.noteMute[1 - r / 8], r % 8);
}

const PartChannel* channelOf(const CStyle& style, int part, int c)
{
    if (part < 0 || part >= style.partCount()) return nullptr;
    return &style.parts[static_cast<size_t>(part)].channels[c];
}

} // namespace

TransformSettings transformSettings(const CKvSeq& engine)
{
    TransformSettings s;
    engine.lock();
    s.styleBankSelect = engine.defaults.styleBankSelect;
    s.styleSysEx = engine.defaults.styleSysEx;
    s.drumsOff = engine.mixer.drumsOff;
    s.bassOff = engine.mixer.bassOff;
    s.otherOff = engine.mixer.otherOff;
    s.accompVolume = engine.mixer.accompVolume;
    s.drumsVolume = engine.mixer.drumsVolume;
    s.bassVolume = engine.mixer.bassVolume;
    s.otherVolume = engine.mixer.otherVolume;
    s.levelMode = engine.defaults.levelMode;
    s.targetVolume = engine.defaults.targetVolume;
    s.targetVelocity = engine.defaults.targetVelocity;
    s.liveMode = engine.play.inputMode == kLiveMode;
    s.currentPart = engine.play.currentPart;
    s.velocityVariety = engine.mixer.velocityVariety;
    engine.unlock();
    // The settings file can hold any number; the variety ranges assume 0-10.
    s.velocityVariety = std::clamp(s.velocityVariety, 0, 10);
    return s;
}

NoteClass noteClass(const PartChannel& channel)
{
    if (channel.drum) return kClassDrum;
    if (channel.ntt == 3) return kClassBass;
    return kClassOther;
}

int drumNote(int pitch)
{
    // Pitches 13-34 and 82-84 of older drum maps, moved to the General MIDI kit.
    static constexpr int kLow[22] = {64, 48, 62, 39, 69, 69, 62, 62, 37, 75, 75,
                                     75, 69, 46, 42, 46, 46, 37, 38, 37, 35, 40};
    static constexpr int kHigh[3] = {70, 54, 58};
    if (pitch >= 13 && pitch <= 34) return kLow[pitch - 13];
    if (pitch >= 82 && pitch <= 84) return kHigh[pitch - 82];
    return pitch;
}

int applyVolumeLevel(const CStyle& style, int value, NoteClass cls, const TransformSettings& settings)
{
    if (settings.levelMode == 1)
        value = settings.targetVolume;
    else if (settings.levelMode == 0 && style.averageVolume > 0)
        value = value * settings.targetVolume / style.averageVolume;
    if (settings.liveMode) {
        const int g = cls == kClassDrum ? settings.drumsVolume : cls == kClassBass ? settings.bassVolume : settings.otherVolume;
        value = levelAtPercent(value, g * settings.accompVolume / 100);
    }
    return std::clamp(value, 0, 127);
}

int applyVelocityLevel(const CStyle& style, int velocity, const TransformSettings& settings)
{
    if (settings.levelMode == 1)
        velocity = settings.targetVelocity;
    else if (settings.levelMode == 0 && style.averageVelocity > 0)
        velocity = velocity * settings.targetVelocity / style.averageVelocity;
    return std::clamp(velocity, 1, 127);
}

int varyVelocity(int velocity, int amount, CRandom& random)
{
    amount = std::min(amount, 10);
    if (amount < 1) return velocity;
    // The ranges are cut so the result stays within 1-127 without a clamp.
    if (random.next() % 2 != 0) {
        const int range = amount * ((velocity - 1) / 20);
        if (range > 1) velocity -= random.next() % range;
    } else {
        const int range = amount * (std::min(velocity - 1, 127 - velocity) / 20);
        if (range > 1) velocity += random.next() % range;
    }
    return velocity;
}

int transposeNote(int pitch, const Chord& chord, const PartChannel& channel, int partType)
{
    return transposeNote(pitch, chord, channel.sourceChord, channel.ruleFor(pitch), partType);
}

int transposeNote(int pitch, const Chord& chord, const Chord& source, const NoteRule& channel, int partType)
{
    const int sr = source.root >= 0 ? source.root : 0;
    const int rel = (pitch - sr) % 12;

    // An absent slot never matches: a pitch below the source root has a
    // negative rel, which is no chord tone either.
    int srcIdx = -1;
    for (int i = 0; i < 4; ++i)
        if (slot(source, i) >= 0 && slot(source, i) == rel) srcIdx = i;

    const bool sameQuality = source.intervals[1] == chord.intervals[1] && source.intervals[2] == chord.intervals[2];
    const int ntt = channel.ntt;
    const bool thirdAndFifth =
        chord.type != 30 && chord.type != 31 &&
        ((ntt == 1 && (sameQuality || partType == kPartIntro || partType == kPartEnding)) ||
         (ntt >= 3 && ntt <= 5 && sameQuality) ||
         (ntt == 2 && sameQuality && srcIdx == -1 && partType != kPartMain));

    const bool fifthToFifth = rel == 7 && slot(source, 2) == 7 && slot(chord, 2) >= 0;
    int s = 0;
    if (thirdAndFifth) {
        if (slot(chord, 1) >= 0 && (rel == 3 || rel == 4) && slot(source, 1) == rel)
            s = normalise(slot(chord, 1) - rel);
        else if (fifthToFifth)
            s = normalise(slot(chord, 2) - 7);
    } else {
        if (srcIdx != -1 && slot(chord, srcIdx) >= 0) {
            s = normalise(slot(chord, srcIdx) - rel);
        } else {
            s = 12;
            for (int i = 0; i < 5; ++i) {
                if (slot(chord, i) < 0) continue;
                const int d = normalise(slot(chord, i) - rel);
                if (std::abs(d) < std::abs(s)) s = d;
            }
        }
        if (fifthToFifth) s = normalise(slot(chord, 2) - 7);
    }

    // Keys above highKey play the pattern below the source instead of above it.
    const int r = chord.root > channel.highKey ? chord.root - 12 : chord.root;
    int out = (ntt == 3 && chord.bass >= 0) ? pitch + normalise(chord.bass - rel) : pitch - sr + s + r;
    // Root fixed: the same note of the new chord, in the octave nearest the
    // source pitch, so a voicing stays in its register whatever the root.
    if (channel.ntr == 1) {
        int shift = ((out - pitch) % 12 + 12) % 12;
        if (shift > 6) shift -= 12;
        out = pitch + shift;
    }

    if (out < channel.lowLimit)
        out += out + 12 >= channel.lowLimit ? 12 : 24;
    else if (out > channel.highLimit)
        out -= out - 12 <= channel.highLimit ? 12 : 24;
    // Limits read from a file may lie outside the MIDI range.
    while (out > 127) out -= 12;
    while (out < 0) out += 12;
    return out;
}

bool transformEvent(const CStyle& style, StyleEvent& event, const Chord& chord, int part,
                    const TransformSettings& settings, BassMemory& bass, CRandom& random)
{
    if (part < 0 || part >= style.partCount()) return false;
    if (event.stat == kStatSysEx || event.stat == kStatChord) return settings.styleSysEx == 1;
    if (event.stat < 7) return false;

    const int c = event.stat & 15;
    const PartChannel& ch = style.parts[static_cast<size_t>(part)].channels[c];
    // Mixer groups follow the part the engine is on; a style without that
    // part falls back on the part being played.
    const PartChannel* current = channelOf(style, settings.currentPart, c);
    const NoteClass cls = noteClass(current ? *current : ch);

    if (isController(event.stat) && event.db1 == kCtlVolume) event.db2 = applyVolumeLevel(style, event.db2, cls, settings);
    if (isNote(event.stat)) {
        const int off = cls == kClassDrum ? settings.drumsOff : cls == kClassBass ? settings.bassOff : settings.otherOff;
        if (off == 1) return false;
    }
    if (startsNote(event)) {
        event.db2 = applyVelocityLevel(style, event.db2, settings);
        if (settings.liveMode && settings.velocityVariety >= 1)
            event.db2 = varyVelocity(event.db2, settings.velocityVariety, random);
    }

    const int d = (settings.styleBankSelect == 0 && ch.drum) ? 9 : ch.dest;
    if (event.stat > 127) event.stat = event.stat - c + d;
    if (d < 8 || d > 15) return false;
    if (settings.styleBankSelect == 0 && d == 9 && isNote(event.stat)) event.db1 = drumNote(event.db1);
    // Bank 8 channels hold sound effects above 95, which other banks lack.
    if (settings.styleBankSelect != 2 && style.destBank8[d] && isNote(event.stat) && event.db1 > 95) return false;
    if (settings.styleBankSelect == 0) {
        if (isController(event.stat) && (event.db1 == kCtlBankMsb || event.db1 == kCtlBankLsb)) return false;
        if (d == 9 && isProgramChange(event.stat)) return false;
    }
    if (!style.destUsed[d]) return false;

    // What the chord rules silence are notes: a channel's program and
    // controllers always go out, or it would come in later with another
    // instrument or level than the part gives it.
    if (!isNote(event.stat)) return true;
    // Without a chord the accompaniment starts with its drums alone.
    if (chord.root < 0) return part == 0 || ch.drum;
    if (part != 0 && !chordAllowed(ch, chord)) return false;
    if (ch.drum) return true;
    // The source pitch chooses the range, before the bass memory moves it.
    const NoteRule rule = ch.ruleFor(event.db1);
    if (rule.ntt == 0) return true;

    if (rule.ntt == 3) {
        if (startsNote(event)) {
            // The first bass note after a chord change starts on the root.
            if (!bass.hasChord || !chordsEqual(chord, bass.chord)) {
                bass.lastPitch = event.db1;
                const int pc = event.db1 % 12;
                event.db1 = event.db1 + ch.sourceChord.root - pc + (pc >= 7 ? 12 : 0);
                bass.replacedBy = event.db1;
            }
            bass.chord = chord;
            bass.hasChord = true;
        } else if (event.db1 == bass.lastPitch) {
            event.db1 = bass.replacedBy;
            bass.lastPitch = -1;
        }
    }
    event.db1 = transposeNote(event.db1, chord, ch.sourceChord, rule, style.partType(part));
    return true;
}
