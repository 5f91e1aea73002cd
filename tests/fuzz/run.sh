#!/bin/sh
# Builds the libFuzzer target of the introspection parser with clang into
# build-fuzz and runs it for the given number of seconds (default 60).
# It starts from the seed corpus of tests/fuzz/corpus/parse, keeps what it
# finds in build-fuzz/corpus, and writes any crashing input to
# build-fuzz/crashes/. Further arguments go to libFuzzer.
#
# Usage: tests/fuzz/run.sh ?seconds? ?libFuzzer options...?
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
dir="$top/build-fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -DVANTREL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target parse_fuzz -j"$(nproc)" >/dev/null
mkdir -p "$dir/corpus" "$dir/crashes"
# New inputs go to the first directory; the seeds stay as they are.
exec "$dir/parse_fuzz" "$dir/corpus" "$top/tests/fuzz/corpus/parse" \
    -dict="$top/tests/fuzz/parse.dict" -max_len=16384 -timeout=10 \
    -max_total_time="$seconds" -artifact_prefix="$dir/crashes/" "$@"
