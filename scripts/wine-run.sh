#!/usr/bin/env bash
# Runs a Windows program under Wine in the chroot that scripts/wine-chroot.sh built:
#   scripts/wine-run.sh CHROOT PROGRAM.exe [ARGUMENTS...]
# in a mount and PID namespace of its own, so that nothing it mounts outlives it and
# every Wine process it starts (the wineserver, device hosts) ends when the program
# does, or when this script is killed (SIGKILL: unshare ignores SIGTERM and SIGINT).
# Each run gets a private /tmp and a private, throw-away layer over the Wine prefix.
# PULSE_SERVER, a unix: socket, is passed on with the socket's folder mounted at the
# same path; with no audio driver but PulseAudio's, no server (or none given) means
# no output device.
# Standard input, output and error and the exit status are the program's.
set -euo pipefail
root=$(cd "$1" && pwd)
program=$(readlink -f "$2")
shift 2
server=${PULSE_SERVER-}
socket_dir=$(dirname "${server#unix:}")
[[ -d $socket_dir && $socket_dir == /?* ]] || socket_dir=

# shellcheck disable=SC2016  # the script in quotes expands its own arguments
exec unshare --mount --propagation private --pid --fork --kill-child=SIGKILL bash -c '
set -e
root=$1 program=$2 socket_dir=$3
shift 3
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs tmpfs "$root/tmp"
mkdir "$root/tmp/program" "$root/tmp/prefix-changes" "$root/tmp/prefix-work"
mount --bind "$(dirname "$program")" "$root/tmp/program"
mount -t overlay overlay -o "lowerdir=$root/opt/wineprefix,upperdir=$root/tmp/prefix-changes,workdir=$root/tmp/prefix-work" "$root/opt/wineprefix"
if [ -n "$socket_dir" ]; then
  mkdir -p "$root$socket_dir"
  mount --bind "$socket_dir" "$root$socket_dir"
fi
wine=(chroot "$root" env -i HOME=/root PATH=/usr/bin:/bin LC_ALL=C.UTF-8 XDG_RUNTIME_DIR=/tmp
      WINEPREFIX=/opt/wineprefix WINEDEBUG=-all PULSE_SERVER="$PULSE_SERVER"
      WINEDLLOVERRIDES="mscoree,mshtml,winealsa.drv,wineoss.drv=")
# Wine'"'"'s own services start first, with nothing to write to: they would inherit the
# program'"'"'s standard error, and a driver host that crashes on start-up (one start in
# some tens, in Wine 10) would say so among the program'"'"'s status lines.
"${wine[@]}" /usr/lib/wine/wineserver -p
"${wine[@]}" /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
exec "${wine[@]}" /usr/lib/wine/wine64 "/tmp/program/$(basename "$program")" "$@"
' wine-run "$root" "$program" "$socket_dir" "$@"
