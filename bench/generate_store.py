#!/usr/bin/env python3
"""Writes a synthetic directory store for benchmarks.

    generate_store.py OUT_DIR EVENTS [--seed N] [--now YYYY-MM-DD]

The store has three sources and seven calendars. Events spread from two years before "now" to
eighteen months after it; about one in ten repeats (a mix of weekly, daily, monthly, yearly and
BYSETPOS rules, some with EXDATE and a changed occurrence). Times come in every form other
clients write: UTC, TZID with the zone's VTIMEZONE, floating, and all-day dates.
"""

import argparse
import datetime as dt
import os
import random
import sys

CALENDARS = [
    ("local", None, "home", "Home", "#1BADF8"),
    ("local", None, "family", "Family", "#63DA38"),
    ("local", None, "birthdays", "Birthdays", None),
    ("work", "caldav", "team", "Team", "#FF2968"),
    ("work", "caldav", "projects", "Projects", "#CC73E1"),
    ("work", "caldav", "rooms", "Rooms", None),
    ("holidays", "subscribed", "public", "Public holidays", "#A2845E"),
]

VTIMEZONES = {
    "Europe/Berlin": """BEGIN:VTIMEZONE
TZID:Europe/Berlin
BEGIN:DAYLIGHT
TZOFFSETFROM:+0100
TZOFFSETTO:+0200
TZNAME:CEST
DTSTART:19700329T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:+0200
TZOFFSETTO:+0100
TZNAME:CET
DTSTART:19701025T030000
RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU
END:STANDARD
END:VTIMEZONE
""",
    "America/New_York": """BEGIN:VTIMEZONE
TZID:America/New_York
BEGIN:DAYLIGHT
TZOFFSETFROM:-0500
TZOFFSETTO:-0400
TZNAME:EDT
DTSTART:19700308T020000
RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU
END:DAYLIGHT
BEGIN:STANDARD
TZOFFSETFROM:-0400
TZOFFSETTO:-0500
TZNAME:EST
DTSTART:19701101T020000
RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU
END:STANDARD
END:VTIMEZONE
""",
}

RULES = [
    "FREQ=WEEKLY;BYDAY=MO,WE",
    "FREQ=WEEKLY;INTERVAL=2;BYDAY=TU",
    "FREQ=DAILY;COUNT=10",
    "FREQ=DAILY;INTERVAL=3",
    "FREQ=MONTHLY;BYMONTHDAY=15",
    "FREQ=MONTHLY;BYDAY=-1FR",
    "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1",
    "FREQ=YEARLY",
    "FREQ=WEEKLY;BYDAY=TH;UNTIL={until}",
]

WORDS = "review planning lunch call sync dentist gym standup retro demo dinner trip".split()
PLACES = ["", "", "Room 1", "Café Müller", "Online", "Main Street 5"]


def stamp(moment):
    return moment.strftime("%Y%m%dT%H%M%S")


def event_text(rng, uid, now):
    start_day = now.date() + dt.timedelta(days=rng.randint(-730, 540))
    kind = rng.random()
    zone = None
    lines = [f"UID:{uid}", "DTSTAMP:20240101T000000Z", "LAST-MODIFIED:20240101T000000Z"]
    lines.append(f"SUMMARY:{rng.choice(WORDS).capitalize()} {rng.choice(WORDS)}")
    place = rng.choice(PLACES)
    if place:
        lines.append(f"LOCATION:{place}")
    if kind < 0.15:
        days = rng.choice([1, 1, 1, 2, 3])
        lines.append(f"DTSTART;VALUE=DATE:{start_day.strftime('%Y%m%d')}")
        end_day = start_day + dt.timedelta(days=days)
        lines.append(f"DTEND;VALUE=DATE:{end_day.strftime('%Y%m%d')}")
        form = "date"
    else:
        start = dt.datetime.combine(start_day, dt.time(rng.randint(7, 19), rng.choice([0, 15, 30])))
        end = start + dt.timedelta(minutes=rng.choice([30, 45, 60, 90, 120]))
        if kind < 0.45:
            lines.append(f"DTSTART:{stamp(start)}Z")
            lines.append(f"DTEND:{stamp(end)}Z")
            form = "utc"
        elif kind < 0.9:
            zone = "Europe/Berlin" if kind < 0.75 else "America/New_York"
            lines.append(f"DTSTART;TZID={zone}:{stamp(start)}")
            lines.append(f"DTEND;TZID={zone}:{stamp(end)}")
            form = "zone"
        else:
            lines.append(f"DTSTART:{stamp(start)}")
            lines.append(f"DURATION:PT{rng.choice([30, 60])}M")
            form = "floating"

    override = []
    if rng.random() < 0.1:
        rule = rng.choice(RULES)
        until = (start_day + dt.timedelta(days=400)).strftime("%Y%m%d")
        until = until if form == "date" else until + "T000000Z"
        lines.append("RRULE:" + rule.format(until=until))
        if form == "zone" and rng.random() < 0.3:
            # Skip the second instance and move the third by an hour.
            if rule.startswith("FREQ=DAILY"):
                step = 1 if "INTERVAL" not in rule else 3
                second = start + dt.timedelta(days=step)
                third = start + dt.timedelta(days=2 * step)
                lines.append(f"EXDATE;TZID={zone}:{stamp(second)}")
                override = [
                    f"UID:{uid}",
                    "DTSTAMP:20240101T000000Z",
                    f"RECURRENCE-ID;TZID={zone}:{stamp(third)}",
                    f"DTSTART;TZID={zone}:{stamp(third + dt.timedelta(hours=1))}",
                    f"DTEND;TZID={zone}:{stamp(third + dt.timedelta(hours=2))}",
                    "SUMMARY:Moved",
                ]

    parts = ["BEGIN:VCALENDAR", "VERSION:2.0", "PRODID:-//ravu//bench//EN"]
    text = "\r\n".join(parts) + "\r\n"
    if zone:
        text += VTIMEZONES[zone].replace("\n", "\r\n")
    text += "BEGIN:VEVENT\r\n" + "\r\n".join(lines) + "\r\nEND:VEVENT\r\n"
    if override:
        text += "BEGIN:VEVENT\r\n" + "\r\n".join(override) + "\r\nEND:VEVENT\r\n"
    return text + "END:VCALENDAR\r\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("events", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--now", default=None, help="YYYY-MM-DD; default today")
    args = parser.parse_args()

    now = dt.datetime.now() if args.now is None else dt.datetime.fromisoformat(args.now)
    rng = random.Random(args.seed)
    if os.path.exists(args.out) and os.listdir(args.out):
        sys.exit(f"{args.out} exists and is not empty")

    folders = []
    for source, kind, calendar, title, color in CALENDARS:
        source_dir = os.path.join(args.out, source)
        folder = os.path.join(source_dir, calendar)
        os.makedirs(folder, exist_ok=True)
        if kind:
            with open(os.path.join(source_dir, "type"), "w") as f:
                f.write(kind + "\n")
        with open(os.path.join(folder, "displayname"), "w") as f:
            f.write(title + "\n")
        if color:
            with open(os.path.join(folder, "color"), "w") as f:
                f.write(color + "\n")
        folders.append(folder)

    # Calendars get uneven shares, as real ones do.
    weights = [30, 10, 2, 25, 20, 8, 5]
    for n in range(args.events):
        folder = rng.choices(folders, weights)[0]
        uid = f"bench-{n:07d}-{rng.getrandbits(32):08x}"
        with open(os.path.join(folder, uid + ".ics"), "w", newline="") as f:
            f.write(event_text(rng, uid, now))


if __name__ == "__main__":
    main()
