#!/usr/bin/env python3
"""Songs for the kernel suite's playback checks, read and written with mido.

  song_timing.py notes FILE.mid   every note on of the file, in time order, one
                                  line each: "channel pitch microseconds", the
                                  time from the start of the file through its
                                  tempo map
  song_timing.py write FILE.mid   writes the timing song: a minute at 120 BPM
                                  on four channels (drums, bass, chords, a
                                  melody in sixteenths), with chords, notes
                                  that overlap and silences between phrases
"""
import sys

import mido


def notes(path):
    seconds = 0.0
    # Iterating a file merges its tracks and turns ticks into seconds.
    for msg in mido.MidiFile(path):
        seconds += msg.time
        if msg.type == "note_on" and msg.velocity > 0:
            print(msg.channel, msg.note, round(seconds * 1e6))


def write(path):
    tpb = 480
    bars = 30
    events = []  # (tick, order, message): note offs before note ons at a tick

    def note(channel, pitch, start, length, velocity=100):
        events.append((start, 1, mido.Message("note_on", channel=channel, note=pitch, velocity=velocity)))
        events.append((start + length, 0, mido.Message("note_off", channel=channel, note=pitch)))

    progression = [(48, [60, 64, 67]), (45, [57, 60, 64]), (41, [57, 60, 65]), (43, [59, 62, 67])]
    scale = [0, 2, 4, 5, 7, 9, 11, 12]
    for bar in range(bars):
        t = bar * 4 * tpb
        root, chord = progression[bar % 4]
        for eighth in range(8):
            note(9, 42, t + eighth * tpb // 2, tpb // 4, 70 + 20 * (eighth % 2 == 0))
        for beat in range(4):
            note(9, 36 if beat % 2 == 0 else 38, t + beat * tpb, tpb // 2)
            note(1, root if beat % 2 == 0 else root + 7, t + beat * tpb, tpb - 10)
        for half in range(2):
            for pitch in chord:
                note(2, pitch, t + half * 2 * tpb, 2 * tpb)  # chord tones end as the next ones begin
        if bar % 4 != 3:  # the fourth bar of each phrase leaves the melody silent
            for step in range(16 if bar % 2 else 6):
                pitch = 72 + scale[(bar + step * 3) % len(scale)]
                note(0, pitch, t + step * tpb // 4, tpb // 3)  # overlaps the next sixteenth
    events.sort(key=lambda e: (e[0], e[1]))

    track = mido.MidiTrack()
    track.append(mido.MetaMessage("set_tempo", tempo=mido.bpm2tempo(120)))
    track.append(mido.MetaMessage("time_signature", numerator=4, denominator=4))
    for channel, program in ((0, 73), (1, 33), (2, 48)):
        track.append(mido.Message("program_change", channel=channel, program=program))
    last = 0
    for tick, _, msg in events:
        track.append(msg.copy(time=tick - last))
        last = tick
    track.append(mido.MetaMessage("end_of_track", time=0))
    song = mido.MidiFile(type=0, ticks_per_beat=tpb)
    song.tracks.append(track)
    song.save(path)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("notes", "write"):
        sys.exit(__doc__)
    (notes if sys.argv[1] == "notes" else write)(sys.argv[2])
