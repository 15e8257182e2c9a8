#!/usr/bin/env bash
# Builds the Debian 11 (bullseye) trees that the portable Linux binaries are built
# against, so that they need glibc 2.31 at most, and are run in; trees already built
# are left as they are.
#   scripts/bullseye-sysroots.sh [DIR]      (default: /var/cache/qztap/bullseye)
# DIR/x64    a chroot (debootstrap): the x64 build's sysroot, in which the x64 binary
#            also runs against a PulseAudio 14.2 server of its own
# DIR/arm64  arm64 packages unpacked (debootstrap --foreign, then every package it
#            fetched): the arm64 build's sysroot, and qemu-aarch64's library prefix
# Each holds GCC 10's C++ library, linked in statically, and libpulse's headers.
# Needs root and debootstrap; packages come from the mirror the machine's apt uses,
# which must still serve bullseye.
set -euo pipefail
dir=${1:-/var/cache/qztap/bullseye}
packages=libpulse-dev,libstdc++-10-dev

# shellcheck disable=SC2016  # apt-get fills in $(REPO_URI)
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
         grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)

# A link to /x inside the tree, made to point there from where it is (../../x), so
# that a linker or qemu reading the tree from outside never lands on the host's files.
relative_links() {
  local link
  while IFS= read -r -d '' link; do
    ln -sfnr "$1$(readlink "$link")" "$link"
  done < <(find "$1" -xdev -type l -lname '/*' -print0)
}

# Either tree is built in DIR/NAME.partial, then moved into place whole, with the list of
# packages asked for (the second argument) in DIR/NAME.packages: a tree built from another
# list is built again.
fresh() {
  [ -d "$dir/$1" ] && [ "$(cat "$dir/$1.packages" 2>/dev/null)" = "$2" ] && return 1
  rm -rf "${dir:?}/$1"
  local answer=0
  wget -q -O /dev/null "${mirror}dists/bullseye/InRelease" || answer=$?
  case $answer in
    0) ;;
    8) echo "bullseye-sysroots.sh: the mirror $mirror no longer serves bullseye (Debian 11)," \
         "which the portable Linux binaries are built against" >&2
       exit 1 ;;
    *) echo "bullseye-sysroots.sh: the mirror $mirror cannot be reached (wget exit $answer)" >&2
       exit 1 ;;
  esac
  rm -rf "$dir/$1.partial"
  mkdir -p "$dir"
}

# x64: PulseAudio's server too, and Python with its venv and pip, for the tests of the
# binary and of the wheel in the chroot.
x64_packages=$packages,pulseaudio,python3-venv
if fresh x64 "$x64_packages"; then
  debootstrap --variant=minbase --include="$x64_packages" bullseye "$dir/x64.partial" "$mirror"
  chroot "$dir/x64.partial" apt-get clean
  relative_links "$dir/x64.partial"
  mv "$dir/x64.partial" "$dir/x64"
  echo "$x64_packages" >"$dir/x64.packages"
fi

# arm64: nothing of it runs here but under qemu, so its packages are only unpacked.
if fresh arm64 "$packages"; then
  tree=$dir/arm64.partial
  debootstrap --variant=minbase --foreign --arch=arm64 --include="$packages" bullseye "$tree" \
    "$mirror"
  for deb in "$tree"/var/cache/apt/archives/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -C "$tree" -x --keep-directory-symlink
  done
  rm -rf "$tree"/var/cache/apt/archives/*.deb "$tree/debootstrap"
  relative_links "$tree"
  mv "$tree" "$dir/arm64"
  echo "$packages" >"$dir/arm64.packages"
fi
