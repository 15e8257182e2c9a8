#!/usr/bin/env bash
# The client packages of a release, made from whichever qztap binaries DIST holds (the
# portable Linux ones in DIST/linux-x64/ and DIST/linux-arm64/, the Windows zip's, the
# macOS tarball's universal one):
#   DIST/npm/      a package @qztap/PLATFORM holding just the binary for each platform
#                  found, and qztap, which names those as exactly pinned optional
#                  dependencies, so that npm installs the one that fits the machine;
#   DIST/python/   a wheel holding the package and the binary for each platform found,
#                  and the pure wheel, which runs qztap from PATH.
# Each binary has mode 0755, checked in the packages made; npm checks each package as
# it would publish it (--dry-run). Versions are the project's.
#   scripts/client-packages.sh DIST VERSION
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=$(cd "$1" && pwd) version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Debian's interpreter, with its setuptools and wheel: the wheels are built offline.
python=/usr/bin/python3

# Each platform: the npm package's name after @qztap/ (npm's names for the system and
# the processor), where its binary is, the tag of the wheel that carries it. Both macOS
# packages and the one macOS wheel carry the same universal binary.
platforms=(
  "linux-x64 $dist/linux-x64/qztap manylinux_2_31_x86_64"
  "linux-arm64 $dist/linux-arm64/qztap manylinux_2_31_aarch64"
  "darwin-arm64 $work/macos/qztap macosx_13_0_universal2"
  "darwin-x64 $work/macos/qztap macosx_13_0_universal2"
  "win32-x64 $work/windows/qztap.exe win_amd64"
)
mkdir -p "$work/macos" "$work/windows" "$dist/npm" "$dist/python"
rm -f "$dist"/npm/*.tgz "$dist"/python/*.whl
macos=$dist/qztap-$version-macos.tar.gz windows=$dist/qztap-$version-win64.zip
if [ -f "$macos" ]; then
  tar -xzf "$macos" -C "$work/macos" --strip-components=1 "qztap-$version-macos/qztap"
fi
if [ -f "$windows" ]; then
  "$python" -m zipfile -e "$windows" "$work/windows"
fi

npm_pack() { npm pack --silent --pack-destination "$dist/npm" "$1" >/dev/null; }

# A wheel: the one tagged $1 holding the binary $2, or without them the pure one.
wheel() {
  local source=$work/python-${1:-any}
  cp -r "$root/clients/python" "$source"
  sed -i "s/^version = .*/version = \"$version\"/" "$source/pyproject.toml"
  if [ $# -gt 0 ]; then
    mkdir "$source/src/qztap/bin"
    install -m 0755 "$2" "$source/src/qztap/bin/"
    printf '[bdist_wheel]\nplat_name = %s\n' "$1" >"$source/setup.cfg"
  fi
  "$python" -m build --no-isolation --wheel --outdir "$dist/python" "$source" >/dev/null
}

made=()
for platform in "${platforms[@]}"; do
  read -r name binary tag <<<"$platform"
  if [ ! -f "$binary" ]; then
    echo "no qztap for $name in $dist: no packages for it"
    continue
  fi
  made+=("$name")
  package=$work/npm-$name os=${name%-*} cpu=${name#*-}
  mkdir "$package"
  install -m 0755 "$binary" "$package/"
  libc=
  [ "$os" = linux ] && libc='"libc": ["glibc"],'
  cat >"$package/package.json" <<EOF
{
  "name": "@qztap/$name",
  "version": "$version",
  "description": "The qztap binary for $name, which the qztap package runs: install qztap. Copyright the qztap authors; no licence has been granted yet.",
  "author": "the qztap authors",
  "license": "UNLICENSED",
  "os": ["$os"],
  "cpu": ["$cpu"],
  $libc
  "files": ["$(basename "$binary")"],
  "publishConfig": { "access": "public" }
}
EOF
  npm_pack "$package"
  tar -tvzf "$dist/npm/qztap-$name-$version.tgz" "package/$(basename "$binary")" |
    grep -q '^-rwxr-xr-x ' || { echo "@qztap/$name: its binary is not mode 0755" >&2; exit 1; }
  [ -e "$dist/python/qztap-$version-py3-none-$tag.whl" ] || wheel "$tag" "$binary"
done

cp -r "$root/clients/node" "$work/npm-qztap"
(
  cd "$work/npm-qztap"
  npm pkg set version="$version"
  for name in "${made[@]}"; do npm pkg set "optionalDependencies.@qztap/$name=$version"; done
)
npm_pack "$work/npm-qztap"
wheel

# Each wheel for a platform holds one binary, of mode 0755; the pure one none.
"$python" - "$dist"/python/*.whl <<'PY'
import sys, zipfile
for wheel in sys.argv[1:]:
    binaries = [(entry.filename, oct(entry.external_attr >> 16 & 0o777))
                for entry in zipfile.ZipFile(wheel).infolist() if "/bin/" in entry.filename]
    if [mode for _, mode in binaries] != ([] if wheel.endswith("-any.whl") else ["0o755"]):
        sys.exit(f"{wheel} holds {binaries}")
PY
for tarball in "$dist"/npm/*.tgz; do npm publish --dry-run --loglevel=error --offline "$tarball"; done
(cd "$dist" && ls -l npm python)
