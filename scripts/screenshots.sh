#!/usr/bin/env bash
# Renders the main window (idle, with an error) and the permission dialog (the configured server
# and another one), in English and in Russian, under a private Xvfb into docs/screenshots/*.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
[ -f "$build/build.ninja" ] || "$root/scripts/build.sh" normal
cmake --build "$build" --target gui_screenshots
out="$root/docs/screenshots"
mkdir -p "$out"
runtime="$(mktemp -d)"
trap 'rm -rf "$runtime"' EXIT
chmod 700 "$runtime"
for lang in en_US ru_RU; do
    prefix="${lang%%_*}"
    # A private runtime directory keeps a running agent's single-instance socket out of the way.
    env LC_ALL="$lang.UTF-8" LANG="$lang.UTF-8" XDG_RUNTIME_DIR="$runtime" \
        "$root/scripts/xvfb-run.sh" "$build/tools/gui_screenshots" "$out" "$prefix"
done
ls -1 "$out"/*.png
