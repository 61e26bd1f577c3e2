#!/usr/bin/env python3
"""Independent figures for style files, read from the raw bytes.

Prints one JSON object per file with the style reader's rules applied in
plain Python: markers placed on bar lines (the rest of their track moving
with them), part names canonicalised in file order, notes paired, notes
held across a part marker settled on the side where they sound longer,
bars and offsets from the initial time signature, and the Ctab/Ctb2
settings of every CSEG applied to the parts its Sdec names.
  {"file", "tempo", "numerator", "denominator", "ticksPerBeat",
   "averageVolume", "averageVelocity", "destUsed", "destBank8",
   "parts": [{"name", "type", "level1", "level2", "bars", "offsettime",
              "tracks", "channels": [{"dest", "name", "editable",
              "noteMute", "chordMute", "drum", "sourceChord": {"root",
              "type"}, "ntr", "ntt", "highKey", "lowLimit", "highLimit",
              "rtr"}]}],
   "segments": [{"sdec", "tables": [{"source", and the channel fields}]}]}
Files without time-signature changes only (the corpus has none).
"""
import json
import os
import struct
import sys

NAMES = ["Main A", "Main B", "Main C", "Main D", "Fill In AA", "Fill In BB", "Fill In CC", "Fill In DD",
         "Fill In AB", "Fill In BA", "Intro A", "Intro B", "Intro C", "Ending A", "Ending B", "Ending C"]
CANON = {n.lower(): n for n in NAMES}
KIND = {"Main": 0, "Fill In": 1, "Intro": 2, "Ending": 3}


def vlq(d, p, end):
    v = 0
    for _ in range(4):
        c = d[p]
        p += 1
        v = (v << 7) | (c & 0x7F)
        if not c & 0x80:
            break
    return v, p


def defaults(c):
    drums, bass = c == 9, c in (2, 10)
    return {"dest": -1, "name": "drums" if drums else "bass" if bass else "instrum", "editable": 1,
            "noteMute": [0x0F, 0xFF], "chordMute": [0x07 if drums else 0x03, 255, 255, 255, 255],
            "drum": 1 if drums else 0, "sourceChord": {"root": 0, "type": 2}, "ntr": 1 if drums else 0,
            "ntt": 0 if drums else 3 if bass else 2, "highKey": 6, "lowLimit": 0, "highLimit": 127,
            "rtr": 0 if (drums or bass) else 3}


def new_part(name):
    p = {"name": name, "type": 0, "level1": 0, "level2": 0, "bars": 0, "offsettime": 0,
         "tracks": [0] * 16, "channels": [defaults(c) for c in range(16)]}
    for prefix, kind in KIND.items():
        if name.startswith(prefix + " "):
            letters = name[len(prefix) + 1:]
            p["type"] = kind
            p["level1"] = "ABCD".index(letters[0])
            if kind in (1, 3) and len(letters) > 1:
                p["level2"] = "AB".index(letters[1]) if letters[1] in "AB" else 0
    return p


def table_settings(cid, body):
    """The channel settings one Ctab or Ctb2 chunk stores."""
    c = body[0]
    off = 23 if cid == b"Ctb2" else 21
    dest = body[9]
    ntt = body[off]
    if ntt > 5:
        ntt = 0 if c in (8, 9) else 3 if c == 10 else 2
    drum = (body[13] >> 2) & 1
    if not drum and ntt == 0:
        ntt = 1
    return {"dest": dest + 8 if dest <= 7 else dest,
            "name": body[1:9].split(b"\0")[0].decode("latin-1"), "editable": body[10],
            "noteMute": list(body[11:13]), "chordMute": list(body[13:18]), "drum": drum,
            "sourceChord": {"root": body[18], "type": body[19] if body[19] <= 33 else 2},
            "ntr": body[20] if body[20] <= 1 else 0, "ntt": ntt, "highKey": body[off + 1],
            "lowLimit": body[off + 2], "highLimit": body[off + 3], "rtr": body[off + 4]}


def read(path):
    d = open(path, "rb").read()
    fmt, ntracks, division = struct.unpack(">HHH", d[8:14])
    pos = 14
    # The first time signature and tempo of the file are the style's own.
    numerator = denominator = tempo = None
    per_track = []
    for t in range(ntracks):
        assert d[pos:pos + 4] == b"MTrk"
        length = struct.unpack(">I", d[pos + 4:pos + 8])[0]
        p, end = pos + 8, pos + 8 + length
        tick, status, evs = 0, 0, []
        while p < end:
            delta, p = vlq(d, p, end)
            tick += delta
            b = d[p]
            p += 1
            if b == 0xFF:
                kind = d[p]
                p += 1
                n, p = vlq(d, p, end)
                data = d[p:p + n]
                p += n
                if kind == 0x58 and numerator is None:
                    numerator, denominator = data[0], 2 ** data[1]
                    continue
                assert kind != 0x58, "time-signature changes are not modelled"
                if kind == 0x51:
                    bpm = int(60000000.0 / int.from_bytes(data, "big") + 0.5)
                    if bpm >= 10 and tempo is None:
                        tempo = bpm
                    elif bpm >= 10:
                        evs.append([tick, "tempo", bpm])
                    continue
                if kind == 0x06 and n:
                    bar_ticks = division * (numerator or 4)
                    if tick % bar_ticks:
                        bar = tick // bar_ticks + 1
                        if bar == 1:
                            tick = 0 if data[:1] == b"S" else bar_ticks
                        else:
                            tick = (bar - 1) * bar_ticks
                    evs.append([tick, "marker", data.decode("latin-1")])
                elif kind in (1, 2, 5) and n:
                    evs.append([tick, "text", kind])
                assert kind != 0x7F
            elif b in (0xF0, 0xF7):
                n, p = vlq(d, p, end)
                p += n
                evs.append([tick, "sysex"])
            else:
                if b < 0x80:
                    st, d1 = status, b
                else:
                    st, d1 = b, d[p]
                    p += 1
                status = st
                d2 = 0
                if not 0xC0 <= st <= 0xDF:
                    d2 = d[p]
                    p += 1
                evs.append([tick, "ch", st, d1, d2])
        per_track.append(evs)
        pos = end
    casm_at = pos
    merged = sorted((e for t in per_track for e in t), key=lambda e: e[0])  # stable: track order at equal ticks
    events = [{"t": e[0], "k": e[1], "v": e[2:]} for e in merged]

    # Note pairing: an overlapping note on of the same key cuts the open one,
    # a doubled note on at the same tick is dropped, stray note offs go.
    out, open_, extra = [], {}, {}
    for e in events:
        if e["k"] == "ch" and 0x80 <= e["v"][0] <= 0x9F:
            st, note, vel = e["v"]
            key = (st & 15, note)
            on = 0x90 <= st and vel > 0
            o = open_.get(key)
            if on:
                if o is None:
                    open_[key] = e
                elif o["t"] < e["t"]:
                    off = {"t": e["t"], "k": "ch", "v": [0x90 | (st & 15), note, 0], "on": o}
                    o["off"] = off
                    out.append(off)
                    extra[key] = extra.get(key, 0) + 1
                    open_[key] = e
                else:
                    continue
            else:
                if o is not None and extra.get(key, 0) == 0:
                    o["off"] = e
                    e["on"] = o
                    del open_[key]
                else:
                    if o is not None:
                        extra[key] -= 1
                    continue
        out.append(e)
    last_tick = out[-1]["t"] if out else 0
    for key, o in open_.items():
        off = {"t": last_tick, "k": "ch", "v": [0x90 | key[0], key[1], 0], "on": o}
        o["off"] = off
        out.append(off)
    events = out

    # Parts in the order their markers come.
    parts = [new_part("Control changes")]
    parts[0]["bars"] = 1

    def part_of(text):
        t = text.strip(" \t").lower()
        name = CANON.get(t)
        if name is None:
            return 0
        for k, p in enumerate(parts):
            if p["name"] == name:
                return k
        parts.append(new_part(name))
        return len(parts) - 1

    starts = {}
    for e in events:
        if e["k"] == "marker":
            k = part_of(e["v"][0])
            if k:
                starts[k] = e["t"]

    # CASM: every Ctab/Ctb2 goes to the parts named in its Sdec.
    segments = []
    if d[casm_at:casm_at + 4] == b"CASM":
        section_end = casm_at + 8 + struct.unpack(">I", d[casm_at + 4:casm_at + 8])[0]
        p = casm_at + 8
        while p < section_end:
            seg_len = struct.unpack(">I", d[p + 4:p + 8])[0]
            seg_end = p + 8 + seg_len
            sdec_len = struct.unpack(">I", d[p + 12:p + 16])[0]
            sdec = d[p + 16:p + 16 + sdec_len].decode("latin-1")
            segments.append({"sdec": sdec, "tables": []})
            p += 16 + sdec_len
            while p < seg_end:
                cid = d[p:p + 4]
                clen = struct.unpack(">I", d[p + 4:p + 8])[0]
                body = d[p + 8:p + 8 + clen]
                p += 8 + clen
                if cid not in (b"Ctab", b"Ctb2"):
                    continue
                c = body[0]
                setting = table_settings(cid, body)
                segments[-1]["tables"].append(dict(setting, source=c))
                for part in parts:
                    if part["name"] in sdec:
                        part["channels"][c] = dict(setting)
                        for field in ("dest", "drum", "ntt"):
                            parts[0]["channels"][c][field] = setting[field]
            p = seg_end

    # One walk: tracks, held notes settled at part markers, averages.
    bank8 = [0] * 16
    vol, vel = [], []
    current, held = 0, []
    i = 0
    while i < len(events):
        e = events[i]
        if e["k"] == "marker":
            current = part_of(e["v"][0])
            mt = e["t"]
            moved_on, moved_off = [], []
            for on in held:
                off = on["off"]
                if mt - on["t"] <= off["t"] - mt:
                    moved_on.append(on)
                else:
                    moved_off.append(off)
            gone = set(map(id, moved_on + moved_off))
            events = [x for x in events if id(x) not in gone]
            for on in moved_on:
                on["t"] = mt
                on["moved"] = True
            for off in moved_off:
                off["t"] = mt - 1
            i = next(k for k, x in enumerate(events) if x is e)
            for off in moved_off:
                j = i
                while j > 0 and events[j - 1]["t"] > mt - 1:
                    j -= 1
                events.insert(j, off)
                i += 1
            events[i + 1:i + 1] = moved_on
            held = []
        elif e["k"] == "ch":
            st, d1, d2 = e["v"]
            ch = st & 15
            if 0x80 <= st <= 0x9F:
                parts[current]["tracks"][ch] = 1
                if st >= 0x90 and d2 > 0:
                    held.append(e)
                    if not e.get("moved"):
                        vel.append(d2)
                elif "on" in e:
                    held = [h for h in held if h is not e["on"]]
            elif 0xB0 <= st <= 0xBF:
                if d1 == 7:
                    vol.append(d2)
                elif d1 == 0 and d2 == 8:
                    dest = parts[current]["channels"][ch]["dest"]
                    if dest >= 0:
                        bank8[dest] = 1
        i += 1

    bar_ticks = division * numerator
    used = [0] * 16
    b = 1
    for k, part in enumerate(parts):
        if k + 1 < len(parts):
            e = starts[k + 1] // bar_ticks + 1
        else:
            e = (events[-1]["t"] - 1) // bar_ticks + 2
        part["bars"] = e - b
        part["offsettime"] = bar_ticks * (b - 1)
        for c in range(16):
            if part["channels"][c]["dest"] >= 0 and part["tracks"][c]:
                used[part["channels"][c]["dest"]] = 1
        b = e
    return {"file": os.path.basename(path), "tempo": tempo or 120, "numerator": numerator or 4,
            "denominator": denominator or 4, "ticksPerBeat": division,
            "averageVolume": sum(vol) // len(vol) if sum(vol) else None,
            "averageVelocity": sum(vel) // len(vel) if sum(vel) else None,
            "destUsed": used, "destBank8": bank8, "parts": parts, "segments": segments}


if __name__ == "__main__":
    for f in sys.argv[1:]:
        print(json.dumps(read(f)))
