#!/usr/bin/env bash
# Runs a program in a chroot, such as the Debian 11 one scripts/bullseye-sysroots.sh
# builds, on a throw-away layer over it, so that the run changes nothing there:
#   scripts/chroot-run.sh CHROOT [--without PACKAGE]... PROGRAM [ARGUMENTS...]
# PROGRAM is the chroot's own (pulseaudio), or a path outside it (./build/qztap), whose
# folder is then mounted inside. The machine's /tmp is the chroot's /tmp, so that a
# sound server's socket, and its folder, are at the same path inside and out.
# --without PACKAGE: as if PACKAGE were not installed (its files are gone).
# Standard input, output and error, the environment but PATH, and the exit status
# are the program's: nothing but a mount namespace stands between it and the caller.
set -euo pipefail
root=$(cd "$1" && pwd)
shift
without=
while [ "${1-}" = --without ]; do
  without+=" $2"
  shift 2
done
program=$1
shift
program_dir=
[[ $program == */* ]] && program_dir=$(dirname "$(readlink -f "$program")")

# shellcheck disable=SC2016  # the script in quotes expands its own arguments
exec unshare --mount --propagation private bash -c '
set -e
root=$1 without=$2 program=$3 program_dir=$4
shift 4
layer=/mnt
mount -t tmpfs tmpfs "$layer"
mkdir "$layer/changes" "$layer/work" "$layer/root"
mount -t overlay overlay "$layer/root" \
  -o "lowerdir=$root,upperdir=$layer/changes,workdir=$layer/work"
root=$layer/root
for package in $without; do
  files=$(chroot "$root" dpkg-query -L "$package")
  while IFS= read -r file; do
    [ -d "$root$file" ] || rm -f "$root$file"
  done <<<"$files"
done
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --rbind /tmp "$root/tmp"
if [ -n "$program_dir" ]; then
  mkdir -p "$root/run/program"
  mount --bind "$program_dir" "$root/run/program"
  program=/run/program/$(basename "$program")
fi
exec chroot "$root" env PATH=/usr/sbin:/usr/bin:/sbin:/bin "$program" "$@"
' chroot-run "$root" "$without" "$program" "$program_dir" "$@"
