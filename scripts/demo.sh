#!/usr/bin/env bash
# Installs what is missing, builds, and runs a local session: the development management server,
# the agent started from a kvlo:// invitation link, and the administrator's console. No root needed.
#
#   scripts/demo.sh              the user's side (a terminal, the agent, its tray and its consent
#                                dialog) in a window of its own, a nested X server; prints the
#                                console's address; Ctrl+C stops everything
#   scripts/demo.sh --headless   everything inside a private network namespace, headless Chromium
#                                as the administrator, the permission dialog answered by xdotool;
#                                prints a one-line summary and saves a PNG
# Options: --codec VP8|h264, --audio OPUS|G711, --port N (default 8080, 0: any free one),
# --png FILE, --keep-logs (logs are otherwise removed at the end unless something failed),
# --prebuilt (no package check, no build: the build folder as it is)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

headless=0
prebuilt=0
keep=0
codec=VP8
audio=OPUS
port=8080
png="$root/demo-console.png"
while [ $# -gt 0 ]; do
    case "$1" in
        --headless) headless=1 ;;
        --prebuilt) prebuilt=1 ;;
        --keep-logs) keep=1 ;;
        --codec) codec="$2"; shift ;;
        --audio) audio="$2"; shift ;;
        --port) port="$2"; shift ;;
        --png) png="$(realpath -m "$2")"; shift ;;
        -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

if [ "$prebuilt" = 0 ]; then
    scripts/deps.sh
    scripts/build.sh normal
fi

if [ "$headless" = 1 ]; then
    exec scripts/netns-run.sh scripts/xvfb-run.sh /usr/bin/python3 scripts/headless_demo.py \
        --codec "$codec" --audio "$audio" --png "$png" $([ "$keep" = 0 ] || echo --keep-logs)
fi

run="$(mktemp -d "${TMPDIR:-/tmp}/kelvano-demo.XXXXXX")"
pids=()
status=130
cleanup() {
    # Newest first: the agent lets go of its keys before its display goes.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    if [ "$keep" = 1 ] || { [ "$status" -ne 0 ] && [ "$status" -ne 130 ]; }; then
        echo "Logs kept in $run"
    else
        rm -rf "$run"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
fail() { status=1; echo "$1" >&2; exit 1; }

# The user's side gets an X server of its own: a window on this desktop (Xephyr), or without a
# display a private Xvfb. The console then shows and steers only that, never the desktop it runs on.
if [ -n "${DISPLAY:-}" ]; then
    command -v Xephyr >/dev/null || fail "Xephyr is missing: scripts/deps.sh installs it"
    Xephyr -screen 1280x800 -title "Kelvano demo: the user's desktop" -no-host-grab \
        -displayfd 3 -nolisten tcp -noreset 3>"$run/display" >"$run/x.log" 2>&1 &
else
    Xvfb -screen 0 1280x800x24 -displayfd 3 -nolisten tcp -noreset 3>"$run/display" \
        >"$run/x.log" 2>&1 &
fi
pids+=($!)
for _ in $(seq 1 200); do
    [ -s "$run/display" ] && break
    kill -0 "${pids[0]}" 2>/dev/null || break
    sleep 0.05
done
[ -s "$run/display" ] || { cat "$run/x.log" >&2; fail "the user's X server did not start"; }
user_display=":$(head -n 1 "$run/display")"

DISPLAY="$user_display" xterm -geometry 100x30+40+60 -title "The user's terminal" \
    >"$run/xterm.log" 2>&1 &
pids+=($!)
DISPLAY="$user_display" trayer --SetDockType false --align right >/dev/null 2>&1 &
pids+=($!)

start_server() {
    rm -f "$run/port"
    /usr/bin/python3 devserver/devserver.py --port "$1" --port-file "$run/port" \
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
    start_server 0 || { cat "$run/devserver.log" >&2; fail "the development server did not start"; }
fi
pids+=("$server")
port="$(cat "$run/port")"
# The session's number is random and the console's address carries the server's key.
link="$(sed -n 's/^link: //p' "$run/devserver.log" | head -n 1)"
console="$(sed -n 's/^console: //p' "$run/devserver.log" | head -n 1)"

# A private single-instance socket, so that an agent already running for this user does not take
# the link instead.
mkdir -p -m 700 "$run/runtime"
agent_binary="${KELVANO_BUILD_DIR:-$root/build}/kelvano-assistant"
DISPLAY="$user_display" XDG_RUNTIME_DIR="$run/runtime" \
    KVNO_VDI_URL="http://127.0.0.1:$port/assistant" "$agent_binary" \
    --stun-url stun://127.0.0.1:3478 --video-codec "$codec" --audio-codec "$audio" "$link" \
    >"$run/agent.log" 2>&1 &
agent=$!
pids+=("$agent")

if [ -n "${DISPLAY:-}" ]; then
    where="The user's side is the window \"Kelvano demo: the user's desktop\"
(display $user_display): a terminal, the agent and its tray. The agent asks your permission there;
the console shows and steers that window only."
else
    where="No display: the user's side (a terminal, the agent and its tray) runs on a private Xvfb
$user_display, where nobody can answer the agent's question; the demo gives the consent itself."
    # As --headless does: xdotool answers the permission dialog.
    DISPLAY="$user_display" /usr/bin/python3 - "$agent" <<'PY' &
import asyncio, sys
sys.path.insert(0, "tests/e2e")
from harness import answer_dialog
given = asyncio.run(answer_dialog(int(sys.argv[1]), True, 120))
print("The demo gave the consent in the agent's dialog (xdotool)." if given else
      "The demo could not give the consent: no dialog within 2 minutes.", flush=True)
PY
    pids+=($!)
fi

cat <<EOF

Kelvano Assistant demo
  Invitation link:  $link
  Console:          $console

$where
Open the console in a browser on this machine (the address holds its key; keep it to yourself).
The agent starts sharing once the permission is given and the console has joined.
Ctrl+C stops everything.
EOF

agent_status=0
wait "$agent" || agent_status=$?
echo "The agent has ended (status $agent_status); its last lines:"
tail -n 5 "$run/agent.log"
status=$agent_status
exit "$status"
