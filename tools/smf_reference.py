#!/usr/bin/env python3
"""Independent figures for Standard MIDI Files, read with mido.

Prints one JSON object per file and line:
  {"file", "ok", "error", "format", "trackCount", "ticksPerBeat", "tempo",
   "channelNoteCount", and with --events also "channelEvents", "tempi",
   "timeSignatures", "texts"}
"tempo" follows the arranger's rule: the first tempo in file order (track
by track) that rounds to 10 BPM or more, else 120. Times are absolute ticks
within each track. With --events, texts are byte strings decoded as latin-1.

With --timeline also "timeline": every message that is not a meta event, in
the order and at the time mido plays the file (all tracks merged, tempo
changes obeyed), as [seconds, status, data 1, data 2], SysEx as
[seconds, 240, "F0 .. F7"]; null with "timelineError" when mido cannot play
the file.
"""
import json
import os
import sys

import mido

TEXT_TYPES = {"text": 1, "copyright": 2, "lyrics": 5, "marker": 6}


def timeline(mid):
    out, now = [], 0.0
    for msg in mid:  # times are seconds since the message before
        now += msg.time
        if msg.is_meta:
            continue
        raw = msg.bytes()
        if msg.type == "sysex":
            out.append([now, 0xF0, " ".join("%02X" % b for b in raw)])
        else:
            out.append([now, raw[0], raw[1] if len(raw) > 1 else 0, raw[2] if len(raw) > 2 else 0])
    return out


def figures(path, with_events, with_timeline=False):
    out = {"file": os.path.basename(path), "ok": False}
    try:
        mid = mido.MidiFile(path)
    except Exception as e:  # mido refuses the file
        out["error"] = "%s: %s" % (type(e).__name__, e)
        return out
    out.update(ok=True, format=mid.type, trackCount=len(mid.tracks), ticksPerBeat=mid.ticks_per_beat)
    tempo = None
    counts = [0] * 16
    channel_events, tempi, signatures, texts, names = [], [], [], [], []
    for track in mid.tracks:
        tick = 0
        name = ""
        for msg in track:
            tick += msg.time
            if msg.type == "set_tempo":
                bpm = int(60000000.0 / msg.tempo + 0.5) if msg.tempo else 0
                if bpm >= 10:
                    if tempo is None:
                        tempo = bpm
                    tempi.append([tick, bpm])
            elif msg.type == "note_on" and msg.velocity > 0:
                counts[msg.channel] += 1
            if msg.type == "time_signature":
                signatures.append([tick, msg.numerator, msg.denominator])
            elif msg.type == "track_name" and not name:
                name = msg.name
            elif msg.type in TEXT_TYPES:
                texts.append([tick, TEXT_TYPES[msg.type], msg.text])
            elif msg.type == "sequencer_specific":
                texts.append([tick, 0x7F, bytes(msg.data).hex(" ")])
            if not msg.is_meta and msg.type != "sysex":
                raw = msg.bytes()
                channel_events.append([tick, raw[0], raw[1] if len(raw) > 1 else 0, raw[2] if len(raw) > 2 else 0])
        names.append(name)
    out["tempo"] = tempo if tempo is not None else 120
    out["channelNoteCount"] = counts
    if with_events:
        out.update(channelEvents=channel_events, tempi=tempi, timeSignatures=signatures, texts=texts,
                   trackNames=names)
    if with_timeline:
        try:
            out["timeline"] = timeline(mid)
        except Exception as e:  # a format 2 file has no one timeline
            out.update(timeline=None, timelineError="%s: %s" % (type(e).__name__, e))
    return out


def main(argv):
    with_events = "--events" in argv
    with_timeline = "--timeline" in argv
    paths = [a for a in argv[1:] if a not in ("--events", "--timeline")]
    files = []
    for p in paths:
        if os.path.isdir(p):
            files += sorted(os.path.join(p, f) for f in os.listdir(p) if f.lower().endswith((".mid", ".kar")))
        else:
            files.append(p)
    for f in files:
        print(json.dumps(figures(f, with_events, with_timeline)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
