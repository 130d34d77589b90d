"""Reads iCalendar files with Python's icalendar (Debian python3-icalendar),
an implementation independent of the writer's, and prints one JSON line per
VEVENT with the values a client would show.  A file that does not parse
exits non-zero with the error."""
import json
import sys

import icalendar


def text(value):
    return None if value is None else str(value)


sys.stdout.reconfigure(encoding='utf-8')
for path in sys.argv[1:]:
    with open(path, 'rb') as f:
        calendar = icalendar.Calendar.from_ical(f.read())
    for event in calendar.walk('VEVENT'):
        attendees = event.get('ATTENDEE', [])
        if not isinstance(attendees, list):
            attendees = [attendees]
        print(json.dumps({
            'summary': text(event.get('SUMMARY')),
            'location': text(event.get('LOCATION')),
            'description': text(event.get('DESCRIPTION')),
            'class': text(event.get('CLASS')),
            'attendees': [[str(a), a.params.get('CN'), a.params.get('ROLE')] for a in attendees],
        }, ensure_ascii=False))
