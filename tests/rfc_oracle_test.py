"""Recurrence against python-dateutil, the oracle for RFC 5545's rules (never libical): every
list of tests/cases/rfc5545-rules.json, then a few hundred generated series of the shapes libical
gets wrong or too slowly (WEEKLY with an INTERVAL, rules finer than a day with BY parts), each
read by the program's snapshot from a store and compared start by start."""
import datetime as dt, json, os, random, subprocess, sys, tempfile, zoneinfo
from dateutil import rrule

program, source = sys.argv[1], sys.argv[2]
failures = []

def expand(start, lines, tz, end):
    text = f"DTSTART;TZID={tz.key}:{start:%Y%m%dT%H%M%S}\n" + "\n".join(lines)
    rules = rrule.rrulestr(text, forceset=True)
    if not any(l.startswith("EXDATE") for l in lines):
        rules.rdate(start)  # DTSTART is always the first instance
    # The wall-clock starts, placed as RFC 5545 places a time in a gap: with the offset before it
    # (zoneinfo does; dateutil's own zones take the offset after it).
    return [s.replace(tzinfo=tz) for s in rules.between(start, end, inc=True)]

newYork = zoneinfo.ZoneInfo("America/New_York")
for e in json.load(open(os.path.join(source, "tests/cases/rfc5545-rules.json")))["examples"]:
    start = dt.datetime.strptime(e["start"], "%Y%m%dT%H%M%S").replace(tzinfo=newYork)
    end = dt.datetime.strptime(e["until"], "%Y%m%d").replace(tzinfo=newYork)
    if [s.strftime("%Y%m%dT%H%M%S") for s in expand(start, e["lines"], newYork, end)] != e["starts"]:
        failures.append(f"the data file differs from dateutil: {e['why']}")

pick = random.Random(20261207)
def subset(values, most):
    return ",".join(str(v) for v in sorted(pick.sample(values, pick.randint(1, most))))

def series(now):
    """A rule of one of those shapes and a DTSTART that matches it: the limits RFC 5545 leaves
    undefined for a DTSTART outside its rule are not what is tested here."""
    days = ["SU", "MO", "TU", "WE", "TH", "FR", "SA"]
    parts, limits = [], {}
    if pick.random() < 0.4:
        limits = {"BYDAY": pick.sample(range(7), pick.randint(1, 3)), "BYHOUR": [9]}
        if pick.random() < 0.5:
            limits[pick.choice(["BYMONTH", "BYHOUR"])] = pick.sample(range(1, 13), 6)
        parts = [f"FREQ=WEEKLY;INTERVAL={pick.randint(2, 5)};WKST={pick.choice(days)}"]
        zone, span = "America/New_York", 400
    else:
        freq = pick.choice(["HOURLY", "MINUTELY", "SECONDLY"])
        parts = [f"FREQ={freq};INTERVAL={pick.choice([1, 2, 5, 7, 25, 90])}"]
        limits = {"BYHOUR": pick.sample(range(24), 2)}
        if freq != "HOURLY":
            limits["BYMINUTE"] = pick.sample(range(60), 2)
        for part in pick.sample(["BYDAY", "BYMONTHDAY", "BYMONTH", "BYSECOND"], 2):
            limits[part] = pick.sample({"BYDAY": range(7), "BYMONTHDAY": range(1, 32),
                                        "BYMONTH": range(1, 13), "BYSECOND": range(60)}[part],
                                       {"BYDAY": 3, "BYMONTHDAY": 8, "BYMONTH": 6, "BYSECOND": 3}[part])
        zone, span = pick.choice(["UTC", "Europe/Berlin", "Asia/Tokyo"]), 20
    hour_limits = limits.get("BYHOUR", range(24))
    if parts[0].startswith("FREQ=WEEKLY") and "BYMONTH" not in limits:
        hour_limits = limits["BYHOUR"] = [9, 15] if limits["BYHOUR"] != [9] else [9]
    day = (now - dt.timedelta(days=pick.randint(0, 60))).date()
    for _ in range(800):  # a day the limits take, going back
        if ((day.isoweekday() % 7) in limits.get("BYDAY", range(7)) and day.day in limits.get("BYMONTHDAY", range(32))
                and day.month in limits.get("BYMONTH", range(13))):
            break
        day -= dt.timedelta(days=1)
    else:
        return None
    start = dt.datetime(day.year, day.month, day.day, pick.choice(list(hour_limits)),
                        pick.choice(limits.get("BYMINUTE", [0])), pick.choice(limits.get("BYSECOND", [0])),
                        tzinfo=zoneinfo.ZoneInfo(zone))
    for part, values in limits.items():
        parts.append(f"{part}=" + ",".join(days[v] if part == "BYDAY" else str(v) for v in sorted(values)))
    parts.append(pick.choice(["COUNT=" + str(pick.randint(1, 300)), "UNTIL=" + (start + dt.timedelta(
        days=pick.randint(1, span))).astimezone(dt.timezone.utc).strftime("%Y%m%dT%H%M%SZ")]))
    return start, ["RRULE:" + ";".join(parts)]

now = dt.datetime.now(dt.timezone.utc)
low, high = now - dt.timedelta(days=29), now + dt.timedelta(days=399)
expected = {}
with tempfile.TemporaryDirectory() as root:
    os.makedirs(os.path.join(root, "local", "cal"))
    for n in range(300):
        made = series(now)
        if made is None:
            continue
        first, lines = made
        with open(os.path.join(root, "local", "cal", f"r{n}.ics"), "w") as f:
            f.write("\r\n".join(["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//oracle//EN", "BEGIN:VEVENT",
                                 f"UID:r{n}", f"DTSTART;TZID={first.tzinfo.key}:{first:%Y%m%dT%H%M%S}",
                                 "DURATION:PT1S"] + lines + ["END:VEVENT", "END:VCALENDAR", ""]))
        expected[f"local/cal/r{n}"] = ([s.astimezone(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
                                        for s in expand(first, lines, first.tzinfo, high) if low <= s < high],
                                       lines[0])
    run = subprocess.run([program, "snapshot"], input=b'{"logicalKeys":["local|local|cal"]}',
                         capture_output=True, env=dict(os.environ, RAVU_CALENDAR_STORE=root), timeout=300)
    found = {}
    for record in json.loads(run.stdout)["feeds"]["local|local|cal"]:
        if low.strftime("%FT%TZ") <= record["startsAt"] < high.strftime("%FT%TZ"):
            found.setdefault(record["uid"], []).append(record["startsAt"])
    for uid, (starts, line) in expected.items():
        if sorted(found.get(uid, [])) != starts:
            failures.append(f"{uid} {line}: ours {sorted(found.get(uid, []))[:4]}, dateutil's {starts[:4]}")
print("\n".join(failures[:20]) or f"{len(expected)} generated series agree with dateutil")
sys.exit(1 if failures else 0)
