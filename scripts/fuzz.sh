#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while over its seed corpus.
#   scripts/fuzz.sh [SECONDS]    default 60 seconds per target
# One input that runs longer than a few seconds or grows past the memory limit counts as a crash:
# without these limits libFuzzer waits 20 minutes for a hanging input and lets a memory bomb grow.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --services
seconds=${1:-60}
input_timeout=5       # seconds for one input
rss_limit_mb=2048
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DRAVU_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
nice -n 10 cmake --build "$build" -j2 --target fuzz_iso fuzz_rrule fuzz_request fuzz_ics

work=""
trap 'rm -rf "$work"' EXIT
for target in iso rrule request ics; do
    work=$(mktemp -d)
    mkdir "$work/corpus"
    cp fuzz/corpus/"$target"/* "$work/corpus"/
    echo "fuzz_$target: ${seconds}s"
    # The outer timeout only guards against libFuzzer itself getting stuck.
    status=0
    timeout -k 10 $((seconds + 300)) "$build/fuzz/fuzz_$target" -seed=1 -max_total_time="$seconds" \
        -max_len=65536 -timeout="$input_timeout" -rss_limit_mb="$rss_limit_mb" -print_final_stats=0 \
        -artifact_prefix="$build/crash-$target-" "$work/corpus" >"$work/log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$work/log"
        echo "fuzz_$target: failed with status $status (inputs in $build/crash-$target-*)"
        exit 1
    fi
    tail -n 2 "$work/log"
    rm -rf "$work"
done
