#!/usr/bin/env bash
# The release's pieces, one per command, each into the directory DIST; the release
# workflow (.github/workflows/release.yml) runs them, and all but macos run here too.
#   version                print the project's version
#   source DIST            qztap-VERSION.tar.gz, the sources of HEAD
#   deb DIST               the Debian package (on Debian, with scripts/install-deps.sh run)
#   windows DIST           qztap-VERSION-win64.zip, cross-built with MinGW-w64
#   linux DIST             linux-x64/qztap and linux-arm64/qztap, which start on any
#                          distribution with glibc 2.31 or later: cross-built by clang
#                          against Debian 11 (scripts/bullseye-sysroots.sh) and checked
#                          (scripts/check-portable.sh); the packages are made from them
#   macos DIST             qztap-VERSION-macos.tar.gz: a universal (arm64 + x86_64) qztap,
#                          ad-hoc signed, with the README and the manual page (on a Mac)
#   formula DIST [URL REPO]
#                          qztap.rb, the Homebrew formula for the source tarball at URL
#                          of repository REPO; by default the tarball attached to the
#                          release of the tag being built ($GITHUB_REF_NAME) of
#                          $GITHUB_REPOSITORY
#   packages DIST          the client packages, from the qztap binaries DIST holds: npm
#                          tarballs in DIST/npm/, wheels in DIST/python/ (on Debian, see
#                          scripts/client-packages.sh)
#   sums DIST              SHA256SUMS of the release's files: DIST's, DIST/npm's, DIST/python's
#   publish DIST TAG       a GitHub release for TAG with those files (needs gh and GH_TOKEN)
#   registries TAG         the npm packages and wheels of the release for TAG, published to
#                          npm and PyPI (needs gh, GH_TOKEN, NODE_AUTH_TOKEN and
#                          TWINE_PASSWORD); refused while the project has no licence
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$( (nproc || sysctl -n hw.ncpu) 2>/dev/null)
# The Debian 11 trees the portable Linux binaries are built against.
sysroots=${QZTAP_SYSROOTS:-/var/cache/qztap/bullseye}
# A checkout owned by another user (a container's) is still this one's to read.
export GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=safe.directory GIT_CONFIG_VALUE_0=$root

# Debian has sha256sum, macOS shasum.
sha256() { if command -v sha256sum >/dev/null; then sha256sum "$@"; else shasum -a 256 "$@"; fi; }

version() { sed -n 's/^project(qztap VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt"; }

# A release build without tests or benchmarks, in build-release-NAME.
configure_and_build() {
  local build=$root/build-release-$1
  shift
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DQZTAP_BENCHMARKS=OFF -DQZTAP_WERROR=ON "$@" >/dev/null
  cmake --build "$build" -j"$jobs"
}

sources() {
  git -C "$root" archive --format=tar.gz --prefix="qztap-$(version)/" \
    -o "$1/qztap-$(version).tar.gz" HEAD
}

deb() {
  configure_and_build deb
  (cd "$root/build-release-deb" && cpack -G DEB >/dev/null)
  cp "$root"/build-release-deb/qztap_*.deb "$1/"
}

windows() {
  configure_and_build windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  (cd "$root/build-release-windows" && cpack -G ZIP >/dev/null)
  cp "$root/build-release-windows/qztap-$(version)-win64.zip" "$1/"
}

linux() {
  "$root/scripts/bullseye-sysroots.sh" "$sysroots"
  local arch
  for arch in x64 arm64; do
    configure_and_build "linux-$arch" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/linux-portable.cmake" \
      -DQZTAP_ARCH="$arch" -DQZTAP_SYSROOTS="$sysroots" -DCMAKE_EXE_LINKER_FLAGS_RELEASE=-s
    mkdir -p "$1/linux-$arch"
    cp "$root/build-release-linux-$arch/qztap" "$1/linux-$arch/"
  done
  "$root/scripts/check-portable.sh" "$1"/linux-*/qztap
}

macos() {
  configure_and_build macos "-DCMAKE_OSX_ARCHITECTURES=arm64;x86_64"
  local build=$root/build-release-macos stage
  stage=$(mktemp -d)/qztap-$(version)-macos
  mkdir -p "$stage"
  cp "$build/qztap" "$build/qztap.1" "$root/README.md" "$stage/"
  codesign --force --sign - "$stage/qztap"
  codesign --verify --verbose "$stage/qztap"
  lipo "$stage/qztap" -verify_arch arm64 x86_64
  lipo -info "$stage/qztap"
  "$stage/qztap" --version
  tar -C "$(dirname "$stage")" -czf "$1/qztap-$(version)-macos.tar.gz" "$(basename "$stage")"
}

formula() {
  local repository=${3:-${GITHUB_REPOSITORY:-}}
  local url=${2:-https://github.com/$repository/releases/download/${GITHUB_REF_NAME:-}/qztap-$(version).tar.gz}
  local tarball checksum
  tarball=$1/qztap-$(version).tar.gz
  checksum=$(sha256 "$tarball" | cut -d' ' -f1)
  sed -e "s|https://github.com/@REPOSITORY@/releases/download/v@VERSION@/qztap-@VERSION@.tar.gz|$url|" \
    -e "s|@REPOSITORY@|$repository|g; s|@VERSION@|$(version)|g; s|@SHA256@|$checksum|" \
    "$root/packaging/homebrew/qztap.rb" >"$1/qztap.rb"
  ! grep -n '@[A-Z0-9]*@' "$1/qztap.rb"
}

packages() {
  "$root/scripts/client-packages.sh" "$1" "$(version)"
}

# The files a release attaches, as paths in DIST: its own and its packages'.
release_files() {
  local folder
  for folder in . npm python; do
    if [ -d "$1/$folder" ]; then (cd "$1" && find "$folder" -maxdepth 1 -type f ! -name SHA256SUMS); fi
  done | sort
}

# Each file's checksum under its name alone, as the release lists them.
sums() {
  local listed
  listed=$(release_files "$1" | while read -r file; do
    (cd "$1/$(dirname "$file")" && sha256 -- "$(basename "$file")")
  done)
  echo "$listed" | tee "$1/SHA256SUMS"
}

publish() {
  [ "$2" = "v$(version)" ] || { echo "tag $2 is not v$(version), the project's version" >&2; exit 1; }
  local files
  mapfile -t files < <(release_files "$1")
  (cd "$1" && gh release create "$2" --verify-tag --title "qztap $(version)" \
    --notes-file /dev/null "${files[@]}" SHA256SUMS)
}

registries() {
  if [ "$(node -p "require('$root/clients/node/package.json').license")" = UNLICENSED ]; then
    echo "not published: qztap has no licence yet, and its packages go to npm and PyPI only once it has one"
    exit 1
  fi
  local packages
  packages=$(mktemp -d)
  gh release download "$1" --dir "$packages" --pattern '*.tgz' --pattern '*.whl' --pattern SHA256SUMS
  (cd "$packages" && grep -E '\.(tgz|whl)$' SHA256SUMS | sha256 -c)
  # shellcheck disable=SC2016  # npm reads the token from the environment itself
  echo '//registry.npmjs.org/:_authToken=${NODE_AUTH_TOKEN}' >"$packages/.npmrc"
  # The platforms' packages first: qztap names them.
  for tarball in "$packages"/qztap-*-*.tgz "$packages/qztap-$(version).tgz"; do
    npm publish --userconfig "$packages/.npmrc" "$tarball"
  done
  TWINE_USERNAME=__token__ pipx run twine upload "$packages"/*.whl
}

command=$1
shift
case $command in
  version) version ;;
  source | deb | windows | linux | macos | formula | packages | sums | publish)
    mkdir -p "$1"
    [ "$command" = source ] && command=sources
    "$command" "$@"
    ;;
  registries) registries "$@" ;;
  *) echo "release.sh: unknown command $command" >&2; exit 2 ;;
esac
