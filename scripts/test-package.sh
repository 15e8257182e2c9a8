#!/usr/bin/env bash
# Tests a client package as its users get it, from what `scripts/release.sh packages
# DIST` made:
#   node    qztap's tarball and this platform's (@qztap/linux-x64, say) installed
#           offline into an empty project, the declarations compiled by tsc;
#   python  the wheel pip picks from DIST/python for this machine, installed into a new
#           virtual environment, its types checked by mypy;
#   win32   @qztap/win32-x64 installed as npm would on Windows; its qztap.exe, from
#           there, passes the Wine tests (tests/e2e/test_wine.py).
# The binary as installed must have mode 0755. Then, for node and python, the package's
# unit tests and the end-to-end tests (tests/e2e/test_clients.py) through its probe.
#   scripts/test-package.sh node|python|win32 DIST
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package=$1 dist=$(realpath "$2")
version=$("$root/scripts/release.sh" version)
arch=$(uname -m | sed 's/x86_64/x64/; s/aarch64/arm64/')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An empty project in $1 with DIST/npm's tarballs given installed, offline.
npm_project() {
  mkdir "$1"
  cd "$1"
  echo '{"name": "qztap-user", "private": true, "type": "module"}' >package.json
  shift
  npm install --loglevel=error --no-audit --no-fund --offline "$@"
}

case $package in
node)
  test=$root/clients/node/test
  # Named as an Electron app's archive is, for the test of the lookup inside one.
  npm_project "$work/app.asar" "$dist/npm/qztap-$version.tgz" "$dist/npm/qztap-linux-$arch-$version.tgz"
  # qztap names this platform's package as npm installs it, for its optional dependency.
  npm explain "@qztap/linux-$arch" | grep -qF "optional @qztap/linux-$arch@\"$version\" from qztap@$version" ||
    { echo "qztap does not name @qztap/linux-$arch@$version as an optional dependency" >&2; exit 1; }
  bundled=$PWD/node_modules/@qztap/linux-$arch/qztap
  cp "$test"/*.mjs "$test"/*.mts .
  tsc --noEmit --strict --target es2020 --lib es2020,dom --module nodenext usage.mts
  node --test samples.test.mjs
  probe="node $PWD/probe.mjs"
  ;;
python)
  test=$root/clients/python/test
  # Debian's interpreter, for which its venv is installed; the virtual environment sees
  # its numpy, for the chunks as numpy arrays.
  /usr/bin/python3 -m venv --system-site-packages "$work/venv"
  "$work/venv/bin/pip" install --quiet --no-index --no-deps --find-links "$dist/python" qztap
  # The types as installed: mypy finds none without the package's py.typed.
  (cd "$work" && /usr/bin/python3 -m mypy --strict --python-executable venv/bin/python -p qztap)
  "$work/venv/bin/python" "$test/test_samples.py" -v
  probe="$work/venv/bin/python $test/probe.py"
  bundled=$("$work/venv/bin/python" -c 'from qztap import _binary; print(_binary.BUNDLED)')
  ;;
win32)
  npm_project "$work/windows" --force "$dist/npm/qztap-win32-x64-$version.tgz"
  bundled=$PWD/node_modules/@qztap/win32-x64/qztap.exe
  ;;
*)
  echo "usage: $0 node|python|win32 DIST" >&2
  exit 2
  ;;
esac

mode=$(stat -c %a "$bundled")
[ "$mode" = 755 ] || { echo "$bundled: mode $mode as installed" >&2; exit 1; }
cd "$root/tests/e2e"
export PYTHONDONTWRITEBYTECODE=1
if [ "$package" = win32 ]; then
  QZTAP_BINARY=$bundled QZTAP_RUNNER="$root/scripts/wine-run.sh /var/cache/qztap/wine-trixie" \
    python3 -m unittest -v test_wine.WineTests
else
  QZTAP_PROBE=$probe QZTAP_BUNDLED=$bundled python3 -m unittest -v test_clients
fi
