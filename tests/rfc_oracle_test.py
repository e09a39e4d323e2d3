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
ranges = {"BYDAY": range(7), "BYMONTHDAY": range(1, 32), "BYMONTH": range(1, 13), "BYSECOND": range(60),
          "BYMINUTE": range(60), "BYHOUR": range(24)}

def series(now):
    """A rule of one of those shapes and a DTSTART that matches it: the limits RFC 5545 leaves
    undefined for a DTSTART outside its rule are not what is tested here."""
    days = ["SU", "MO", "TU", "WE", "TH", "FR", "SA"]
    if pick.random() < 0.4:
        limits = {"BYDAY": pick.sample(range(7), pick.randint(1, 3)), "BYHOUR": pick.choice([[9], [9, 15]])}
        limits.update(pick.choice([{}, {"BYMONTH": pick.sample(range(1, 13), 6)}]))
        parts = [f"FREQ=WEEKLY;INTERVAL={pick.randint(2, 5)};WKST={pick.choice(days)}"]
        zone, span = "America/New_York", 400
    else:
        freq = pick.choice(["HOURLY", "MINUTELY", "SECONDLY"])
        parts = [f"FREQ={freq};INTERVAL={pick.choice([1, 2, 5, 7, 25, 90])}"]
        names = ["BYHOUR"] + (["BYMINUTE"] if freq != "HOURLY" else [])
        names += pick.sample(["BYDAY", "BYMONTHDAY", "BYMONTH", "BYSECOND"], 2)
        limits = {n: pick.sample(ranges[n], {"BYMONTHDAY": 8, "BYMONTH": 6}.get(n, 2)) for n in names}
        zone, span = pick.choice(["UTC", "Europe/Berlin", "Asia/Tokyo"]), 20
    day = (now - dt.timedelta(days=pick.randint(0, 60))).date()
    for _ in range(3000):  # a day the limits take, going back
        if all(v in limits.get(n, ranges[n]) for n, v in
               (("BYDAY", day.isoweekday() % 7), ("BYMONTHDAY", day.day), ("BYMONTH", day.month))):
            break
        day -= dt.timedelta(days=1)
    start = dt.datetime(day.year, day.month, day.day, *(pick.choice(limits.get(n, [0]))
                        for n in ("BYHOUR", "BYMINUTE", "BYSECOND")), tzinfo=zoneinfo.ZoneInfo(zone))
    parts += [f"{n}=" + ",".join(days[v] if n == "BYDAY" else str(v) for v in sorted(vs)) for n, vs in limits.items()]
    parts.append(pick.choice(["COUNT=" + str(pick.randint(1, 300)), "UNTIL=" + (start + dt.timedelta(
        days=pick.randint(1, span))).astimezone(dt.timezone.utc).strftime("%Y%m%dT%H%M%SZ")]))
    return start, ["RRULE:" + ";".join(parts)]

now = dt.datetime.now(dt.timezone.utc)
low, high = now - dt.timedelta(days=29), now + dt.timedelta(days=399)
expected = {}
with tempfile.TemporaryDirectory() as root:
    os.makedirs(os.path.join(root, "local", "cal"))
    for n in range(300):
        first, lines = series(now)
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
