#!/usr/bin/env bash
# Start-up figures of the agent under Xvfb: median time from exec to the main window being mapped,
# and resident memory one second after that. Usage: bench/startup.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
runs="${2:-11}"

if [ -z "${KELVANO_STARTUP_IN_XVFB:-}" ]; then
    export KELVANO_STARTUP_IN_XVFB=1
    exec "$root/scripts/netns-run.sh" "$root/scripts/xvfb-run.sh" "$0" "$build" "$runs"
fi

agent="$build/kelvano-assistant"
probe="$build/bench/startup_probe"
[ -x "$agent" ] && [ -x "$probe" ] || { echo "build kelvano-assistant and startup_probe first" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# GStreamer's plug-in registry stays warm, as on a desktop after the first start.
export XDG_CACHE_HOME="${XDG_CACHE_HOME:-$HOME/.cache}"
"$agent" --version >/dev/null 2>&1 || true

times=()
rss=()
cpu=()
for i in $(seq 1 "$runs"); do
    # A fresh runtime directory each time, so every start is a first instance.
    mkdir -m 700 "$work/run$i"
    out="$(HOME="$work/run$i" XDG_CONFIG_HOME="$work/run$i/config" XDG_RUNTIME_DIR="$work/run$i" \
        "$probe" "$agent")"
    read -r t r c <<<"$out"
    times+=("$t")
    rss+=("$r")
    cpu+=("$c")
done

median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
min() { printf '%s\n' "$@" | sort -g | head -1; }
max() { printf '%s\n' "$@" | sort -g | tail -1; }

echo "runs: $runs ($(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
printf 'exec to main window mapped: median %.0f ms (min %.0f, max %.0f), target < 500 ms\n' \
    "$(median "${times[@]}")" "$(min "${times[@]}")" "$(max "${times[@]}")"
printf 'CPU time used until then: median %.0f ms (on a busy machine the wall time above mostly waits for a core)\n' \
    "$(median "${cpu[@]}")"
printf 'resident memory after start: median %.1f MB (max %.1f), target < 100 MB\n' \
    "$(awk -v k="$(median "${rss[@]}")" 'BEGIN {print k / 1024}')" \
    "$(awk -v k="$(max "${rss[@]}")" 'BEGIN {print k / 1024}')"
