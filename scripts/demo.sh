#!/usr/bin/env bash
# Installs what is missing, builds, and runs the agent.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

scripts/deps.sh
scripts/build.sh normal

build/kelvano-assistant --version || true
build/kelvano-assistant --help || true
