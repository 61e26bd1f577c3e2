#!/usr/bin/env bash
# Starts the arranger in demo/, as `make run` does. When no sound generator
# matches the midiout: line of demo/config.txt, FluidSynth is started as an
# ALSA sequencer client named after that line (so the arranger picks it) and
# ended again with the arranger. A synth of your own that matches always wins.
#   tools/run-demo.sh [BUILD_FOLDER]
# VTN_NO_FLUIDSYNTH=1 never starts FluidSynth (the kernel tests use a probe).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cd "$root/demo"

# The arranger's own rule: the last midiout: line counts, matched in lower case.
wanted=$(sed -n 's/^[[:space:]]*[Mm][Ii][Dd][Ii][Oo][Uu][Tt]:[[:space:]]*//p' config.txt 2>/dev/null | tail -n 1 |
    sed 's/[[:space:]]*$//' | tr '[:upper:]' '[:lower:]')

# Full names ("client port") of the ports one can play to.
writablePorts() {
    aconnect -o 2>/dev/null | awk -F"'" '/^client /{client=$2; next} /^ +[0-9]+ /{print tolower(client " " $2)}'
}

soundFont() {
    for f in /usr/share/sounds/sf2/FluidR3_GM.sf2 /usr/share/sounds/sf2/TimGM6mb.sf2 /usr/share/sounds/sf2/default-GM.sf2; do
        [ -r "$f" ] && { echo "$f"; return; }
    done
}

synth=""
keeper=""
stopSynth() {
    [ -n "$synth" ] && kill "$synth" 2>/dev/null
    [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
    synth=""
    keeper=""
}
trap stopSynth EXIT

if [ -e /dev/snd/seq ] && [ -n "$wanted" ] && [ -z "${VTN_NO_FLUIDSYNTH:-}" ] &&
    ! writablePorts | grep -qF -- "$wanted"; then
    font=$(soundFont)
    if ! command -v fluidsynth >/dev/null || [ -z "$font" ]; then
        echo "No sound generator matches '$wanted' and FluidSynth is not installed"
    else
        driver=alsa
        [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ] && driver=pulseaudio
        # FluidSynth keeps running while its command shell waits for input;
        # the shell reads from a process that never writes.
        exec {never}< <(exec sleep infinity)
        keeper=$!
        # XG bank select: a Yamaha style's drum kits (bank MSB 127) play as drums.
        fluidsynth -a "$driver" -m alsa_seq -g 0.6 -o synth.midi-bank-select=xg \
            -o midi.alsa_seq.id="$wanted" "$font" <&"$never" >"$build/fluidsynth.log" 2>&1 &
        synth=$!
        for _ in $(seq 50); do
            writablePorts | grep -qF -- "$wanted" && break
            kill -0 "$synth" 2>/dev/null || break
            sleep 0.1
        done
        if writablePorts | grep -qF -- "$wanted"; then
            echo "Sound: FluidSynth ($driver, $(basename "$font"))"
        else
            echo "FluidSynth did not start; see $build/fluidsynth.log"
            stopSynth
        fi
    fi
fi

"$build/veltrona"
status=$?
stopSynth
exit $status
