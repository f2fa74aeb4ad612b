#!/usr/bin/env bash
# Installs what is missing, builds (normal and ASan+UBSan), and runs all tests inside a private
# network namespace with a fresh Xvfb. Exits non-zero on any failure.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/deps.sh
scripts/build.sh normal asan

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=xcb
scripts/netns-run.sh scripts/xvfb-run.sh scripts/run-tests.sh "$root/build" "$root/build-asan"

# The input message fuzzer for a minute (ASan + UBSan); needs clang, which deps.sh installs.
if command -v clang++ >/dev/null; then
    scripts/fuzz.sh 60
fi
