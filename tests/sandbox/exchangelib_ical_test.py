#!/usr/bin/python3
"""Calendar items created from iCalendar MimeContent, seen through independent clients.

Usage: exchangelib_ical_test.py EWS_SANDBOX_BINARY

Python's icalendar (Debian python3-icalendar) writes a weekly New York series
across the March daylight saving change with one EXDATE and one
RECURRENCE-ID override (TZID America/New_York); it is sent as the MimeContent
of a CreateItem (base64, Microsoft's EWS reference "MimeContent").
python3-exchangelib's calendar view must then show exactly the expected
occurrences, and the MimeContent served back must parse with icalendar and
state the same series.  Other iCalendar forms: calendar_ical_test.cpp.
"""
import base64
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import ADDRESS, PASSWORD, connect, running_sandbox  # noqa: E402

UTC = datetime.timezone.utc


def utc(*args):
    return datetime.datetime(*args, tzinfo=UTC)


def create_from_ical(url, ical_bytes):
    import requests
    body = (
        '<?xml version="1.0" encoding="utf-8"?>'
        '<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/" '
        'xmlns:t="http://schemas.microsoft.com/exchange/services/2006/types" '
        'xmlns:m="http://schemas.microsoft.com/exchange/services/2006/messages">'
        '<soap:Header><t:RequestServerVersion Version="Exchange2010_SP2"/></soap:Header><soap:Body>'
        '<m:CreateItem SendMeetingInvitations="SendToNone"><m:SavedItemFolderId>'
        '<t:DistinguishedFolderId Id="calendar"/></m:SavedItemFolderId><m:Items><t:CalendarItem>'
        '<t:MimeContent CharacterSet="UTF-8">%s</t:MimeContent></t:CalendarItem></m:Items>'
        '</m:CreateItem></soap:Body></soap:Envelope>' % base64.b64encode(ical_bytes).decode())
    answer = requests.post(url, data=body.encode(), auth=(ADDRESS, PASSWORD),
                           headers={"Content-Type": "text/xml; charset=utf-8"}, timeout=30)
    assert answer.status_code == 200, answer.text
    assert "<m:ResponseCode>NoError</m:ResponseCode>" in answer.text, answer.text
    return answer.text


def calendar_with(*events):
    import icalendar
    cal = icalendar.Calendar()
    cal.add("prodid", "-//qvamz tests//exchangelib_ical_test//EN")
    cal.add("version", "2.0")
    for e in events:
        cal.add_component(e)
    return cal.to_ical()


def new_york_series():
    import icalendar
    import pytz
    ny = pytz.timezone("America/New_York")
    master = icalendar.Event()
    master.add("uid", "ny-standup@example.com")
    master.add("summary", "NY standup")
    master.add("location", "Room 7")
    master.add("dtstart", ny.localize(datetime.datetime(2026, 3, 2, 9, 0)))
    master.add("dtend", ny.localize(datetime.datetime(2026, 3, 2, 9, 30)))
    master.add("rrule", {"freq": "weekly", "byday": "MO", "count": 6})
    master.add("exdate", ny.localize(datetime.datetime(2026, 3, 16, 9, 0)))
    moved = icalendar.Event()
    moved.add("uid", "ny-standup@example.com")
    moved.add("summary", "NY standup (moved)")
    moved.add("recurrence-id", ny.localize(datetime.datetime(2026, 3, 23, 9, 0)))
    moved.add("dtstart", ny.localize(datetime.datetime(2026, 3, 24, 11, 0)))
    moved.add("dtend", ny.localize(datetime.datetime(2026, 3, 24, 11, 30)))
    return calendar_with(master, moved)


def check_series(account, url):
    create_from_ical(url, new_york_series())
    seen = [(i.subject, i.start, i.end)
            for i in account.calendar.view(start=utc(2026, 2, 1), end=utc(2026, 5, 1))]
    # 09:00 New York is 14:00 UTC before 8 March and 13:00 UTC after it.
    assert seen == [
        ("NY standup", utc(2026, 3, 2, 14), utc(2026, 3, 2, 14, 30)),
        ("NY standup", utc(2026, 3, 9, 13), utc(2026, 3, 9, 13, 30)),
        ("NY standup (moved)", utc(2026, 3, 24, 15), utc(2026, 3, 24, 15, 30)),
        ("NY standup", utc(2026, 3, 30, 13), utc(2026, 3, 30, 13, 30)),
        ("NY standup", utc(2026, 4, 6, 13), utc(2026, 4, 6, 13, 30)),
    ], seen
    master = [i for i in account.calendar.all() if i.subject == "NY standup"][0]
    assert master.type == "RecurringMaster", master.type
    assert master.location == "Room 7", master.location
    assert [o.start for o in master.deleted_occurrences] == [utc(2026, 3, 16, 13)], master.deleted_occurrences
    assert [o.original_start for o in master.modified_occurrences] == [utc(2026, 3, 23, 13)]
    return master


def check_served_mime(master):
    import icalendar
    from email import message_from_bytes
    message = message_from_bytes(master.mime_content)
    part = next(p for p in message.walk() if p.get_content_type() == "text/calendar")
    cal = icalendar.Calendar.from_ical(part.get_payload(decode=True))
    events = [c for c in cal.walk("VEVENT")]
    series = [e for e in events if "RECURRENCE-ID" not in e]
    assert len(series) == 1 and len(events) == 2, events
    rule = series[0]["RRULE"]
    assert rule["FREQ"] == ["WEEKLY"] and rule["BYDAY"] == ["MO"] and rule["COUNT"] == [6], rule
    start = series[0].decoded("DTSTART")
    assert start.astimezone(UTC) == utc(2026, 3, 2, 14), start
    exdates = [d.dt.astimezone(UTC) for d in series[0]["EXDATE"].dts]
    assert exdates == [utc(2026, 3, 16, 13)], exdates
    override = [e for e in events if "RECURRENCE-ID" in e][0]
    assert override.decoded("RECURRENCE-ID").astimezone(UTC) == utc(2026, 3, 23, 13)
    assert str(override["SUMMARY"]) == "NY standup (moved)"


def main():
    with running_sandbox(sys.argv[1], "exchangelib-ical-") as sandbox:
        master = check_series(connect(sandbox.url), sandbox.url)
        check_served_mime(master)
    print("exchangelib iCalendar: all checks passed")


if __name__ == "__main__":
    main()
