#!/bin/bash
# run-in-vm.sh - run a shell script inside a throwaway VM that has the real
# Linux ALSA sequencer (/dev/snd/seq), for end-to-end tests on machines
# without sound devices.
#
# Usage: run-in-vm.sh [--timeout SECONDS] [--virmidi N] [--smp N] [--mem MB]
#                     [--file HOSTPATH[:GUESTPATH]]... -- GUEST_SCRIPT [ARGS...]
#
#   --timeout S   host-side limit for the whole VM run (default 300); on expiry
#                 qemu is killed and the exit status is 124.
#   --virmidi N   number of virtual raw MIDI devices of snd-virmidi (default 1,
#                 at most 4, 0 = none). Each one is a sequencer client "Virtual Raw MIDI
#                 0-<i>" with port 0 "VirMIDI 0-<i>" and raw device
#                 /dev/snd/midiC0D<i>.
#   --smp N       virtual CPUs (default 1).
#   --mem MB      guest memory (default 512).
#   --file H[:G]  copy host file or directory H to guest path G (default: the
#                 absolute host path). Shared libraries of every ELF file are
#                 added (ldd). May be repeated.
#
# The guest is qemu in software emulation (no KVM needed) with Debian's
# kernel (apt-get download + dpkg -x, never installed; cached once in
# $VELTRONA_VM_CACHE, default /var/cache/veltrona-vm as root, else
# ~/.cache/veltrona-vm) and a busybox initramfs holding the sound modules,
# /usr/share/alsa, aconnect, aseqdump, amidi, aplaymidi, arecordmidi and the
# given files. Before the script runs, /dev/snd/seq exists with the clients
# "Midi Through" (14) and the virmidi ones (16, 17, ...).
#
# GUEST_SCRIPT runs with busybox /bin/sh (not bash) in /tmp (tmpfs), with
# ARGS as its arguments, stdin from /dev/null and VELTRONA_VM=1 set. Its
# stdout and stderr (merged) travel over a second serial port, apart from the
# kernel console, and are printed on this script's stdout after the VM ends.
# Processes the script leaves behind are killed when it ends. The exit
# status is the guest script's; 124 when the timeout hit (output so far is
# printed), 125 when the VM could not be built or booted or gave no status
# (the console log goes to stderr).
#
# Environment: VELTRONA_VM_CACHE (cache dir); VELTRONA_VM_KERNEL_PKG (kernel
# package, default: the one linux-image-amd64 depends on); VELTRONA_VM_REFRESH=1
# (look for a newer kernel even when one is cached); VELTRONA_VM_KEEP=1 (keep
# the work dir); VELTRONA_VM_VERBOSE=1 (console log on stderr even on
# success); VELTRONA_VM_NO_INSTALL=1 (never apt-get install missing host
# packages: qemu-system-x86 busybox-static cpio alsa-utils kmod).
set -Eeuo pipefail

prog=${0##*/}
trap 'echo "$prog: unexpected failure at line $LINENO: $BASH_COMMAND" >&2; exit 125' ERR
die() { echo "$prog: $*" >&2; exit 125; }
note() { echo "$prog: $*" >&2; }

timeout_s=300
virmidi=1
smp=1
mem=512
files=()
while [ $# -gt 0 ]; do
    case $1 in
        --timeout) [ $# -ge 2 ] || die "--timeout needs a value"; timeout_s=$2; shift 2 ;;
        --timeout=*) timeout_s=${1#*=}; shift ;;
        --virmidi) [ $# -ge 2 ] || die "--virmidi needs a value"; virmidi=$2; shift 2 ;;
        --virmidi=*) virmidi=${1#*=}; shift ;;
        --smp) [ $# -ge 2 ] || die "--smp needs a value"; smp=$2; shift 2 ;;
        --smp=*) smp=${1#*=}; shift ;;
        --mem) [ $# -ge 2 ] || die "--mem needs a value"; mem=$2; shift 2 ;;
        --mem=*) mem=${1#*=}; shift ;;
        --file) [ $# -ge 2 ] || die "--file needs a value"; files+=("$2"); shift 2 ;;
        --file=*) files+=("${1#*=}"); shift ;;
        --) shift; break ;;
        -h|--help) sed -n '2,/^set -E/{/^set -E/d;s/^# \{0,1\}//;p}' "$0"; exit 0 ;;
        *) die "unknown option '$1' (usage: $prog [options] -- GUEST_SCRIPT [ARGS...])" ;;
    esac
done
[ $# -ge 1 ] || die "missing GUEST_SCRIPT (usage: $prog [options] -- GUEST_SCRIPT [ARGS...])"
guest_script=$1; shift
[ -f "$guest_script" ] || die "guest script '$guest_script' not found"
[[ $timeout_s =~ ^[0-9]+$ ]] && [ "$timeout_s" -gt 0 ] || die "bad --timeout '$timeout_s'"
[[ $virmidi =~ ^[0-4]$ ]] || die "bad --virmidi '$virmidi' (0-4)"
[[ $smp =~ ^[0-9]+$ ]] && [ "$smp" -ge 1 ] || die "bad --smp '$smp'"
[[ $mem =~ ^[0-9]+$ ]] && [ "$mem" -ge 128 ] || die "bad --mem '$mem' (MB, at least 128)"

export PATH="$PATH:/usr/sbin:/sbin"

# ---------------------------------------------------------------- host tools
need_pkgs=()
command -v qemu-system-x86_64 >/dev/null || need_pkgs+=(qemu-system-x86)
[ -x /bin/busybox ] || need_pkgs+=(busybox-static)
command -v cpio >/dev/null || need_pkgs+=(cpio)
command -v aseqdump >/dev/null || need_pkgs+=(alsa-utils)
command -v modinfo >/dev/null || need_pkgs+=(kmod)
command -v flock >/dev/null || need_pkgs+=(util-linux)
if [ ${#need_pkgs[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && [ -z "${VELTRONA_VM_NO_INSTALL:-}" ]; then
        note "installing missing host packages: ${need_pkgs[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -q --no-install-recommends "${need_pkgs[@]}" >&2 ||
            { apt-get update -q >&2 && apt-get install -y -q --no-install-recommends "${need_pkgs[@]}" >&2; } ||
            die "could not install ${need_pkgs[*]}"
    else
        die "missing host packages: ${need_pkgs[*]} (apt-get install them)"
    fi
fi

# -------------------------------------------------------------- kernel cache
if [ -n "${VELTRONA_VM_CACHE:-}" ]; then
    cache=$VELTRONA_VM_CACHE
elif [ "$(id -u)" = 0 ]; then
    cache=/var/cache/veltrona-vm
else
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/veltrona-vm
fi
mkdir -p "$cache" || die "cannot create cache dir $cache"

cache_layout=2  # bump when the cached layout changes
# Sound modules wanted in the guest; their dependencies are added.
wanted_modules="snd-seq snd-seq-dummy snd-hrtimer snd-virmidi"

# A kernel already in the cache is used as it is (no package index needed,
# the same kernel every run); VELTRONA_VM_REFRESH=1 looks for a newer one.
cached_kernel() {
    local d
    for d in "$cache/${VELTRONA_VM_KERNEL_PKG:-linux-image-}"*/; do
        if [ "$(cat "$d.ready" 2>/dev/null)" = "$cache_layout" ]; then echo "${d%/}"; fi
    done | sort -V | tail -n1
}
kernel_pkg() {
    local p=${VELTRONA_VM_KERNEL_PKG:-}
    if [ -z "$p" ]; then
        p=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
    fi
    echo "$p"
}
kdir=
[ -n "${VELTRONA_VM_REFRESH:-}" ] || kdir=$(cached_kernel)
if [ -z "$kdir" ]; then
    pkg=$(kernel_pkg)
    if [ -z "$pkg" ] && [ "$(id -u)" = 0 ]; then
        apt-get update -q >&2 || true
        pkg=$(kernel_pkg)
    fi
    ver=
    [ -n "$pkg" ] && ver=$(apt-cache policy "$pkg" 2>/dev/null | sed -n 's/^ *Candidate: //p' | head -n1)
    if [ -z "$pkg" ] || [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
        kdir=$(cached_kernel)
        [ -n "$kdir" ] || die "cannot resolve Debian's kernel package (apt-get update?) and the cache $cache is empty"
        note "kernel package index unavailable; using cached $(basename "$kdir")"
    else
        kdir=$cache/${pkg}_${ver}
    fi
fi

prepare_kernel() {
    local tmp deb mdir m order=() seen=" " kver
    rm -rf "$cache"/.dl.*  # left by an interrupted run (we hold the lock)
    tmp=$(mktemp -d "$cache/.dl.XXXXXX")
    note "downloading $pkg $ver (once; cached in $cache)"
    (cd "$tmp" && apt-get download -q -o APT::Sandbox::User=root "$pkg=$ver" >&2) ||
        { rm -rf "$tmp"; die "apt-get download $pkg=$ver failed"; }
    deb=$(ls "$tmp"/*.deb)
    mkdir "$tmp/x"
    dpkg -x "$deb" "$tmp/x"
    mkdir "$tmp/k" "$tmp/k/modules"
    cp "$tmp"/x/boot/vmlinuz-* "$tmp/k/vmlinuz"
    cp "$tmp"/x/boot/config-* "$tmp/k/config"
    mdir=$(ls -d "$tmp"/x/lib/modules/*/ | head -n1)
    kver=$(basename "$mdir")
    # Resolve dependencies (modinfo reads them from the .ko) into load order.
    modpath() { find "$mdir/kernel" -name "$1.ko" -o -name "$1.ko.xz" -o -name "$1.ko.zst" -o -name "$1.ko.gz" | head -n1; }
    visit() {
        local name=$1 f dep
        case $seen in *" $name "*) return 0 ;; esac
        seen="$seen$name "
        f=$(modpath "$name")
        [ -n "$f" ] || { grep -q "/$name.ko\$" "$mdir/modules.builtin" 2>/dev/null && return 0; die "module $name not in $pkg"; }
        for dep in $(modinfo -F depends "$f" | tr ',' ' '); do visit "$dep"; done
        case $f in
            *.xz) xz -dc "$f" ;; *.zst) zstd -dc "$f" ;; *.gz) gzip -dc "$f" ;; *) cat "$f" ;;
        esac >"$tmp/k/modules/$name.ko"
        order+=("$name")
    }
    for m in $wanted_modules; do visit "$m"; done
    printf '%s\n' "${order[@]}" >"$tmp/k/modules/order"
    # The bzImage decompresses itself slowly under emulation (~3 s); when the
    # kernel has a PVH entry, unpack it here and let qemu boot the ELF.
    if grep -q '^CONFIG_PVH=y' "$tmp/k/config"; then
        unpack_vmlinux "$tmp/k/vmlinuz" >"$tmp/k/vmlinux" || rm -f "$tmp/k/vmlinux"
    fi
    echo "$kver" >"$tmp/k/kernel-release"
    echo "$cache_layout" >"$tmp/k/.ready"
    rm -rf "$kdir"
    mv "$tmp/k" "$kdir"
    rm -rf "$tmp"
}

# Decompress the kernel image embedded in a bzImage (xz, zstd or gzip).
unpack_vmlinux() {
    local img=$1 magic off
    for magic in '\xfd7zXZ\x00:xz -dc --single-stream' '\x28\xb5\x2f\xfd:zstd -dcq' '\x1f\x8b\x08\x00:gzip -dcq'; do
        off=$(LC_ALL=C grep -obUaP "${magic%%:*}" "$img" | head -n1 | cut -d: -f1) || true
        [ -n "$off" ] || continue
        tail -c +$((off + 1)) "$img" | ${magic#*:} 2>/dev/null >"$img.elf" || true
        if file_is_elf "$img.elf"; then
            cat "$img.elf"; rm -f "$img.elf"; return 0
        fi
        rm -f "$img.elf"
    done
    return 1
}
file_is_elf() { [ -f "$1" ] && [ "$(head -c4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }

exec 9>"$cache/.lock"
flock 9
[ "$(cat "$kdir/.ready" 2>/dev/null)" = "$cache_layout" ] || prepare_kernel
flock -u 9
exec 9>&-
kernel=$kdir/vmlinuz
[ -s "$kdir/vmlinux" ] && kernel=$kdir/vmlinux

# ---------------------------------------------------------------- initramfs
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrona-vm.XXXXXX")
qpid=
cleanup() {
    [ -n "$qpid" ] && kill "$qpid" 2>/dev/null || true
    if [ -n "${VELTRONA_VM_KEEP:-}" ]; then note "work dir kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

root=$work/root
mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,run,root,vm,usr/bin,usr/sbin,usr/lib,usr/lib64,usr/share}
ln -s usr/lib "$root/lib"
ln -s usr/lib64 "$root/lib64"
cp /bin/busybox "$root/bin/busybox"
for a in $(/bin/busybox --list); do
    [ "$a" = busybox ] || ln -s busybox "$root/bin/$a"
done
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
printf 'root:x:0:\naudio:x:29:\n' >"$root/etc/group"
cp -a /usr/share/alsa "$root/usr/share/alsa"

declare -A have_lib=()
add_libs() { # ELF file -> copy its shared libraries (ldd lists the whole closure)
    local f=$1 line lib
    file_is_elf "$f" || return 0
    while read -r line; do
        case $line in
            *"=> not found"*) die "$f: missing library: ${line%% *}" ;;
            *"=> /"*) lib=${line#*=> }; lib=${lib%% (*} ;;
            /*) lib=${line%% (*} ;;
            *) continue ;;
        esac
        [ -n "${have_lib[$lib]:-}" ] && continue
        have_lib[$lib]=1
        mkdir -p "$root$(dirname "$lib")"
        rm -f "$root$lib"
        cp -L "$lib" "$root$lib"
    done < <(ldd "$f" 2>/dev/null || true)
}
put() { # host path -> guest path; ELF files get their libraries
    local src=$1 dst=$2 f
    [ -e "$src" ] || die "--file: '$src' does not exist"
    mkdir -p "$root$(dirname "$dst")"
    rm -rf "$root$dst"
    cp -aL "$src" "$root$dst"
    if [ -d "$src" ]; then
        while IFS= read -r -d '' f; do add_libs "$f"; done < <(find "$root$dst" -type f -print0)
    else
        add_libs "$src"
    fi
}
for t in aconnect aseqdump amidi aplaymidi arecordmidi; do
    put "$(command -v $t)" "/usr/bin/$t"
done
for entry in ${files[@]+"${files[@]}"}; do
    src=${entry%%:*}
    if [[ $entry == *:* ]]; then dst=${entry#*:}; else dst=$(realpath -m "$src"); fi
    [[ $dst == /* ]] || die "--file: guest path '$dst' must be absolute"
    case $dst/ in /proc/*|/sys/*|/dev/*|/vm/*|/init/) die "--file: guest path '$dst' is reserved" ;; esac
    put "$src" "$dst"
done
cp "$guest_script" "$root/vm/script"

mkdir "$root/vm/modules"
cp "$kdir"/modules/*.ko "$root/vm/modules/"
cp "$kdir/modules/order" "$root/vm/modules/order"

# Guest arguments, single-quoted for sh.
{
    printf 'set --'
    for a in "$@"; do printf " '%s'" "${a//\'/\'\\\'\'}"; done
    printf '\n'
} >"$root/vm/args"

cat >"$root/init" <<EOF
#!/bin/sh
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root TMPDIR=/tmp VELTRONA_VM=1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
# /tmp becomes a tmpfs; files put under /tmp by --file are moved onto it.
mv /tmp /.tmp-files
mkdir /tmp
mount -t tmpfs -o mode=1777 tmpfs /tmp
cp -a /.tmp-files/. /tmp/
rm -rf /.tmp-files
# Guest output channel: the second serial port, raw (no CR before LF).
out=/dev/ttyS1
stty -F \$out raw -echo 115200
status=0
for m in \$(cat /vm/modules/order); do
    case \$m in
        snd-virmidi) [ $virmidi -gt 0 ] || continue; params="midi_devs=$virmidi" ;;
        *) params= ;;
    esac
    if ! insmod /vm/modules/\$m.ko \$params >\$out 2>&1; then
        echo "VM-SETUP-ERROR: insmod \$m failed" >\$out
        status=125
    fi
done
if [ \$status = 0 ] && [ ! -c /dev/snd/seq ]; then
    echo "VM-SETUP-ERROR: /dev/snd/seq missing" >\$out
    status=125
fi
if [ \$status = 0 ]; then
    . /vm/args
    cd /tmp
    /bin/sh /vm/script "\$@" >\$out 2>&1 </dev/null
    status=\$?
fi
# End whatever the script left running, so nothing writes after the marker.
kill -KILL -1 2>/dev/null
n=0
while [ \$n -lt 100 ]; do
    alive=0
    for p in /proc/[0-9]*; do
        [ "\${p#/proc/}" = 1 ] || [ ! -s \$p/cmdline ] || alive=1
    done
    [ \$alive = 0 ] && break
    usleep 20000
    n=\$((n + 1))
done
# The marker follows the script's output on the same channel, so its arrival
# means all of that output arrived. It starts on a line of its own.
printf '\nVM-EXIT-STATUS=%s\n' \$status >\$out
echo "VM-EXIT-STATUS=\$status" >/dev/console
# stty sets the line with TCSADRAIN: returns once the marker has left.
stty -F \$out raw
poweroff -f
EOF
chmod 755 "$root/init" "$root/vm/script"

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) >"$work/initrd" ||
    die "cpio failed"

# ---------------------------------------------------------------------- run
: >"$work/console.log"
: >"$work/out.log"
start=$EPOCHREALTIME
timeout -k 5 "$timeout_s" qemu-system-x86_64 \
    -accel tcg -cpu max -smp "$smp" -m "$mem" \
    -nodefaults -display none -no-reboot -monitor none \
    -kernel "$kernel" -initrd "$work/initrd" \
    -append "console=ttyS0 quiet panic=-1" \
    -serial "file:$work/console.log" -serial "file:$work/out.log" \
    </dev/null >"$work/qemu.log" 2>&1 &
qpid=$!
qrc=0
wait "$qpid" || qrc=$?
qpid=
elapsed=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')

# The guest output is everything before the last marker, which init writes
# as "\nVM-EXIT-STATUS=<n>\n" (its leading newline is not the guest's).
out=$(cat "$work/out.log"; echo x)
out=${out%x}
status=
if [[ $out == *$'\n'VM-EXIT-STATUS=* ]]; then
    tail=${out##*$'\n'VM-EXIT-STATUS=}
    if [[ $tail =~ ^([0-9]+)$'\n' ]]; then
        status=${BASH_REMATCH[1]}
        out=${out%$'\n'VM-EXIT-STATUS=*}
    fi
fi
printf '%s' "$out"

show_console() {
    echo "---- $prog: VM console ----" >&2
    tr -d '\r' <"$work/console.log" | tail -n 60 >&2
    [ -s "$work/qemu.log" ] && { echo "---- $prog: qemu ----" >&2; tail -n 20 "$work/qemu.log" >&2; }
    echo "----" >&2
}
if [ "$qrc" = 124 ] || [ "$qrc" = 137 ]; then
    show_console
    note "VM timed out after ${timeout_s}s; killed"
    exit 124
fi
if [ -z "$status" ]; then
    show_console
    note "no exit status from the guest (qemu exit $qrc)"
    exit 125
fi
[ -n "${VELTRONA_VM_VERBOSE:-}" ] && show_console
note "guest exit status $status (VM ran ${elapsed}s)"
exit "$status"
