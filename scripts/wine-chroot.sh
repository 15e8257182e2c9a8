#!/usr/bin/env bash
# Builds the Debian 13 (trixie) chroot in which the Windows build's end-to-end tests
# run qztap.exe under Wine 10, whose audio drivers implement WASAPI loopback over
# PulseAudio, and makes its Wine prefix; a chroot already built is left as it is.
#   scripts/wine-chroot.sh [DIR]      (default: /var/cache/qztap/wine-trixie)
# Needs root and debootstrap; packages come from the mirror the machine's apt uses.
set -euo pipefail
dir=${1:-/var/cache/qztap/wine-trixie}
[ -e "$dir/opt/wineprefix/system.reg" ] && exit 0

# shellcheck disable=SC2016  # apt-get fills in $(REPO_URI)
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
         grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)
rm -rf "$dir.partial"
mkdir -p "$(dirname "$dir")"
debootstrap --variant=minbase trixie "$dir.partial" "$mirror"
chroot "$dir.partial" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends wine64 libpulse0
chroot "$dir.partial" apt-get clean
# The prefix, made once: a first start of Wine takes seconds. Neither Mono nor Gecko
# is wanted (nor reachable).
# shellcheck disable=SC2016  # the script in quotes expands its own arguments
unshare --mount --propagation private --pid --fork --kill-child=SIGKILL bash -c '
mount -t proc proc "$0/proc" && mount --rbind /dev "$0/dev" && mount -t tmpfs tmpfs "$0/tmp"
chroot "$0" env -i HOME=/root PATH=/usr/bin:/bin WINEPREFIX=/opt/wineprefix WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=" sh -c "/usr/lib/wine/wine64 wineboot -i && /usr/lib/wine/wineserver -w"
' "$dir.partial"
mv "$dir.partial" "$dir"
