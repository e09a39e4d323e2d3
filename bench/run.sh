#!/usr/bin/env bash
# The benchmark table: wall time and peak memory of the program's main jobs on synthetic stores,
# side by side with `cat` of the same files, the store query alone, and `khal list`.
#
#   bench/run.sh                    sizes 10000 and 100000
#   SIZES="10000" bench/run.sh      other sizes
#
# Stores are generated once into $BENCH_DIR (default /tmp/ravu-bench) and reused. Times are the
# best of $RUNS runs (default 3) with warm file caches; peak memory is the largest resident set
# of one run, from GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
build=${BUILD:-build-bench}
bench_dir=${BENCH_DIR:-/tmp/ravu-bench}
runs=${RUNS:-3}
read -r -a sizes <<<"${SIZES:-10000 100000}"

cmake -S . -B "$build" -DRAVU_BENCH=ON -DRAVU_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ravu-calendar ravu_bench_query -j"$(nproc)" >/dev/null
program=$PWD/$build/ravu-calendar
query=$PWD/$build/ravu_bench_query
input=$(mktemp)
timing=$(mktemp)
trap 'rm -f "$input" "$timing"' EXIT

# measure COMMAND...: prints "<best wall ms> <peak KiB>", feeding $input on standard input.
measure() {
    local best="" start end took peak
    for _ in $(seq "$runs"); do
        start=$(date +%s%N)
        "$@" <"$input" >/dev/null 2>&1
        end=$(date +%s%N)
        took=$(((end - start) / 1000000))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
    done
    /usr/bin/time -o "$timing" -f '%M' "$@" <"$input" >/dev/null 2>&1 || true
    echo "$best $(tail -n1 "$timing")"
}

row() {  # row JOB EVENTS "<ms> <KiB>"
    read -r ms kib <<<"$3"
    printf '| %-34s | %7s | %9s ms | %7s MiB |\n' "$1" "$2" "$ms" "$((kib / 1024))"
}

cat_all() { find "$1" -name '*.ics' -print0 | xargs -0 cat; }
export -f cat_all

khal_config() {  # khal_config STORE CONFIG
    {
        echo "[calendars]"
        for folder in "$1"/*/*/; do
            folder=${folder%/}
            echo "[[$(basename "$(dirname "$folder")")-$(basename "$folder")]]"
            echo "path = $folder"
        done
        echo "[locale]"
        echo "dateformat = %Y-%m-%d"
        echo "longdateformat = %Y-%m-%d"
        echo "datetimeformat = %Y-%m-%d %H:%M"
        echo "longdatetimeformat = %Y-%m-%d %H:%M"
        echo "local_timezone = UTC"
        echo "default_timezone = UTC"
        echo "[sqlite]"
        echo "path = $(dirname "$2")/khal.db"
    } >"$2"
}

echo "| job                                | events  |      wall    |   peak RSS  |"
echo "|------------------------------------|---------|--------------|-------------|"
for size in "${sizes[@]}"; do
    store=$bench_dir/store-$size
    if [ ! -d "$store" ]; then
        mkdir -p "$bench_dir"
        python3 bench/generate_store.py "$store" "$size" >/dev/null
    fi
    export RAVU_CALENDAR_STORE=$store TZ=UTC
    : >"$input"
    cat_all "$store" >/dev/null
    row "cat of every .ics file" "$size" "$(measure bash -c 'cat_all "$RAVU_CALENDAR_STORE"')"
    row "store query alone" "$size" "$(measure "$query" "$store")"
    "$program" calendars </dev/null |
        python3 -c 'import json,sys; print(json.dumps({"logicalKeys":[c["logicalKey"] for c in json.load(sys.stdin)["calendars"]]}))' >"$input"
    row "snapshot of every calendar" "$size" "$(measure "$program" snapshot)"
    if [ "$size" -le 10000 ] && command -v khal >/dev/null; then
        config=$bench_dir/khal-$size/config
        mkdir -p "$(dirname "$config")"
        khal_config "$store" "$config"
        from=$(date -d '-30 days' +%Y-%m-%d) to=$(date -d '+400 days' +%Y-%m-%d)
        khal -c "$config" list "$from" "$to" >/dev/null 2>&1 || true  # fills khal's cache
        : >"$input"
        row "khal list (warm)" "$size" "$(runs=1 measure khal -c "$config" list "$from" "$to")"
    fi
done

# Writing: 1,000 creates, and 1,000 edits of single occurrences, each on a fresh copy of the
# 10,000-event store so that every run does the same work.
size=10000
store=$bench_dir/store-$size
work=$bench_dir/apply-work
export TZ=UTC
python3 bench/apply_requests.py "$store" "$program" "$bench_dir"
for job in creates edits; do
    best="" peak=0
    for _ in $(seq "$runs"); do
        rm -rf "$work" && cp -a "$store" "$work"
        sync
        start=$(date +%s%N)
        RAVU_CALENDAR_STORE=$work /usr/bin/time -o "$timing" -f '%M' \
            "$program" apply <"$bench_dir/apply-$job.json" >"$bench_dir/apply-$job.out"
        end=$(date +%s%N)
        took=$(((end - start) / 1000000))
        if [ -z "$best" ] || [ "$took" -lt "$best" ]; then best=$took; fi
        peak=$(tail -n1 "$timing")
    done
    applied=$(grep -o '"applied"' "$bench_dir/apply-$job.out" | wc -l)
    row "apply: 1,000 $job ($applied applied)" "$size" "$best $peak"
done
rm -rf "$work"
