// Moving between parts and styles while the accompaniment plays: the bar
// start, the switch to a requested part with the chase of its held notes,
// the end of Intros and Fill Ins, the change of style at a bar line, and the
// start of a recording.
#include "player/PartSequencing.h"

#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "player/CPlayer.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {
// Bar starts closer together than this (a very short bar at a high tempo)
// count as one.
constexpr int64_t kBarStartGapUs = 99'000;
} // namespace

bool requestStartsNow(int requestedType, int beat, int beatsPerBar, int lastBeat)
{
    return requestedType == kPartFillIn && beat != beatsPerBar && beat >= lastBeat;
}

int partAfterEnd(int type, bool justSwitched, bool repeatFill, int current, int returnPart)
{
    if (type == kPartIntro || (type == kPartFillIn && !justSwitched)) return repeatFill ? current : returnPart;
    return -1;
}

void CPlayer::barStart()
{
    const int64_t now = engine->clock->nowUs();
    if (now <= lastBarStartUs + kBarStartGapUs) return;
    lastBarStartUs = now;
    justSwitched = 0;
    // What the bars before queued is theirs: a chord change no longer takes it back.
    sealStyleQueue();
    // A bar in quarter notes of 480 ticks, whatever the style's beat unit.
    barStartPosition += style->numerator * 480 * 4 / std::max(1, style->denominator);
    engine->setSongPosition(barStartPosition);
    // What comes in at the bar line keeps the time the bar line was due.
    const int64_t barLine = dueMoment();
    if (engine->get(engine->pendingStyleSlot) != engine->get(engine->currentStyleSlot)) {
        switchStyle();
        dueNs = barLine;
        waitBudgetNs = 0;
        fromTick = tick;
    }
    if (!restartPart && engine->pendingRequest() > 0) {
        switchPart();
        dueNs = barLine;
        startWait(tick);
    }
    varyBass();
    barStartTick = tick;
}

void CPlayer::switchPart()
{
    const int request = engine->pendingRequest();
    if (request <= 0) return;
    if (request >= style->partCount()) {
        // A request left over from another style names no part here.
        engine->clearPartRequests();
        return;
    }
    settings = transformSettings(*engine);
    sealStyleQueue();
    releaseAll();
    retriggerCount = 0;
    takeChordChange();
    style->ticksToBarBeat(tick, &bar, &beat, &tickInBeat);
    const int oldBeat = beat, oldTickInBeat = tickInBeat;
    engine->selectPart(request);
    ++switches;
    shiftedNoteEnd = shiftedPitch = -1;
    const StylePart& part = style->parts[static_cast<size_t>(request)];
    justSwitched = part.type == kPartEnding || part.type == kPartFillIn;
    if (engine->get(engine->recordState.recording)) engine->recordEvent(kStatVariation, 0, 0, 0, part.name);

    // The new part goes on at the same place within the bar.
    const int newBar = style->barOfTicks(part.offsettime);
    barStartTick = style->barBeatToTicks(newBar, 1, 0);
    setPosition(style->barBeatToTicks(newBar, oldBeat, oldTickInBeat));

    // Chase: what the new part set up before this point takes effect, and its
    // notes that are held here are remembered, to sound below.
    const Chord chord = engine->get(engine->play.accompChord);
    int r = style->events[static_cast<size_t>(part.startevent)].next;
    int before = part.startevent;
    for (; r >= kFirstEvent; before = r, r = style->events[static_cast<size_t>(r)].next) {
        const MidiEvent& m = style->events[static_cast<size_t>(r)];
        if (m.stat == kStatMarker || m.ticks >= tick) break;
        if (m.stat == kStatTempo && !engine->get(engine->play.blockTempo) && engine->get(engine->play.userTempo) == 0)
            engine->setTempo(m.db1);
        StyleEvent e{m.stat, m.db1, m.db2, m.onoff};
        // What the transformation drops (a channel without destination, a
        // bank select it filters) is not sent here either.
        if (!transformEvent(*style, e, chord, request, settings, engine->bassMemory, engine->random)) continue;
        if (isNote(e.stat)) {
            // A drum hit is over as soon as it sounds: started late it would
            // only be a late hit.
            if (part.channels[channelOf(m.stat)].drum) continue;
            if (!isNoteOn(e.stat, e.db2) || acceptsEvent(e.stat, e.db1, e.db2)) trackEvent(e.stat, e.db1, e.db2, r, false, 0);
        } else if (isProgramChange(e.stat) || isController(e.stat)) {
            sendTracked(e, r);
        }
    }
    loadEvent(r);
    toTick = r >= kFirstEvent ? style->events[static_cast<size_t>(r)].ticks : partEndTick(request);
    fromTick = before >= kFirstEvent ? style->events[static_cast<size_t>(before)].ticks : part.offsettime;

    // Notes the new part holds across the switch point start now.
    CLockGuard guard(deviceMutex);
    for (const SoundingNote& n : soundingNotes) engine->sendEvent(noteOnStatus(n.channel), n.pitch, n.velocity);
}

void CPlayer::endOfPart()
{
    const int current = currentPart();
    const int next = partAfterEnd(style->partType(current), justSwitched, engine->get(engine->play.repeatFill), current,
                                  engine->get(engine->play.returnPart));
    if (next < 0) return;
    int target = next;
    if (target <= 0) {
        // Nothing to return to yet: Main A, as after an Ending.
        int type = kPartMain, level1 = 0, level2 = 0;
        target = style->findPart(type, level1, level2);
        if (target <= 0) return;
    }
    engine->requestPart(target);
    switchPart();
}

void CPlayer::switchStyle()
{
    sealStyleQueue();
    releaseAll();
    retriggerCount = 0;
    engine->lock();
    const bool moved = !chordsEqual(engine->play.currentChord, engine->play.accompChord);
    const Chord chord = engine->play.accompChord;
    engine->unlock();
    if (moved)
        takeChordChange();
    else if (engine->get(engine->recordState.recording))
        engine->recordEvent(kStatChord, 0, 0, 0, chord.symbol);
    engine->selectStyleSlot(engine->get(engine->pendingStyleSlot));
    style = engine->currentStyle();
    engine->setPlayingStyle(style);
    const bool recording = engine->get(engine->recordState.recording);
    if (recording) engine->recordEvent(kStatStyle, 0, 0, 0, engine->get(engine->styleName));
    if (style->numerator != beatsPerBar || style->denominator != beatUnit) {
        beatsPerBar = style->numerator;
        beatUnit = style->denominator;
        if (recording) engine->recordEvent(kStatTimeSig, beatsPerBar, beatUnit, 0, {});
    }
    if (recording) engine->recordEvent(kStatTempo, style->tempo, 0, 0, {});
    restartPart = 1;
}

void CPlayer::startRecording()
{
    // Named after the style file, without folder and extension.
    std::string styleName = engine->get(engine->styleName);
    styleName = styleName.substr(styleName.find_last_of("/\\") + 1);
    styleName = styleName.substr(0, styleName.find('.'));
    engine->createNumberedRecording(styleName);

    const CStyle* current = engine->currentStyle();
    engine->lock();
    if (CMidiSequence* rec = engine->recordSequence) {
        if (current) {
            rec->numerator = current->numerator;
            rec->denominator = current->denominator;
            rec->tempo = current->tempo;
        }
    }
    const Chord chord = engine->play.accompChord;
    engine->unlock();
    engine->recordEvent(kStatVariation, 0, 0, 0, engine->currentPartName());
    engine->recordEvent(kStatChord, 0, 0, 0, chord.symbol);
    if (engine->melody) engine->melody->selectPreset(engine->get(engine->play.presetIndex));
    engine->sendStyleSetup();
    if (engine->port) engine->port->recordHeldNotes();
}
