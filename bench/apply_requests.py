#!/usr/bin/env python3
"""Writes the apply requests of the write benchmarks on standard output.

    apply_requests.py creates STORE PROGRAM COUNT
        COUNT creates of host items, spread over the store's writable calendars.
    apply_requests.py updates CREATES RESULT
        One update of each host item that the creates request CREATES made, as the program's
        answer RESULT to it names them: new title, an hour later.
    apply_requests.py edits STORE PROGRAM COUNT
        COUNT edits of single occurrences of recurring events, as a host sends them after a
        snapshot (occurrence start and last-modified taken from that snapshot).
"""

import datetime as dt
import json
import os
import subprocess
import sys

STAMP = "%Y-%m-%dT%H:%M:%SZ"


def run(program, store, word, request=None):
    env = dict(os.environ, RAVU_CALENDAR_STORE=store)
    done = subprocess.run([program, word], input=json.dumps(request or {}).encode(),
                          env=env, capture_output=True, check=True)
    return json.loads(done.stdout)


def writable(program, store):
    calendars = run(program, store, "calendars")["calendars"]
    return [c["logicalKey"] for c in calendars if c["writable"]]


def creates(store, program, count):
    keys = writable(program, store)
    start = dt.datetime.now(dt.timezone.utc).replace(minute=0, second=0, microsecond=0)
    pending = []
    for i in range(count):
        begins = start + dt.timedelta(hours=3 * i)
        pending.append({
            "op": "create", "itemId": f"bench-{i}", "logicalKey": keys[i % len(keys)],
            "title": f"Item {i}", "startsAt": begins.strftime(STAMP),
            "endsAt": (begins + dt.timedelta(minutes=45)).strftime(STAMP),
        })
    return pending


def updates(creates_file, result_file):
    with open(creates_file) as f:
        made = {c["itemId"]: c for c in json.load(f)["pending"]}
    with open(result_file) as f:
        written = json.load(f)["writes"]
    later = dt.timedelta(hours=1)
    pending = []
    for write in written:
        create = made.get(write["itemId"])
        if write.get("status") != "applied" or not create:
            continue
        begins = dt.datetime.strptime(create["startsAt"], STAMP) + later
        ends = dt.datetime.strptime(create["endsAt"], STAMP) + later
        pending.append({
            "op": "update", "itemId": write["itemId"], "eventkitEventId": write["eventkitEventId"],
            "title": create["title"] + " (updated)", "startsAt": begins.strftime(STAMP),
            "endsAt": ends.strftime(STAMP),
        })
    return pending


def edits(store, program, count):
    feeds = run(program, store, "snapshot", {"logicalKeys": writable(program, store)})["feeds"]
    seen = {}
    for records in feeds.values():
        for record in records:
            seen.setdefault(record["uid"], []).append(record)
    occurrences = [r for rs in seen.values() if len(rs) > 1 for r in rs]
    pending = []
    for record in occurrences[:count]:
        edit = {"op": "updateExternal", "eventkitEventId": record["uid"],
                "occurrenceStart": record["startsAt"], "allDay": record["allDay"],
                "title": record["title"] + " (moved)", "startsAt": record["startsAt"]}
        if "endsAt" in record:
            edit["endsAt"] = record["endsAt"]
        if "lastModified" in record:
            edit["baseLastModified"] = record["lastModified"]
        pending.append(edit)
    return pending


def main():
    kind, args = sys.argv[1], sys.argv[2:]
    if kind == "creates":
        pending = creates(args[0], args[1], int(args[2]))
    elif kind == "updates":
        pending = updates(args[0], args[1])
    elif kind == "edits":
        pending = edits(args[0], args[1], int(args[2]))
    else:
        sys.exit(__doc__)
    json.dump({"pending": pending}, sys.stdout)
    print(f"apply_requests.py: {len(pending)} {kind}", file=sys.stderr)


if __name__ == "__main__":
    main()
