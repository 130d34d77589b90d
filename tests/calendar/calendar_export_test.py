#!/usr/bin/python3
"""A calendar made by an independent EWS client, exported by qvmigrate.

Usage: calendar_export_test.py EWS_SANDBOX_BINARY QVMIGRATE_BINARY

Starts a fresh sandbox, lets Debian's python3-exchangelib create a calendar
the way a user's client does (a single event in Europe/Berlin, an all-day
event, a weekly series in America/New_York across the March change with one
occurrence moved and one deleted, a monthly "first Monday" series, a yearly
all-day series, a meeting with three attendees and their responses) and a
sub-calendar of 1200 events, runs `qvmigrate export --folder Calendar` and
checks the archive: one record per item with its UTC times, all-day flag,
recurrence, breakouts and recipients, and the 1200 events listed in three
pages.
"""
import collections
import datetime
import glob
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import ADDRESS, PASSWORD, connect, running_sandbox  # noqa: E402


def make_calendar(account):
    from exchangelib import (Attendee, CalendarItem, EWSDate, EWSDateTime, EWSTimeZone, Mailbox)
    from exchangelib.items import SEND_TO_NONE
    from exchangelib.recurrence import (AbsoluteYearlyPattern, Recurrence,
                                        RelativeMonthlyPattern, WeeklyPattern)
    berlin, new_york = EWSTimeZone("Europe/Berlin"), EWSTimeZone("America/New_York")
    folder = account.calendar

    def save(**fields):
        item = CalendarItem(account=account, folder=folder, **fields)
        item.save(send_meeting_invitations=SEND_TO_NONE)
        return item

    save(subject="Berlin single", start=EWSDateTime(2025, 5, 6, 10, 0, tzinfo=berlin),
         end=EWSDateTime(2025, 5, 6, 11, 30, tzinfo=berlin))
    save(subject="All day", is_all_day=True, start=EWSDate(2025, 6, 2), end=EWSDate(2025, 6, 3))
    weekly = save(subject="Weekly New York",
                  start=EWSDateTime(2025, 2, 24, 9, 0, tzinfo=new_york),
                  end=EWSDateTime(2025, 2, 24, 10, 0, tzinfo=new_york),
                  recurrence=Recurrence(pattern=WeeklyPattern(interval=1, weekdays=["Monday"]),
                                        start=EWSDate(2025, 2, 24), number=6))
    moved = weekly.occurrence(3)  # 10 March, the first Monday of daylight time
    moved.refresh()
    moved.start = moved.start + datetime.timedelta(hours=2)
    moved.end = moved.end + datetime.timedelta(hours=2)
    moved.save(send_meeting_invitations=SEND_TO_NONE)
    deleted = weekly.occurrence(4)  # 17 March
    deleted.refresh()
    deleted.delete(send_meeting_cancellations=SEND_TO_NONE)
    save(subject="Monthly first Monday",
         start=EWSDateTime(2025, 1, 6, 14, 0, tzinfo=berlin),
         end=EWSDateTime(2025, 1, 6, 15, 0, tzinfo=berlin),
         recurrence=Recurrence(pattern=RelativeMonthlyPattern(interval=1, weekday="Monday",
                                                              week_number="First"),
                               start=EWSDate(2025, 1, 6), number=12))
    save(subject="Yearly all day", is_all_day=True, start=EWSDate(2025, 7, 15),
         end=EWSDate(2025, 7, 16),
         recurrence=Recurrence(pattern=AbsoluteYearlyPattern(day_of_month=15, month="July"),
                               start=EWSDate(2025, 7, 15)))
    save(subject="Meeting", start=EWSDateTime(2025, 4, 8, 15, 0, tzinfo=berlin),
         end=EWSDateTime(2025, 4, 8, 16, 0, tzinfo=berlin),
         required_attendees=[
             Attendee(mailbox=Mailbox(name="Bob", email_address="bob@example.com"),
                      response_type="Accept"),
             Attendee(mailbox=Mailbox(name="Carol", email_address="carol@example.com"),
                      response_type="Decline")],
         optional_attendees=[
             Attendee(mailbox=Mailbox(name="Dan", email_address="dan@example.com"),
                      response_type="Tentative")])


BULK_COUNT = 1200


def make_bulk_calendar(account):
    from exchangelib import CalendarItem, EWSDateTime, EWSTimeZone
    from exchangelib.folders import Calendar
    folder = Calendar(parent=account.calendar, name="Bulk")
    folder.save()
    first = EWSDateTime(2025, 1, 1, tzinfo=EWSTimeZone("UTC"))
    hour = datetime.timedelta(hours=1)
    items = [CalendarItem(account=account, folder=folder, subject="Bulk %d" % i,
                          start=first + i * hour, end=first + i * hour + hour / 2)
             for i in range(BULK_COUNT)]
    account.bulk_create(folder=folder, items=items, send_meeting_invitations="SendToNone")


def export(qvmigrate, url, ca, out, state):
    env = dict(os.environ, PW=PASSWORD)
    subprocess.run([qvmigrate, "export", "--server", url, "--user", ADDRESS, "--password-env", "PW",
                    "--ca-file", ca, "--state", state, "--out", out, "--folder", "Calendar"],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    folders = {}
    for path in sorted(glob.glob(os.path.join(out, "0*", "*.json"))):
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
        folder = folders.setdefault(os.path.basename(os.path.dirname(path)), {})
        folder[record["title"]] = zero_default(record)
    return folders


def zero_default(value):
    """An absent field of an item file is empty or zero."""
    if isinstance(value, dict):
        return collections.defaultdict(int, {k: zero_default(v) for k, v in value.items()})
    if isinstance(value, list):
        return [zero_default(v) for v in value]
    return value


def utc(record, field):
    return record[field]["utc"][:19] + "Z"


def check_bulk(records, server_log):
    assert len(records) == BULK_COUNT, len(records)
    assert set(records) == {"Bulk %d" % i for i in range(BULK_COUNT)}
    # One page for the calendar, three of 500 for the 1200 events.
    with open(server_log, encoding="utf-8") as f:
        pages = sum(1 for line in f if "FindItem" in line)
    assert pages == 4, pages


def check(records):
    assert len(records) == 6, sorted(records)
    for record in records.values():
        assert record["item_type"] == 2, record["title"]

    single = records["Berlin single"]
    assert utc(single, "start_time") == "2025-05-06T08:00:00Z", utc(single, "start_time")
    assert utc(single, "end_time") == "2025-05-06T09:30:00Z", utc(single, "end_time")
    assert single["all_day"] == 0 and single["recur_type"] == 0

    # exchangelib writes all-day dates in its own zone (UTC here).
    assert records["All day"]["all_day"] == 1
    assert utc(records["All day"], "start_time") == "2025-06-02T00:00:00Z"
    assert records["All day"]["recur_type"] == 0

    weekly = records["Weekly New York"]
    assert utc(weekly, "start_time") == "2025-02-24T14:00:00Z", utc(weekly, "start_time")
    assert (weekly["recur_type"], weekly["recur_interval"], weekly["recur_days"]) == (5, 1, 2), weekly
    assert (weekly["recur_range"], weekly["recur_count"]) == (0, 6), weekly
    assert utc(weekly, "recur_end") == "2025-03-31T13:00:00Z"  # the last occurrence
    assert weekly["time_zone"] == "Eastern Standard Time"
    breakouts = weekly["breakouts"]
    assert len(breakouts) == 2, breakouts
    by_kind = {b["kind"]: b for b in breakouts}
    # 10 and 17 March are daylight time: 09:00 in New York is 13:00Z.
    assert by_kind[0]["original_start"]["utc"].startswith("2025-03-10T13:00:00"), by_kind[0]
    assert by_kind[0]["start"]["utc"].startswith("2025-03-10T15:00:00"), by_kind[0]
    assert by_kind[1]["original_start"]["utc"].startswith("2025-03-17T13:00:00"), by_kind[1]

    monthly = records["Monthly first Monday"]
    assert (monthly["recur_type"], monthly["recur_days"], monthly["recur_week_index"]) == (4, 2, 1)
    assert monthly["recur_count"] == 12

    yearly = records["Yearly all day"]
    assert yearly["all_day"] == 1
    assert utc(yearly, "start_time") == "2025-07-15T00:00:00Z"
    assert (yearly["recur_type"], yearly["recur_day_of_month"], yearly["recur_month"]) == (1, 15, 7)
    assert yearly["recur_range"] == 2

    meeting = records["Meeting"]
    people = {(r["address"].lower(), r["kind"], r["response"]) for r in meeting["recipients"]}
    assert ("bob@example.com", 3, 1) in people, people
    assert ("carol@example.com", 3, 2) in people, people
    assert ("dan@example.com", 11, 3) in people, people
    assert any(kind == 31 for _, kind, _ in people), people


def main():
    qvmigrate = sys.argv[2]
    with running_sandbox(sys.argv[1], "calendar-export-") as sandbox:
        account = connect(sandbox.url)
        make_calendar(account)
        make_bulk_calendar(account)
        folders = export(qvmigrate, sandbox.url, sandbox.ca, os.path.join(sandbox.data, "archive"),
                         os.path.join(sandbox.data, "state"))
        check(folders["0001"])
        check_bulk(folders["0002"], sandbox.log_path)
    print("calendar export: 6 records checked, %d in three pages" % BULK_COUNT)


if __name__ == "__main__":
    main()
