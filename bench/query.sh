#!/usr/bin/env bash
# Times one window query of the directory store (30 days back to 400 days ahead, all
# calendars) over synthetic stores of 10,000 and 100,000 events, side by side with `cat` of the
# same files and, for 10,000 events, with `khal list` over the same window.
#
#   bench/query.sh [SIZES...]       default: 10000 100000
#
# Stores are generated once into $BENCH_DIR (default /tmp/ravu-bench) and kept for later runs.
# Each figure is the best of $RUNS runs (default 5) with warm file caches; khal is timed after
# one run that fills its own cache.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build-bench}
bench_dir=${BENCH_DIR:-/tmp/ravu-bench}
runs=${RUNS:-5}
sizes=("$@")
[ ${#sizes[@]} -eq 0 ] && sizes=(10000 100000)

cmake -S . -B "$build" -DRAVU_BENCH=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target ravu_bench_query -j"$(nproc)" >/dev/null
query="$build/ravu_bench_query"

# Best wall-clock time in milliseconds of running the command $runs times.
best_ms() {
    local best="" start end took
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        took=$(((end - start) / 1000000))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
    done
    echo "$best"
}

cat_all() {
    find "$1" -name '*.ics' -print0 | xargs -0 cat
}

khal_config() {
    local store=$1 config=$2
    {
        echo "[calendars]"
        for folder in "$store"/*/*/; do
            folder=${folder%/}
            echo "[[$(basename "$(dirname "$folder")")-$(basename "$folder")]]"
            echo "path = $folder"
        done
        echo "[locale]"
        echo "timeformat = %H:%M"
        echo "dateformat = %Y-%m-%d"
        echo "longdateformat = %Y-%m-%d"
        echo "datetimeformat = %Y-%m-%d %H:%M"
        echo "longdatetimeformat = %Y-%m-%d %H:%M"
        echo "local_timezone = UTC"
        echo "default_timezone = UTC"
        echo "[sqlite]"
        echo "path = $(dirname "$config")/khal.db"
    } >"$config"
}

printf '%-8s %10s %10s %8s %10s %8s  %s\n' events cat_ms query_ms x_cat khal_ms khal_x found
for size in "${sizes[@]}"; do
    store="$bench_dir/store-$size"
    if [ ! -d "$store" ]; then
        mkdir -p "$bench_dir"
        python3 bench/generate_store.py "$store" "$size"
    fi
    cat_all "$store" >/dev/null  # warm the file cache
    cat_ms=$(best_ms cat_all "$store")
    query_ms=$(best_ms "$query" "$store")
    found=$("$query" "$store" 2>/dev/null | cut -d' ' -f1)

    khal_ms="-" khal_x="-"
    if [ "$size" -le 10000 ] && command -v khal >/dev/null; then
        config="$bench_dir/khal-$size/config"
        mkdir -p "$(dirname "$config")"
        khal_config "$store" "$config"
        from=$(date -d '-30 days' +%Y-%m-%d)
        to=$(date -d '+400 days' +%Y-%m-%d)
        khal -c "$config" list "$from" "$to" >/dev/null 2>&1 || true  # fills khal's cache
        khal_runs=$runs
        runs=3
        khal_ms=$(best_ms khal -c "$config" list --format '{start} {title}' "$from" "$to")
        runs=$khal_runs
        khal_x=$(awk -v k="$khal_ms" -v q="$query_ms" 'BEGIN { printf "%.0f", k / (q > 0 ? q : 1) }')
    fi
    x_cat=$(awk -v c="$cat_ms" -v q="$query_ms" 'BEGIN { printf "%.2f", q / (c > 0 ? c : 1) }')
    printf '%-8s %10s %10s %8s %10s %8s  %s\n' "$size" "$cat_ms" "$query_ms" "$x_cat" \
        "$khal_ms" "$khal_x" "$found"
done
