#!/usr/bin/env bash
# Installs what building, running and testing the arranger needs, on Debian or
# Raspberry Pi OS. Does nothing when everything is already there.
set -euo pipefail

packages=(cmake make g++ pkg-config libasound2-dev alsa-utils libgtest-dev libgmock-dev libbenchmark-dev
          libfluidsynth-dev fluidsynth fluid-soundfont-gm nlohmann-json3-dev libcivetweb-dev)
if [ "${1:-}" = "--test" ]; then
    packages+=(clang python3 python3-mido libsmf-dev qemu-system-x86 busybox-static cpio xz-utils kmod timgm6mb-soundfont
              chromium chromium-driver python3-selenium)
fi
# Packing the board's .deb (make deb; the kernel suite installs it).
case "${1:-}" in --test | --deb) packages+=(dpkg-dev file) ;; esac
# The cross build for the Pi's 64-bit OS, tested under user-mode emulation
# (make test-arm64): the board's libraries are Debian's arm64 packages,
# installed beside the build machine's own.
if [ "${1:-}" = "--arm64" ]; then
    packages+=(g++-aarch64-linux-gnu qemu-user libc6:arm64 libstdc++6:arm64
               libasound2-dev:arm64 libgtest-dev:arm64 libfluidsynth-dev:arm64 libcivetweb-dev:arm64)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
if [[ "${missing[*]}" == *:arm64* ]] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    "${sudo[@]}" dpkg --add-architecture arm64
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
