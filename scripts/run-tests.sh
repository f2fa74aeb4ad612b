#!/usr/bin/env bash
# Runs every suite of the given build directories; expects DISPLAY and the private network.
set -uo pipefail
status=0
for dir in "$@"; do
    echo "=== ctest in $dir"
    (cd "$dir" && ctest --output-on-failure --no-tests=error -j 2) || status=1
done
exit $status
