#!/usr/bin/env bash
# End-to-end benchmark of one local session at 1920x1080: the agent's CPU against the bare
# capture-and-encode pipeline, frames per second at the browser, glass-to-glass latency, input
# latency p50/p99, resident memory over the session. Builds first; runs inside a private network
# namespace with its own Xvfb. Usage: bench/run.sh [--codec VP8|h264] [--minutes 5]
# With --network first, the network benchmark instead (bench/network.sh).
set -euo pipefail
bench=e2e_bench.py
if [ "${1:-}" = --network ]; then
    bench=network_bench.py
    shift
fi
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/build.sh normal >/dev/null
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
exec scripts/netns-run.sh scripts/xvfb-run.sh /usr/bin/python3 "bench/$bench" "$@"
