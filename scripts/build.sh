#!/usr/bin/env bash
# Configures and builds incrementally. Usage: scripts/build.sh [normal|asan|fuzz]...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

build() {
    local dir="$1"; shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$root" -B "$dir" -G Ninja "${launcher[@]}" "$@"
    fi
    cmake --build "$dir" -j "$jobs"
}

[ $# -gt 0 ] || set -- normal
for kind in "$@"; do
    case "$kind" in
        normal) build "$root/build" ;;
        asan) build "$root/build-asan" -DKELVANO_SANITIZE=ON ;;
        fuzz) build "$root/build-fuzz" -DKELVANO_FUZZ=ON -DKELVANO_TESTS=OFF \
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ ;;
        *) echo "unknown build kind: $kind" >&2; exit 2 ;;
    esac
done
