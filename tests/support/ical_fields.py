# Prints, one line each, what python icalendar reads of every event in an iCalendar file:
# uid|summary|start|end|location, times in UTC ("YYYY-MM-DDTHH:MM:SSZ") or as dates.
import datetime
import sys

import icalendar


def text(value):
    if isinstance(value, datetime.datetime):
        return value.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return value.isoformat()


with open(sys.argv[1], "rb") as file:
    calendar = icalendar.Calendar.from_ical(file.read())
for event in calendar.walk("VEVENT"):
    if "RECURRENCE-ID" in event:
        continue
    print("|".join([str(event["UID"]), str(event.get("SUMMARY", "")), text(event.decoded("DTSTART")),
                    text(event.decoded("DTEND")), str(event.get("LOCATION", ""))]))
