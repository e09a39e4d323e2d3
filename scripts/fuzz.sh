#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while over its seed corpus.
#   scripts/fuzz.sh [SECONDS]    default 60 seconds per target
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DRAVU_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_iso fuzz_rrule fuzz_request fuzz_ics

for target in iso rrule request ics; do
    work=$(mktemp -d)
    cp fuzz/corpus/"$target"/* "$work"/
    echo "fuzz_$target: ${seconds}s"
    "$build/fuzz/fuzz_$target" -seed=1 -max_total_time="$seconds" -max_len=65536 -print_final_stats=0 \
        -artifact_prefix="$build/crash-$target-" "$work" 2>&1 | tail -n 2
    rm -rf "$work"
done
