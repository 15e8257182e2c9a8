#!/usr/bin/env bash
# Checks that the build is reproducible: builds the checkout once more in another
# directory, as a packager would (no tests, no benchmarks), and compares build/qztap
# and the .deb with BUILD_DIR's, which scripts/package.sh has packaged minutes
# before. They must be the same byte for byte; where they are not, says what differs.
# BUILD_DIR must be a plain build (not QZTAP_NATIVE, no sanitizer) of the default type.
#
# Usage: scripts/check-reproducible.sh BUILD_DIR
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "$1" && pwd)
deb=$(basename "$(echo "$build"/qztap_*.deb)")
other=$(mktemp -d /tmp/qztap-reproducible.XXXXXX)

# The checkout's files as they are, edits included; the copy has no git history, so
# it is told the commit time that cpack takes from the checkout.
git -C "$root" ls-files -z --cached --others --exclude-standard |
  (cd "$root" && tar --null -T - -cf -) | (mkdir "$other/src" && tar -C "$other/src" -xf -)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
cmake -S "$other/src" -B "$other/build" -DBUILD_TESTING=OFF -DQZTAP_BENCHMARKS=OFF >/dev/null
cmake --build "$other/build" -j"$(nproc)" --target qztap >/dev/null
(cd "$other/build" && cpack -G DEB >/dev/null)

# Where two builds differ, in terms a reader can act on: the strings of a binary, and
# of a package, its listing (modes, owners, dates) and each member that differs.
explain() {
  set +e  # diff and cmp end with 1 on what they report
  echo "$(cmp -l "$1" "$2" | wc -l) bytes differ" >&2
  case $1 in
    *.deb)
      diff <(dpkg-deb -c "$1") <(dpkg-deb -c "$2") >&2 || true
      dpkg-deb -R "$1" "$other/a" && dpkg-deb -R "$2" "$other/b"
      diff -rq "$other/a" "$other/b" | while read -r _ a _ b _; do
        case $a in
          *.gz) diff <(zcat "$a") <(zcat "$b") ;;
          *) diff <(strings -a "$a") <(strings -a "$b") ;;
        esac | head -20 >&2
      done ;;
    *) diff <(strings -a "$1") <(strings -a "$2") | head -20 >&2 ;;
  esac
}

for file in qztap "$deb"; do
  if ! cmp -s "$build/$file" "$other/build/$file"; then
    echo "not reproducible: $file differs between $build and $other/build (kept)" >&2
    explain "$build/$file" "$other/build/$file"
    exit 1
  fi
  echo "reproducible: $file $(sha256sum < "$build/$file" | cut -d' ' -f1)"
done
rm -rf "$other"
