#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz and runs the input message
# fuzzer for the given number of seconds (default 60) from the seed corpus in the repository.
# New inputs go to a scratch folder, removed at the end; a finding is kept there and ends the
# script non-zero.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
dir="$root/build-fuzz"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" -DKELVANO_FUZZ=ON -DKELVANO_TESTS=OFF \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
fi
cmake --build "$dir" -j "$(nproc)" --target input_message_fuzzer

work="$(mktemp -d)"
found=0
# The scratch folder goes on any exit, Ctrl+C included, unless it holds a finding.
trap '[ "$found" = 1 ] && rm -rf "$work/corpus" || rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/corpus"
echo "input_message_fuzzer: ${seconds} s"
ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
"$dir/tests/fuzz/input_message_fuzzer" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -dict="$root/tests/fuzz/input_message.dict" -artifact_prefix="$work/" -print_final_stats=1 \
    "$work/corpus" "$root/tests/fuzz/corpus/input_message" || {
    status=$?
    found=1
    echo "input_message_fuzzer: the finding is kept in $work"
    exit "$status"
}
