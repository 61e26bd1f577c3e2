#!/bin/sh
# Checks the services of a built package with systemd-analyze verify, against
# the package's own files and this machine's systemd units (so every command
# a unit names must be in the package or on this machine). A warning, such as
# an unknown key, fails it too; manual pages named in Documentation= are not
# looked for (a build machine may have no man).
#   packaging/verify-units.sh PACKAGE.deb
set -e
command -v systemd-analyze >/dev/null || { echo "systemd-analyze missing: the services are not checked"; exit 0; }
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$1" "$root"
units=$(cd "$root" && ls usr/lib/systemd/system/*.service)
for dir in /lib/systemd/system /usr/lib/systemd/system; do
    [ -d "$dir" ] && mkdir -p "$root$dir" && cp -an "$dir/." "$root$dir/"
done
for unit in $units; do
    for cmd in $(sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$root/$unit"); do
        [ -e "$root$cmd" ] || { [ -e "$cmd" ] && mkdir -p "$root$(dirname "$cmd")" && cp "$cmd" "$root$cmd"; } || true
    done
done
out=$(systemd-analyze verify --man=no --root="$root" $(for u in $units; do echo "/$u"; done) 2>&1) || true
[ -z "$out" ] || { echo "$out"; exit 1; }
echo "the services pass systemd-analyze verify"
