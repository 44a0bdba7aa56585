#!/usr/bin/env bash
# Runs shellcheck over every shell script of the tree (scripts/, bench/, tests/, .ci/); fails on
# any finding. scripts/test.sh runs it beside the format check.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -- 'scripts/*.sh' 'bench/*.sh' 'tests/*.sh' .ci/run)
shellcheck -x "${files[@]}"
echo "shellcheck: ${#files[@]} scripts clean"
