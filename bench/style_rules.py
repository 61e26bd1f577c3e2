#!/usr/bin/env python3
"""Compare how two builds of veltrona-tool make style channels follow chords.

For every style file, every part and every chord of a fixed 13-chord sheet the
script asks both builds (`transform STYLE PART CHORD`) how the style player
transforms the part, then prints side by side ("before" -> "after"):

  * the mean and largest jump, in semitones, of root-fixed notes at each chord
    change of the sheet (same source note, chord k -> chord k+1);
  * the mean and largest distance, in semitones, of root-fixed notes from
    their source pitch (how far a voicing leaves its register);
  * the share of chord tones among played note-ons for bass channels, other
    pitched channels and root-fixed notes.

Which notes are root-fixed and which class a channel has is decided once from
the "after" build's `style` document, so both builds are measured on the same
notes. Drum channels are left out. The script prints figures; it checks nothing.

    python3 bench/style_rules.py STYLE... [--before TOOL] [--after TOOL]
"""

import argparse
import json
import os
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

AFTER = "/work/main/build/tools/veltrona-tool/veltrona-tool"
BEFORE = "/tmp/before/build/tools/veltrona-tool/veltrona-tool"

# Each root once, and a slash chord, ordered so the changes cover many intervals.
SHEET = ["C", "G", "D", "A", "E", "B", "F#m", "Db", "Ab7", "Eb", "Bb", "Fm7", "C/E"]

NOTES = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}
TYPES = {"": (0, 4, 7), "m": (0, 3, 7), "7": (0, 4, 7, 10), "m7": (0, 3, 7, 10),
         "maj7": (0, 4, 7, 11), "6": (0, 4, 7, 9), "m6": (0, 3, 7, 9),
         "dim": (0, 3, 6), "aug": (0, 4, 8), "sus4": (0, 5, 7)}


def note_class(name):
    pc = NOTES[name[0].upper()]
    for acc in name[1:]:
        pc += 1 if acc == "#" else -1
    return pc % 12


def chord_tones(symbol):
    """Pitch classes of a chord symbol such as "Ab7" or "C/E"."""
    body, _, bass = symbol.partition("/")
    n = 2 if len(body) > 1 and body[1] in "#b" else 1
    root = note_class(body[:n])
    tones = {(root + i) % 12 for i in TYPES[body[n:]]}
    if bass:
        tones.add(note_class(bass))
    return tones


def run_tool(args):
    """Worker: run the tool, return its JSON (None when it failed)."""
    proc = subprocess.run(args, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write("%s: %s" % (" ".join(args), proc.stderr))
        return None
    return json.loads(proc.stdout)


def wait_for(path, minutes):
    """Wait for a build that may still be linking, checking once a minute."""
    for waited in range(minutes + 1):
        if os.access(path, os.X_OK):
            return
        if waited < minutes:
            sys.stderr.write("waiting for %s ...\n" % path)
            time.sleep(60)
    sys.exit("%s did not appear within %d minutes" % (path, minutes))


def note_kind(channels, ev):
    """(class, root_fixed) of a source note-on, or None when it is not one."""
    stat, pitch, vel = ev["in"]
    if stat & 0xF0 != 0x90 or vel == 0:
        return None
    ch = channels[stat & 15]
    if ch["drum"]:
        return ("drum", False)
    cls = "bass" if ch["ntt"] == 3 else "other"
    if ch.get("middleLow") is not None:
        if pitch < ch["middleLow"]:
            block = ch.get("low")
        elif pitch > ch["middleHigh"]:
            block = ch.get("high")
        else:
            block = ch.get("middle")
        return (cls, bool(block) and block["ntr"] in (1, 2))
    return (cls, ch["ntr"] == 1)


def played_pitches(doc, channels):
    """{event index: (class, root_fixed, out pitch, source pitch)} of the note-ons played."""
    notes = {}
    for ev in doc["events"]:
        kind = note_kind(channels, ev)
        out = ev["out"]
        if kind is None or kind[0] == "drum" or out is None or out[0] & 0xF0 != 0x90:
            continue
        notes[ev["index"]] = (kind[0], kind[1], out[1], ev["in"][1])
    return notes


class Figures:
    """Jump and chord-tone counts of one build."""

    def __init__(self):
        self.jumps = []
        self.shifts = []
        self.hits = {"bass": [0, 0], "other": [0, 0], "root-fixed": [0, 0]}

    def add(self, other):
        self.jumps += other.jumps
        self.shifts += other.shifts
        for key, (hit, total) in other.hits.items():
            self.hits[key][0] += hit
            self.hits[key][1] += total

    def count(self, notes, tones):
        for cls, fixed, pitch, source in notes.values():
            if fixed:
                self.shifts.append(abs(pitch - source))
            hit = pitch % 12 in tones
            for key in (cls, "root-fixed") if fixed else (cls,):
                self.hits[key][0] += hit
                self.hits[key][1] += 1

    def jump_text(self, values=None):
        values = self.jumps if values is None else values
        if not values:
            return "-", "-"
        return "%.2f" % (sum(values) / len(values)), "%d" % max(values)

    def share_text(self, key):
        hit, total = self.hits[key]
        return ("%.1f%%" % (100.0 * hit / total) if total else "-"), total


def measure(parts, results):
    """Figures of one build for one style; results[(part, k)] is its transform JSON."""
    fig = Figures()
    for p in range(1, len(parts)):
        channels = parts[p]["channels"]
        played = []
        for k, symbol in enumerate(SHEET):
            doc = results.get((p, k))
            notes = played_pitches(doc, channels) if doc else {}
            fig.count(notes, chord_tones(symbol))
            played.append(notes)
        for k in range(len(SHEET) - 1):
            a, b = played[k], played[k + 1]
            fig.jumps += [abs(b[i][2] - a[i][2]) for i in a.keys() & b.keys() if a[i][1]]
    return fig


def root_fixed_count(parts, results):
    """Root-fixed source note-ons; the source events do not depend on the chord."""
    n = 0
    for p in range(1, len(parts)):
        doc = results.get((p, 0))
        for ev in doc["events"] if doc else []:
            kind = note_kind(parts[p]["channels"], ev)
            n += bool(kind and kind[1])
    return n


def report(label, sff, nparts, nfixed, before, after):
    print("%s  (sff %s, %d parts, %d root-fixed notes)" % (label, sff, nparts, nfixed))
    (bm, bx), (am, ax) = before.jump_text(), after.jump_text()
    print("  %-24s %8s -> %-8s" % ("root-fixed jump mean", bm, am))
    print("  %-24s %8s -> %-8s" % ("root-fixed jump max", bx, ax))
    (bm, bx), (am, ax) = before.jump_text(before.shifts), after.jump_text(after.shifts)
    print("  %-24s %8s -> %-8s" % ("root-fixed shift mean", bm, am))
    print("  %-24s %8s -> %-8s" % ("root-fixed shift max", bx, ax))
    for key in ("bass", "other", "root-fixed"):
        (bs, bn), (as_, an) = before.share_text(key), after.share_text(key)
        print("  %-24s %8s -> %-8s (notes %d -> %d)" % ("chord tones " + key, bs, as_, bn, an))
    print()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("styles", nargs="+")
    ap.add_argument("--before", default=BEFORE)
    ap.add_argument("--after", default=AFTER)
    opts = ap.parse_args()
    wait_for(opts.after, 0)
    wait_for(opts.before, 30)

    total_before, total_after, total_fixed = Figures(), Figures(), 0
    with ProcessPoolExecutor(max_workers=2) as pool:
        for style in opts.styles:
            info = run_tool([opts.after, "style", style])
            if info is None:
                continue
            # parts[0] is the set-up, so parts[p] is what `transform STYLE p` plays.
            parts = info["parts"]
            jobs = {}
            for tool, name in ((opts.before, "before"), (opts.after, "after")):
                for p in range(1, len(parts)):
                    for k, symbol in enumerate(SHEET):
                        args = [tool, "transform", style, str(p), symbol]
                        jobs[(name, p, k)] = pool.submit(run_tool, args)
            results = {"before": {}, "after": {}}
            for (name, p, k), job in jobs.items():
                results[name][(p, k)] = job.result()
            nfixed = root_fixed_count(parts, results["after"])
            before = measure(parts, results["before"])
            after = measure(parts, results["after"])
            report(os.path.basename(style), info["sff"], len(parts) - 1, nfixed, before, after)
            total_before.add(before)
            total_after.add(after)
            total_fixed += nfixed

    (bm, bx), (am, ax) = total_before.jump_text(), total_after.jump_text()
    (sbm, sbx), (sam, sax) = total_before.jump_text(total_before.shifts), total_after.jump_text(total_after.shifts)
    line = "all styles: %d root-fixed notes, jump mean %s -> %s, max %s -> %s, shift mean %s -> %s, max %s -> %s" % (
        total_fixed, bm, am, bx, ax, sbm, sam, sbx, sax)
    for key in ("bass", "other", "root-fixed"):
        line += ", %s %s -> %s" % (key, total_before.share_text(key)[0],
                                   total_after.share_text(key)[0])
    print(line)


if __name__ == "__main__":
    main()
