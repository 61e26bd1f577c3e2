#!/bin/sh
# Runs where the kernel sequencer is (a board, a desktop or the throwaway test
# machine): the port's in-process tests, then the arranger binary against
# standard ALSA tools, a virtual keyboard and our probe client. With --bench it
# prints the round-trip latency figures instead.
# Binaries are taken from $VTN_BIN (veltrona, seqprobe, test_midi and
# optionally test_midi_tsan).
set -u
BIN=${VTN_BIN:-/opt/vtn}
WORK=${TMPDIR:-/tmp}/vtn-e2e.$$
mkdir -p "$WORK"
failures=0
pass() { echo "ok - $*"; }
fail() { echo "FAIL - $*"; failures=$((failures + 1)); }

# wait_for FILE TEXT SECONDS: until FILE holds TEXT.
wait_for() {
    n=0
    while [ $n -lt $(($3 * 10)) ]; do
        grep -qF -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
        n=$((n + 1))
    done
    return 1
}

# Starts the arranger in an empty folder with a FIFO as its console (fd 3).
start_vtn() {
    rm -rf "$WORK/folder" "$WORK/console"
    mkdir -p "$WORK/folder"
    mkfifo "$WORK/console"
    (cd "$WORK/folder" && exec "$BIN/veltrona" <"$WORK/console" >"$WORK/vtn.out" 2>"$WORK/vtn.err") &
    VTN_PID=$!
    exec 3>"$WORK/console"
    wait_for "$WORK/vtn.out" "Ready" 60
}

stop_vtn() {
    echo quit >&3
    exec 3>&-
    wait "$VTN_PID"
    VTN_STATUS=$?
}

virmidi_dev() { ls /dev/snd/midiC*D* 2>/dev/null | head -n 1; }

kernel_tests() {
    for t in test_midi test_midi_tsan; do
        [ -x "$BIN/$t" ] || continue
        if TSAN_OPTIONS="halt_on_error=1" "$BIN/$t" --gtest_filter='KernelSequencer.*' >"$WORK/$t.log" 2>&1; then
            pass "$t: $(grep -E '^\[  PASSED  \]' "$WORK/$t.log")"
        else
            cat "$WORK/$t.log"
            fail "$t kernel tests"
        fi
    done
}

arranger_tests() {
    if ! start_vtn; then
        cat "$WORK/vtn.out" "$WORK/vtn.err"
        fail "the arranger did not start"
        return
    fi
    pass "the arranger started"

    aconnect -l >"$WORK/aconnect.txt"
    if grep -q "client [0-9]*: 'VTN'" "$WORK/aconnect.txt" && grep -q "0 'Veltrona MIDI Port'" "$WORK/aconnect.txt"; then
        pass "aconnect -l shows client VTN with port Veltrona MIDI Port"
    else
        cat "$WORK/aconnect.txt"
        fail "client or port name"
    fi
    if "$BIN/seqprobe" ports --name vtn-lister | grep -q "caps=0x63 VTN Veltrona MIDI Port$"; then
        pass "the port is readable, writable and subscribable both ways"
    else
        "$BIN/seqprobe" ports --name vtn-lister
        fail "port capabilities"
    fi

    # Two sound generators whose names both match: the last one is used.
    "$BIN/seqprobe" capture --name vtn-probe-a --timeout 120000 --ready "$WORK/a.ready" >"$WORK/cap-a.txt" &
    CAP_A=$!
    # b must come after a in the enumeration: start it once a exists.
    wait_for "$WORK/a.ready" ready 30
    "$BIN/seqprobe" capture --name vtn-probe-b --count 53 --timeout 30000 --ready "$WORK/b.ready" >"$WORK/cap-b.txt" &
    CAP_B=$!
    wait_for "$WORK/a.ready" ready 30 && wait_for "$WORK/b.ready" ready 30
    echo "midiout: VTN-Probe" >&3
    if wait_for "$WORK/vtn.out" "Midi Out: vtn-probe-b in" 30 &&
        grep -A1 -F "Midi Out: vtn-probe-a in" "$WORK/vtn.out" | grep -qF "Midi Out: vtn-probe-b in"; then
        pass "midiout: prints every match, last one last"
    else
        cat "$WORK/vtn.out"
        fail "midiout: messages"
    fi

    # A virtual keyboard: raw MIDI into the kernel, through the arranger
    # (input mode 0 passes it through), out to the probe.
    echo "midiin: virtual raw" >&3
    if wait_for "$WORK/vtn.out" "Midi In: Virtual Raw MIDI" 30; then
        pass "midiin: connects the virtual keyboard ($(grep -F 'Midi In:' "$WORK/vtn.out" | head -n 1))"
    else
        cat "$WORK/vtn.out"
        fail "midiin: message"
    fi
    sleep 1
    dev=$(virmidi_dev)
    printf '\220\074\144' >"$dev"
    printf '\200\074\000' >"$dev"
    printf '\260\007\144' >"$dev"
    printf '\300\005' >"$dev"
    printf '\340\000\100' >"$dev"
    if wait_for "$WORK/cap-b.txt" "pitchbend 0 0" 30; then
        pass "keyboard -> kernel -> arranger -> kernel -> sound generator"
    else
        cat "$WORK/cap-b.txt"
        fail "round trip through the kernel"
    fi

    stop_vtn
    wait "$CAP_B"
    kill "$CAP_A" 2>/dev/null
    wait "$CAP_A" 2>/dev/null
    expected="noteon 0 60 100
noteoff 0 60 0
control 0 7 100
program 0 5
pitchbend 0 0"
    if [ "$(head -n 5 "$WORK/cap-b.txt")" = "$expected" ]; then
        pass "the played messages arrive with their types and values"
    else
        cat "$WORK/cap-b.txt"
        fail "played messages"
    fi
    if [ "$(wc -l <"$WORK/cap-b.txt")" -eq 53 ] && [ "$(sed -n 6p "$WORK/cap-b.txt")" = "control 0 123 0" ] &&
        [ "$(tail -n 1 "$WORK/cap-b.txt")" = "pitchbend 15 0" ]; then
        pass "quit leaves the sound generator silent (48 messages)"
    else
        cat "$WORK/cap-b.txt"
        fail "silence on quit"
    fi
    if [ ! -s "$WORK/cap-a.txt" ]; then
        pass "the earlier match receives nothing"
    else
        fail "the earlier match received: $(cat "$WORK/cap-a.txt")"
    fi
    if [ "$VTN_STATUS" -eq 0 ]; then pass "quit ends with status 0"; else fail "exit status $VTN_STATUS"; fi
    if aconnect -l | grep -q "'VTN'"; then fail "the client is still there after quit"; else pass "quit leaves no client behind"; fi
}

latency_bench() {
    "$BIN/seqprobe" latency --name vtn-lat --out "Midi Through" --count "${COUNT:-1000}" --label "Midi Through alone" |
        tee "$WORK/lat.txt"
    start_vtn || { fail "the arranger did not start"; return; }
    "$BIN/seqprobe" latency --name vtn-lat --out "VTN Veltrona" --back none --settle 3000 \
        --count "${COUNT:-1000}" --label "keyboard -> arranger -> capture" >>"$WORK/lat.txt" &
    LAT=$!
    n=0
    while ! aconnect -l | grep -q "'vtn-lat'" && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
    echo "midiout: vtn-lat" >&3
    wait "$LAT"
    stop_vtn
    tail -n 1 "$WORK/lat.txt"
    awk '/p50/ { for (i = 1; i <= NF; i++) if ($i == "p50") v[++k] = $(i + 1); for (i = 1; i <= NF; i++) if ($i == "p99") w[k] = $(i + 1) }
         END { if (k == 2 && v[1] > 0) printf "ratio arranger/through: p50 %.2f, p99 %.2f\n", v[2] / v[1], w[2] / w[1] }' "$WORK/lat.txt"
}

if [ "${1:-}" = "--bench" ]; then
    latency_bench
else
    kernel_tests
    arranger_tests
fi
rm -rf "$WORK"
echo "kernel suite: $failures failed"
[ "$failures" -eq 0 ]
