#!/usr/bin/env python3
# Joins the event files of a vdir folder into one calendar file, each zone once, as a calendar
# service keeps a local calendar: the benchmarks' service stores start from it.
#   bench/one_calendar.py FOLDER FILE
import os, sys
zones, events = {}, []


def blocks(text, kind):
    start = 0
    while (at := text.find("BEGIN:" + kind, start)) >= 0:
        start = text.index("END:" + kind, at) + len("END:" + kind)
        yield text[at:start]


for name in sorted(os.listdir(sys.argv[1])):
    text = open(os.path.join(sys.argv[1], name), encoding="utf-8").read().replace("\r\n", "\n")
    for zone in blocks(text, "VTIMEZONE"):
        zones[zone.split("TZID:", 1)[1].split("\n", 1)[0]] = zone
    events.extend(blocks(text, "VEVENT"))
with open(sys.argv[2], "w", encoding="utf-8", newline="\r\n") as out:
    out.write("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//ravu//bench//EN\n")
    out.write("\n".join(list(zones.values()) + events) + "\nEND:VCALENDAR\n")
