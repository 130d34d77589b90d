#!/usr/bin/python3
"""A calendar made by python3-exchangelib (the one of
tests/sandbox/exchangelib_calendar_test.py) in alice's mailbox, copied by
`qvmigrate copy --folder Calendar` into erin's (TARGET_SWITCHES: the target's
logon switches, "/D298" for iCalendar), must show the same occurrences in the
client's calendar view of both over three years: subjects, UTC times, all-day
flags, locations, attendees; the moved occurrence moved, the deleted absent,
three recurring masters in both.

Usage: calendar_copy_exchangelib_test.py EWS_SANDBOX_BINARY QVMIGRATE_BINARY [TARGET_SWITCHES]
"""
import datetime
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sandbox"))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import exchangelib_calendar_test as made  # noqa: E402
from sandbox_client import connect, qvmigrate_copy, running_sandbox  # noqa: E402

TARGET, TARGET_PASSWORD = "erin@example.com", "erin-pw"
UTC = datetime.timezone.utc
# Three years, asked for in views of eighteen months (a view spans two years at most).
WINDOWS = [(datetime.datetime(2026, 1, 1, tzinfo=UTC), datetime.datetime(2027, 7, 1, tzinfo=UTC)),
           (datetime.datetime(2027, 7, 1, tzinfo=UTC), datetime.datetime(2029, 1, 1, tzinfo=UTC))]


def occurrences(account):
    """What the client's calendar shows, one tuple per occurrence, sorted."""
    seen = set()
    for item in (i for start, end in WINDOWS for i in account.calendar.view(start=start, end=end)):
        people = sorted((a.mailbox.email_address or "").lower()
                        for a in (item.required_attendees or []) + (item.optional_attendees or []))
        start, end = item.start, item.end
        if item.is_all_day:  # dates in the client's view; compare them as dates
            start, end = start.isoformat()[:10], end.isoformat()[:10]
        else:
            start, end = (datetime.datetime.fromtimestamp(t.timestamp(), UTC).isoformat() for t in (start, end))
        seen.add((item.subject, start, end, bool(item.is_all_day), item.location or "", tuple(people)))
    return sorted(seen)


def masters(account):
    return sorted(i.subject for i in account.calendar.all() if i.type == "RecurringMaster")


def main():
    switches = sys.argv[3] if len(sys.argv) > 3 else ""
    with running_sandbox(sys.argv[1], "calendar-copy-", users=[(TARGET, TARGET_PASSWORD)]) as sandbox:
        source = connect(sandbox.url)
        made.check_single_in_berlin(source)
        made.check_all_day(source)
        made.check_weekly_across_dst(source)
        made.check_monthly_and_yearly(source)
        made.check_meeting(source)
        qvmigrate_copy(sys.argv[2], sandbox, "Calendar", TARGET, TARGET_PASSWORD,
                       ["--to-switches", switches] if switches else [])
        target = connect(sandbox.url, TARGET, TARGET_PASSWORD)
        want, got = occurrences(source), occurrences(target)
        missing = [o for o in want if o not in got]
        extra = [o for o in got if o not in want]
        assert not missing and not extra, ("missing in the target", missing, "only in the target", extra)
        weekly = [o for o in got if o[0].startswith("Weekly sync")]
        assert ("Weekly sync (moved)", "2026-03-09T15:00:00+00:00") in [o[:2] for o in weekly], weekly
        assert "2026-03-23T13:00:00+00:00" not in [o[1] for o in weekly], weekly
        assert masters(source) == masters(target) == ["Anniversary", "First Monday", "Weekly sync"], (
            masters(source), masters(target))
    print("calendar copy (%s): the target shows the source's occurrences" % (switches or "EWS XML"))


if __name__ == "__main__":
    main()
