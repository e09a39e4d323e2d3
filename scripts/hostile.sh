#!/usr/bin/env bash
# Runs the program on each hostile store file of tests/cases/hostile/ (and the big ones that
# tests/cases/hostile/generate.sh writes), each alone in a fresh store, and checks the limits a
# file may cost: exit 0, exactly one JSON object on standard output, at most 10 s, under 200 MB
# resident (2 GiB for files of 1 MB or more).
#   scripts/hostile.sh [FILE.ics...]    default: every hostile file
# Words run per file: snapshot of both calendars, a create into the other calendar, an update of
# the item, and an occurrence edit (updateExternal) of its first occurrence in the snapshot.
# One line per file and word: seconds, peak resident KB, exit status, whether standard output is
# one JSON object, the verdict, then for information the event's record count (snapshot) or the
# first entry's status (apply), and the number of standard-error lines.
# Exits 1 when any run misses a limit.
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(bash scripts/release.sh)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

hard_timeout=30     # a run past this is killed and counts as a hang
memory_cap_kb=$((4 * 1024 * 1024))   # address-space cap, so a memory bomb cannot take the machine
time_limit=10
small_rss_kb=$((200 * 1000))
big_rss_kb=$((2 * 1024 * 1024))
big_file=$((1000 * 1000))
export TZ=${HOSTILE_TZ:-Europe/Berlin}

if [ $# -gt 0 ]; then
    files=("$@")
else
    bash tests/cases/hostile/generate.sh "$work/generated"
    files=(tests/cases/hostile/*.ics "$work/generated"/*.ics)
fi

# Reads a program's output: `check OUT` prints yes when it is exactly one JSON object;
# `first OUT UID` prints the first record's start, that start plus 30 minutes, and its
# last-modified; `count OUT UID` the number of its records; `status OUT` the status of the first
# apply entry.
cat >"$work/readout.py" <<'EOF'
import datetime, json, sys
try:
    with open(sys.argv[2], encoding="utf-8") as f:
        doc = json.loads(f.read())
except Exception:
    doc = None
if sys.argv[1] == "check":
    print("yes" if isinstance(doc, dict) else "no")
elif sys.argv[1] == "first":
    for records in (doc or {}).get("feeds", {}).values():
        for r in records:
            if r.get("uid") == sys.argv[3] and "startsAt" in r:
                s = datetime.datetime.strptime(r["startsAt"], "%Y-%m-%dT%H:%M:%SZ")
                e = (s + datetime.timedelta(minutes=30)).strftime("%Y-%m-%dT%H:%M:%SZ")
                print(r["startsAt"], e, r.get("lastModified", ""))
                sys.exit(0)
elif sys.argv[1] == "count":
    print(sum(r.get("uid") == sys.argv[3] for records in (doc or {}).get("feeds", {}).values()
              for r in records))
elif sys.argv[1] == "status":
    for key in ("writes", "external"):
        for r in (doc or {}).get(key, []):
            print(r.get("status", "?"))
            sys.exit(0)
    print("-")
EOF
pyjson() { timeout 120 python3 "$work/readout.py" "$@" || echo "?"; }

fresh_store() {  # fresh_store FILE: the file alone in calendar local/calendar, and an empty local/other
    rm -rf "$work/store"
    mkdir -p "$work/store/local/calendar" "$work/store/local/other"
    cp -p "$1" "$work/store/local/calendar/"  # same mtime every time, so the edit sees no conflict
}

failures=0
runs=0
run() {  # run FILE WORD-LABEL WORD REQUEST
    local file=$1 label=$2 word=$3 request=$4 id size rss_limit status elapsed rss json verdict why info
    id=local/calendar/$(basename "$file" .ics)
    size=$(stat -c %s "$file")
    rss_limit=$small_rss_kb
    [ "$size" -ge "$big_file" ] && rss_limit=$big_rss_kb
    printf '%s' "$request" >"$work/in"
    rm -f "$work/time"
    status=0
    (
        ulimit -v "$memory_cap_kb"
        cd "$work"
        RAVU_CALENDAR_STORE="$work/store" timeout -k 5 "$hard_timeout" \
            /usr/bin/time -f '%e %M' -o "$work/time" "$program" "$word" <"$work/in" >"$work/out" 2>"$work/err"
    ) || status=$?
    elapsed=-
    rss=-
    if [ -s "$work/time" ]; then
        read -r elapsed rss < <(grep -E '^[0-9.]+ [0-9]+$' "$work/time" | tail -n 1) || true
    fi
    # /usr/bin/time reports a killed child as "Command terminated by signal N"; timeout says 124.
    json=$(pyjson check "$work/out")
    why=()
    case $status in
        0) ;;
        124 | 137) why+=("hang: killed after ${hard_timeout}s") ;;
        *) why+=("exit $status") ;;
    esac
    [ "$json" = yes ] || why+=("not one JSON object")
    if [ "$elapsed" != - ] && awk -v t="$elapsed" -v l="$time_limit" 'BEGIN { exit !(t > l) }'; then
        why+=("over ${time_limit}s")
    fi
    if [ "$rss" != - ] && [ "$rss" -gt "$rss_limit" ]; then
        why+=("over $((rss_limit / 1000)) MB")
    fi
    info=""
    if [ "$word" = apply ]; then
        info=" entry=$(pyjson status "$work/out")"
    else
        info=" records=$(pyjson count "$work/out" "$id")"
    fi
    info+=" stderr=$(wc -l <"$work/err")"
    if [ ${#why[@]} -eq 0 ]; then
        verdict=PASS
    else
        verdict="FAIL (${why[*]})"
        failures=$((failures + 1))
        info+=" last-stderr=\"$(tail -n 1 "$work/err" | cut -c1-120)\""
    fi
    runs=$((runs + 1))
    printf '%-36s %-17s %7ss %8s KB  exit %-3s json %-3s %s%s\n' \
        "$(basename "$file")" "$label" "$elapsed" "$rss" "$status" "$json" "$verdict" "$info"
}

both='{"logicalKeys":["local|local|calendar","local|local|other"]}'
for file in "${files[@]}"; do
    base=$(basename "$file")
    id=local/calendar/${base%.ics}

    fresh_store "$file"
    run "$file" snapshot snapshot "$both"
    read -r occurrence occurrence_end modified < <(pyjson first "$work/out" "$id"; echo) || true
    if [ -z "${occurrence:-}" ] || [ "$occurrence" = "?" ]; then
        # No occurrence to edit: the edit is still sent, to see that it ends cleanly.
        occurrence=2026-12-10T10:00:00Z
        occurrence_end=2026-12-10T10:30:00Z
        modified=""
    fi

    fresh_store "$file"
    run "$file" apply-create apply '{"pending":[{"op":"create","itemId":"hostile-create","logicalKey":"local|local|other","title":"Created","startsAt":"2026-12-20T09:00:00Z","endsAt":"2026-12-20T10:00:00Z"}]}'

    fresh_store "$file"
    run "$file" apply-update apply "{\"pending\":[{\"op\":\"update\",\"eventkitEventId\":\"$id\",\"itemId\":\"hostile-update\",\"title\":\"Updated\",\"startsAt\":\"2026-12-21T09:00:00Z\",\"endsAt\":\"2026-12-21T10:00:00Z\",\"recurrenceRule\":\"FREQ=WEEKLY;COUNT=4\"}]}"

    base_modified=""
    [ -n "${modified:-}" ] && base_modified=",\"baseLastModified\":\"$modified\""
    fresh_store "$file"
    run "$file" apply-occurrence apply "{\"pending\":[{\"op\":\"updateExternal\",\"eventkitEventId\":\"$id\",\"occurrenceStart\":\"$occurrence\",\"title\":\"Moved\",\"startsAt\":\"$occurrence\",\"endsAt\":\"$occurrence_end\"$base_modified}]}"
done

echo "hostile: $((runs - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
