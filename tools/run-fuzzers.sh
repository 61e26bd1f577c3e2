#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for SECONDS (default 60) on its
# generated seeds and, when present, the shared corpus of its kind. Fails on
# the first crash, hang or sanitizer report; the input is left in the build
# folder as crash-*, timeout-* or leak-*.
#   tools/run-fuzzers.sh [SECONDS]       build folder: build-fuzz, or $VTN_FUZZ_BUILD
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VTN_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DVTN_FUZZ=ON -DVTN_TESTS=OFF -DVTN_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_seeds
targets=()
for src in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

for target in "${targets[@]}"; do
    kind=${target#fuzz_}
    work="$build/fuzz/corpus/$kind"   # new inputs go here; the seeds are only read
    mkdir -p "$work"
    inputs=("$work" "$build/fuzz/seeds/$kind")
    for shared in "$root/../shared/corpus/$kind" "$root/../shared/corpus/${kind}s"; do
        [ -d "$shared" ] && inputs+=("$shared")
    done
    echo "== $target: ${seconds}s"
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz/" "${inputs[@]}"
done
echo "fuzzing passed: ${targets[*]}"
