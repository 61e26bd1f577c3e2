// The song player thread. It walks list 0 of the song in passes: a pass
// starts at the first beat of the start bar and ends at the end of the range
// (or of the song), then the next pass begins when the range loops. Each
// wait runs from the moment the previous one was due, so a long song never
// drifts; no sleep runs past the moment the next event is due.
#include "player/SongPlayer.h"

#include "base/CClock.h"
#include "base/MidiStatus.h"
#include "engine/CKvSeq.h"
#include "melody/CMelody.h"
#include "midi/CMidiPort.h"
#include "player/CPlayer.h"
#include "player/PlayerTiming.h"
#include "sequence/CMidiSequence.h"

#include <algorithm>
#include <climits>

namespace {
// The longest single sleep of the wait while the performance is recorded
// (what is played is stamped with the position) or clicked; otherwise the
// wait wakes less often, which bounds how late a stop, a pause or a tempo
// change is seen.
constexpr int64_t kStepUs = 1000;
constexpr int64_t kQuietStepUs = 5000;
// A click is a short tap; its note ends this long after it began.
constexpr int64_t kClickNs = 50'000'000;
constexpr int kClickDownbeat = 77; // the first beat of a bar
constexpr int kClickBeat = 60;     // every other beat
// Waits longer than this many ticks are cut (only a hostile file has them;
// a stop ends any wait anyway).
constexpr int32_t kLongestWait = 100'000'000;
// How far ahead of its moment a message is queued: enough to cover a late
// wake-up of the player, short enough that what is taken back is little.
constexpr int64_t kQueueAheadNs = 5'000'000;
// How long after its set-up a queued song's time starts.
constexpr int64_t kQueueStartNs = 20'000'000;
} // namespace

void* songPlayerThread(void* arg)
{
    raisePlayerPriority();
    CPlayer player(static_cast<CKvSeq*>(arg));
    player.runSong();
    return nullptr;
}

void CPlayer::setSongPosition(int64_t thousandths) { engine->setSongPosition(thousandths); }

void CPlayer::adoptSongTempo(int32_t micros)
{
    songMicros = std::max(1, micros);
    // The engine's tempo is whole BPM within its range: what is shown and stepped.
    songShownBpm = std::clamp(static_cast<int>((60'000'000 + songMicros / 2) / songMicros), 10, 250);
}

void CPlayer::setSongTempo(int32_t micros)
{
    adoptSongTempo(micros);
    engine->setTempo(songShownBpm);
}

TickRate CPlayer::songRate(int engineTempo) const
{
    // The song's own tempo, exactly as its file writes it, until the
    // musician sets another; then the musician's, in whole BPM.
    const int tpb = std::max(1, song->ticksPerBeat);
    return engineTempo == songShownBpm ? microsRate(tpb, songMicros) : bpmRate(tpb, engineTempo);
}

void CPlayer::runSong()
{
    engine->lock();
    song = engine->play.playingSong;
    const bool recording = engine->songState.songRecord >= 1 && engine->recordSequence;
    engine->unlock();
    plainWait = engine->get(engine->play.plainMillisecondWait) != 0;
    queueAheadNs = !plainWait && engine->port && engine->port->startQueue() ? kQueueAheadNs : 0;
    if (recording) {
        // The recording starts with the voice the musician plays and the
        // notes already held.
        if (engine->melody) engine->melody->selectPreset(engine->get(engine->play.presetIndex));
        if (engine->port) engine->port->recordHeldNotes();
    }

    const std::vector<MidiEvent>& events = song->events;
    int32_t resume = 0;    // first event of the pass; 0: found by walking from the start
    int32_t passStart = 0; // start bar of the pass
    int32_t passes = 0;
    int32_t passTempo = 0;  // the tempo the pass began with: the engine's,
    int32_t passMicros = 0; // and the song's own
    // The engine already shows the song's first tempo.
    adoptSongTempo(song->usPerQuarter > 0 ? song->usPerQuarter : 60'000'000 / std::max(1, song->tempo));
    for (;;) {
        engine->lock();
        const bool stop = engine->play.stopRequest != 0;
        const int32_t startBar = std::max(1, engine->songState.songStartBar);
        const bool limitReached = engine->songState.songPassLimit > 0 && passes >= engine->songState.songPassLimit;
        if (!stop && !limitReached) ++passes;
        engine->unlock();
        if (stop || limitReached) break;

        if (startBar != passStart) {
            resume = 0;
            passStart = startBar;
        }
        fromTick = song->barBeatToTicks(startBar, 1, 0);
        const int32_t passTick = fromTick;
        setSongPosition(int64_t{fromTick} * 1000);
        if (resume == 0) {
            // The tempo in force at the start bar is that of the last tempo
            // event before it.
            int32_t i = events[kMainList].next;
            int32_t walkedMicros = 0;
            while (i >= kFirstEvent && events[static_cast<size_t>(i)].ticks < fromTick) {
                const MidiEvent& e = events[static_cast<size_t>(i)];
                if (e.stat == kStatTempo) walkedMicros = e.db2 > 0 ? e.db2 : 60'000'000 / std::max(1, e.db1);
                i = e.next;
            }
            if (walkedMicros > 0) setSongTempo(walkedMicros);
            // A song started past its first bar sounds with the voices and
            // controllers the bars before it set.
            if (passes == 1 && fromTick > 0) chaseTo(fromTick);
            resume = i >= kFirstEvent ? i : 0;
        } else if (songTempoMoved) {
            // A looping range with tempo events begins each pass at the tempo
            // it began with; a tempo the musician set is left alone otherwise.
            adoptSongTempo(passMicros);
            engine->setTempo(passTempo);
        }
        passTempo = engine->get(engine->play.tempo);
        passMicros = songMicros;
        songTempoMoved = false;
        // The song's time starts once it is set up, so the set-up does not
        // make the first notes late. Queued on the sequencer, it starts a
        // little later still, and what comes before is queued at once: the
        // first messages a new player thread sends are slow to leave (in a
        // virtual machine its first chord took 2-7 ms), so they would come
        // late against the rest.
        if (passes == 1) {
            dueNs = nowNs() + (engine->clock->isManual() || !queueAheadNs ? 0 : kQueueStartNs);
            queueStartNs = dueNs;
        }

        eventIndex = resume;
        bool looping = false;
        for (;;) {
            while (eventIndex >= kFirstEvent) {
                const MidiEvent& m = events[static_cast<size_t>(eventIndex)];
                engine->lock();
                const bool stopNow = engine->play.stopRequest != 0;
                // A range ends no earlier than its start bar.
                const int32_t endBar = engine->songState.songEndBar > 0 ? std::max(engine->songState.songEndBar, startBar) : 0;
                looping = engine->songState.songLoop != 0;
                engine->unlock();
                if (stopNow) break;
                if (endBar > 0 && song->barOfTicks(m.ticks) > endBar) {
                    if (looping) break;
                    // Passed once without a loop: the range is done with and
                    // the song plays on.
                    dropRange();
                }
                forgetDelivered();
                const int64_t ahead = aheadNow();
                songWait(m.ticks - fromTick, ahead);
                if (rewound) {
                    rewound = false;
                    continue;
                }
                if (engine->get(engine->play.stopRequest)) break;
                // Stamped in the recording at its own tick, though sent ahead.
                setSongPosition(int64_t{m.ticks} * 1000);
                int64_t dueUs = -1;
                if (ahead > 0) {
                    // Never before what is queued already: the queue keeps
                    // the song's order, and a take-back takes a tail of it.
                    dueUs = std::max(dueNs / 1000, lastQueuedUs);
                    lastQueuedUs = dueUs;
                }
                playSongEvent(m, dueUs);
                fromTick = m.ticks;
                eventIndex = m.next;
                // A cut of every note on another thread took back what was
                // queued: the song goes on from the first event it took.
                if (ahead > 0 && followTakeBack()) rewound = false;
            }
            if (engine->get(engine->play.stopRequest)) break;

            // The range (or the last bar) is played to its end.
            engine->lock();
            const int32_t endBar = engine->songState.songEndBar > 0 ? std::max(engine->songState.songEndBar, startBar) : 0;
            engine->unlock();
            // Events on a bar line after the pass's start (the ends of the
            // notes before it) close the bar before: they open no bar of silence.
            const int32_t lastBar = song->barOfTicks(fromTick > passTick ? fromTick - 1 : fromTick);
            const int32_t endTick = song->barBeatToTicks(endBar > 0 ? endBar + 1 : lastBar + 1, 1, 0);
            if (endTick > fromTick) {
                songWait(endTick - fromTick);
                if (rewound) {
                    rewound = false;
                    continue;
                }
                fromTick = endTick;
            }
            // Everything queued is delivered before the range ends.
            drainQueue();
            looping = engine->get(engine->songState.songLoop) != 0;
            if (looping || eventIndex < kFirstEvent || engine->get(engine->play.stopRequest)) break;
            // The loop was switched off as its range ended: the song plays on
            // from here rather than from the start of the range again.
            dropRange();
        }
        if (engine->get(engine->play.stopRequest)) break;
        if (!looping && eventIndex < kFirstEvent) break;
        // The notes the pass left sounding (their ends stand on the range's
        // end or beyond it) end with the range, before the next pass.
        releaseAll();
    }

    // Recording over the song goes on after its end, with the click, until
    // the musician stops.
    engine->lock();
    const bool stillRecording = engine->songState.songRecord >= 1 && engine->recordSequence;
    engine->unlock();
    if (stillRecording) {
        while (!engine->get(engine->play.stopRequest)) {
            songWait(1);
            ++fromTick;
        }
    }
    endSong();
}

void CPlayer::chaseTo(int32_t until)
{
    // The last program, controller value and bend of each channel before
    // `until`; on the player's stack, -1 for none.
    int16_t program[16];
    int16_t bend[16][2];
    int16_t controller[16][kCtlAllSoundOff];
    std::fill(std::begin(program), std::end(program), int16_t{-1});
    std::fill(&bend[0][0], &bend[0][0] + 32, int16_t{-1});
    std::fill(&controller[0][0], &controller[0][0] + 16 * kCtlAllSoundOff, int16_t{-1});
    for (int32_t i = song->events[kMainList].next; i >= kFirstEvent;) {
        const MidiEvent& m = song->events[static_cast<size_t>(i)];
        if (m.ticks >= until) break;
        const int c = channelOf(m.stat);
        if (isProgramChange(m.stat)) program[c] = static_cast<int16_t>(m.db1);
        // The channel mode messages (120 and up) are no state to restore.
        if (isController(m.stat) && m.db1 >= 0 && m.db1 < kCtlAllSoundOff)
            controller[c][m.db1] = static_cast<int16_t>(m.db2);
        if (kindOf(m.stat) == kPitchBend && m.stat <= 0xEF) bend[c][0] = static_cast<int16_t>(m.db1), bend[c][1] = static_cast<int16_t>(m.db2);
        i = m.next;
    }
    MidiEvent e;
    auto play = [&](int stat, int d1, int d2) {
        e.stat = stat;
        e.db1 = d1;
        e.db2 = d2;
        playSongEvent(e);
    };
    for (int c = 0; c < 16; ++c) {
        // The bank before the program it selects, the rest after it.
        for (int n : {kCtlBankMsb, kCtlBankLsb})
            if (controller[c][n] >= 0) play(controllerStatus(c), n, controller[c][n]);
        if (program[c] >= 0) play(programStatus(c), program[c], 0);
        for (int n = 0; n < kCtlAllSoundOff; ++n)
            if (controller[c][n] >= 0 && n != kCtlBankMsb && n != kCtlBankLsb) play(controllerStatus(c), n, controller[c][n]);
        if (bend[c][0] >= 0) play(pitchBendStatus(c), bend[c][0], bend[c][1]);
    }
}

void CPlayer::dropRange()
{
    engine->dropSongRange();
}

int32_t CPlayer::songMix() const
{
    CLockGuard guard(engine->engineMutex);
    return engine->mixer.drumsOff | engine->mixer.bassOff << 1 | engine->mixer.otherOff << 2 | engine->songState.barLoop << 3;
}

int64_t CPlayer::aheadNow() const
{
    // Every event is played ahead (a tempo event sets the pace from its own
    // moment on, whenever it is read), while the player has room to remember it.
    if (queuedCount >= kQueueDepth) return 0;
    return queueAheadNs + (queueAheadNs ? std::max<int64_t>(0, queueStartNs - nowNs()) : 0);
}

void CPlayer::drainQueue()
{
    if (queuedCount == 0) return;
    // A stop wakes the sleep: endSong takes back what is left. Once all was
    // due the range is over, and no take-back sends the song back into it.
    const int64_t lastUs = queued[queuedCount - 1].dueUs;
    sleepUntilDue(*engine->clock, lastUs * 1000, engine->clock->wakeTicket(), false);
    if (engine->clock->nowUs() >= lastUs) queuedCount = 0;
    else forgetDelivered();
}

void CPlayer::forgetDelivered()
{
    // Whatever was due a while ago has been delivered; what is due about
    // now may still be in the queue until its timer's next tick.
    const int64_t now = engine->clock->nowUs() - CMidiPort::kDeliveredUs;
    int kept = 0;
    while (kept < queuedCount && queued[kept].dueUs <= now) ++kept;
    if (kept == 0) return;
    for (int i = kept; i < queuedCount; ++i) queued[i - kept] = queued[i];
    queuedCount -= kept;
}

bool CPlayer::takeBackQueued(bool rewind, int64_t takenFromUs)
{
    CMidiPort* port = engine->port;
    if (queuedCount == 0 || !port) return false;
    port->takeBack(0);
    int64_t from = port->takenBackFrom();
    if (takenFromUs >= 0) from = from < 0 ? takenFromUs : std::min(from, takenFromUs);
    int first = queuedCount;
    if (from >= 0)
        while (first > 0 && queued[first - 1].dueUs >= from) --first;
    // Undone newest first: a note taken back with its end is as it was. A
    // note whose end was taken back sounds on, unless what took it back was
    // a cut of every note (someone else's take-back): then it is silent.
    const bool cut = takenFromUs >= 0;
    for (int i = queuedCount - 1; i >= first; --i) {
        const QueuedSongEvent& q = queued[i];
        const int c = channelOf(q.status);
        if (isNoteOn(q.status, 1)) trackEvent(noteOffStatus(c), q.d1, 0);
        else if (q.status != 0 && !cut) trackEvent(noteOnStatus(c), q.d1, 64);
        engine->takeBackEvent(q.sent, !cut);
    }
    const bool any = first < queuedCount;
    if (any && rewind) {
        // The first event taken back is played again, at its own moment.
        eventIndex = queued[first].index;
        fromTick = queued[first].tick;
        dueNs = queued[first].dueUs * 1000;
        lastQueuedUs = -1;
        rewound = true;
    }
    // What was kept has been delivered: takeBack waited for it.
    queuedCount = 0;
    return any;
}

bool CPlayer::followTakeBack()
{
    // Read even with nothing remembered: until it is, what is queued next
    // would be withdrawn.
    if (!engine->port) return false;
    const int64_t from = engine->port->takenBackFrom();
    return from >= 0 && queuedCount > 0 && takeBackQueued(true, from);
}

void CPlayer::endSong()
{
    takeBackQueued(false);
    endClick();
    // Every note still sounding ends, in the recording too. A song that
    // played to its end lets its last notes die away: the pedals are
    // released and the notes ended, but the sound is not cut.
    CMidiPort* port = engine->port;
    if (port && engine->get(engine->play.stopRequest)) {
        port->allNotesOff();
    } else if (port) {
        port->releaseAll();
        for (int c = 0; c < 16; ++c) {
            port->send(controllerStatus(c), kCtlSustain, 0);
            port->send(controllerStatus(c), kCtlAllNotesOff, 0);
            port->send(pitchBendStatus(c), 0, kPitchBendCentreMsb);
        }
    }

    CMidiSequence* recording = engine->takeSongRecording();
    if (recording) {
        recording->pairNotes();
        engine->saveRecording(recording);
    }

    if (port) port->stopQueue();
    engine->songRunEnded();
}

void CPlayer::rememberQueued(const MidiEvent& m, int64_t dueUs, const SentEvent& sent)
{
    if (dueUs < 0 || queuedCount >= kQueueDepth) return;
    if (queuedCount == 0) queuedMix = songMix();
    QueuedSongEvent& q = queued[queuedCount++];
    q.dueUs = dueUs;
    q.index = eventIndex;
    q.tick = m.ticks;
    q.status = isNoteOn(m.stat, m.db2) ? noteOnStatus(channelOf(m.stat)) : isNote(m.stat) ? noteOffStatus(channelOf(m.stat)) : 0;
    q.d1 = m.db1;
    q.sent = sent;
}

void CPlayer::playSongEvent(const MidiEvent& m, int64_t dueUs)
{
    if (m.stat == kStatSysEx) {
        if (engine->port) engine->port->sendSysExText(m.string, dueUs);
        rememberQueued(m, dueUs, SentEvent());
        return;
    }
    if (m.stat == kStatTempo) {
        // The song's tempo events are obeyed, whatever the musician set.
        setSongTempo(m.db2 > 0 ? m.db2 : 60'000'000 / std::max(1, m.db1));
        songTempoMoved = true;
        return;
    }
    // Text, markers and the arranger's own events never leave the port.
    if (!isChannelMessage(m.stat)) return;

    const int c = channelOf(m.stat);
    engine->lock();
    const int bass = engine->songState.songBassChannel;
    bool plays = !engine->songState.barLoop || c == 9 || c == bass;
    if (plays) plays = c == 9 ? engine->mixer.drumsOff == 0 : c == bass ? engine->mixer.bassOff == 0 : engine->mixer.otherOff == 0;
    const int group = c == 9 ? engine->mixer.drumsVolume : c == bass ? engine->mixer.bassVolume : engine->mixer.otherVolume;
    const int level = engine->mixer.accompVolume * group / 100;
    engine->unlock();
    // A group switched off loses its notes only: its programs, controllers
    // and bends still reach the sound generator, so the group sounds as the
    // song wants when it is switched on again, and a bass program is seen.
    if (!plays && isNoteOn(m.stat, m.db2)) return;
    // Only the notes this player started end: a pass that begins after a
    // note began sends no end for it either.
    if (isNoteOff(m.stat, m.db2) && !acceptsEvent(m.stat, m.db1, m.db2)) return;

    int value = m.db2;
    if (isController(m.stat) && m.db1 == kCtlVolume) {
        value = levelAtPercent(value, level);
    }
    const SentEvent sent = engine->sendEvent(m.stat, m.db1, value, dueUs);
    if (isNote(m.stat)) trackEvent(m.stat, m.db1, m.db2);
    rememberQueued(m, dueUs, sent);
    // Later volume changes start from the song's own level.
    if (value != m.db2 && engine->port) engine->port->rememberController(c, kCtlVolume, m.db2);
    if (isProgramChange(m.stat) && m.db1 >= 32 && m.db1 <= 39) engine->setSetting(&SongSettings::songBassChannel, c);
}

void CPlayer::songWait(int32_t ticks, int64_t aheadNs)
{
    CClock& clock = *engine->clock;
    const int tpb = std::max(1, song->ticksPerBeat);
    ticks = std::clamp(ticks, 0, kLongestWait);
    const int64_t target = (int64_t{fromTick} + ticks) * 1000;
    int tempo = std::max(1, engine->get(engine->play.tempo));
    TickRate rate = songRate(tempo);
    int64_t now = nowNs();
    // The stretch of the wait at one tempo: its start and its position.
    int64_t segmentNs;
    int64_t segmentPosition = int64_t{fromTick} * 1000;
    int64_t deadline;
    if (plainWait) {
        // The wait as a plain poll: from the clock reading at its start, in
        // whole milliseconds.
        segmentNs = now;
        deadline = now + int64_t{ticks} * 60'000 / (int64_t{tpb} * tempo) * 1'000'000;
    } else {
        segmentNs = dueNs;
        deadline = dueNs + ticksToNs(ticks, rate);
    }
    bool recording = engine->get(engine->songState.songRecord) > 0;
    if (recording && deadline - now > kRoomyGapNs) growRecording();
    // The last stretch before the deadline is waited awake: a sleeping thread
    // wakes a few hundred microseconds late too often.
    uint32_t ticket = clock.wakeTicket();
    for (;;) {
        const int64_t left = deadline - now;
        if (left > 0 && plainWait) {
            clock.sleepUs(kStepUs);
            now = nowNs();
        } else if (left > aheadNs) {
            // In steps while the position is shown and stamped; a stop, a
            // pause or a new tempo wakes the wait at once. What is queued
            // needs no awake last stretch: the sequencer times it.
            const int64_t step = (recording ? kStepUs : kQuietStepUs) * 1000;
            const int64_t until = std::min(deadline - aheadNs, now + step);
            sleepUntilDue(clock, until, ticket, aheadNs == 0 && until == deadline);
            now = nowNs();
        }
        ticket = clock.wakeTicket();
        engine->lock();
        const int newTempo = engine->play.tempo;
        const bool stop = engine->play.stopRequest != 0;
        const bool paused = engine->play.paused && !stop;
        recording = engine->songState.songRecord > 0;
        const bool clicking = engine->songState.songClick && recording;
        engine->unlock();

        // What is queued goes back when the song must not play it as it
        // stands: a cut of every note elsewhere, a group switched, a pause.
        if (followTakeBack() || (queuedCount > 0 && songMix() != queuedMix && takeBackQueued(true))) return;
        if (queuedCount > 0 && paused && takeBackQueued(true)) {
            const int64_t pausedAt = nowNs();
            waitWhilePaused();
            dueNs += nowNs() - pausedAt;
            return;
        }

        auto positionAt = [&](int64_t at) { return segmentPosition + thousandthsInUs((at - segmentNs) / 1000, rate); };
        if (newTempo != tempo && newTempo > 0) {
            // What is left of the wait is stretched or shrunk at once.
            segmentPosition = std::min(target, positionAt(now));
            const int64_t rest = deadline - now;
            const TickRate newRate = songRate(newTempo);
            segmentNs = now;
            deadline = rest > 0 ? now + rescaleNs(rest, rate, newRate) : deadline;
            tempo = newTempo;
            rate = newRate;
        }
        const int64_t position = now >= deadline ? target : std::min(target, positionAt(now));
        // Shown never behind the event queued last; clicked when its beat comes.
        setSongPosition(std::max(position, int64_t{fromTick} * 1000));
        if (clicking) click(position, now);
        if (clickPitch >= 0 && now - clickNs >= kClickNs) endClick();
        if (paused) {
            // Held in place: the time spent paused is not music to catch up on.
            const int64_t pausedAt = nowNs();
            waitWhilePaused();
            const int64_t pausedFor = nowNs() - pausedAt;
            segmentNs += pausedFor;
            deadline += pausedFor;
            now = nowNs();
            continue;
        }
        if (now >= deadline - aheadNs) {
            dueNs = deadline;
            break;
        }
        if (stop) {
            dueNs = now;
            break;
        }
    }
}

void CPlayer::click(int64_t thousandths, int64_t now)
{
    song->ticksToBarBeat(static_cast<int>(std::min<int64_t>(thousandths / 1000, INT32_MAX)), &bar, &beat, &tickInBeat);
    if (bar == clickBar && beat == clickBeat) return;
    const int pitch = bar != clickBar ? kClickDownbeat : kClickBeat;
    clickBar = bar;
    clickBeat = beat;
    endClick();
    if (!engine->port) return;
    // Straight to the port: the click is heard, never transposed nor recorded.
    const int channel = std::clamp(engine->get(engine->areas.metronomeChannel), 0, 15);
    engine->port->send(noteOnStatus(channel), pitch, 127);
    clickPitch = pitch;
    clickNs = now;
}

void CPlayer::endClick()
{
    if (clickPitch < 0) return;
    const int channel = std::clamp(engine->get(engine->areas.metronomeChannel), 0, 15);
    if (engine->port) engine->port->send(noteOffStatus(channel), clickPitch, 0);
    clickPitch = -1;
}
