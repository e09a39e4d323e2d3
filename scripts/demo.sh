#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the program's main job against a throw-away
# store in a temporary folder, showing each command and the JSON it printed.
# With RAVU_PROGRAM set, runs that program instead (an installed one) and builds nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

program=${RAVU_PROGRAM:-$PWD/build-demo/ravu-calendar}
if [ -z "${RAVU_PROGRAM:-}" ]; then
    bash scripts/setup.sh
    # The program alone: the test suite's tools are not installed here.
    cmake -S . -B build-demo -DRAVU_TESTS=OFF >/dev/null
    cmake --build build-demo -j"$(nproc)" --target ravu-calendar >/dev/null
fi

store=$(mktemp -d)/ravu-calendar
trap 'rm -rf "$(dirname "$store")"' EXIT
export RAVU_CALENDAR_STORE="$store"

run() {  # run WORD [REQUEST]
    if [ $# -ge 2 ]; then
        printf '\n$ ravu-calendar %s <<< %s\n' "$1" "$(printf '%s' "$2" | tr -d '\n')" >&2
        printf '%s' "$2" | "$program" "$1"
    else
        printf '\n$ ravu-calendar %s\n' "$1" >&2
        "$program" "$1" </dev/null
    fi
}

day() { date -u -d "$(date -u -d "+$1 days" +%F) $2 UTC" +%Y-%m-%dT%H:%M:%SZ; }  # day DAYS HH:MM
key='local|local|Calendar'

echo "store: $store" >&2
run status
run permission
run status
run calendars

# The host creates three items: a one-off, a weekly series and an all-day event.
created=$(run apply "{\"pending\":[
 {\"op\":\"create\",\"itemId\":\"item-1\",\"logicalKey\":\"$key\",\"title\":\"Dentist\",\"startsAt\":\"$(day 1 09:00)\",\"endsAt\":\"$(day 1 10:00)\"},
 {\"op\":\"create\",\"itemId\":\"item-2\",\"logicalKey\":\"$key\",\"title\":\"Standup\",\"startsAt\":\"$(day 1 08:00)\",\"endsAt\":\"$(day 1 08:15)\",\"recurrenceRule\":\"FREQ=WEEKLY;COUNT=3\"},
 {\"op\":\"create\",\"itemId\":\"item-3\",\"logicalKey\":\"$key\",\"title\":\"Holiday\",\"allDay\":true,\"startsAt\":\"$(day 3 00:00)\",\"endsAt\":\"$(day 5 00:00)\"}]}")
echo "$created"
id() { printf '%s' "$created" | grep -o "\"eventkitEventId\":\"[^\"]*\",\"itemId\":\"$1\"" | cut -d'"' -f4 | sed 's#\\/#/#g'; }

# It renames its first item, and moves the second week of the series as if it were another
# program's event (an occurrence edit, checked against the last-modified it saw).
snapshot=$(printf '{"logicalKeys":["%s"]}' "$key" | "$program" snapshot)
modified=$(printf '%s' "$snapshot" | grep -o '"lastModified":"[^"]*"' | head -n1 | cut -d'"' -f4)
run apply "{\"pending\":[
 {\"op\":\"update\",\"eventkitEventId\":\"$(id item-1)\",\"itemId\":\"item-1\",\"title\":\"Dentist (moved)\",\"startsAt\":\"$(day 1 11:00)\",\"endsAt\":\"$(day 1 12:00)\"},
 {\"op\":\"updateExternal\",\"eventkitEventId\":\"$(id item-2)\",\"occurrenceStart\":\"$(day 8 08:00)\",\"title\":\"Standup (late)\",\"startsAt\":\"$(day 8 09:30)\",\"endsAt\":\"$(day 8 09:45)\",\"baseLastModified\":\"$modified\"}]}"

run snapshot "{\"logicalKeys\":[\"$key\"]}"
