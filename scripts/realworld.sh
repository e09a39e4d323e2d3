#!/usr/bin/env bash
# Reads the .ics files that Debian packages ship (python3-icalendar's test files, and those of
# the packages named in REALWORLD_PACKAGES, fetched with apt-get download into a temporary
# folder), split into one vdir item per UID with their events moved into the snapshot window,
# and compares each item's snapshot with python recurring-ical-events in three zones.
#   scripts/realworld.sh            prints the agreement per zone and the first differences
# Nothing fetched is kept: every file lives in a temporary folder removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(bash scripts/release.sh)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/debs" "$work/root" "$work/files"

# The comparing engine and its one dependency Debian 12 lacks, unpacked, not installed.
packages=(python3-recurring-ical-events python3-x-wr-timezone ${REALWORLD_PACKAGES:-})
for p in "${packages[@]}"; do
    (cd "$work/debs" && timeout 300 apt-get download -qq "$p" >/dev/null 2>&1) || echo "realworld: could not fetch $p" >&2
done
for deb in "$work"/debs/*.deb; do
    [ -e "$deb" ] && dpkg -x "$deb" "$work/root"
done

i=0
while IFS= read -r f; do
    i=$((i + 1))
    cp "$f" "$work/files/$i-$(basename "$f")"
done < <({ dpkg -L python3-icalendar; find "$work/root" -type f; } | grep -i '\.ics$' | sort -u | while IFS= read -r f; do [ -f "$f" ] && echo "$f"; done)
echo "realworld: $i files"

today=$(date -u +%F)
export PYTHONPATH="$work/root/usr/lib/python3/dist-packages${PYTHONPATH:+:$PYTHONPATH}"
timeout 3600 /usr/bin/python3 - "$program" "$work" "$today" <<'EOF'
import datetime as dt, json, os, re, subprocess, sys, zoneinfo
import icalendar, recurring_ical_events

program, work, today = sys.argv[1], sys.argv[2], dt.date.fromisoformat(sys.argv[3])
zones = ["UTC", "America/New_York", "Europe/Berlin"]
stamp = re.compile(r"(?<![0-9])([0-9]{8})(T[0-9]{6}Z?)?(?![0-9])")
moved = ("DTSTART", "DTEND", "DUE", "RECURRENCE-ID", "EXDATE", "RDATE", "RRULE")

def items(text):
    """One item per UID: its VEVENTs with every VTIMEZONE of the file, dates moved by whole weeks
    so that the first start falls a week after today (both engines read the same text)."""
    unfolded = re.sub(r"\r?\n[ \t]", "", text)
    lines = unfolded.splitlines()
    zones_text, events, block, kind = [], {}, [], None
    for line in lines:
        upper = line.upper()
        if kind is None and upper.startswith("BEGIN:") and upper[6:] in ("VTIMEZONE", "VEVENT"):
            kind, block = upper[6:], []
        if kind:
            block.append(line)
            if upper == "END:" + kind:
                if kind == "VTIMEZONE":
                    zones_text += block
                else:
                    # Components without a UID are items of their own.
                    uid = next((l[4:] for l in block if l.upper().startswith("UID:")),
                               f"(no UID #{len(events)})")
                    events.setdefault(uid, []).extend(block)
                kind = None
    for uid, block in events.items():
        first = None
        for l in block:
            if l.upper().startswith("DTSTART"):
                m = stamp.search(l.split(":", 1)[-1])
                if m:
                    first = dt.datetime.strptime(m.group(1), "%Y%m%d").date()
                    break
        if first is None:
            continue
        shift = dt.timedelta(weeks=((today - first).days + 7) // 7)
        def move(m):
            try:
                day = dt.datetime.strptime(m.group(1), "%Y%m%d").date() + shift
            except ValueError:
                return m.group(0)
            return day.strftime("%Y%m%d") + (m.group(2) or "")
        out = []
        for l in block:
            name = re.split("[;:]", l, 1)[0].upper()
            if name in moved and ":" in l:
                head, value = l.split(":", 1)
                l = head + ":" + stamp.sub(move, value)
            out.append(l)
        yield uid, "\r\n".join(["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//realworld//EN"]
                               + zones_text + out + ["END:VCALENDAR"]) + "\r\n"

def ours(path, zone):
    env = dict(os.environ, RAVU_CALENDAR_STORE=os.path.join(work, "store"), TZ=zone)
    run = subprocess.run([program, "snapshot"], input=b'{"logicalKeys":["local|local|calendar"]}',
                         capture_output=True, env=env, timeout=60)
    doc = json.loads(run.stdout)
    return sorted(r["startsAt"] for r in doc["feeds"].get("local|local|calendar", []))

def theirs(text, zone, lo, hi):
    tz = zoneinfo.ZoneInfo(zone)
    starts = []
    for e in recurring_ical_events.of(icalendar.Calendar.from_ical(text)).between(lo, hi):
        s = e["DTSTART"].dt
        if not isinstance(s, dt.datetime):
            s = dt.datetime.combine(s, dt.time(), tz)
        elif s.tzinfo is None:
            s = s.replace(tzinfo=tz)
        starts.append(s.astimezone(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"))
    return sorted(starts)

results = {z: [0, 0, 0] for z in zones}   # agree, differ, other engine failed
differences = []
files = sorted(os.listdir(os.path.join(work, "files")))
calendar = os.path.join(work, "store", "local", "calendar")
for name in files:
    text = open(os.path.join(work, "files", name), encoding="utf-8", errors="replace").read()
    for n, (uid, item) in enumerate(items(text)):
        os.makedirs(calendar, exist_ok=True)
        for old in os.listdir(calendar):
            os.remove(os.path.join(calendar, old))
        path = os.path.join(calendar, f"item{n}.ics")
        open(path, "w", encoding="utf-8").write(item)
        for zone in zones:
            tz = zoneinfo.ZoneInfo(zone)
            # Inside the window by a day at each end, so its edges do not count.
            lo = dt.datetime.combine(today - dt.timedelta(days=29), dt.time(), tz)
            hi = dt.datetime.combine(today + dt.timedelta(days=399), dt.time(), tz)
            inside = lambda s: lo <= dt.datetime.strptime(s, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=dt.timezone.utc) < hi
            try:
                a = [s for s in ours(path, zone) if inside(s)]
            except Exception as e:
                a = [f"failed: {e}"]
            try:
                b = [s for s in theirs(item, zone, lo, hi) if inside(s)]
            except Exception as e:
                results[zone][2] += 1
                continue
            if a == b:
                results[zone][0] += 1
            else:
                results[zone][1] += 1
                differences.append((name, uid, zone, a[:3], len(a), b[:3], len(b)))
for zone, (agree, differ, failed) in results.items():
    total = agree + differ
    print(f"{zone:18} {agree}/{total} items agree ({100 * agree / max(total, 1):.0f}%), "
          f"{failed} the other engine could not read")
for d in differences[:40]:
    print("differs: {} uid={} {}: ours {} ({}), theirs {} ({})".format(*d))
EOF
