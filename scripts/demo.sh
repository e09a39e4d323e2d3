#!/usr/bin/env bash
# Installs what the build needs, builds, and runs the program's main job against a throw-away
# store in a temporary folder, showing each command and the JSON it printed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target ravu-calendar >/dev/null

store=$(mktemp -d)/ravu-calendar
trap 'rm -rf "$(dirname "$store")"' EXIT
export RAVU_CALENDAR_STORE="$store"
program=$PWD/build/ravu-calendar

run() {  # run WORD [REQUEST]
    if [ $# -ge 2 ]; then
        printf '\n$ echo %q | ravu-calendar %s\n' "$2" "$1"
        printf '%s' "$2" | "$program" "$1"
    else
        printf '\n$ ravu-calendar %s\n' "$1"
        "$program" "$1" </dev/null
    fi
}

echo "store: $store"
run status
run permission
run status
