#!/usr/bin/env bash
# What each encoder can make of 12 s of the network benchmark's terminal scrolling over the whole
# 1920x1080 screen, with no network and no browser: the same captured frames (10 a second) are
# encoded with the agent's narrow-path settings at each target, then with VP8 at its coarsest
# quantizer and no frame dropping, which is the least that codec needs for every frame.
# Per line: frames out of 120, kbit/s, keyframes, the largest frame.
# Usage: bench/encoders.sh [kbit/s ...] (default 800 400)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${1:-}" != --inside ]; then
    exec "$root/scripts/xvfb-run.sh" "$0" --inside "$@"
fi
shift
rates=("$@")
[ ${#rates[@]} -gt 0 ] || rates=(800 400)
work="$(mktemp -d)"
xterm -geometry 318x82+0+0 -fn 6x13 -e bash -c 'while :; do ls -l /usr/lib/x86_64-linux-gnu; done' &
term=$!
trap 'kill "$term" 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 2  # the terminal's first screenful
gst-launch-1.0 -q ximagesrc use-damage=false num-buffers=120 ! video/x-raw,framerate=10/1 \
    ! videoconvert ! video/x-raw,format=I420 ! filesink location="$work/raw"
kill "$term"

encode() {  # label, encoder fragment
    gst-launch-1.0 -v filesrc location="$work/raw" \
        ! rawvideoparse width=1920 height=1080 format=i420 framerate=10/1 ! $2 \
        ! identity silent=false ! fakesink 2>&1 | grep 'chain' >"$work/out" || true
    awk -v label="$1" '
        match($0, /\([0-9]+ bytes/) {
            n++; size = substr($0, RSTART + 1, RLENGTH - 7) + 0; bytes += size
            if (size > big) big = size
            if ($0 !~ /delta-unit/) key++
        }
        END { printf "| %s | %d | %.0f | %d | %.0f |\n", label, n, bytes * 8 / 12 / 1000, key, big / 1000 }
    ' "$work/out"
}

vp8="vp8enc deadline=1 end-usage=cbr max-intra-bitrate=300 overshoot=15 cpu-used=0 \
dropframe-threshold=10 buffer-size=300 buffer-initial-size=200 buffer-optimal-size=200"
echo "| encoder | frames of 120 | kbit/s | keyframes | largest frame kB |"
echo "|---|---|---|---|---|"
for kbps in "${rates[@]}"; do
    encode "VP8, $kbps kbit/s" "$vp8 target-bitrate=$((kbps * 1000))"
    encode "H.264, $kbps kbit/s" "x264enc tune=zerolatency pass=cbr bitrate=$kbps"
done
encode "VP8, coarsest, no dropping" \
    "vp8enc deadline=1 end-usage=cbr min-quantizer=63 max-quantizer=63 dropframe-threshold=0"
