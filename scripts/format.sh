#!/usr/bin/env bash
# Applies .clang-format to the project's own C++ files (everything tracked by git that ends in
# .cpp, .h or .h.in; nothing under build directories).
#   scripts/format.sh           rewrites the files in place
#   scripts/format.sh --check   changes nothing; lists every difference and fails if there is one
# scripts/test.sh runs the check before the tests; VINTRA_SKIP_FORMAT_CHECK=1 switches it off there.
# The house style is what clang-format 14 (Debian 12's) makes of .clang-format; other major
# versions lay some constructs out differently (19, Debian 13's, reports differences 14 does not).
# So only 14 applies or checks it: where it is missing the check says so and is skipped, unless
# VINTRA_REQUIRE_FORMAT_CHECK=1 (.ci/run) makes that a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=apply
case ${1:-} in
  --check) mode=check ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

house=14
tool=""
for candidate in clang-format-$house clang-format; do
  if command -v "$candidate" >/dev/null && [[ $("$candidate" --version) =~ version\ $house\. ]]; then
    tool=$candidate
    break
  fi
done
if [[ -z $tool ]]; then
  found=$( (clang-format --version 2>/dev/null || echo "no clang-format") | head -n 1)
  if [[ $mode == check && ${VINTRA_REQUIRE_FORMAT_CHECK:-0} != 1 ]]; then
    echo "format: check SKIPPED: the house style is clang-format $house, this system has $found" \
      "(the check runs where $house is installed, as in CI)"
    exit 0
  fi
  echo "format: the house style needs clang-format $house; this system has $found" >&2
  exit 1
fi

files=()
while IFS= read -r -d '' f; do
  [[ -f $f ]] && files+=("$f")
done < <(git ls-files -z -- '*.cpp' '*.h' '*.h.in')
if ((${#files[@]} == 0)); then
  echo "format: no C++ files found" >&2
  exit 1
fi

if [[ $mode == check ]]; then
  if ! "$tool" --style=file --dry-run -Werror "${files[@]}"; then
    echo "format: the files above differ from .clang-format; run scripts/format.sh" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files match .clang-format"
else
  "$tool" --style=file -i "${files[@]}"
  echo "format: formatted ${#files[@]} files"
fi
