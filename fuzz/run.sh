#!/usr/bin/env bash
# Builds the fuzzers with clang-14 (libFuzzer, ASan, UBSan) and runs each for
# its share of SECONDS (default 60; a third each), every one on a copy of its
# committed seed corpus, so the corpora in git only change on purpose. A crash
# fails the run; its input is left in fuzz/out/.
#   bash fuzz/run.sh [SECONDS] [TARGET...]
# Targets: wlt_fuzz (the photo decoder), processor_fuzz (request texts through
# the processor), reply_fuzz (reply reports into the driver), trace_fuzz
# (trace files, the recorder's redaction and text masking). Extra libFuzzer
# options (for a long run, say -runs=10000000) go in FUZZ_ARGS.
set -euo pipefail
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(wlt_fuzz processor_fuzz reply_fuzz trace_fuzz)
share=$(( seconds / ${#targets[@]} ))
[ "$share" -gt 0 ] || share=1
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$here/out
work=$here/corpus-work
read -r -a extra <<< "${FUZZ_ARGS:-}"

cxx=clang++-14
command -v "$cxx" >/dev/null || cxx=clang++
mkdir -p "$out"

build_wlt() {
    # The codec is plain C++: build it straight from its sources, no Qt, no CMake.
    # Comparisons are traced only where the block is parsed (container and
    # shape); tracing them in the coder, transform and bit-plane loops costs most of the
    # run time and tells the fuzzer nothing about the input's structure.
    local flags=(-std=c++17 -O2 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -I"$root/wlt")
    local objects=() src obj coverage
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
}

build_qt() {
    # The driver, the processor and the emulator with the coverage hooks, in
    # a build tree of their own.
    local tree=$root/build-fuzz
    cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_COMPILER="$cxx" -DDORVENT_SANITIZE=ON -DDORVENT_FUZZ=ON \
        -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
    cmake --build "$tree" -j2 --target "$@"
    local target
    for target in "$@"; do cp "$tree/fuzz/$target" "$out/"; done
}

# The processor draws the identity card's pictures into fixed /tmp files: a
# private /tmp keeps them from other users and other runs where the system
# allows one.
private_tmp=()
for how in -m -rm; do
    if unshare "$how" sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null; then
        private_tmp=(unshare "$how" sh -c 'mount -t tmpfs tmpfs /tmp && exec "$@"' sh)
        break
    fi
done

run() {
    local target=$1 options=$2
    shift 2
    rm -rf "${work:?}/$target"
    mkdir -p "$work/$target"
    cp "$here/corpus-${target%_fuzz}"/* "$work/$target"/
    # The driver prints its progress on stdout: -close_fd_mask=1 drops it.
    (cd "$out" && "$@" ./"$target" -max_total_time="$share" $options \
        -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 -artifact_prefix="$out/" \
        -close_fd_mask=1 ${extra[@]+"${extra[@]}"} "$work/$target")
}

qt_targets=()
for target in "${targets[@]}"; do
    case "$target" in
        wlt_fuzz) build_wlt ;;
        processor_fuzz|reply_fuzz|trace_fuzz) qt_targets+=("$target") ;;
        *) echo "unknown target: $target" >&2; exit 2 ;;
    esac
done
[ ${#qt_targets[@]} -eq 0 ] || build_qt "${qt_targets[@]}"

for target in "${targets[@]}"; do
    case "$target" in
        wlt_fuzz) run wlt_fuzz -max_len=4096 ;;
        processor_fuzz)
            [ ${#private_tmp[@]} -eq 0 ] && echo "no private /tmp: the identity-card files go to /tmp" >&2
            run processor_fuzz "-max_len=4096 -dict=$here/processor.dict" ${private_tmp[@]+"${private_tmp[@]}"} env QT_QPA_PLATFORM=offscreen \
                ASAN_OPTIONS=detect_leaks=0 ;;
        reply_fuzz) run reply_fuzz -max_len=8192 env ASAN_OPTIONS=detect_leaks=0 ;;
        trace_fuzz) run trace_fuzz -max_len=8192 env ASAN_OPTIONS=detect_leaks=0 ;;
    esac
done
