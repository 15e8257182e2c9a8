#!/usr/bin/env bash
# Tests a client package as its users get it, against the given qztap: the Node package
# as `npm pack` makes it, installed into an empty project, with its declarations
# compiled by tsc; the Python package as a wheel built offline with Debian's setuptools,
# installed into a new virtual environment, its types checked by mypy. Then the package's unit tests, and the
# end-to-end tests (tests/e2e/test_clients.py) through its probe.
#   scripts/test-package.sh node|python QZTAP
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
package=$1 binary=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

case $package in
node)
  test=$root/clients/node/test
  npm pack --silent --pack-destination "$work" "$root/clients/node" > /dev/null
  cd "$work"
  echo '{"name": "qztap-user", "private": true, "type": "module"}' > package.json
  npm install --silent --no-audit --no-fund --offline ./qztap-*.tgz
  cp "$test"/*.mjs "$test"/*.mts .
  tsc --noEmit --strict --target es2020 --lib es2020,dom --module nodenext usage.mts
  node --test samples.test.mjs
  probe="node $work/probe.mjs" installed=$work/node_modules/qztap
  ;;
python)
  test=$root/clients/python/test
  cp -r "$root/clients/python" "$work/source"  # setuptools builds in the source tree
  # Debian's interpreter, for which its setuptools, wheel, build and venv are installed;
  # the virtual environment sees its numpy, for the chunks as numpy arrays.
  /usr/bin/python3 -m build --no-isolation --wheel --outdir "$work" "$work/source" > /dev/null
  /usr/bin/python3 -m venv --system-site-packages "$work/venv"
  "$work/venv/bin/pip" install --quiet --no-index --no-deps "$work"/qztap-*.whl
  # The types as installed: mypy finds none without the package's py.typed.
  (cd "$work" && /usr/bin/python3 -m mypy --strict --python-executable venv/bin/python -p qztap)
  "$work/venv/bin/python" "$test/test_samples.py" -v
  probe="$work/venv/bin/python $test/probe.py"
  installed=$("$work/venv/bin/python" -c 'import os, qztap; print(os.path.dirname(qztap.__file__))')
  ;;
*)
  echo "usage: $0 node|python QZTAP" >&2
  exit 2
  ;;
esac

cd "$root/tests/e2e"
QZTAP_BINARY=$binary QZTAP_PROBE=$probe QZTAP_PACKAGE=$installed PYTHONDONTWRITEBYTECODE=1 \
  python3 -m unittest -v test_clients
