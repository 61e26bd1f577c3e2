#!/usr/bin/env bash
# Installs what building, running and testing the arranger needs, on Debian or
# Raspberry Pi OS. Does nothing when everything is already there.
set -euo pipefail

packages=(cmake make g++ pkg-config libasound2-dev alsa-utils libgtest-dev libgmock-dev libbenchmark-dev
          libfluidsynth-dev fluidsynth fluid-soundfont-gm nlohmann-json3-dev)
if [ "${1:-}" = "--test" ]; then
    packages+=(clang python3 python3-mido libsmf-dev qemu-system-x86 busybox-static cpio xz-utils kmod timgm6mb-soundfont)
fi
# Packing the board's .deb (make deb; the kernel suite installs it).
case "${1:-}" in --test | --deb) packages+=(dpkg-dev file) ;; esac

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
