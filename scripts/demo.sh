#!/usr/bin/env bash
# Installs what is missing, builds, and runs a local session: the development management server,
# the agent started from a kvlo:// invitation link, and the administrator's console.
#
#   scripts/demo.sh              prints the console's address; Ctrl+C stops everything
#   scripts/demo.sh --headless   everything inside a private network namespace, headless Chromium
#                                as the administrator, the permission dialog answered by xdotool;
#                                prints a one-line summary and saves a PNG
# Options: --codec VP8|h264, --audio OPUS|G711, --port N (default 8080), --png FILE
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

headless=0
codec=VP8
audio=OPUS
port=8080
png="$root/demo-console.png"
while [ $# -gt 0 ]; do
    case "$1" in
        --headless) headless=1 ;;
        --codec) codec="$2"; shift ;;
        --audio) audio="$2"; shift ;;
        --port) port="$2"; shift ;;
        --png) png="$(realpath -m "$2")"; shift ;;
        -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

scripts/deps.sh
scripts/build.sh normal

if [ "$headless" = 1 ]; then
    exec scripts/netns-run.sh scripts/xvfb-run.sh /usr/bin/python3 scripts/headless_demo.py \
        --codec "$codec" --audio "$audio" --png "$png"
fi

run="$(mktemp -d /tmp/kelvano-demo.XXXXXX)"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 199); do
        if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
            Xvfb ":$n" -screen 0 1920x1080x24 -noreset -nolisten tcp >/dev/null 2>&1 &
            pids+=($!)
            export DISPLAY=":$n"
            break
        fi
    done
    for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
    xdpyinfo >/dev/null 2>&1 || { echo "Xvfb did not start" >&2; exit 1; }
    echo "No display: the agent runs on Xvfb $DISPLAY (1920x1080)."
fi

start_server() {
    rm -f "$run/port"
    /usr/bin/python3 devserver/devserver.py --port "$1" --session 1 --port-file "$run/port" \
        --settings '{"notifyConnection": true, "displayName": "Demo administrator"}' \
        >"$run/devserver.log" 2>&1 &
    server=$!
    for _ in $(seq 1 100); do
        [ -s "$run/port" ] && return 0
        kill -0 "$server" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
if ! start_server "$port"; then
    echo "Port $port is taken; using a free one."
    start_server 0 || { cat "$run/devserver.log" >&2; exit 1; }
fi
pids+=("$server")
port="$(cat "$run/port")"
base="http://127.0.0.1:$port/assistant"
link="kvlo://127.0.0.1:$port/assistant/1"
# The console's address carries the key the server made at its start.
console="$(sed -n 's/^console: //p' "$run/devserver.log" | head -n 1)"

# A private single-instance socket, so that an agent already running for this user does not take
# the link instead.
mkdir -p -m 700 "$run/runtime"
XDG_RUNTIME_DIR="$run/runtime" KVNO_VDI_URL="$base" build/kelvano-assistant \
    --stun-url stun://127.0.0.1:3478 --video-codec "$codec" --audio-codec "$audio" "$link" \
    >"$run/agent.log" 2>&1 &
agent=$!
pids+=("$agent")

cat <<EOF

Kelvano Assistant demo
  Invitation link:  $link
  Console:          $console
  Logs:             $run/agent.log, $run/devserver.log

Open the console in a browser on this machine (the address holds its key; keep it to yourself).
The agent connects 5 seconds after its window appears and asks your permission to share the
screen; it starts sharing when you give it and the console has joined. Ctrl+C stops everything.
EOF

wait "$agent" || true
echo "The agent has ended; its last lines:"
tail -n 5 "$run/agent.log"
