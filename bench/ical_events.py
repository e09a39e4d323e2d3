#!/usr/bin/python3
"""Reads every event of a directory store over the snapshot window with python
recurring-ical-events, the peer engine the benchmark sets beside the program's snapshot.

    ical_events.py STORE [PAST_DAYS FUTURE_DAYS]

Each .ics file is parsed and expanded on its own, as a vdir reader must; prints the number of
events and occurrences found, and of files the engine could not read.
"""

import datetime as dt
import os
import sys

import icalendar
import recurring_ical_events


def main():
    store = sys.argv[1]
    past, future = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (30, 400)
    now = dt.datetime.now(dt.timezone.utc)
    start, end = now - dt.timedelta(days=past), now + dt.timedelta(days=future)
    found = failed = 0
    for folder, subfolders, names in os.walk(store):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
        for name in sorted(names):
            if name.startswith(".") or not name.endswith(".ics"):
                continue
            with open(os.path.join(folder, name), "rb") as f:
                text = f.read()
            try:
                calendar = icalendar.Calendar.from_ical(text)
                found += len(recurring_ical_events.of(calendar).between(start, end))
            except Exception:  # a file the engine rejects counts, and the reading goes on
                failed += 1
    print(f"{found} events and occurrences, {failed} files not read")


if __name__ == "__main__":
    main()
