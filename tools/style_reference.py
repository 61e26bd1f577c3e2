#!/usr/bin/env python3
"""Independent figures for style files, read from the raw bytes.

Prints one JSON object per file with the style reader's rules applied in
plain Python: markers placed on bar lines (the rest of their track moving
with them), part names canonicalised in file order, notes paired, notes
held across a part marker settled on the side where they sound longer,
bars and offsets from the initial time signature, and the Ctab/Ctb2
settings of every CSEG applied to the parts its Sdec names, with the Cntt
chunks of a second-format style (an "SFF2" marker) after them.
  {"file", "sff", "tempo", "numerator", "denominator", "ticksPerBeat",
   "averageVolume", "averageVelocity", "destUsed", "destBank8",
   "parts": [{"name", "type", "level1", "level2", "bars", "offsettime",
              "tracks", "channels": [{"dest", "name", "editable",
              "noteMute", "chordMute", "drum", "sourceChord": {"root",
              "type"}, "ntr", "ntt", "highKey", "lowLimit", "highLimit",
              "rtr", and for a Ctb2 channel "middleLow", "middleHigh", "low",
              "middle", "high": {"ntr", "ntt", "bassOn", "highKey",
              "lowLimit", "highLimit", "rtr"} or null}]}],
   "segments": [{"sdec", "tables": [{"source", and the channel fields}]}]}
The channel's own ntr..rtr are in the player's terms; a Ctb2's blocks are in
the file's (ntr 2 guitar, ntt 0-10 with bit 7 of the byte as bassOn).
Files without time-signature changes only (the corpus has none).
"""
import copy
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


def common_settings(body):
    """Bytes 0-19, the same in a Ctab and a Ctb2; the rules stay the defaults."""
    c, dest = body[0], body[9]
    s = defaults(c)
    s.update({"dest": dest + 8 if dest <= 7 else dest,
              "name": body[1:9].split(b"\0")[0].decode("latin-1"), "editable": body[10],
              "noteMute": list(body[11:13]), "chordMute": list(body[13:18]), "drum": (body[13] >> 2) & 1,
              "sourceChord": {"root": body[18], "type": body[19] if body[19] <= 33 else 2}})
    return s


def ctab_settings(body):
    c = body[0]
    s = common_settings(body)
    ntt = body[21]
    if ntt > 5:
        ntt = 0 if c in (8, 9) else 3 if c == 10 else 2
    if not s["drum"] and ntt == 0:
        ntt = 1
    s.update({"ntr": body[20] if body[20] <= 1 else 0, "ntt": ntt, "highKey": body[22],
              "lowLimit": body[23], "highLimit": body[24], "rtr": body[25]})
    return s


RULES = ("highKey", "lowLimit", "highLimit", "rtr")
# Second-format tables 0-10 as the player plays them: the minor and dorian
# tables fall back on its melodic (4) and harmonic (5) minor tables.
PLAYER_NTT = [0, 1, 2, 4, 4, 5, 5, 5, 5, 5, 5]


def set_table(block, byte, c):
    """An NTT byte into a block whose ntr is set; unknown tables take the channel's usual one."""
    block["bassOn"], block["ntt"] = byte >> 7, byte & 0x7F
    if block["ntt"] > (2 if block["ntr"] == 2 else 10):
        if c in (8, 9):
            block["ntt"] = 0
        elif c == 10:
            block["ntt"], block["bassOn"] = 1, 1
        else:
            block["ntt"] = 2


def player_rules(block, drum):
    """A file-terms block as the channel's own ntr..rtr."""
    ntt = 3 if block["bassOn"] else 2 if block["ntr"] == 2 else PLAYER_NTT[block["ntt"]]
    if not drum and ntt == 0:
        ntt = 1
    return dict({k: block[k] for k in RULES}, ntr=0 if block["ntr"] == 0 else 1, ntt=ntt)


def ctb2_settings(body):
    c = body[0]
    s = common_settings(body)
    d = defaults(c)
    s["middleLow"] = min(body[20], 127) if len(body) > 20 else 0
    s["middleHigh"] = min(body[21], 127) if len(body) > 21 else 127
    blocks = []
    for at in (22, 28, 34):
        if at + 6 <= len(body):
            b = {"ntr": body[at] if body[at] <= 2 else 0}
            set_table(b, body[at + 1], c)
            b.update(zip(RULES, body[at + 2:at + 6]))
        else:  # cut short: the channel's default rules, the bass table as melody with bass on
            b = {"ntr": d["ntr"], "ntt": 1 if d["ntt"] == 3 else d["ntt"], "bassOn": int(d["ntt"] == 3)}
            b.update({k: d[k] for k in RULES})
        blocks.append({k: b[k] for k in ("ntr", "ntt", "bassOn") + RULES})
    s.update(player_rules(blocks[1], s["drum"]))
    s["low"] = blocks[0] if s["middleLow"] > 0 else None
    s["middle"] = blocks[1]
    s["high"] = blocks[2] if s["middleHigh"] < 127 else None
    return s


def read(path):
    d = open(path, "rb").read()
    fmt, ntracks, division = struct.unpack(">HHH", d[8:14])
    pos = 14
    # The first time signature and tempo of the file are the style's own.
    numerator = denominator = tempo = None
    sff = 1
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
                    if data.decode("latin-1").strip(" \t").lower() == "sff2":
                        sff = 2
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

    # CASM: every Ctab/Ctb2 goes to the parts named in its Sdec; a Cntt
    # retables the middle range of the Ctb2 channels there.
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
                named = [part for part in parts if part["name"] in sdec]
                if cid == b"Cntt" and sff == 2 and len(body) >= 2 and body[0] <= 15:
                    c = body[0]
                    for part in named:
                        ch = part["channels"][c]
                        if "middle" in ch:
                            set_table(ch["middle"], body[1], c)
                            ch.update(player_rules(ch["middle"], ch["drum"]))
                            parts[0]["channels"][c]["ntt"] = ch["ntt"]
                    continue
                if cid == b"Ctab":
                    setting = ctab_settings(body)
                elif cid == b"Ctb2" and len(body) >= 20:
                    setting = ctb2_settings(body)
                else:
                    continue
                c = body[0]
                if c > 15:
                    continue
                segments[-1]["tables"].append(dict(copy.deepcopy(setting), source=c))
                for part in named:
                    # Each part its own copy: a later Cntt changes only the parts it names.
                    part["channels"][c] = copy.deepcopy(setting)
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
    return {"file": os.path.basename(path), "sff": sff, "tempo": tempo or 120, "numerator": numerator or 4,
            "denominator": denominator or 4, "ticksPerBeat": division,
            "averageVolume": sum(vol) // len(vol) if sum(vol) else None,
            "averageVelocity": sum(vel) // len(vel) if sum(vel) else None,
            "destUsed": used, "destBank8": bank8, "parts": parts, "segments": segments}


if __name__ == "__main__":
    for f in sys.argv[1:]:
        print(json.dumps(read(f)))
