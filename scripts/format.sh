#!/usr/bin/env bash
# Applies .clang-format to the project's own C++ files (everything tracked by git that ends in
# .cpp, .h or .h.in; nothing under build directories).
#   scripts/format.sh           rewrites the files in place
#   scripts/format.sh --check   changes nothing; lists every difference and fails if there is one
# scripts/test.sh runs the check before the tests; VINTRA_SKIP_FORMAT_CHECK=1 switches it off there.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=apply
case ${1:-} in
  --check) mode=check ;;
  "") ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

command -v clang-format >/dev/null || { echo "format: clang-format is not installed (scripts/setup.sh installs it)" >&2; exit 1; }

files=()
while IFS= read -r -d '' f; do
  [[ -f $f ]] && files+=("$f")
done < <(git ls-files -z -- '*.cpp' '*.h' '*.h.in')
if ((${#files[@]} == 0)); then
  echo "format: no C++ files found" >&2
  exit 1
fi

if [[ $mode == check ]]; then
  if ! clang-format --style=file --dry-run -Werror "${files[@]}"; then
    echo "format: the files above differ from .clang-format; run scripts/format.sh" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files match .clang-format"
else
  clang-format --style=file -i "${files[@]}"
  echo "format: formatted ${#files[@]} files"
fi
