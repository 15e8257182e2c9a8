#!/usr/bin/env bash
# Checks that the manual page renders without warnings, makes the Debian package
# from a built tree, installs it on this machine with apt, and checks what got
# installed: `qztap --version` and `man -w qztap` from PATH, a short capture of a tone
# from a private sound server by the installed qztap (through the Python parent
# example), and lintian, which must report no errors. Then checks that the build is
# hardened and that building it again in another directory gives the same binary and
# the same package, byte for byte.
#
# Usage: scripts/package.sh [BUILD_DIR]     (default: build; run as root or with sudo)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# The manual page renders without a single warning.
warnings=$(groff -man -ww -z "$build/qztap.1" 2>&1)
[ -z "$warnings" ] || { echo "qztap.1: $warnings" >&2; exit 1; }

rm -f "$build"/qztap_*.deb
(cd "$build" && cpack -G DEB)
deb=$(echo "$build"/qztap_*.deb)
echo "$(basename "$deb"): Depends: $(dpkg-deb --field "$deb" Depends)"
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --reinstall "$deb"

installed=$(command -v qztap)
[ "$installed" = /usr/bin/qztap ] || { echo "qztap on PATH is $installed, not the package's" >&2; exit 1; }
[ "$(qztap --version)" = "qztap $(dpkg-deb --field "$deb" Version)" ]
man -w qztap

# A tone into a private server's null sink; the level meter example runs the qztap on
# PATH and prints the level of each second it read: -9.0 dBFS for this tone.
tone="sox -n -t raw -r 48000 -c 2 -e floating-point -b 32 - synth 3 sine 440 vol 0.5 \
  | pacat --raw --format=float32le --rate=48000 --channels=2"
levels=$(python3 "$root/tests/e2e/soundserver.py" --kind pulseaudio --sink package_check -- \
  bash -c "$tone & sleep 0.3; PYTHONPATH='$root/clients/python/src' \
           python3 '$root/examples/level_meter.py' --seconds 2 && wait")
echo "$levels"
[ "$(grep -cE 'level +-9\.[0-3] dBFS' <<< "$levels")" -eq 2 ]

# Lintian refuses nothing as root but says so; errors fail this script, warnings
# and notes are listed.
lintian --fail-on error --display-info "$deb"
echo "package $(basename "$deb") built, installed and checked"

"$root/scripts/check-hardening.sh" "$build" "$deb"
"$root/scripts/check-reproducible.sh" "$build"
