#!/usr/bin/env bash
# Runs a command with a fresh Xvfb (1920x1080x24) on a free display; stops it afterwards.
set -euo pipefail
display=""
for n in $(seq 90 199); do
    if [ ! -e "/tmp/.X${n}-lock" ] && [ ! -e "/tmp/.X11-unix/X${n}" ]; then
        display="$n"
        break
    fi
done
[ -n "$display" ] || { echo "no free X display" >&2; exit 1; }

Xvfb ":$display" -screen 0 "${KELVANO_SCREEN:-1920x1080x24}" -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
export DISPLAY=":$display"
# No session bus: without this libdbus forks to autolaunch one, which can deadlock under ASan.
export DBUS_SESSION_BUS_ADDRESS="${DBUS_SESSION_BUS_ADDRESS:-disabled:}"
for _ in $(seq 1 100); do
    xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$xvfb" 2>/dev/null || { echo "Xvfb did not start" >&2; exit 1; }
    sleep 0.05
done
"$@"
