#!/usr/bin/env bash
# Input latency benchmark: builds bench/input_latency and runs it in a private network namespace
# under a fresh Xvfb. Usage: bench/input_latency.sh [events=5000] [rate_per_s=1000]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
[ -f build/build.ninja ] || scripts/build.sh normal
cmake --build build --target input_latency
scripts/netns-run.sh scripts/xvfb-run.sh build/bench/input_latency "${1:-5000}" "${2:-1000}"
