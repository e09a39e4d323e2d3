#!/usr/bin/env python3
"""Writes the apply requests of the write benchmarks for a generated store.

    apply_requests.py STORE PROGRAM OUT_DIR

apply-creates.json: 1,000 creates of host items in the store's first writable calendar.
apply-edits.json: 1,000 edits of single occurrences of recurring events, as a host sends them
after a snapshot (occurrence start and last-modified taken from that snapshot).
"""

import datetime as dt
import json
import os
import subprocess
import sys


def run(program, store, word, request=None):
    env = dict(os.environ, RAVU_CALENDAR_STORE=store)
    done = subprocess.run([program, word], input=json.dumps(request or {}).encode(),
                          env=env, capture_output=True, check=True)
    return json.loads(done.stdout)


def main():
    store, program, out = sys.argv[1:4]
    calendars = run(program, store, "calendars")["calendars"]
    writable = [c["logicalKey"] for c in calendars if c["writable"]]
    start = dt.datetime.now(dt.timezone.utc).replace(minute=0, second=0, microsecond=0)

    creates = []
    for i in range(1000):
        begins = start + dt.timedelta(hours=3 * i)
        creates.append({
            "op": "create", "itemId": f"bench-{i}", "logicalKey": writable[i % len(writable)],
            "title": f"Item {i}", "startsAt": begins.strftime("%Y-%m-%dT%H:%M:%SZ"),
            "endsAt": (begins + dt.timedelta(minutes=45)).strftime("%Y-%m-%dT%H:%M:%SZ"),
        })
    with open(os.path.join(out, "apply-creates.json"), "w") as f:
        json.dump({"pending": creates}, f)

    feeds = run(program, store, "snapshot", {"logicalKeys": writable})["feeds"]
    seen = {}
    for records in feeds.values():
        for record in records:
            seen.setdefault(record["uid"], []).append(record)
    occurrences = [r for rs in seen.values() if len(rs) > 1 for r in rs]
    edits = []
    for record in occurrences[:1000]:
        edit = {"op": "updateExternal", "eventkitEventId": record["uid"],
                "occurrenceStart": record["startsAt"], "allDay": record["allDay"],
                "title": record["title"] + " (moved)", "startsAt": record["startsAt"]}
        if "endsAt" in record:
            edit["endsAt"] = record["endsAt"]
        if "lastModified" in record:
            edit["baseLastModified"] = record["lastModified"]
        edits.append(edit)
    with open(os.path.join(out, "apply-edits.json"), "w") as f:
        json.dump({"pending": edits}, f)
    print(f"{len(creates)} creates, {len(edits)} occurrence edits", file=sys.stderr)


if __name__ == "__main__":
    main()
