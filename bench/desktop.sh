#!/usr/bin/env bash
# The desktop store's figures, each beside what it is read against, as a markdown table: wall
# time and peak memory (medians of $RUNS runs, warm), with evolution-data-server on a private
# session bus in a temporary home.
#
#   calendars on five calendars;
#   snapshot of one local calendar of $EVENTS events (bench/generate_store.py: about one in ten
#     repeating), beside a minimal client that asks the service for the same window's instances
#     with its own expansion (bench/eds_instances.cpp), and the directory store's snapshot of the
#     same events;
#   $APPLY_COUNT creates through apply, beside the directory store's;
#   status and calendars on the directory store, which must not load the desktop module.
#
#   bench/desktop.sh                       10,000 events, 1,000 creates, medians of three runs
#   EVENTS=1000 APPLY_COUNT=100 RUNS=5 bench/desktop.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
build=${BUILD:-build-bench}
runs=${RUNS:-3}
events=${EVENTS:-10000}
count=${APPLY_COUNT:-1000}
past=30 future=400

cmake -S . -B "$build" -DRAVU_BENCH=ON -DRAVU_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ravu-calendar ravu_desktop ravu_bench_eds_instances -j2 >/dev/null
program=$PWD/$build/ravu-calendar
instances=$PWD/$build/ravu_bench_eds_instances
export TZ=UTC

work=$(mktemp -d /tmp/ravu-desktop-bench.XXXXXX)
bus_pid=""
stop() {
    if [ -n "${holder_PID:-}" ]; then
        kill "$holder_PID" 2>/dev/null || true
    fi
    if [ -n "$bus_pid" ]; then
        # The service's processes end with their bus.
        kill "$bus_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT
note() { echo "desktop.sh: $*" >&2; }

# The events: a generated directory store, its files gathered into one calendar of each store.
note "generating $events events"
python3 bench/generate_store.py "$work/generated" "$events" >/dev/null
mkdir -p "$work/vdir/local/big" "$work/vdir/local/empty"
find "$work/generated" -name '*.ics' -exec cp -t "$work/vdir/local/big" {} +
home=$work/home
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
    XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/run GSETTINGS_BACKEND=memory
mkdir -p "$XDG_CONFIG_HOME/evolution/sources" "$XDG_DATA_HOME/evolution/calendar/big" \
    "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
python3 - "$work/vdir/local/big" "$XDG_DATA_HOME/evolution/calendar/big/calendar.ics" <<'PY'
import os, sys
zones, events = {}, []


def blocks(text, kind):
    start = 0
    while (at := text.find("BEGIN:" + kind, start)) >= 0:
        start = text.index("END:" + kind, at) + len("END:" + kind)
        yield text[at:start]


for name in sorted(os.listdir(sys.argv[1])):
    text = open(os.path.join(sys.argv[1], name), encoding="utf-8").read().replace("\r\n", "\n")
    for zone in blocks(text, "VTIMEZONE"):
        zones[zone.split("TZID:", 1)[1].split("\n", 1)[0]] = zone
    events.extend(blocks(text, "VEVENT"))
with open(sys.argv[2], "w", encoding="utf-8", newline="\r\n") as out:
    out.write("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//ravu//bench//EN\n")
    out.write("\n".join(list(zones.values()) + events) + "\nEND:VCALENDAR\n")
PY
for uid in system-calendar birthdays; do
    printf '[Data Source]\nDisplayName=Off\nEnabled=false\nParent=local-stub\n\n[Calendar]\nBackendName=local\n' \
        >"$XDG_CONFIG_HOME/evolution/sources/$uid.source"
done
for uid in big empty one two three; do
    printf '[Data Source]\nDisplayName=%s\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\nColor=#3465a4\n' \
        "$uid" >"$XDG_CONFIG_HOME/evolution/sources/$uid.source"
done
read -r address bus_pid < <(dbus-daemon --session --fork --print-address=1 --print-pid=1 | paste -sd' ')
export DBUS_SESSION_BUS_ADDRESS=$address
# The desktop's own clients (the shell's clock, a calendar application) keep the calendars open;
# without them the service would read a calendar's file again for every run.
coproc holder { "$instances" --hold big empty one two three; }
read -r _ <&"${holder[0]}"

# time_of ID COMMAND... (standard input: $input): one untimed run, then $runs timed ones; the
# medians of wall ms and peak KiB go into wall[ID] and peak[ID].
declare -A wall peak
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
    wall[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f1 | sort -n | sed -n "$(((runs + 1) / 2))p")
    peak[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f2 | sort -n | sed -n "$(((runs + 1) / 2))p")
}
row() { printf '| %-52s | %8s ms | %5s MiB |\n' "$2" "${wall[$1]}" "$(((peak[$1] + 512) / 1024))"; }

desktop=(env RAVU_CALENDAR_BACKEND=desktop "$program")
directory=(env RAVU_CALENDAR_BACKEND=directory RAVU_CALENDAR_STORE="$work/vdir" "$program")
now=$(date +%s)

note "reading"
time_of d-calendars "${desktop[@]}" calendars
echo '{"logicalKeys":["local|On This Computer|big"]}' >"$work/snap-desktop"
input=$work/snap-desktop time_of d-snapshot "${desktop[@]}" snapshot
time_of eds "$instances" big $((now - past * 86400)) $((now + future * 86400))
echo '{"logicalKeys":["local|local|big"]}' >"$work/snap-dir"
input=$work/snap-dir time_of v-snapshot "${directory[@]}" snapshot
time_of v-status "${directory[@]}" status
time_of v-calendars "${directory[@]}" calendars

note "writing"
# Each run sends creates of its own: a create the store already holds is found, not made again.
creates() { # creates ID KEY COMMAND...
    local id=$1 key=$2 samples=() start end
    shift 2
    for run in $(seq "$runs"); do
        python3 - "$count" "$key" "$id$run" >"$work/creates" <<'PY'
import json, sys
count, key, prefix = int(sys.argv[1]), sys.argv[2], sys.argv[3]
print(json.dumps({"pending": [{"op": "create", "itemId": f"{prefix}-{i}", "logicalKey": key,
    "title": f"Bench {i}", "startsAt": f"2027-01-{1 + i % 28:02d}T{i % 24:02d}:00:00Z",
    "endsAt": f"2027-01-{1 + i % 28:02d}T{i % 24:02d}:30:00Z"} for i in range(count)]}))
PY
        start=${EPOCHREALTIME/./}
        /usr/bin/time -o "$work/t" -f '%M' "$@" <"$work/creates" >/dev/null 2>>"$work/err"
        end=${EPOCHREALTIME/./}
        samples+=("$(((end - start) / 1000)) $(tail -n 1 "$work/t")")
    done
    wall[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f1 | sort -n | sed -n "$(((runs + 1) / 2))p")
    peak[$id]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f2 | sort -n | sed -n "$(((runs + 1) / 2))p")
}
creates d-creates "local|On This Computer|empty" "${desktop[@]}" apply
creates v-creates "local|local|empty" "${directory[@]}" apply

echo "Desktop store, $(date -u +%Y-%m-%d), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
echo
echo "| job | wall | peak RSS |"
echo "|---|---|---|"
row d-calendars "desktop: calendars (5 calendars, warm)"
row d-snapshot "desktop: snapshot, $events events in one calendar"
row eds "service's own expansion, same window (the floor)"
row v-snapshot "directory store: snapshot, the same events"
row d-creates "desktop: apply, $count creates"
row v-creates "directory store: apply, $count creates"
row v-status "directory store: status"
row v-calendars "directory store: calendars"
awk -v a="${wall[d-snapshot]}" -v b="${wall[eds]}" 'BEGIN { printf "\nsnapshot / the service'"'"'s expansion: %.2f (goal <= 1.5)\n", a / b }'
