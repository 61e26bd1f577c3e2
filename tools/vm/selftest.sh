# selftest.sh - guest-side smoke test of the VM harness (busybox sh).
# Run: tools/vm/run-in-vm.sh -- tools/vm/selftest.sh
# Proves: the kernel sequencer is up (Midi Through, virmidi client), and MIDI
# makes real round trips through it in both directions:
#   amidi -> /dev/snd/midiC0D0 -> virmidi client -> aconnect route
#     -> Midi Through -> aseqdump
#   SMF -> aplaymidi -> virmidi port -> /dev/snd/midiC0D0 -> dd
set -u
echo "# guest uptime at start: $(cut -d' ' -f1 /proc/uptime) s"
passes=0 fails=0
pass() { echo "ok - $*"; passes=$((passes + 1)); }
fail() { echo "not ok - $*"; fails=$((fails + 1)); }

# wait_for TRIES CMD...: run CMD every 0.1 s until it succeeds (bounded;
# the bounds only matter when something is broken).
wait_for() {
    n=$1; shift
    while [ "$n" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
        n=$((n - 1))
    done
    return 1
}

# Client numbers come from /proc, not assumed.
client_of() { sed -n "s/^Client *\([0-9]*\) : \"$1\".*/\1/p" /proc/asound/seq/clients; }

aconnect -l >/tmp/list.txt 2>&1
cat /tmp/list.txt
grep -q "'Midi Through'" /tmp/list.txt && pass "Midi Through client listed" ||
    fail "Midi Through client missing"
grep -q "'Virtual Raw MIDI 0-0'" /tmp/list.txt && grep -q "'VirMIDI 0-0 *'" /tmp/list.txt &&
    pass "virmidi client and port listed" || fail "virmidi client/port missing"

THRU=$(client_of "Midi Through")
VIRT=$(client_of "Virtual Raw MIDI 0-0")
RAW=/dev/snd/midiC0D0
[ -n "$THRU" ] && [ -n "$VIRT" ] && [ -c "$RAW" ] || { echo "setup incomplete"; exit 1; }
echo "# Midi Through = $THRU:0, virmidi = $VIRT:0, raw = $RAW"

# 1. raw -> sequencer: route virmidi into Midi Through, dump Midi Through.
aconnect "$VIRT:0" "$THRU:0" && pass "aconnect $VIRT:0 -> $THRU:0" || fail "aconnect"
aseqdump -p "$THRU:0" >/tmp/dump.txt 2>&1 &
dump=$!
# aseqdump has subscribed once the Midi Through port lists a reader.
reads_from_thru() {
    aconnect -l | awk -v c="client $THRU:" '
        /^client / { in_c = index($0, c) == 1 }
        in_c && /Connecting To:/ { found = 1 }
        END { exit !found }'
}
if wait_for 300 reads_from_thru; then
    pass "aseqdump subscribed"
else
    fail "aseqdump did not subscribe"
fi
# Note on 60 velocity 100, note off 60, written to the raw device (plain
# printf '\220\074\144...' >"$RAW" works the same).
amidi -p hw:0,0 -S '90 3c 64 80 3c 00' && pass "amidi sent to $RAW" || fail "amidi -S"
wait_for 300 grep -q "Note off.*60" /tmp/dump.txt && echo "# dump seen before kill"
kill "$dump" 2>/dev/null
wait "$dump" 2>/dev/null
cat /tmp/dump.txt
grep -Eq "^ *$THRU:0 +Note on +0, note 60, velocity 100" /tmp/dump.txt &&
    pass "note on 60/100 arrived through the sequencer" || fail "note on not seen"
grep -Eq "^ *$THRU:0 +Note off +0, note 60" /tmp/dump.txt &&
    pass "note off 60 arrived through the sequencer" || fail "note off not seen"
aconnect -d "$VIRT:0" "$THRU:0"

# 2. sequencer -> raw: play a one-note SMF into the virmidi port, read raw.
# Format 0, 1 track, 96 ticks/quarter: C4 on (ch 1, vel 100), off 1 tick later.
printf 'MThd\000\000\000\006\000\000\000\001\000\140MTrk\000\000\000\015\000\220\074\144\001\200\074\000\000\377\057\000' >/tmp/one.mid
# dd blocks until the six bytes arrive; busybox timeout bounds it.
timeout 30 dd if="$RAW" of=/tmp/raw.bin bs=1 count=6 2>/dev/null &
rd=$!
# dd is ready once it holds the raw device open.
wait_for 300 sh -c "ls -l /proc/$rd/fd 2>/dev/null | grep -q midiC0D0"
aplaymidi -p "$VIRT:0" /tmp/one.mid && pass "aplaymidi to $VIRT:0" || fail "aplaymidi"
wait "$rd"
raw=$(od -An -tx1 /tmp/raw.bin | tr -s ' \n' ' ')
echo "# raw bytes read:$raw"
[ "$raw" = " 90 3c 64 80 3c 00 " ] &&
    pass "raw bytes 90 3c 64 80 3c 00 read back" || fail "raw bytes not read back"

echo "# guest uptime at end: $(cut -d' ' -f1 /proc/uptime) s"
echo "$passes passed, $fails failed"
[ "$fails" = 0 ]
