#!/usr/bin/env bash
# Media over bad networks: codec x content x loss x uplink, figures as a Markdown table. Builds
# first; runs inside a private network namespace with its own Xvfb; needs nftables and xterm.
# Usage: bench/network.sh [--codecs VP8 h264] [--contents still scrolling] [--losses 0 1 3 10]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
scripts/build.sh normal >/dev/null
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
exec scripts/netns-run.sh scripts/xvfb-run.sh /usr/bin/python3 bench/network_bench.py "$@"
