#!/usr/bin/env bash
# The benchmark table: wall time, cpu time (user + system) and peak resident memory of the
# program's jobs, each beside the floor it is read against, as a markdown table for the README.
#
#   reading, on generated stores: cat of every .ics file (the floor), snapshot of every
#     calendar, python recurring-ical-events over the same window, khal list (warm, up to 10,000
#     events); ratio: wall time over cat's on the same store.
#   writing: 1,000 creates, 1,000 updates of the items those creates made and 1,000 occurrence
#     edits, each into a fresh copy of the 10,000-event store; 1,000 and 20,000 creates into an
#     empty store. Ratio: wall time over the durable-write floor's for as many writes
#     (bench/floor.cpp, run before every run of a job on the same file system, so that both
#     meet the disk alike), and over that floor plus one read of the store (the store query
#     alone), which every apply run pays before its first write.
#
#   bench/run.sh                              stores of 1,000, 10,000 and 100,000 events
#   SIZES="1000 10000" bench/run.sh           other store sizes for the reading jobs
#   RUNS=5 bench/run.sh                       medians of 5 runs (default 3)
#   PEER_RUNS=3 bench/run.sh                  runs of python and khal (default 1)
#   APPLY_COUNT=100 BIG_COUNT=2000 bench/run.sh   fewer writes (default 1,000 and 20,000)
#
# The table goes to standard output, progress to standard error. The program is built from this
# tree (Release, in build-bench). Stores are generated once into $BENCH_DIR (default
# /tmp/ravu-bench) and only ever read: every write job runs on a fresh copy in $BENCH_DIR/work,
# synced to disk before the clock starts. Reading jobs run once untimed so that caches are warm.
# Every figure is the median of its runs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --services
build=${BUILD:-build-bench}
bench_dir=${BENCH_DIR:-/tmp/ravu-bench}
runs=${RUNS:-3}
read -r -a sizes <<<"${SIZES:-1000 10000 100000}"
count=${APPLY_COUNT:-1000}
big=${BIG_COUNT:-20000}
write_size=10000 # the store the write jobs copy
past=30 future=400 # snapshot's window, in days from now

cmake -S . -B "$build" -DRAVU_BENCH=ON -DRAVU_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ravu-calendar ravu_bench_query ravu_bench_floor -j"$(nproc)" >/dev/null
program=$PWD/$build/ravu-calendar
query=$PWD/$build/ravu_bench_query
floor=$PWD/$build/ravu_bench_floor
export TZ=UTC

work=$bench_dir/work
rm -rf "$work"
mkdir -p "$work"
timing=$work/timing errors=$work/stderr
trap 'rm -rf "$work"' EXIT

note() { echo "run.sh: $*" >&2; }
thousands() { sed -e ':a' -e 's/\B[0-9]\{3\}\>/,&/' -e 'ta' <<<"$1"; }
load() { uptime | sed 's/.*load average: //'; }

# sample ID COMMAND...: runs it once and adds "<wall ms> <cpu ms> <peak KiB>" to ID's samples.
# Standard output goes to $out (default /dev/null); a failing command ends the benchmark.
sample() {
    local id=$1 start end
    shift
    start=${EPOCHREALTIME/./}
    if ! /usr/bin/time -o "$timing" -f '%U %S %M' "$@" >"${out:-/dev/null}" 2>"$errors"; then
        note "failed: $*"
        tail -n 5 "$errors" >&2
        exit 1
    fi
    end=${EPOCHREALTIME/./}
    tail -n 1 "$timing" | awk -v wall=$(((end - start) / 1000)) \
        '{ printf "%d %d %d\n", wall, ($1 + $2) * 1000 + 0.5, $3 }' >>"$work/samples-$id"
}

# record ID: the median of each column of ID's samples.
declare -A wall cpu peak
median() { cut -d' ' -f"$2" "$work/samples-$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
record() { wall[$1]=$(median "$1" 1) cpu[$1]=$(median "$1" 2) peak[$1]=$(median "$1" 3); }

# warm ID COMMAND...: one untimed run, then $runs timed ones (standard input: $input).
warm() {
    local id=$1
    shift
    sample warm-up "$@" <"${input:-/dev/null}"
    timed "$id" "$@"
}

# timed ID COMMAND...: $runs timed runs.
timed() {
    local id=$1
    shift
    for _ in $(seq "$runs"); do sample "$id" "$@" <"${input:-/dev/null}"; done
    record "$id"
}

# ratio ID BASE...: ID's wall time over the sum of the BASEs' wall times.
ratio() {
    local id=$1 sum=0
    shift
    for base in "$@"; do sum=$((sum + wall[$base])); done
    awk -v a="${wall[$id]}" -v b="$sum" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

row() { # row ID JOB EVENTS RATIO
    printf '| %s | %s | %s ms | %s ms | %s MiB | %s |\n' "$2" "$3" \
        "$(thousands "${wall[$1]}")" "$(thousands "${cpu[$1]}")" "$(((peak[$1] + 512) / 1024))" "$4"
}

khal_config() { # khal_config STORE CONFIG
    local cache
    cache=$(dirname "$2")/khal.db
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
        echo "path = $cache"
    } >"$2"
}

store_of() { # store_of SIZE: the generated store of SIZE events, made on first use
    local store=$bench_dir/store-$1
    if [ ! -d "$store" ]; then
        note "generating $store"
        python3 bench/generate_store.py "$store" "$1" >/dev/null
    fi
    echo "$store"
}

echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(uname -m)), load average at start $(load)."
echo "Medians of $runs runs with warm caches; ratios are of wall time."
echo
echo "| job | events | wall | cpu | peak RSS | ratio |"
echo "|---|--:|--:|--:|--:|---|"

# Starting: the words that read no events, as the mean wall time of many runs.
startup() { # startup JOB COMMAND...: prints a row with the mean of 200 runs, in ms
    local job=$1 began
    shift
    began=$EPOCHREALTIME
    for _ in $(seq 200); do "$@" </dev/null >/dev/null 2>&1; done
    awk -v a="$began" -v b="$EPOCHREALTIME" -v job="$job" \
        'BEGIN { printf "| %s | - | %.1f ms | | | |\n", job, (b - a) * 1000 / 200 }'
}
note "starting"
startup "/bin/true (floor), mean of 200 runs" /bin/true
RAVU_CALENDAR_STORE=$(store_of "${sizes[0]}") startup "status, mean of 200 runs" "$program" status
RAVU_CALENDAR_STORE=$(store_of "${sizes[0]}") startup "calendars, mean of 200 runs" "$program" calendars

# Reading.
from=$(date -d "-$past days" +%Y-%m-%d) to=$(date -d "+$future days" +%Y-%m-%d)
for size in "${sizes[@]}"; do
    store=$(store_of "$size")
    n=$(thousands "$size")
    note "reading $n events"
    # shellcheck disable=SC2016 # the store comes as the inner shell's $1
    warm "cat-$size" sh -c 'find "$1" -name "*.ics" -print0 | xargs -0 cat' sh "$store"
    row "cat-$size" "cat of every .ics file (floor)" "$n" "1.00"

    input=$work/snapshot.json
    RAVU_CALENDAR_STORE=$store "$program" calendars </dev/null |
        python3 -c 'import json,sys; print(json.dumps({"logicalKeys":[c["logicalKey"] for c in json.load(sys.stdin)["calendars"]]}))' >"$input"
    RAVU_CALENDAR_STORE=$store warm "snapshot-$size" "$program" snapshot
    row "snapshot-$size" "snapshot of every calendar" "$n" "$(ratio "snapshot-$size" "cat-$size") x cat"
    input=

    # The peers take minutes on the larger stores: one run each after `cat` warmed the files
    # (khal also fills its own cache first), unless PEER_RUNS asks for more.
    runs=${PEER_RUNS:-1} timed "python-$size" /usr/bin/python3 bench/ical_events.py "$store" "$past" "$future"
    row "python-$size" "python recurring-ical-events" "$n" "$(ratio "python-$size" "cat-$size") x cat"

    if [ "$size" -le 10000 ] && command -v khal >/dev/null; then
        config=$bench_dir/khal-$size/config
        mkdir -p "$(dirname "$config")"
        khal_config "$store" "$config"
        runs=${PEER_RUNS:-1} warm "khal-$size" khal -c "$config" list "$from" "$to"
        row "khal-$size" "khal list (warm)" "$n" "$(ratio "khal-$size" "cat-$size") x cat"
    fi
done

# Writing. Each job starts from a store folder of its own, copied afresh for every run.
note "preparing the write jobs"
ten=$(store_of "$write_size")
python3 bench/apply_requests.py creates "$ten" "$program" "$count" >"$work/creates.json"
python3 bench/apply_requests.py edits "$ten" "$program" "$count" >"$work/edits.json"
# The updates change the host items that the creates made, in a store that holds them.
cp -a "$ten" "$work/created"
RAVU_CALENDAR_STORE=$work/created "$program" apply <"$work/creates.json" >"$work/created.json"
python3 bench/apply_requests.py updates "$work/creates.json" "$work/created.json" >"$work/updates.json"
RAVU_CALENDAR_STORE=$work/empty "$program" permission </dev/null >/dev/null
python3 bench/apply_requests.py creates "$work/empty" "$program" "$count" >"$work/empty-creates.json"
python3 bench/apply_requests.py creates "$work/empty" "$program" "$big" >"$work/big-creates.json"
# The floor writes files of the size of the items the creates made.
bytes=$(python3 - "$work/created" "$work/created.json" <<'EOF'
import json, os, sys
ids = [w["eventkitEventId"] for w in json.load(open(sys.argv[2]))["writes"] if w["status"] == "applied"]
print(sum(os.path.getsize(os.path.join(sys.argv[1], i + ".ics")) for i in ids) // max(len(ids), 1))
EOF
)

# One run of a write job: its store copied afresh, then the floor for as many writes into a
# folder beside it, then the job. Floor and job take turns, so that both meet the disk in the
# same state (other programs' writes slow every sync down alike); the floor's row is the median
# of all its runs.
fresh() { # fresh FROM
    rm -rf "$work/store" "$work/floor"
    cp -a "$1" "$work/store"
    mkdir "$work/floor"
    sync -f "$work"
}

apply_job() { # apply_job ID STORE REQUEST WRITES
    local entries applied
    entries=$(grep -o '"op":' "$3" | wc -l)
    note "apply: $1 ($entries entries, floor of $4 writes)"
    for _ in $(seq "$runs"); do
        fresh "$2"
        sample "floor-$4" "$floor" "$work/floor" "$4" "$bytes"
        RAVU_CALENDAR_STORE=$work/store out=$work/result.json sample "$1" "$program" apply <"$3"
    done
    record "$1"
    record "floor-$4"
    applied=$(grep -o '"status":"applied"' "$work/result.json" | wc -l)
    [ "$applied" -eq "$entries" ] || note "$1: only $applied of $entries entries applied"
}

apply_ratio() { # apply_ratio ID FLOOR READ
    echo "$(ratio "$1" "$2") x floor, $(ratio "$1" "$2" "$3") x (floor + read)"
}

note "query alone"
warm read-ten "$query" "$ten" "$past" "$future"
warm read-created "$query" "$work/created" "$past" "$future"
warm read-empty "$query" "$work/empty" "$past" "$future"
apply_job creates "$ten" "$work/creates.json" "$count"
apply_job updates "$work/created" "$work/updates.json" "$count"
apply_job edits "$ten" "$work/edits.json" "$count"
apply_job empty-creates "$work/empty" "$work/empty-creates.json" "$count"
apply_job big-creates "$work/empty" "$work/big-creates.json" "$big"

c=$(thousands "$count") ten_n=$(thousands "$write_size")
row "floor-$count" "durable-write floor: $c writes of $bytes bytes" "-" "1.00"
row "floor-$big" "durable-write floor: $(thousands "$big") writes of $bytes bytes" "-" "1.00"
read="store query alone (one store read)"
row read-ten "$read" "$ten_n" ""
row creates "apply: $c creates" "$ten_n" "$(apply_ratio creates "floor-$count" read-ten)"
row edits "apply: $(thousands "$(grep -o '"op":' "$work/edits.json" | wc -l)") occurrence edits" "$ten_n" "$(apply_ratio edits "floor-$count" read-ten)"
row read-created "$read" "$(thousands "$((write_size + count))")" ""
row updates "apply: $c updates" "$(thousands "$((write_size + count))")" \
    "$(apply_ratio updates "floor-$count" read-created)"
row read-empty "$read" 0 ""
row empty-creates "apply: $c creates" 0 "$(apply_ratio empty-creates "floor-$count" read-empty)"
row big-creates "apply: $(thousands "$big") creates" 0 \
    "$(apply_ratio big-creates "floor-$big" read-empty); $(ratio big-creates empty-creates) x $c creates"

echo
echo "Goals: snapshot/cat <= 3 at 10,000 and 100,000 events; 100,000-event snapshot peak < 300 MB;" \
    "creates, updates and occurrence edits each <= 3 x (floor + one read);" \
    "20,000 creates <= 25 x 1,000 creates."
echo "Load average at end $(load)."
