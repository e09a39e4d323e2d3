#!/usr/bin/env bash
# Writes the hostile item files that are too big to keep in the repository into OUT_DIR:
#   generate.sh OUT_DIR
set -euo pipefail
out=${1:?usage: generate.sh OUT_DIR}
mkdir -p "$out"

head_='BEGIN:VCALENDAR
VERSION:2.0
PRODID:-//ravu-calendar tests//hostile//EN'

# A zone of 20,000 yearly observances: each is harmless, their number is not.
{
    printf '%s\nBEGIN:VTIMEZONE\nTZID:Hostile/Many\n' "$head_"
    awk 'BEGIN { for (i = 0; i < 20000; i++) {
        kind = (i % 2) ? "DAYLIGHT" : "STANDARD"
        printf "BEGIN:%s\nDTSTART:%04d0301T020000\nTZOFFSETFROM:+0100\nTZOFFSETTO:+0200\nRRULE:FREQ=YEARLY;BYMONTH=%d;BYDAY=-1SU\nEND:%s\n",
            kind, 1601 + (i % 400), 1 + (i % 12), kind } }'
    printf 'END:VTIMEZONE\nBEGIN:VEVENT\nUID:vtimezone-20000\nDTSTAMP:20261201T000000Z\n'
    printf 'DTSTART;TZID=Hostile/Many:20261210T100000\nDTEND;TZID=Hostile/Many:20261210T110000\n'
    printf 'RRULE:FREQ=WEEKLY;COUNT=10\nSUMMARY:Zone with 20,000 observances\nEND:VEVENT\nEND:VCALENDAR\n'
} > "$out/vtimezone-20000-observances.ics"

# A daily series with 40,000 extra dates, every 15 minutes from the window's start.
{
    printf '%s\nBEGIN:VEVENT\nUID:rdates-40000\nDTSTAMP:20261201T000000Z\n' "$head_"
    printf 'DTSTART:20261201T000000Z\nDTEND:20261201T000500Z\nRRULE:FREQ=DAILY;COUNT=30\n'
    awk 'BEGIN { start = 1796083200   # 2026-12-01T00:00:00Z
        for (i = 1; i <= 40000; i++) print "RDATE:" strftime("%Y%m%dT%H%M%SZ", start + i * 900 + 60, 1) }'
    printf 'SUMMARY:Series with 40,000 RDATEs\nEND:VEVENT\nEND:VCALENDAR\n'
} > "$out/rdates-40000.ics"

# One unfolded 4 MB line.
{
    printf '%s\nBEGIN:VEVENT\nUID:long-line\nDTSTAMP:20261201T000000Z\n' "$head_"
    printf 'DTSTART:20261210T100000Z\nDTEND:20261210T110000Z\nSUMMARY:One 4 MB line\nDESCRIPTION:'
    head -c $((4 * 1024 * 1024)) /dev/zero | tr '\0' 'x'
    printf '\nEND:VEVENT\nEND:VCALENDAR\n'
} > "$out/long-line-4mb.ics"
