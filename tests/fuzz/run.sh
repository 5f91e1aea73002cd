#!/bin/sh
# Installs clang and libFuzzer when missing (scripts/deps.sh fuzz), builds
# one of the libFuzzer targets with them into build-fuzz and runs it for
# the given number of seconds (default 60):
#   parse    the introspection parser (parse_fuzz.cpp)
#   values   the value code, going out and coming in (values_fuzz.cpp)
# It starts from the seed corpus of tests/fuzz/corpus/TARGET, keeps what
# it finds in build-fuzz/corpus/TARGET, and writes any crashing input to
# build-fuzz/crashes/TARGET/. Further arguments go to libFuzzer (for
# example -runs=N to stop after N inputs instead).
#
# Usage: tests/fuzz/run.sh ?parse|values? ?seconds? ?libFuzzer options...?
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
target=parse
case "${1:-}" in
    parse|values) target=$1; shift ;;
esac
seconds=${1:-60}
[ $# -gt 0 ] && shift
case $target in
    parse) maxlen=16384 ;;
    values) maxlen=32768 ;;
esac
dir="$top/build-fuzz"
"$top/scripts/deps.sh" fuzz
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -DVANTREL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" --target "${target}_fuzz" -j"$(nproc)" >/dev/null
mkdir -p "$dir/corpus/$target" "$dir/crashes/$target"
# New inputs go to the first directory; the seeds stay as they are.
exec "$dir/${target}_fuzz" "$dir/corpus/$target" "$top/tests/fuzz/corpus/$target" \
    -dict="$top/tests/fuzz/$target.dict" -max_len=$maxlen -timeout=10 \
    -max_total_time="$seconds" -artifact_prefix="$dir/crashes/$target/" "$@"
