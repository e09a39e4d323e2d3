#!/usr/bin/env bash
# A store file whose TZIDs name paths (../../etc/passwd, Europe/../../etc/shadow) must not make
# the program touch anything outside the store but the zone database, /etc/localtime, libraries
# and /dev/urandom, whatever it runs, nor write such a TZID back. strace watches every file-name
# system call: glibc opens zone files itself, so a preloaded wrapper would miss them.
#   no_escape_test.sh PROGRAM HOSTILE_CASES_DIR
# Exits 77 (skipped) where strace or python3 is missing or ptrace is denied.
set -euo pipefail
program=$(realpath "$1")
cases=$(realpath "$2")

command -v strace >/dev/null && command -v python3 >/dev/null || { echo "strace or python3 missing"; exit 77; }
strace -f -qq -o /dev/null true 2>/dev/null || { echo "ptrace is denied here"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/store
mkdir -p "$root/local/calendar" "$root/local/other" "$work/cwd"
cp "$cases/tzid-path-passwd.ics" "$cases/tzid-path-shadow.ics" "$root/local/calendar/"
# A TZID that leads from the zone database to a FIFO: opening it would block the run for good.
mkfifo "$work/fifo"
fifo_tzid=../../..$work/fifo
sed "s#../../../../../../etc/passwd#$fifo_tzid#g; s#UID:tzid-path-passwd#UID:tzid-path-fifo#" \
    "$cases/tzid-path-passwd.ics" >"$root/local/calendar/tzid-path-fifo.ics"
# LeakSanitizer cannot run under ptrace.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

failed=0
count=0
traced() {  # traced WORD REQUEST: runs the program under strace, output in $work/out
    count=$((count + 1))
    local status=0
    (cd "$work/cwd" && printf '%s' "$2" | RAVU_CALENDAR_STORE="$root" TZ=Europe/Berlin timeout -k 5 60 \
        strace -f -qq -y -s 4096 -e trace=%file -e signal=none -o "$work/trace.$count" \
        "$program" "$1" >"$work/out" 2>"$work/err") || status=$?
    if [ "$status" -ne 0 ]; then
        echo "FAIL: $1 exited with status $status: $(head -c 300 "$work/err")"
        failed=1
    fi
}
tzid_lines() { cat "$root"/local/*/*.ics | grep -c -e 'etc/passwd' -e 'etc/shadow' -e "$fifo_tzid" || true; }
before=$(tzid_lines)
traced snapshot '{"logicalKeys":["local|local|calendar","local|local|other"]}'
start=2026-12-11T09:00:00Z  # the second occurrence of both series, in Berlin
traced apply '{"pending":[{"op":"create","itemId":"no-escape","logicalKey":"local|local|other","title":"New","startsAt":"2026-12-20T09:00:00Z","endsAt":"2026-12-20T10:00:00Z","recurrenceRule":"FREQ=DAILY;COUNT=2"}]}'
traced apply "{\"pending\":[{\"op\":\"deleteExternal\",\"eventkitEventId\":\"local/calendar/tzid-path-passwd\",\"occurrenceStart\":\"$start\"}]}"
traced apply "{\"pending\":[{\"op\":\"updateExternal\",\"eventkitEventId\":\"local/calendar/tzid-path-shadow\",\"occurrenceStart\":\"$start\",\"title\":\"Moved\",\"startsAt\":\"$start\",\"endsAt\":\"$start\"}]}"
traced apply '{"pending":[{"op":"update","eventkitEventId":"local/calendar/tzid-path-shadow","itemId":"no-escape-2","title":"Updated","startsAt":"2026-12-21T09:00:00Z","endsAt":"2026-12-21T10:00:00Z","recurrenceRule":"FREQ=WEEKLY;COUNT=3"}]}'
after=$(tzid_lines)
if [ "$after" -gt "$before" ]; then
    echo "FAIL: a save wrote a TZID naming a path ($before lines before, $after after):"
    grep -h -e 'etc/passwd' -e 'etc/shadow' -e "$fifo_tzid" "$root"/local/*/*.ics
    failed=1
fi

python3 - "$program" "$root" "$work/cwd" "$work"/trace.* <<'EOF' || failed=1
import os, re, sys

program, root, cwd = sys.argv[1:4]
allowed = [root, "/usr/share/zoneinfo", "/usr/share/zoneinfo-icu", "/usr/lib/zoneinfo",
           "/usr/share/lib/zoneinfo", "/etc/zoneinfo", "/etc/localtime",
           "/lib", "/lib64", "/usr/lib", "/usr/lib64", "/etc/ld.so.cache", "/etc/ld.so.preload",
           "/usr/share/locale", "/usr/share/icu", "/dev/urandom", "/proc/self", "/proc/thread-self"]
call = re.compile(r"^\d+ +(\w+)\((.*)")
argument = re.compile(r'(?:(?:AT_FDCWD|\d+)<([^>]*)>, )?"((?:[^"\\]|\\.)*)"')

looks = {"stat", "lstat", "newfstatat", "statx", "access", "faccessat", "faccessat2", "readlink",
         "readlinkat"}

def inside(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")

escapes = set()
for trace in sys.argv[4:]:
    for line in open(trace, errors="replace"):
        m = call.match(line)
        if not m:
            continue
        name, args = m.groups()
        found = argument.findall(args)
        if name.startswith("execve"):
            found = found[:1]
        for directory, path in found:
            path = path.replace('\\"', '"').replace("\\\\", "\\")
            if not path:
                continue  # AT_EMPTY_PATH: the descriptor, already checked when it was opened
            full = os.path.normpath(os.path.join(directory or cwd, path))
            if full == program or re.match(r"/proc/\d+(/|$)", full):
                continue
            # Resolving a path looks at each folder on the way to it (realpath).
            if name in looks and any(inside(top, full) for top in allowed):
                continue
            if not any(inside(full, top) for top in allowed):
                escapes.add(f"{full}  ({name}: {path})")
for e in sorted(escapes):
    print("FAIL: touched outside the store:", e)
sys.exit(1 if escapes else 0)
EOF

if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "no path outside the store touched in $count runs"
