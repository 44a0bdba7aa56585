#!/usr/bin/env bash
# Builds the settings codec fuzzer with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz/ and runs it for a number of inputs, then prints how many and how long.
#   scripts/fuzz-settings.sh [runs [libFuzzer flags...]]   runs defaults to 1000000
# Inputs that crash, hang or run slowly are written into build-fuzz/ as well.
# New interesting inputs collect in build-fuzz/corpus and are reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-packages.sh build fuzz

runs=${1:-1000000}
shift $(($# > 0 ? 1 : 0))
out=build-fuzz
bin=$out/fuzz_settings
sources=(settings/settingscodec.cpp tests/fuzz/fuzz_settings.cpp)
mkdir -p "$out/corpus" "$out/seeds"

if [[ ! -x $bin || -n $(find "${sources[@]}" settings/settingscodec.h "$0" -newer "$bin" 2>/dev/null) ]]; then
  echo "Building $bin"
  # shellcheck disable=SC2046
  clang++ -std=c++20 -g -O1 -fPIC -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I. "${sources[@]}" $(pkg-config --cflags --libs Qt6Core) -o "$bin"
fi

# A few well-formed files to start from.
printf '0\r\n10\r\n0\r\n20\r\n0\r\n10\r\n8\r\n1\r\n1\r\n1\r\n1\r\n\r\n\r\n\r\n\r\n\r\n\r\n' >"$out/seeds/initial"
printf '\xEF\xBB\xBF1\r\n\xD0\x9C\xD1\x83\r\n0\n' >"$out/seeds/utf8"
printf '\xFF\xFE1\x00\r\x00\n\x00\x1F\x04\x00\xD8' >"$out/seeds/utf16le"
printf '\xFE\xFF\x00a\x00\r\x04\x1F' >"$out/seeds/utf16be"
printf 'a\n\rb\rc\x98\xCC\xF3\x00tail' >"$out/seeds/ansi"
{ printf '\xFF\xFE'; head -c 9000 /dev/zero | tr '\0' 'x'; printf '\r\n'; head -c 4500 /dev/zero | tr '\0' 'y'; } >"$out/seeds/long-lines"

start=$(date +%s.%N)
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
  "$bin" -runs="$runs" -max_len=12000 -dict=tests/fuzz/settings.dict -print_final_stats=1 \
  -artifact_prefix="$out/" "$@" "$out/corpus" "$out/seeds" 2>"$out/fuzz.log" || { tail -40 "$out/fuzz.log"; exit 1; }
end=$(date +%s.%N)
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$out/fuzz.log" || true
awk -v s="$start" -v e="$end" -v n="$runs" 'BEGIN { printf "fuzz-settings: %d runs in %.1f s (%.0f runs/s), no invariant broken\n", n, e - s, n / (e - s) }'
