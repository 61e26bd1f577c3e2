// The style player thread: set-up, the part loop, the wait and the playing
// of one event. The position is recomputed from the clock at every step and
// lateness carries into the next wait, so the music never drifts; the clock
// is read in microseconds and no sleep runs past the moment the next event
// is due.
#include "player/StylePlayer.h"

#include "base/CClock.h"
#include "base/CLockGuard.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "player/CPlayer.h"
#include "player/PartSequencing.h"
#include "player/PlayerTiming.h"
#include "sequence/CStyle.h"

#include <algorithm>
#include <ctime>

namespace {
// The step of the plain millisecond wait (the benchmark's).
constexpr int64_t kStepUs = 1000;
// Room kept free in the recording, in events: far more than a player and
// both hands send between two roomy gaps.
constexpr size_t kRecordMargin = 2048;
// The position of the engine counts 480 ticks per quarter note.
constexpr int64_t kSongTicks = 480;
// How far ahead of its moment a message is queued, as for songs.
constexpr int64_t kStyleAheadNs = 5'000'000;

} // namespace

void* stylePlayerThread(void* arg)
{
    raisePlayerPriority();
    CPlayer player(static_cast<CKvSeq*>(arg));
    player.runStyle();
    return nullptr;
}

int CPlayer::currentPart() const
{
    // Whatever another thread selected, the index stays inside the style played.
    const int part = engine->get(engine->play.currentPart);
    return part >= 0 && part < style->partCount() ? part : std::min(1, style->partCount() - 1);
}

void CPlayer::runStyle()
{
    setUp();
    for (;;) {
        // Part start.
        restartPart = 0;
        justSwitched = 0;
        shiftedNoteEnd = shiftedPitch = -1;
        const StylePart& part = style->parts[static_cast<size_t>(currentPart())];
        // The part starts again at its own beginning: the bar-relative song
        // position carries on across the jump.
        barStartTick += part.offsettime - tick;
        fromTick = part.offsettime;
        setPosition(fromTick);
        loadEvent(style->events[static_cast<size_t>(part.startevent)].next);
        for (;;) {
            bool atEnd = false;
            while (eventIndex >= kFirstEvent) {
                toTick = style->events[static_cast<size_t>(eventIndex)].ticks;
                if (event.stat == kStatMarker || engine->get(engine->play.stopRequest)) {
                    atEnd = true;
                    break;
                }
                waitUntil();
                if (restartPart) break;
                // A stop ends the wait at once; the event it ended is not due.
                if (engine->get(engine->play.stopRequest)) {
                    atEnd = true;
                    break;
                }
                // The sound generator came back: set it up before it hears more.
                if (engine->takeSetupResend()) {
                    sealStyleQueue();
                    engine->sendStyleSetup();
                }
                beginQueuedEvent();
                playEvent();
                playing = nullptr;
                fromTick = toTick;
                loadEvent(style->events[static_cast<size_t>(eventIndex)].next);
                if (eventIndex >= kFirstEvent && ticksToNs(style->events[static_cast<size_t>(eventIndex)].ticks - fromTick,
                                                           style->ticksPerBeat, waitTempo) > kRoomyGapNs)
                    growRecording();
            }
            if (restartPart) break;
            if (!atEnd) toTick = partEndTick(currentPart());
            const int32_t switchesBefore = switches;
            waitUntil();
            if (restartPart) break;
            // A part that took over at the bar line goes on from where the
            // switch left it, without waiting again for its first events.
            if (switches != switchesBefore && !engine->get(engine->play.stopRequest)) continue;
            endOfPart();
            break;
        }
        if (engine->get(engine->play.stopRequest)) break;
        if (style->partType(currentPart()) != kPartEnding || justSwitched || restartPart) continue;
        break;
    }
    endThread();
}

void CPlayer::setUp()
{
    engine->random.seed(engine->fixedSeed ? engine->fixedSeed : static_cast<uint32_t>(std::time(nullptr)));
    forgetAll();
    resetControllers();
    savedBassProgram = -1;
    style = engine->beginStyleRun();
    engine->setLastBeat(1);
    retriggerCount = 0;
    barStartPosition = 0;
    lastBarStartUs = engine->clock->nowUs();
    plainWait = engine->get(engine->play.plainMillisecondWait) != 0;
    const bool ahead = !plainWait && (!engine->clock->isManual() || engine->styleQueueOnManualClock);
    styleAheadNs = ahead && engine->port && engine->port->startQueue() ? kStyleAheadNs : 0;
    styleQueuedCount = sealedCount = 0;
    lastStampUs = sealedUntilUs = -1;
    dueNs = nowNs();
    prevBeat = 1;
    justSwitched = 0;
    settings = transformSettings(*engine);
    barStartTick = style->parts[static_cast<size_t>(currentPart())].offsettime;
    tick = barStartTick;
    engine->setPlayPosition(0, 0, 0);
    engine->unpinRecordTime();
    setPosition(barStartTick);
    beatsPerBar = style->numerator;
    beatUnit = style->denominator;
    if (engine->get(engine->recordState.recording)) startRecording();
}

void CPlayer::endThread()
{
    CMidiPort* port = engine->port;
    if (styleAheadNs && port) {
        // A stop takes back what is queued; an ending that ran out lets it
        // sound before its notes are released.
        if (engine->get(engine->play.stopRequest)) {
            port->takeBack(0);
            undoStyle(firstQueuedFrom(port->takenBackFrom()), false);
        } else if (lastStampUs >= 0) {
            sleepUntilDue(*engine->clock, lastStampUs * 1000, engine->clock->wakeTicket(), false);
        }
        styleQueuedCount = sealedCount = 0;
        stampUs = -1;
    }
    releaseAll();
    for (int c = 8; c < 16; ++c) {
        engine->sendEvent(controllerStatus(c), kCtlAllNotesOff, 0);
        engine->sendEvent(controllerStatus(c), kCtlAllSoundOff, 0);
        engine->sendEvent(pitchBendStatus(c), 0, kPitchBendCentreMsb);
    }
    // After an Ending the next start begins with Main A.
    if (style->partType(currentPart()) == kPartEnding) {
        int type = kPartMain, level1 = 0, level2 = 0;
        const int mainA = style->findPart(type, level1, level2);
        if (mainA > 0) engine->selectPart(mainA);
    }
    // Nothing is recorded into the performance once it is handed over.
    CMidiSequence* recording = engine->takeRecording();
    engine->setPlayingStyle(nullptr);
    engine->setPlayPosition(engine->get(engine->play.songPosition), 0, 0);
    engine->saveRecording(recording);
    if (styleAheadNs && port) port->stopQueue();
    engine->styleRunEnded();
}

int CPlayer::partEndTick(int part)
{
    const StylePart& p = style->parts[static_cast<size_t>(part)];
    return style->barBeatToTicks(style->barOfTicks(p.offsettime) + p.bars, 1, 0);
}

void CPlayer::growRecording()
{
    // The recording grows ahead of need, while there is time before the
    // next note, so that recording a note never has to move the whole list
    // while the note waits.
    CLockGuard guard(engine->engineMutex);
    CMidiSequence* rec = engine->recordSequence;
    if (!rec) return;
    std::vector<MidiEvent>& events = rec->events;
    if (events.capacity() - events.size() < kRecordMargin) events.reserve(events.capacity() * 2 + kRecordMargin);
}

void CPlayer::loadEvent(int index)
{
    eventIndex = index;
    if (index < kFirstEvent) return;
    const MidiEvent& e = style->events[static_cast<size_t>(index)];
    event = {e.stat, e.db1, e.db2, e.onoff};
}

void CPlayer::setPosition(int at)
{
    tick = at;
    style->ticksToBarBeat(at, &bar, &beat, &tickInBeat);
    const int64_t position = positionOf(at);
    engine->setPlayPosition(position, position, 0);
}

int64_t CPlayer::positionOf(int at) const
{
    return barStartPosition + int64_t{at - barStartTick} * kSongTicks / std::max(1, style->ticksPerBeat);
}

int64_t CPlayer::nowNs() const
{
    return plainWait ? engine->clock->nowMs() * 1'000'000 : engine->clock->nowUs() * 1000;
}

int64_t CPlayer::dueMoment() const
{
    // Never later than now: the position has been reached.
    return std::min(walkNowNs(), waitStartNs + ticksToNs(tick - waitStartTick, style->ticksPerBeat, waitTempo));
}

void CPlayer::startWait(int from)
{
    waitStartTick = from;
    waitTempo = engine->get(engine->play.tempo);
    if (plainWait) {
        // The wait as a plain poll: budgets in whole milliseconds from the
        // clock reading, lateness carried, a positive remainder dropped.
        if (waitBudgetNs > 0) waitBudgetNs = 0;
        waitStartNs = nowNs();
        waitBudgetNs += int64_t{toTick - from} * 60'000 / (int64_t{style->ticksPerBeat} * waitTempo) * 1'000'000;
        return;
    }
    // Each wait runs from the moment its start was due, not from when it
    // began: time spent between waits is never lost and lateness is caught
    // up, so the music cannot drift.
    waitStartNs = dueNs;
    waitBudgetNs = ticksToNs(toTick - from, style->ticksPerBeat, waitTempo);
}

void CPlayer::waitUntil()
{
    CClock& clock = *engine->clock;
    const int tpb = style->ticksPerBeat;
    startWait(fromTick);
    int64_t now = walkNowNs();
    uint32_t ticket = clock.wakeTicket();
    // Stopping: nothing more to wait for.
    if (engine->get(engine->play.stopRequest)) {
        setPosition(toTick);
        return;
    }
    // The beat a sleep was planned to end at, and when that beat begins.
    int32_t plannedTick = -1;
    int64_t plannedNs = 0;
    for (;;) {
        const int64_t left = waitStartNs + waitBudgetNs - now;
        if (left > 0 && plainWait) {
            clock.sleepUs(kStepUs);
            now = nowNs();
        } else if (left > 0) {
            // Asleep until the event is due or the next beat begins (bar
            // starts, part requests and a chord held over to the beat are
            // decided there), whichever comes first, unless woken sooner by
            // a change the player reacts to. Never past the event.
            int64_t until = waitStartNs + waitBudgetNs;
            const int32_t nextBeat = tick - tickInBeat + std::max(1, tpb);
            plannedTick = -1;
            if (nextBeat < toTick) {
                const int64_t beatNs = waitStartNs + ticksToNs(nextBeat - waitStartTick, tpb, waitTempo) + 1;
                if (beatNs < until) {
                    until = beatNs;
                    plannedTick = nextBeat;
                    plannedNs = beatNs;
                }
            }
            engine->setPlayPosition(positionOf(tick), positionOf(toTick), kSongTicks * waitTempo);
            sleepUntilDue(clock, until - styleAheadNs, ticket, styleAheadNs == 0);
            now = walkNowNs();
        }
        // What the other threads may have changed, read in one step; a
        // change after this reading wakes the next sleep at once.
        ticket = clock.wakeTicket();
        engine->lock();
        const int tempo = engine->play.tempo;
        const int request = engine->play.fillRequest >= 1 ? engine->play.fillRequest : engine->play.partRequest;
        const int lastBeat = engine->play.lastBeat;
        const bool chordMoved = !chordsEqual(engine->play.currentChord, engine->play.accompChord);
        const bool paused = engine->play.paused && !engine->play.stopRequest;
        engine->unlock();

        // A new tempo takes effect at once: what is left of the wait is
        // stretched or shrunk by it.
        if (tempo != waitTempo && tempo > 0) {
            const int64_t rest = waitStartNs + waitBudgetNs - now;
            waitStartTick = std::min(toTick, waitStartTick + ticksInNs(now - waitStartNs, tpb, waitTempo));
            waitStartNs = now;
            waitBudgetNs = rest > 0 ? rest * waitTempo / tempo : rest;
            waitTempo = tempo;
        }
        const bool due = now >= waitStartNs + waitBudgetNs;
        int32_t at = due ? toTick : std::min(toTick, waitStartTick + ticksInNs(now - waitStartNs, tpb, waitTempo));
        // Woken for a beat: the beat has begun, whatever the rounding says.
        if (plannedTick >= 0 && now >= plannedNs) at = std::max(at, std::min(toTick, plannedTick));
        plannedTick = -1;
        setPosition(at);
        if (styleAheadNs) {
            stampUs = std::max(lastStampUs, (dueMoment() + 999) / 1000);
            followStyleTakeBack();
        }
        if (beat == 1 && prevBeat != 1) barStart();
        prevBeat = beat;
        if (restartPart) break;
        if (request > 0 && requestStartsNow(style->partType(request), beat, beatsPerBar, lastBeat)) {
            dueNs = dueMoment();
            switchPart();
            justSwitched = 0;
            startWait(tick);
        }
        if (beat != lastBeat) engine->setLastBeat(beat);
        // A chord played in the last quarter of a beat takes effect at the next beat.
        if (chordMoved && !styleAheadNs && tickInBeat <= tpb * 3 / 4) takeChordChange();
        if (chordMoved && styleAheadNs) {
            const int64_t changeUs = chordMomentUs();
            if (changeUs >= 0) takeChordChange(changeUs);
        }
        if (paused) {
            // Held in place: the time spent paused is not music to catch up
            // on. What is queued plays out.
            sealStyleQueue();
            const int64_t pausedAt = nowNs();
            waitWhilePaused();
            const int64_t pausedFor = nowNs() - pausedAt;
            waitStartNs += pausedFor;
            lastBarStartUs += pausedFor / 1000;
            now = walkNowNs();
            ticket = clock.wakeTicket() - 1; // look again before sleeping
        }
        if (now >= waitStartNs + waitBudgetNs) {
            dueNs = waitStartNs + waitBudgetNs;
            break;
        }
        if (engine->get(engine->play.stopRequest)) break;
        now = walkNowNs();
    }
    if (plainWait) waitBudgetNs = waitStartNs + waitBudgetNs - now;
    // After a change of style the old style's ticks mean nothing any more.
    if (!restartPart) setPosition(toTick);
}

void CPlayer::takeChordChange(int64_t atUs)
{
    engine->lock();
    const bool moved = !chordsEqual(engine->play.currentChord, engine->play.accompChord);
    engine->unlock();
    if (!moved) return;
    // What is queued in the old chord from the change on comes back, to
    // sound in the new one; the change follows what stays queued.
    const int end = styleQueuedCount;
    const int first = takeBackStyle(atUs < 0 ? stampUs : atUs, true);
    if (styleAheadNs && atUs >= 0) {
        stampUs = lastStampUs = std::max(atUs, lastStampUs);
        // The recording marks the change where the music is.
        const int64_t at = positionOf(std::min(tick, tickAtNs(atUs * 1000)));
        engine->setPlayPosition(at, at, 0);
    }
    chordChange();
    // Chords come a few keys at once: the next change follows this one and
    // never takes back the notes it ended (they would sound on).
    if (styleAheadNs) sealStyleQueue();
    if (engine->melody) engine->melody->chordChanged();
    replayStyle(first, end);
    const int64_t walked = positionOf(tick);
    engine->setPlayPosition(walked, walked, 0);
}

int CPlayer::tickAtNs(int64_t ns) const
{
    const int tpb = std::max(1, style->ticksPerBeat);
    if (ns >= waitStartNs) return std::min(toTick, waitStartTick + ticksInNs(ns - waitStartNs, tpb, waitTempo));
    // Before this wait began: the tick that had begun by then.
    const int64_t backNs = waitStartNs - ns;
    int back = ticksInNs(backNs, tpb, waitTempo);
    if (ticksToNs(back, tpb, waitTempo) < backNs) ++back;
    return std::max(0, waitStartTick - back);
}

int64_t CPlayer::chordMomentUs() const
{
    const int tpb = std::max(1, style->ticksPerBeat);
    const int64_t realNs = nowNs();
    const int music = std::min(tick, tickAtNs(realNs));
    int b = 0, bt = 0, inBeat = 0;
    style->ticksToBarBeat(music, &b, &bt, &inBeat);
    if (inBeat <= tpb * 3 / 4) return realNs / 1000;
    const int nextBeat = music - inBeat + tpb;
    if (nextBeat > tick) return -1;
    return (waitStartNs + ticksToNs(nextBeat - waitStartTick, tpb, waitTempo) + 999) / 1000;
}

int64_t CPlayer::walkNowNs() const { return nowNs() + styleAheadNs; }

void CPlayer::sendStyle(int status, int d1, int d2)
{
    const SentEvent sent = engine->sendEvent(status, d1, d2, stampUs);
    if (stampUs >= 0) lastStampUs = std::max(lastStampUs, stampUs);
    if (playing && playing->sends < QueuedStyleEvent::kSends) {
        playing->tracked[playing->sends] = NoteTrackUndo();
        playing->sent[playing->sends++] = sent;
    }
}

void CPlayer::trackStyle(int status, int d1, int d2, int index)
{
    if (playing && playing->sends > 0 && isNote(status))
        playing->tracked[playing->sends - 1] = trackNote(status, d1, d2, index);
    else
        trackEvent(status, d1, d2, index, false, 0);
}

void CPlayer::beginQueuedEvent()
{
    playing = nullptr;
    if (!styleAheadNs) return;
    stampUs = std::max(lastStampUs, (dueNs + 999) / 1000);
    // Forget what the queue has delivered; when the list is full, its oldest.
    const int64_t now = engine->clock->nowUs() - CMidiPort::kDeliveredUs;
    int delivered = 0;
    while (delivered < styleQueuedCount && styleQueued[delivered].dueUs <= now) ++delivered;
    if (styleQueuedCount - delivered >= kStyleQueueDepth) delivered = styleQueuedCount - kStyleQueueDepth + 1;
    if (delivered > 0) {
        for (int i = delivered; i < styleQueuedCount; ++i) styleQueued[i - delivered] = styleQueued[i];
        styleQueuedCount -= delivered;
        sealedCount = std::max(0, sealedCount - delivered);
    }
    QueuedStyleEvent& q = styleQueued[styleQueuedCount++];
    q.dueUs = stampUs;
    q.source = event;
    q.index = eventIndex;
    q.tick = tick;
    q.random = engine->random.saved();
    q.bass = engine->bassMemory;
    q.shiftedNoteEnd = shiftedNoteEnd;
    q.shiftedPitch = shiftedPitch;
    q.sends = 0;
    playing = &q;
}

void CPlayer::sealStyleQueue()
{
    sealedCount = styleQueuedCount;
    sealedUntilUs = std::max(sealedUntilUs, lastStampUs);
}

int CPlayer::firstQueuedFrom(int64_t fromUs) const
{
    int first = styleQueuedCount;
    if (fromUs >= 0)
        while (first > 0 && styleQueued[first - 1].dueUs >= fromUs) --first;
    return first;
}

void CPlayer::undoStyle(int first, bool endStillSounds)
{
    // Newest first, so that the notes remembered are as they were.
    for (int i = styleQueuedCount; i-- > first;) {
        const QueuedStyleEvent& q = styleQueued[i];
        for (int j = q.sends; j-- > 0;) {
            undoTrackNote(q.tracked[j]);
            engine->takeBackEvent(q.sent[j], endStillSounds);
        }
    }
}

int CPlayer::takeBackStyle(int64_t fromUs, bool own)
{
    CMidiPort* port = engine->port;
    if (!styleAheadNs || !port) return styleQueuedCount;
    int64_t from = fromUs;
    if (own) {
        // Only what can be played again: what came before the last seal stays.
        // What follows is queued behind what stays, so nothing waits for it.
        port->takeBack(std::max(fromUs, sealedUntilUs + 1), false);
        from = port->takenBackFrom();
    }
    const int first = firstQueuedFrom(from);
    if (first == styleQueuedCount) return first;
    undoStyle(first, true);
    // What a seal closed (an earlier bar or part) is not played again.
    const int replayFrom = std::max(first, sealedCount);
    if (replayFrom < styleQueuedCount) {
        const QueuedStyleEvent& q = styleQueued[replayFrom];
        engine->random.restore(q.random);
        engine->bassMemory = q.bass;
        shiftedNoteEnd = q.shiftedNoteEnd;
        shiftedPitch = q.shiftedPitch;
    }
    lastStampUs = first > 0 ? styleQueued[first - 1].dueUs : -1;
    sealedCount = std::min(sealedCount, first);
    styleQueuedCount = first;
    return replayFrom;
}

void CPlayer::replayStyle(int first, int end)
{
    if (first >= end) return;
    const StyleEvent walked = event;
    const int32_t walkedIndex = eventIndex;
    for (int k = first; k < end; ++k) {
        // Entry k is written again as it is played: read it first.
        const int64_t due = styleQueued[k].dueUs;
        event = styleQueued[k].source;
        eventIndex = styleQueued[k].index;
        const int64_t keepDue = dueNs;
        dueNs = due * 1000;
        const int64_t at = positionOf(styleQueued[k].tick);
        engine->setPlayPosition(at, at, 0);
        beginQueuedEvent();
        playEvent();
        playing = nullptr;
        dueNs = keepDue;
    }
    event = walked;
    eventIndex = walkedIndex;
}

void CPlayer::followStyleTakeBack()
{
    // Read even with nothing remembered: until it is, what is queued next
    // would be withdrawn.
    if (!engine->port) return;
    const int64_t from = engine->port->takenBackFrom();
    if (from < 0 || styleQueuedCount == 0) return;
    const int end = styleQueuedCount;
    replayStyle(takeBackStyle(from, false), end);
}

void CPlayer::sendTracked(const StyleEvent& e, int index)
{
    if (isProgramChange(e.stat) && settings.styleBankSelect == 0) {
        const int c = channelOf(e.stat);
        sendStyle(controllerStatus(c), kCtlBankMsb, engine->get(engine->defaults.bankMsb));
        sendStyle(controllerStatus(c), kCtlBankLsb, engine->get(engine->defaults.bankLsb));
    }
    sendStyle(e.stat, e.db1, e.db2);
    trackStyle(e.stat, e.db1, e.db2, index);
}

bool CPlayer::playsDrums(int sourceStatus) const
{
    const int part = currentPart();
    if (part < 0 || part >= style->partCount()) return false;
    return style->parts[static_cast<size_t>(part)].channels[channelOf(sourceStatus)].drum != 0;
}

void CPlayer::playEvent()
{
    const int64_t started = plainWait ? nowNs() : 0;
    settings = transformSettings(*engine);
    const Chord chord = engine->get(engine->play.accompChord);
    StyleEvent e = event;
    if (transformEvent(*style, e, chord, currentPart(), settings, engine->bassMemory, engine->random)) {
        varyPitch(e);
        if (e.stat == kStatSysEx) {
            if (engine->port) engine->port->sendSysExText(style->events[static_cast<size_t>(eventIndex)].string, stampUs);
        } else if (isChannelMessage(e.stat)) {
            if (acceptsEvent(e.stat, e.db1, e.db2)) {
                sendTracked(e, eventIndex);
            } else if (isNoteOn(e.stat, e.db2) && playsDrums(event.stat)) {
                // A drum hit is a one-shot: where two source notes meet on one
                // drum pitch, the second is struck again. Ending the first
                // keeps one note per pitch, so the next note off ends it and a
                // second one finds nothing to end.
                sendTracked({noteOffStatus(channelOf(e.stat)), e.db1, 0, 0}, 0);
                sendTracked(e, eventIndex);
            }
        }
    }
    if (event.stat == kStatTempo && !engine->get(engine->play.blockTempo) && engine->get(engine->play.userTempo) == 0)
        engine->setTempo(event.db1);
    const int type = style->partType(currentPart());
    if (type == kPartFillIn || type == kPartIntro || type == kPartEnding) justSwitched = 0;
    if (plainWait) waitBudgetNs += started - nowNs();
}

void CPlayer::chordChange()
{
    settings = transformSettings(*engine);
    // The notes sounding now end, newest first, and are remembered to sound
    // again in the new chord; drums ring on. Taken from what really sounds,
    // so nothing is ended that was never started.
    retriggerCount = 0;
    {
        CLockGuard guard(deviceMutex);
        for (size_t i = soundingNotes.size(); i-- > 0;) {
            const SoundingNote n = soundingNotes[i];
            if (n.channel == 9) continue;
            engine->sendEvent(noteOffStatus(n.channel), n.pitch, 100, stampUs);
            if (n.pNoteOn > 0 && retriggerCount < kMaxRetrigger) retriggerNotes[retriggerCount++] = n.pNoteOn;
            soundingNotes.erase(soundingNotes.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }

    const Chord chord = engine->adoptCurrentChord();
    if (engine->get(engine->recordState.recording)) engine->recordEvent(kStatChord, 0, 0, 0, chord.symbol);

    const int part = currentPart();
    for (int i = 0; i < retriggerCount; ++i) {
        const int r = retriggerNotes[i];
        if (r < kFirstEvent || r >= style->eventCount()) continue;
        const MidiEvent& m = style->events[static_cast<size_t>(r)];
        const PartChannel& ch = style->parts[static_cast<size_t>(part)].channels[channelOf(m.stat)];
        const NoteRule rule = ch.ruleFor(m.db1);
        if (rule.ntt == 0 || rule.rtr == 0) continue;
        StyleEvent e{m.stat, m.db1, m.db2, m.onoff};
        if (transformEvent(*style, e, chord, part, settings, engine->bassMemory, engine->random) &&
            isNoteOn(e.stat, e.db2) && acceptsEvent(e.stat, e.db1, e.db2)) {
            engine->sendEvent(e.stat, e.db1, e.db2, stampUs);
            trackEvent(e.stat, e.db1, e.db2, r, false, 0);
        }
    }
    retriggerCount = 0;
}
