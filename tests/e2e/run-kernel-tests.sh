#!/usr/bin/env bash
# Runs the kernel suite against the real ALSA sequencer: here when this
# machine has a usable /dev/snd/seq, otherwise inside a throwaway VM.
# Usage: run-kernel-tests.sh BUILD_DIR [TSAN_BUILD_DIR] [--bench]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
shift
tsan=""
if [ $# -gt 0 ] && [ "$1" != "--bench" ]; then tsan=$(cd "$1" && pwd); shift; fi

bins=("$build/veltrona" "$build/tools/seqprobe" "$build/tests/test_midi")
for b in "${bins[@]}"; do [ -x "$b" ] || { echo "missing $b" >&2; exit 1; }; done

# The songs the suite plays, each with its note ons as mido reads them
# ("channel pitch microseconds"): a corpus song and the timing song.
songs=$(mktemp -d)
trap 'rm -rf "$songs"' EXIT
python=python3
/usr/bin/python3 -c 'import mido' 2>/dev/null && python=/usr/bin/python3 # a python3 earlier on the path may lack mido
corpus_song="$root/../shared/corpus/smf/test-multichannel-chords-1.mid"
[ -f "$corpus_song" ] && cp "$corpus_song" "$songs/"
"$python" "$root/tools/song_timing.py" write "$songs/timing-song.mid" ||
    echo "the timing song cannot be written (python3-mido?)" >&2
# For the benchmarks, the demo style's Main A over C as the player renders it.
tool="$build/tools/veltrona-tool/veltrona-tool"
if [ "${1:-}" = "--bench" ] && [ -x "$tool" ] && [ -f "$root/demo/Styles/DemoPop.sty" ]; then
    echo "[Main A] C | C | C | C | C | C | C | C | C | C | C | C | C | C | C | C" >"$songs/style.txt"
    "$tool" render "$root/demo/Styles/DemoPop.sty" "$songs/style.txt" "$songs/style-timing.mid" >/dev/null ||
        echo "the demo style cannot be rendered" >&2
fi
for song in "$songs"/*.mid; do
    [ ! -f "$song" ] || "$python" "$root/tools/song_timing.py" notes "$song" >"$song.notes" || rm -f "$song.notes"
done

# The board's package (`make deb`), unpacked, and what the suite plays it
# with: Debian's FluidSynth, a small General MIDI SoundFont, and wavlevel to
# measure what FluidSynth writes. In the VM the package's files lie at their
# installed paths, as after dpkg -i.
pkg=$(mktemp -d)
trap 'rm -rf "$songs" "$pkg"' EXIT
pkg_files=()
deb=$(ls -t "$build"/veltrona_*.deb 2>/dev/null | head -n 1 || true)
if [ "${1:-}" = "--bench" ]; then
    : # the benchmarks play no package
elif [ -n "$deb" ]; then
    dpkg-deb -x "$deb" "$pkg"
    while IFS= read -r -d '' f; do pkg_files+=(--file "$f:${f#"$pkg"}"); done < <(find "$pkg" -type f -print0)
else
    echo "no package in $build (make deb)" >&2
fi
if [ ${#pkg_files[@]} -gt 0 ]; then
    for f in "$(command -v fluidsynth || true)" /usr/share/sounds/sf2/TimGM6mb.sf2; do
        [ -f "$f" ] && pkg_files+=(--file "$(readlink -f "$f"):$f")
    done
    [ -x "$build/tools/wavlevel" ] && pkg_files+=(--file "$build/tools/wavlevel:/opt/vtn/wavlevel")
fi

if [ -r /dev/snd/seq ] && [ -w /dev/snd/seq ]; then
    stage=$(mktemp -d)
    trap 'rm -rf "$stage" "$songs" "$pkg"' EXIT
    for b in "${bins[@]}"; do ln -s "$b" "$stage/"; done
    [ -n "$tsan" ] && ln -s "$tsan/tests/test_midi" "$stage/test_midi_tsan"
    mkdir "$stage/tools"
    ln -s "$root/demo" "$stage/demo"
    ln -s "$root/tools/run-demo.sh" "$stage/tools/run-demo.sh"
    ln -s "$songs" "$stage/songs"
    [ -x "$build/tools/wavlevel" ] && ln -s "$build/tools/wavlevel" "$stage/"
    VTN_BIN=$stage VTN_PKG=$pkg sh "$here/kernel-suite.sh" "$@"
else
    files=()
    for b in "${bins[@]}"; do files+=(--file "$b:/opt/vtn/$(basename "$b")"); done
    [ -n "$tsan" ] && files+=(--file "$tsan/tests/test_midi:/opt/vtn/test_midi_tsan")
    # The demo, built by `make demo-files`, and its starter.
    files+=(--file "$root/demo:/opt/vtn/demo" --file "$root/tools/run-demo.sh:/opt/vtn/tools/run-demo.sh")
    files+=(--file "$songs:/opt/vtn/songs")
    # The corpus styles that the kernel tests play.
    styles="$root/../shared/corpus/styles"
    [ -d "$styles" ] && files+=(--file "$styles:/opt/vtn/corpus/styles")
    "$root/tools/vm/run-in-vm.sh" --timeout 1500 "${files[@]}" "${pkg_files[@]}" -- "$here/kernel-suite.sh" "$@"
fi
