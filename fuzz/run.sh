#!/usr/bin/env bash
# Builds the WLT decoder fuzzer with clang-14 (libFuzzer, ASan, UBSan) and runs
# it for SECONDS (default 60) on a copy of the committed seed corpus, so the
# corpus in git only changes on purpose. A crash fails the run; its input is
# left in fuzz/out/.
#   bash fuzz/run.sh [SECONDS]
set -euo pipefail
seconds=${1:-60}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$here/out
work=$here/corpus-work

cxx=clang++-14
command -v "$cxx" >/dev/null || cxx=clang++
mkdir -p "$out"
# The codec is plain C++: build it straight from its sources, no Qt, no CMake.
# Comparisons are traced only where the block is parsed (container and
# shape); tracing them in the coder, transform and bit-plane loops costs most of the
# run time and tells the fuzzer nothing about the input's structure.
flags=(-std=c++17 -O2 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -I"$root/wlt")
objects=()
for src in "$root"/wlt/*.cpp "$here/wlt_fuzz.cpp"; do
    obj="$out/$(basename "$src" .cpp).o"
    case "$(basename "$src")" in
        libwlt.cpp|wltshape.cpp|wlt_fuzz.cpp) coverage=(-fsanitize=fuzzer-no-link) ;;
        *) coverage=(-fsanitize=fuzzer-no-link -fno-sanitize-coverage=trace-cmp) ;;
    esac
    "$cxx" "${flags[@]}" "${coverage[@]}" -c "$src" -o "$obj"
    objects+=("$obj")
done
"$cxx" -fsanitize=fuzzer,address,undefined "${objects[@]}" -o "$out/wlt_fuzz"

rm -rf "$work"
mkdir -p "$work"
cp "$here"/corpus/* "$work"/
cd "$out"
./wlt_fuzz -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$out/" "$work"
