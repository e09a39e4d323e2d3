#!/usr/bin/env bash
# The GNOME store's figures, each beside what it is read against, as a markdown table: wall
# time and peak memory (medians of $RUNS runs, warm), with evolution-data-server on a private
# session bus in a temporary home.
#
#   calendars on five calendars;
#   snapshot of one local calendar of $EVENTS events (bench/generate_store.py: about one in ten
#     repeating), beside a minimal client that asks the service for the same window's instances
#     with its own expansion (bench/eds_instances.cpp), and the directory store's snapshot of the
#     same events;
#   $APPLY_COUNT creates through apply, beside the directory store's;
#   status and calendars on the directory store, which must not load the GNOME store's module;
#   the service started cold: permission on a bus where it does not run yet, then calendars;
#   the faults a GNOME desktop meets, each on a bus of its own, every word timed $RUNS times in a row
#   against its bound (cli/watchdog.cpp): a CalDAV server that accepts and never answers, an
#   event whose zone sends the service spinning (under a memory limit, stopped by its id), a bus
#   that never answers, a stopped bus, a bus without the service, a bus that refuses it.
#
#   bench/evolution.sh                       10,000 events, 1,000 creates, medians of three runs
#   EVENTS=1000 APPLY_COUNT=100 RUNS=5 bench/evolution.sh
#   FAULTS_ONLY=1 bench/evolution.sh         the cold start and the faults alone
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh --services
build=${BUILD:-build-bench}
runs=${RUNS:-3}
events=${EVENTS:-10000}
count=${APPLY_COUNT:-1000}
past=30 future=400

cmake -S . -B "$build" -DRAVU_BENCH=ON -DRAVU_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target ravu-calendar ravu_evolution ravu_bench_eds_instances -j2 >/dev/null
program=$PWD/$build/ravu-calendar
instances=$PWD/$build/ravu_bench_eds_instances
export TZ=UTC

work=$(mktemp -d /tmp/ravu-evolution-bench.XXXXXX)
bus_pid=""
silent_pid=""
stop() {
    if [ -n "${holder_PID:-}" ]; then
        kill "$holder_PID" 2>/dev/null || true
    fi
    for pid in $bus_pid $silent_pid; do
        # The service's processes end with their bus.
        kill -CONT "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop EXIT
note() { echo "evolution.sh: $*" >&2; }

if [ -z "${FAULTS_ONLY:-}" ]; then
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
python3 bench/one_calendar.py "$work/vdir/local/big" "$XDG_DATA_HOME/evolution/calendar/big/calendar.ics"
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
        once "${input:-/dev/null}" "$@"
    done
    median_of "$id"
}
# once INPUT COMMAND...: one timed run, its wall time and peak memory added to the caller's samples.
once() {
    local from=$1 start end
    shift
    start=${EPOCHREALTIME/./}
    /usr/bin/time -o "$work/t" -f '%M' "$@" <"$from" >/dev/null 2>>"$work/err"
    end=${EPOCHREALTIME/./}
    samples+=("$(((end - start) / 1000)) $(tail -n 1 "$work/t")")
}
median_of() {
    wall[$1]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f1 | sort -n | sed -n "$(((runs + 1) / 2))p")
    peak[$1]=$(printf '%s\n' "${samples[@]}" | cut -d' ' -f2 | sort -n | sed -n "$(((runs + 1) / 2))p")
}
row() { printf '| %-52s | %8s ms | %5s MiB |\n' "$2" "${wall[$1]}" "$(((peak[$1] + 512) / 1024))"; }

evolution=(env RAVU_CALENDAR_BACKEND=evolution-data-server "$program")
directory=(env RAVU_CALENDAR_BACKEND=directory RAVU_CALENDAR_STORE="$work/vdir" "$program")
now=$(date +%s)

note "reading"
time_of d-calendars "${evolution[@]}" calendars
echo '{"logicalKeys":["local|On This Computer|big"]}' >"$work/snap-evolution"
input=$work/snap-evolution time_of d-snapshot "${evolution[@]}" snapshot
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
        once "$work/creates" "$@"
    done
    median_of "$id"
}
creates d-creates "local|On This Computer|empty" "${evolution[@]}" apply
creates v-creates "local|local|empty" "${directory[@]}" apply

echo "GNOME store, $(date -u +%Y-%m-%d), $(nproc) cores, load $(uptime | sed 's/.*load average: //')"
echo
echo "| job | wall | peak RSS |"
echo "|---|---|---|"
row d-calendars "GNOME store: calendars (5 calendars, warm)"
row d-snapshot "GNOME store: snapshot, $events events in one calendar"
row eds "service's own expansion, same window (the floor)"
row v-snapshot "directory store: snapshot, the same events"
row d-creates "GNOME store: apply, $count creates"
row v-creates "directory store: apply, $count creates"
row v-status "directory store: status"
row v-calendars "directory store: calendars"
awk -v a="${wall[d-snapshot]}" -v b="${wall[eds]}" 'BEGIN { printf "\nsnapshot / the service'"'"'s expansion: %.2f (goal <= 1.5)\n", a / b }'
kill "$holder_PID" "$bus_pid" 2>/dev/null || true
bus_pid=""
fi

# A home of its own with the local calendar "Calendar" (and `$2`.source when given), and its
# bus, started by the rest of the arguments; the environment of the runs goes to `fault_env`.
fault_home() {
    local name=$1 extra=${2:-}
    shift 2
    fhome=$work/fault-$name
    local sources=$fhome/.config/evolution/sources
    mkdir -p "$sources" "$fhome/.local/share" "$fhome/.cache" "$fhome/run" "$fhome/no-services"
    chmod 700 "$fhome/run"
    for uid in system-calendar birthdays; do
        printf '[Data Source]\nDisplayName=Off\nEnabled=false\nParent=local-stub\n\n[Calendar]\nBackendName=local\n' \
            >"$sources/$uid.source"
    done
    printf '[Data Source]\nDisplayName=Calendar\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\n' \
        >"$sources/cal.source"
    if [ -n "$extra" ]; then
        cp "$work/$extra.source" "$sources/$extra.source"
    fi
    # The bus starts the service with its own environment: this home.
    local base=(env HOME="$fhome" XDG_CONFIG_HOME="$fhome/.config" XDG_DATA_HOME="$fhome/.local/share"
        XDG_CACHE_HOME="$fhome/.cache" XDG_RUNTIME_DIR="$fhome/run" GSETTINGS_BACKEND=memory)
    read -r address bus_pid < <("${base[@]}" "$@" --fork --print-address=1 --print-pid=1 | paste -sd' ')
    bus_env=("${base[@]}" DBUS_SESSION_BUS_ADDRESS="$address")
    fault_env=("${bus_env[@]}" RAVU_CALENDAR_BACKEND=evolution-data-server)
}
# The process ids of the bus's clients.
peers() {
    local name
    for name in $("${bus_env[@]}" dbus-send --session --print-reply --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.ListNames | grep -o '":[0-9.]*"' | tr -d '"'); do
        "${bus_env[@]}" dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.GetConnectionUnixProcessID "string:$name" | awk '/uint32/ { print $2 }'
    done
}
# Ends the bus of the case and every client on it, by their ids.
fault_end() {
    local clients
    kill -CONT "$bus_pid" 2>/dev/null || true
    clients=$(peers 2>/dev/null || true)
    kill "$bus_pid" $clients 2>/dev/null || true
    bus_pid=""
}
# A document told short: what access it gives, each calendar's writability, a snapshot's feeds
# and what it could not read, each write's status.
told() {
    python3 -c 'import json, sys
d = json.load(sys.stdin)
if "granted" in d: print(d["granted"])
elif "calendars" in d: print(", ".join(c["title"] + (" writable" if c["writable"] else " read-only") for c in d["calendars"]) or "none")
elif "feeds" in d: print("feeds: " + ", ".join(d["feeds"]) + "".join("; %s: %s" % (k, d[k]) for k in ("unread", "noAccess") if k in d))
else: print(", ".join(w["status"] + (" (" + w["error"] + ")" if "error" in w else "") for w in d["writes"]) or "nothing done")'
}
# fault_words CASE OTHER: every word $runs times in a row, as rows of the table.
fault_words() {
    local name=$1 other=$2 word times start end
    local local_key='local|On This Computer|Calendar'
    for word in status permission calendars snapshot apply; do
        times=""
        for run in $(seq "$runs"); do
            case $word in
            snapshot) printf '{"logicalKeys":["%s","%s"]}' "$local_key" "$other" >"$work/request" ;;
            apply)
                printf '{"pending":[{"op":"create","itemId":"%s%s","logicalKey":"%s","startsAt":"2027-01-01T10:00:00Z"},{"op":"create","itemId":"%s%s","logicalKey":"%s","startsAt":"2027-01-01T10:00:00Z"}]}' \
                    "$name" "$run" "$local_key" "$name" "$run" "$other" >"$work/request"
                ;;
            *) : >"$work/request" ;;
            esac
            start=${EPOCHREALTIME/./}
            "${fault_env[@]}" "$program" "$word" <"$work/request" >"$work/out" 2>/dev/null
            end=${EPOCHREALTIME/./}
            times+="$(((end - start) / 1000)) "
        done
        printf '| %s | %s | %s | %s |\n' "$name" "$word" "$(told <"$work/out")" "${times% }"
    done
}

note "the service started cold"
cold=()
for run in $(seq "$runs"); do
    fault_home "cold$run" "" dbus-daemon --session
    start=${EPOCHREALTIME/./}
    "${fault_env[@]}" "$program" permission >/dev/null 2>&1
    middle=${EPOCHREALTIME/./}
    "${fault_env[@]}" "$program" calendars >/dev/null 2>&1
    end=${EPOCHREALTIME/./}
    cold+=("$(((middle - start) / 1000)) / $(((end - middle) / 1000))")
    fault_end
done

note "faults"
python3 -c 'import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(64)
print(s.getsockname()[1], flush=True); time.sleep(10**6)' >"$work/port" &
silent_pid=$!
while [ ! -s "$work/port" ]; do sleep 0.05; done
port=$(cat "$work/port")
sed "s/@PORT@/$port/" tests/support/caldav.source >"$work/dav.source"
printf '[Data Source]\nDisplayName=Spin\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\n' \
    >"$work/spin.source"
for conf in bus-without-service bus-refusing; do
    sed "s|@HOME@|$work/fault-$conf|" "tests/support/$conf.conf" >"$work/$conf.conf"
done

echo
echo "Faults, $(date -u +%Y-%m-%d), $(nproc) cores, load $(uptime | sed 's/.*load average: //'); wall ms of $runs runs in a row"
echo "(cold start of the service, permission / calendars: ${cold[*]})"
echo
echo "| case | word | document | ms |"
echo "|---|---|---|---|"
fault_home silent-server dav dbus-daemon --session
fault_words silent-server 'caldav|CalDAV|Server'
fault_end
fault_home spinning-zone spin prlimit --as=$((2 << 30)) dbus-daemon --session
mkdir -p "$fhome/.local/share/evolution/calendar/spin"
cp fuzz/corpus/ics/hostile-vtimezone-secondly "$fhome/.local/share/evolution/calendar/spin/calendar.ics"
fault_words spinning-zone 'local|On This Computer|Spin'
fault_end
fault_home silent-bus "" dbus-daemon --session
fault_env+=(DBUS_SESSION_BUS_ADDRESS="tcp:host=127.0.0.1,port=$port")
fault_words silent-bus ''
fault_end
fault_home stopped-bus "" dbus-daemon --session
kill -STOP "$bus_pid"
fault_words stopped-bus ''
fault_end
for conf in bus-without-service bus-refusing; do
    fault_home "$conf" "" dbus-daemon --config-file="$work/$conf.conf"
    fault_words "$conf" ''
    fault_end
done
