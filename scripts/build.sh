#!/bin/sh
# Builds the extension into the given directory (default: build).
# Usage: scripts/build.sh ?builddir? ?cmake options...?
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$top/build"}
[ $# -gt 0 ] && shift
cmake -S "$top" -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)" >/dev/null
