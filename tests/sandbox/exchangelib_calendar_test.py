#!/usr/bin/python3
"""The sandbox's calendar seen through an independent EWS client (Debian's python3-exchangelib).

Usage: exchangelib_calendar_test.py EWS_SANDBOX_BINARY

Creates calendar items with the client's default field set the way a user's
calendar looks (an event in Europe/Berlin, all-day events, a weekly series
across the March daylight saving change with one occurrence moved and one
deleted, a monthly "first Monday" series, a yearly all-day series, a meeting
with three attendees), reads them back and checks the client's calendar view.

Behaviour checked against Microsoft's EWS reference: "CalendarView" (items
that end before StartDate or start on or after EndDate are left out),
"OccurrenceItemId" (InstanceIndex is 1-based), "ModifiedOccurrences" and
"DeletedOccurrences" (an updated or deleted occurrence is listed on its
master), "How to: Create all-day events by using EWS in Exchange" (all-day
events run from midnight to midnight in their zone).
"""
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import connect, running_sandbox  # noqa: E402

UTC = datetime.timezone.utc


def ews_utc():
    from exchangelib import EWSTimeZone
    return EWSTimeZone("UTC")


def utc(*args):
    return datetime.datetime(*args, tzinfo=UTC)


def check_single_in_berlin(account):
    from exchangelib import CalendarItem, EWSDateTime, EWSTimeZone
    berlin = EWSTimeZone("Europe/Berlin")
    item = CalendarItem(account=account, folder=account.calendar, subject="Berlin review",
                        start=EWSDateTime(2026, 6, 10, 14, 0, tzinfo=berlin),
                        end=EWSDateTime(2026, 6, 10, 15, 30, tzinfo=berlin),
                        location="Raum 4 & 5", body="Agenda <draft>", sensitivity="Private")
    item.save()
    got = account.calendar.get(id=item.id)
    assert got.start == utc(2026, 6, 10, 12, 0), got.start
    assert got.end == utc(2026, 6, 10, 13, 30), got.end
    assert got.location == "Raum 4 & 5" and got.sensitivity == "Private", (got.location, got.sensitivity)
    assert got.type == "Single" and not got.is_all_day, (got.type, got.is_all_day)
    assert got._start_timezone.key == "Europe/Berlin", got._start_timezone
    assert got.uid, "no UID"
    # Files attach to calendar items as to any item.
    from exchangelib import FileAttachment
    got.attach(FileAttachment(name="agenda.txt", content=b"1. review\n"))
    got = account.calendar.get(id=item.id)
    assert [(a.name, a.content) for a in got.attachments] == [("agenda.txt", b"1. review\n")], got.attachments


def check_all_day(account):
    from exchangelib import CalendarItem, EWSDate
    one = CalendarItem(account=account, folder=account.calendar, subject="Holiday", is_all_day=True,
                       start=EWSDate(2026, 7, 1), end=EWSDate(2026, 7, 1), legacy_free_busy_status="OOF")
    one.save()
    trip = CalendarItem(account=account, folder=account.calendar, subject="Trip", is_all_day=True,
                        start=EWSDate(2026, 7, 6), end=EWSDate(2026, 7, 8))
    trip.save()
    got = account.calendar.get(id=one.id)
    assert got.is_all_day and got.start == EWSDate(2026, 7, 1) and got.end == EWSDate(2026, 7, 1), (
        got.start, got.end)
    assert got.legacy_free_busy_status == "OOF", got.legacy_free_busy_status
    got = account.calendar.get(id=trip.id)
    assert (got.start, got.end) == (EWSDate(2026, 7, 6), EWSDate(2026, 7, 8)), (got.start, got.end)


def check_weekly_across_dst(account):
    """09:00 in New York every Monday, six times, from 23 February 2026 (the
    clocks go forward on 8 March): the third is moved, the fifth deleted."""
    from exchangelib import CalendarItem, EWSDateTime, EWSTimeZone
    from exchangelib.recurrence import NumberedPattern, Recurrence, WeeklyPattern
    ny = EWSTimeZone("America/New_York")
    master = CalendarItem(account=account, folder=account.calendar, subject="Weekly sync",
                          start=EWSDateTime(2026, 2, 23, 9, 0, tzinfo=ny),
                          end=EWSDateTime(2026, 2, 23, 9, 30, tzinfo=ny),
                          recurrence=Recurrence(pattern=WeeklyPattern(interval=1, weekdays=["Monday"]),
                                                boundary=NumberedPattern(start=datetime.date(2026, 2, 23),
                                                                         number=6)))
    master.save()
    third = master.occurrence(3)
    third.refresh()
    assert third.type == "Occurrence" and third.start == utc(2026, 3, 9, 13, 0), (third.type, third.start)
    third.start += datetime.timedelta(hours=2)
    third.end += datetime.timedelta(hours=2)
    third.subject = "Weekly sync (moved)"
    third.save()
    master.occurrence(5).delete()
    master.refresh()
    assert master.type == "RecurringMaster", master.type
    assert master.first_occurrence.start == utc(2026, 2, 23, 14, 0), master.first_occurrence.start
    assert master.last_occurrence.start == utc(2026, 3, 30, 13, 0), master.last_occurrence.start
    moved = master.modified_occurrences
    assert len(moved) == 1 and moved[0].original_start == utc(2026, 3, 9, 13, 0), moved
    assert moved[0].start == utc(2026, 3, 9, 15, 0), moved[0].start
    assert [d.start for d in master.deleted_occurrences] == [utc(2026, 3, 23, 13, 0)], (
        master.deleted_occurrences)
    again = master.occurrence(3)
    again.refresh()
    assert again.type == "Exception" and again.subject == "Weekly sync (moved)", (again.type, again.subject)
    return master


def check_monthly_and_yearly(account):
    from exchangelib import CalendarItem, EWSDate, EWSDateTime
    EWS_UTC = ews_utc()
    from exchangelib.recurrence import (AbsoluteYearlyPattern, EndDatePattern, NoEndPattern,
                                        Recurrence, RelativeMonthlyPattern)
    monthly = CalendarItem(account=account, folder=account.calendar, subject="First Monday",
                           start=EWSDateTime(2026, 1, 5, 10, 0, tzinfo=EWS_UTC),
                           end=EWSDateTime(2026, 1, 5, 11, 0, tzinfo=EWS_UTC),
                           recurrence=Recurrence(
                               pattern=RelativeMonthlyPattern(interval=1, weekday=1, week_number=1),
                               boundary=EndDatePattern(start=datetime.date(2026, 1, 1),
                                                       end=datetime.date(2026, 12, 31))))
    monthly.save()
    yearly = CalendarItem(account=account, folder=account.calendar, subject="Anniversary", is_all_day=True,
                          start=EWSDate(2026, 2, 14), end=EWSDate(2026, 2, 14),
                          recurrence=Recurrence(pattern=AbsoluteYearlyPattern(day_of_month=14, month=2),
                                                boundary=NoEndPattern(start=datetime.date(2026, 2, 14))))
    yearly.save()
    got = account.calendar.get(id=monthly.id)
    assert got.recurrence.pattern.week_number == 1 and got.recurrence.pattern.weekday == 1, got.recurrence
    assert got.last_occurrence.start == utc(2026, 12, 7, 10, 0), got.last_occurrence.start
    got = account.calendar.get(id=yearly.id)
    assert got.is_all_day and isinstance(got.recurrence.boundary, NoEndPattern), got.recurrence
    assert got.recurrence.pattern.month == 2, got.recurrence.pattern


def check_meeting(account):
    from exchangelib import Attendee, CalendarItem, EWSDateTime, Mailbox
    EWS_UTC = ews_utc()
    people = [("Bob", "bob@example.com", "Accept"), ("Carol", "carol@example.com", "Decline"),
              ("Dan", "dan@example.com", "Tentative")]
    meeting = CalendarItem(
        account=account, folder=account.calendar, subject="Planning",
        start=EWSDateTime(2026, 5, 4, 8, 0, tzinfo=EWS_UTC), end=EWSDateTime(2026, 5, 4, 9, 0, tzinfo=EWS_UTC),
        required_attendees=[Attendee(mailbox=Mailbox(name=n, email_address=a), response_type=r)
                            for n, a, r in people[:2]],
        optional_attendees=[Attendee(mailbox=Mailbox(name=n, email_address=a), response_type=r)
                            for n, a, r in people[2:]])
    meeting.save(send_meeting_invitations="SendToNone")
    got = account.calendar.get(id=meeting.id)
    assert got.is_meeting and got.organizer.email_address == account.primary_smtp_address, got.organizer
    seen = [(a.mailbox.name, a.mailbox.email_address, a.response_type)
            for a in got.required_attendees + got.optional_attendees]
    assert seen == people, seen


def check_view(account):
    """The weekly series across the change, as the client's calendar shows it."""
    seen = [(i.subject, i.start, i.type)
            for i in account.calendar.view(start=utc(2026, 2, 20), end=utc(2026, 4, 4))
            .only("subject", "start", "type") if i.subject.startswith("Weekly")]
    assert seen == [
        ("Weekly sync", utc(2026, 2, 23, 14, 0), "Occurrence"),
        ("Weekly sync", utc(2026, 3, 2, 14, 0), "Occurrence"),
        ("Weekly sync (moved)", utc(2026, 3, 9, 15, 0), "Exception"),
        ("Weekly sync", utc(2026, 3, 16, 13, 0), "Occurrence"),
        ("Weekly sync", utc(2026, 3, 30, 13, 0), "Occurrence"),
    ], seen
    firsts = [i.start for i in account.calendar.view(start=utc(2026, 1, 1), end=utc(2026, 12, 31, 23))
              if i.subject == "First Monday"]
    assert [d.day for d in firsts] == [5, 2, 2, 6, 4, 1, 6, 3, 7, 5, 2, 7], firsts
    # Items are single or occurrences in a view; masters only outside one.
    assert {i.type for i in account.calendar.all()} == {"Single", "RecurringMaster"}


def main():
    with running_sandbox(sys.argv[1], "exchangelib-cal-") as sandbox:
        account = connect(sandbox.url)
        check_single_in_berlin(account)
        check_all_day(account)
        check_weekly_across_dst(account)
        check_monthly_and_yearly(account)
        check_meeting(account)
        check_view(account)
    print("exchangelib calendar: all checks passed")


if __name__ == "__main__":
    main()
