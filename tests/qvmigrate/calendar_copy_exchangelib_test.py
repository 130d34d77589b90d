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
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "sandbox"))
import exchangelib_calendar_test as made  # noqa: E402
from exchangelib_client_test import PASSWORD as SOURCE_PASSWORD, connect, start_sandbox  # noqa: E402

SOURCE = "alice@example.com"
TARGET, TARGET_PASSWORD = "erin@example.com", "erin-pw"
UTC = datetime.timezone.utc
# Three years, asked for in views of eighteen months (a view spans two years at most).
WINDOWS = [(datetime.datetime(2026, 1, 1, tzinfo=UTC), datetime.datetime(2027, 7, 1, tzinfo=UTC)),
           (datetime.datetime(2027, 7, 1, tzinfo=UTC), datetime.datetime(2029, 1, 1, tzinfo=UTC))]


def connect_target(url):
    from exchangelib import BASIC, DELEGATE, Account, Build, Configuration, Credentials, Version
    config = Configuration(service_endpoint=url, credentials=Credentials(TARGET, TARGET_PASSWORD),
                           auth_type=BASIC, version=Version(build=Build(14, 3, 123, 4)))
    return Account(TARGET, config=config, autodiscover=False, access_type=DELEGATE)


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


def copy(qvmigrate, url, ca, scratch, switches):
    env = dict(os.environ, A_PW=SOURCE_PASSWORD, C_PW=TARGET_PASSWORD)
    args = [qvmigrate, "copy", "--from-server", url, "--from-user", SOURCE, "--from-password-env", "A_PW",
            "--to-server", url, "--to-user", TARGET, "--to-password-env", "C_PW", "--ca-file", ca,
            "--state", os.path.join(scratch, "state"), "--log", os.path.join(scratch, "qvmigrate.log"),
            "--folder", "Calendar"]
    if switches:
        args += ["--to-switches", switches]
    run = subprocess.run(args, env=env, capture_output=True, text=True)
    assert run.returncode == 0, (run.returncode, run.stdout, run.stderr,
                                 open(os.path.join(scratch, "qvmigrate.log")).read()[-6000:])


def main():
    sandbox, qvmigrate = sys.argv[1], sys.argv[2]
    switches = sys.argv[3] if len(sys.argv) > 3 else ""
    with tempfile.TemporaryDirectory(prefix="calendar-copy-") as scratch:
        data = os.path.join(scratch, "data")
        os.mkdir(data)
        subprocess.run([sandbox, "user", "add", "--data", data, "--mailbox", TARGET, "--password",
                        TARGET_PASSWORD], check=True, stdout=subprocess.DEVNULL)
        server, url, ca = start_sandbox(sandbox, data)
        os.environ["REQUESTS_CA_BUNDLE"] = ca
        try:
            source = connect(url, (14, 3, 123, 4))
            made.check_single_in_berlin(source)
            made.check_all_day(source)
            made.check_weekly_across_dst(source)
            made.check_monthly_and_yearly(source)
            made.check_meeting(source)
            copy(qvmigrate, url, ca, scratch, switches)
            target = connect_target(url)
            want, got = occurrences(source), occurrences(target)
            missing = [o for o in want if o not in got]
            extra = [o for o in got if o not in want]
            assert not missing and not extra, ("missing in the target", missing, "only in the target", extra)
            weekly = [o for o in got if o[0].startswith("Weekly sync")]
            assert ("Weekly sync (moved)", "2026-03-09T15:00:00+00:00") in [o[:2] for o in weekly], weekly
            assert "2026-03-23T13:00:00+00:00" not in [o[1] for o in weekly], weekly
            assert masters(source) == masters(target) == ["Anniversary", "First Monday", "Weekly sync"], (
                masters(source), masters(target))
        except BaseException:
            sys.stderr.write(open(os.path.join(data, "server.log")).read()[-4000:])
            raise
        finally:
            server.send_signal(signal.SIGTERM)
            status = server.wait(timeout=30)
        assert status == 0, "ews-sandbox exited with %d" % status
    print("calendar copy (%s): the target shows the source's occurrences" % (switches or "EWS XML"))


if __name__ == "__main__":
    main()
