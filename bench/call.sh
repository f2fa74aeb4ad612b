#!/usr/bin/env bash
# A 30-second VP8 call at 1920x1080 under Xvfb, agent and administrator peer in two processes,
# against the bare capture-and-encode pipeline into fakesink over the same 30 seconds.
# Usage: bench/call.sh [build dir] [seconds]. Runs itself inside the private network and Xvfb.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
seconds="${2:-30}"
bin="$build/bench/media_call_bench"
[ -x "$bin" ] || { echo "build $bin first (cmake --build $build --target media_call_bench)" >&2; exit 1; }

if [ "${KELVANO_CALL_INNER:-}" != 1 ]; then
    export KELVANO_CALL_INNER=1 KELVANO_SCREEN=1920x1080x24
    exec "$root/scripts/netns-run.sh" "$root/scripts/xvfb-run.sh" "$0" "$build" "$seconds"
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
port=$((20000 + RANDOM % 20000))

"$bin" agent "$port" "$seconds" >"$out/agent" 2>"$out/agent.err" &
agent=$!
for _ in $(seq 1 200); do
    ss -ltn 2>/dev/null | grep -q ":$port " && break
    sleep 0.05
done
"$bin" peer "$port" "$seconds" >"$out/peer" 2>"$out/peer.err" &
peer=$!
status=0
wait "$peer" || status=$?
wait "$agent" || status=$?
if [ "$status" != 0 ]; then
    echo "call failed" >&2
    tail -n 20 "$out/agent.err" "$out/peer.err" >&2
    exit 1
fi
agent_cpu="$(sed -n 's/^agent_cpu_seconds=\([0-9.]*\).*/\1/p' "$out/agent")"
peer_line="$(grep '^peer_fps=' "$out/peer")"
fps="$(sed -n 's/^peer_fps=\([0-9.]*\).*/\1/p' <<<"$peer_line")"

# The same video branch as the agent's description, into fakesink.
read -r w h < <(xdpyinfo | sed -n 's/ *dimensions: *\([0-9]*\)x\([0-9]*\).*/\1 \2/p')
bare="ximagesrc startx=0 starty=0 endx=$((w - 1)) endy=$((h - 1)) show-pointer=TRUE ! video/x-raw,framerate=10/1 ! videoconvert ! queue ! vp8enc deadline=1 ! rtpvp8pay ! queue ! fakesink"
TIMEFORMAT='%U %S'
bare_times="$( { time timeout -s INT "$seconds" gst-launch-1.0 -q $bare >/dev/null 2>&1 || true; } 2>&1 )"
bare_cpu="$(awk '{printf "%.2f", $1 + $2}' <<<"$bare_times")"

echo "screen ${w}x${h}, VP8, audio off, ${seconds} s"
echo "agent CPU time:      ${agent_cpu} s over ${seconds} s of call"
echo "peer decoded:        ${peer_line#peer_}"
echo "bare pipeline CPU:   ${bare_cpu} s over ${seconds} s (gst-launch-1.0 into fakesink)"
awk -v a="$agent_cpu" -v b="$bare_cpu" -v f="$fps" 'BEGIN {
    r = (b > 0) ? a / b : 0
    printf "CPU ratio agent/bare: %.2f (target <= 1.3)\n", r
    printf "frames per second:    %.2f (target >= 9.5)\n", f
    exit !(r <= 1.3 && f >= 9.5) }' || { echo "targets missed"; exit 3; }
