#!/usr/bin/env bash
# The KDE store's figures beside a bare Akonadi client making the same calls
# (bench/akonadi_floor.cpp) and beside the directory store, as a markdown table: wall time and
# peak memory (medians of $RUNS runs, warm), with Akonadi (SQLite) on a private session bus in a
# temporary home.
#
#   calendars, beside the floor's listing of the event collections;
#   snapshot of one iCal-file calendar of $EVENTS events (bench/generate_store.py: about one in
#     ten repeating), beside the floor's full-payload fetch of the same items, and the directory
#     store's snapshot of the same events;
#   $APPLY_COUNT creates through apply, beside the floor's creates, each waited for until its
#     resource took it, each run into an empty calendar, and the directory store's creates.
#
#   bench/akonadi.sh                          10,000 events, 1,000 creates, medians of three runs
#   EVENTS=1000 APPLY_COUNT=100 RUNS=5 bench/akonadi.sh
# The GNOME store's figures come from bench/evolution.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --services
build=${BUILD:-build-bench}
runs=${RUNS:-3}
events=${EVENTS:-10000}
count=${APPLY_COUNT:-1000}

# The test client that makes the resources is built with the tests, which the other benchmarks
# turn off in the same build folder.
cmake -S . -B "$build" -DRAVU_BENCH=ON -DRAVU_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ravu-calendar ravu_akonadi ravu_bench_akonadi_floor \
    ravu_akonadi_client >/dev/null
program=$PWD/$build/ravu-calendar
floor=$PWD/$build/ravu_bench_akonadi_floor
client=$PWD/$build/tests/ravu_akonadi_client
export TZ=UTC

work=$(mktemp -d /tmp/ravu-akonadi-bench.XXXXXX)
home=$work/home
bus_pid=""
stop() {
    if [ -n "$bus_pid" ]; then
        timeout 20 akonadictl stop >/dev/null 2>&1 || true
        # What Akonadi started in this home and left behind, then the bus, by their ids.
        for environ in /proc/[0-9]*/environ; do
            pid=${environ#/proc/}
            pid=${pid%/environ}
            if [ "$pid" != "$$" ] && grep -qz "^HOME=$home\$" "$environ" 2>/dev/null; then
                kill "$pid" 2>/dev/null || true
            fi
        done
        kill "$bus_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT
note() { echo "akonadi.sh: $*" >&2; }

note "generating $events events"
python3 bench/generate_store.py "$work/generated" "$events" >/dev/null
mkdir -p "$work/vdir/local/big" "$work/vdir/local/empty"
find "$work/generated" -name '*.ics' -exec cp -t "$work/vdir/local/big" {} +
python3 bench/one_calendar.py "$work/vdir/local/big" "$work/big.ics"

# The home, with Akonadi's first-run defaults kept away, and a bus that starts only Akonadi.
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
    XDG_CACHE_HOME=$home/.cache XDG_STATE_HOME=$home/.local/state XDG_RUNTIME_DIR=$home/run \
    QT_QPA_PLATFORM=offscreen AKONADI_DISABLE_AGENT_AUTOSTART=1
mkdir -p "$XDG_CONFIG_HOME/akonadi" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME" \
    "$XDG_RUNTIME_DIR" "$home/services"
chmod 700 "$XDG_RUNTIME_DIR"
printf '[%%General]\nDriver=QSQLITE\n' >"$XDG_CONFIG_HOME/akonadi/akonadiserverrc"
printf '[ProcessedDefaults]\nbirthdaycalendar=done\ndefaultaddressbook=done\ndefaultcalendar=done\ndefaultnotebook=done\n' \
    >"$XDG_CONFIG_HOME/akonadi-firstrunrc"
cp /usr/share/dbus-1/services/org.freedesktop.Akonadi.Control.service "$home/services/"
sed "s|<standard_session_servicedirs />|<servicedir>$home/services</servicedir>|" \
    /usr/share/dbus-1/session.conf >"$home/bus.conf"
read -r address bus_pid < <(setsid dbus-daemon --config-file="$home/bus.conf" --fork \
    --print-address=1 --print-pid=1 | paste -sd' ')
export DBUS_SESSION_BUS_ADDRESS=$address
ask() { dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "$@"; }
ask org.freedesktop.DBus.StartServiceByName string:org.freedesktop.Akonadi.Control uint32:0 >/dev/null
for _ in $(seq 200); do
    ask org.freedesktop.DBus.NameHasOwner string:org.freedesktop.Akonadi | grep -q true && break
    sleep 0.05
done
note "importing $events events into an iCal-file resource"
# The event collection of a new iCal-file resource on the file (instance $3), its settings file
# written before it starts.
collection() {
    local instance
    printf '[General]\nPath=%s\n' "$2" >"$XDG_CONFIG_HOME/akonadi_ical_resource_${3}rc"
    instance=$("$client" resource akonadi_ical_resource "$1" | tail -n 1)
    "$client" collections | awk -F'|' -v r="$instance" '$3 == r && $4 ~ /calendar.event/ { print $1; exit }'
}
big=$(collection Big "$work/big.ics" 0)

# time_of ID COMMAND... (standard input: $input): one untimed run, then $runs timed ones; the
# medians of wall ms and peak KiB go into wall[ID] and peak[ID].
declare -A wall peak
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
time_of() {
    local id=$1 samples=() start end
    shift
    "$@" <"${input:-/dev/null}" >/dev/null 2>"$work/err" || { note "failed: $*"; cat "$work/err" >&2; exit 1; }
    for _ in $(seq "$runs"); do
        start=${EPOCHREALTIME/./}
        /usr/bin/time -o "$work/t" -f '%M' "$@" <"${input:-/dev/null}" >/dev/null 2>>"$work/err"
        end=${EPOCHREALTIME/./}
        samples+=("$(((end - start) / 1000)) $(tail -n 1 "$work/t")")
    done
    wall[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f1 | median)
    peak[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f2 | median)
}
row() { printf '| %-48s | %8s ms | %5s MiB | %s |\n' "$2" "${wall[$1]}" "$(((peak[$1] + 512) / 1024))" "${3:-}"; }
ratio() { awk -v a="${wall[$1]}" -v b="${wall[$2]}" 'BEGIN { printf "%.2f x %s", a / b, "'"$3"'" }'; }

kde=(env RAVU_CALENDAR_BACKEND=akonadi "$program")
directory=(env RAVU_CALENDAR_BACKEND=directory RAVU_CALENDAR_STORE="$work/vdir" "$program")

note "reading"
time_of k-calendars "${kde[@]}" calendars
time_of f-list "$floor" list
echo '{"logicalKeys":["local|Big|Big"]}' >"$work/snap-kde"
input=$work/snap-kde time_of k-snapshot "${kde[@]}" snapshot
time_of f-fetch "$floor" fetch "$big"
echo '{"logicalKeys":["local|local|big"]}' >"$work/snap-dir"
input=$work/snap-dir time_of v-snapshot "${directory[@]}" snapshot

note "writing"
# Each run writes into an empty calendar of its own, the store's and the floor's runs taking
# turns: the iCal-file resource writes its whole file again for every create, so each create
# costs more the fuller the calendar is.
samples_k=() samples_f=() samples_v=()
made=1
sample() { # sample COMMAND... (standard input: $work/creates): "wall-ms peak-KiB"
    local start end
    start=${EPOCHREALTIME/./}
    /usr/bin/time -o "$work/t" -f '%M' "$@" <"$work/creates" >"$work/out" 2>>"$work/err"
    end=${EPOCHREALTIME/./}
    if grep -q transientError "$work/out"; then
        note "a create failed: $(head -c 300 "$work/out")"
        exit 1
    fi
    echo "$(((end - start) / 1000)) $(tail -n 1 "$work/t")"
}
for run in $(seq "$runs"); do
    printf 'BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu//bench//EN\r\nEND:VCALENDAR\r\n' \
        | tee "$work/store$run.ics" >"$work/floor$run.ics"
    collection "Store $run" "$work/store$run.ics" "$made" >/dev/null
    floor_collection=$(collection "Floor $run" "$work/floor$run.ics" $((made + 1)))
    made=$((made + 2))
    python3 - "$count" "local|Store $run|Store $run" "k$run" >"$work/creates" <<'PY'
import json, sys
count, key, prefix = int(sys.argv[1]), sys.argv[2], sys.argv[3]
print(json.dumps({"pending": [{"op": "create", "itemId": f"{prefix}-{i}", "logicalKey": key,
    "title": f"Bench {i}", "startsAt": f"2027-01-{1 + i % 28:02d}T{i % 24:02d}:00:00Z",
    "endsAt": f"2027-01-{1 + i % 28:02d}T{i % 24:02d}:30:00Z"} for i in range(count)]}))
PY
    samples_k+=("$(sample "${kde[@]}" apply)")
    samples_f+=("$(sample "$floor" create "$floor_collection" "$count")")
    sed "s/\"k$run-/\"v$run-/g; s/local|Store $run|Store $run/local|local|empty/g" "$work/creates" \
        >"$work/creates.dir"
    mv "$work/creates.dir" "$work/creates"
    samples_v+=("$(sample "${directory[@]}" apply)")
done
keep() { # keep ID SAMPLE...: their medians in wall[ID] and peak[ID]
    local id=$1
    shift
    wall[$id]=$(printf '%s\n' "$@" | cut -d' ' -f1 | median)
    peak[$id]=$(printf '%s\n' "$@" | cut -d' ' -f2 | median)
}
keep k-creates "${samples_k[@]}"
keep f-creates "${samples_f[@]}"
keep v-creates "${samples_v[@]}"

echo "KDE store, $(date -u +%Y-%m-%d), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
echo
echo "| job | wall | peak RSS | ratio |"
echo "|---|---|---|---|"
row k-calendars "KDE store: calendars" "$(ratio k-calendars f-list "the floor's listing")"
row f-list "floor: list the event collections"
row k-snapshot "KDE store: snapshot, $events events in one calendar" \
    "$(ratio k-snapshot f-fetch "the floor's fetch") (goal <= 1.5)"
row f-fetch "floor: fetch the same items with full payload"
row v-snapshot "directory store: snapshot, the same events"
row k-creates "KDE store: apply, $count creates" "$(ratio k-creates f-creates "the floor's creates") (goal <= 1.2)"
row f-creates "floor: $count creates, each until its resource took it"
row v-creates "directory store: apply, $count creates"
