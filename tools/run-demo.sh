#!/bin/sh
# Starts the arranger in demo/, as `make run` does. When no sound generator
# matches the midiout: line of demo/config.txt, FluidSynth is started as an
# ALSA sequencer client named after that line (so the arranger picks it) and
# ended again with the arranger. A synth of your own that matches always wins.
# With a remote: line in demo/config.txt the phone remote runs beside it.
#   tools/run-demo.sh [BUILD_FOLDER]
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cd "$root/demo" || exit 1

# The arranger's own rule: the last midiout: line counts, matched in lower case.
wanted=$(sed -n 's/^[[:space:]]*[Mm][Ii][Dd][Ii][Oo][Uu][Tt]:[[:space:]]*//p' config.txt 2>/dev/null | tail -n 1 |
    sed 's/[[:space:]]*$//' | tr 'A-Z' 'a-z')

# Full names ("client port") of the ports one can play to, in lower case.
writable_ports() {
    aconnect -o 2>/dev/null | awk -F"'" '/^client /{client=$2; next} /^ +[0-9]+ /{print tolower(client " " $2)}'
}

sound_font() {
    for f in /usr/share/sounds/sf2/FluidR3_GM.sf2 /usr/share/sounds/sf2/TimGM6mb.sf2 /usr/share/sounds/sf2/default-GM.sf2; do
        [ -r "$f" ] && { echo "$f"; return; }
    done
}

synth=""
fifo=""
stop_synth() {
    [ -n "$synth" ] && kill "$synth" 2>/dev/null
    [ -n "$fifo" ] && rm -rf "$(dirname "$fifo")"
    synth=""
    fifo=""
}
remote=""
stop_remote() {
    [ -n "$remote" ] && kill "$remote" 2>/dev/null
    remote=""
}
trap 'stop_remote; stop_synth' EXIT
trap 'exit 130' INT TERM

if [ -e /dev/snd/seq ] && [ -n "$wanted" ] && ! writable_ports | grep -qF -- "$wanted"; then
    font=$(sound_font)
    if ! command -v fluidsynth >/dev/null 2>&1 || [ -z "$font" ]; then
        echo "No sound generator matches '$wanted', and FluidSynth or a SoundFont is missing"
    else
        driver=alsa
        [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ] && driver=pulseaudio
        # FluidSynth runs while its command shell waits for input: the shell
        # reads a FIFO that this script holds open and never writes to.
        fifo=$(mktemp -d)/shell
        mkfifo "$fifo"
        # XG bank select: a Yamaha style's drum kits (bank MSB 127) play as drums.
        fluidsynth -a "$driver" -m alsa_seq -g 0.6 -o synth.midi-bank-select=xg \
            -o midi.alsa_seq.id="$wanted" "$font" <"$fifo" >"$build/fluidsynth.log" 2>&1 &
        synth=$!
        exec 9>"$fifo"
        n=0
        while [ $n -lt 100 ] && ! writable_ports | grep -qF -- "$wanted" && kill -0 "$synth" 2>/dev/null; do
            sleep 0.1
            n=$((n + 1))
        done
        if writable_ports | grep -qF -- "$wanted"; then
            echo "Sound: FluidSynth ($driver, $(basename "$font"))"
        else
            echo "FluidSynth did not start; see $build/fluidsynth.log"
            stop_synth
        fi
    fi
fi

# The remote waits for the arranger's socket by itself.
if grep -qi '^[[:space:]]*remote:' config.txt && [ -x "$build/tools/veltrona-remote/veltrona-remote" ]; then
    "$build/tools/veltrona-remote/veltrona-remote" </dev/null &
    remote=$!
fi
"$build/veltrona"
