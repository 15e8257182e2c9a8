#!/usr/bin/env bash
# Checks that a build is hardened as Debian builds its packages: full RELRO (BIND_NOW)
# and PIE in build/qztap's headers, the stack protector called from its code,
# _FORTIFY_SOURCE on every compile line of its sources, and none of lintian's
# hardening tags on the .deb but hardening-no-fortify-functions, which it gives a
# binary with no fortified call in it: each fortifiable call in qztap's code has
# bounds the compiler proves, so none is left to check at run time.
#
# Usage: scripts/check-hardening.sh BUILD_DIR DEB
set -euo pipefail
binary=$1/qztap
deb=$2
fail() { echo "not hardened: $*" >&2; exit 1; }

dynamic=$(readelf -d "$binary")
grep -q '(FLAGS) *BIND_NOW' <<< "$dynamic" || fail "$binary has no BIND_NOW"
grep -qE '\(FLAGS_1\).* PIE' <<< "$dynamic" || fail "$binary is not PIE"
grep -q GNU_RELRO <<< "$(readelf -lW "$binary")" || fail "$binary has no RELRO segment"
grep -q ' __stack_chk_fail@' <<< "$(nm -D --undefined-only "$binary")" ||
  fail "$binary never calls the stack protector"

unfortified=$(python3 - "$1/compile_commands.json" <<'PY'
import json, sys
for entry in json.load(open(sys.argv[1])):
    if "-D_FORTIFY_SOURCE=2" not in entry["command"].split():
        print(entry["file"])
PY
)
[ -z "$unfortified" ] || fail "compiled without _FORTIFY_SOURCE: $unfortified"

tags=$(lintian --display-info "$deb" 2>&1 | grep -oE 'hardening-[a-z-]+' | sort -u || true)
tags=$(grep -vx hardening-no-fortify-functions <<< "$tags" || true)
[ -z "$tags" ] || fail "lintian: $tags"
echo "hardened: $(basename "$binary") has BIND_NOW, PIE, RELRO, the stack protector; sources fortified"
