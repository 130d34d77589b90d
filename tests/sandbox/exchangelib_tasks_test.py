#!/usr/bin/python3
"""Tasks in the sandbox seen through python3-exchangelib with its default field set.

Usage: exchangelib_tasks_test.py EWS_SANDBOX_BINARY [QVMIGRATE CONNECTOR_LIBRARY]

Creates tasks of every kind (dated, undated, in progress, completed, private,
with reminder, categories, body, recurring and regenerating, with a file
attachment) in a fresh sandbox, reads them back field by field, and checks
how Exchange keeps Status, PercentComplete and CompleteDate consistent
("Setting CompleteDate has the same effect as setting PercentComplete to 100
or Status to Completed ... the last processed property will determine the
value", EWS reference, Status element).

With qvmigrate and the connector given, the Tasks folder is then copied
into a second mailbox with `qvmigrate copy --folder Tasks`, and the same
client reads the copies back and compares them with the originals field by
field.
"""
import os
import sys
from decimal import Decimal

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import connect, qvmigrate_copy, running_sandbox  # noqa: E402

TARGET = "bob@example.com"
TARGET_PASSWORD = "bob-pw"


def make_tasks(account):
    from exchangelib import EWSDate, EWSDateTime, FileAttachment, Task, UTC
    from exchangelib.recurrence import (DailyRegeneration, NoEndPattern, NumberedPattern,
                                        TaskRecurrence, WeeklyPattern)
    folder = account.tasks
    due = EWSDate(2026, 3, 20)
    reminder = EWSDateTime(2026, 3, 19, 8, 30, tzinfo=UTC)
    specs = {
        "dated": dict(start_date=EWSDate(2026, 3, 2), due_date=due, body="plan the move"),
        "undated": dict(),
        "progress": dict(status="InProgress", percent_complete=Decimal(40)),
        "completed": dict(status="Completed", percent_complete=Decimal(100)),
        "private": dict(sensitivity="Private", importance="High"),
        "reminder": dict(due_date=due, reminder_is_set=True, reminder_due_by=reminder),
        "categories": dict(categories=["Blue", "Work"], importance="Low"),
        "waiting": dict(status="WaitingOnOthers", percent_complete=Decimal(25)),
        "weekly": dict(start_date=EWSDate(2026, 1, 5), recurrence=TaskRecurrence(
            pattern=WeeklyPattern(interval=2, weekdays=[1, 5], first_day_of_week=1),
            boundary=NumberedPattern(start=EWSDate(2026, 1, 5), number=6))),
        "regenerating": dict(recurrence=TaskRecurrence(
            pattern=DailyRegeneration(interval=3), boundary=NoEndPattern(start=EWSDate(2026, 2, 1)))),
    }
    for subject, fields in specs.items():
        task = Task(account=account, folder=folder, subject=subject, **fields)
        task.save()
        if subject == "dated":
            task.attach(FileAttachment(name="plan.txt", content=b"step one\nstep two\n"))
    return specs


def check_read_back(account, specs):
    found = {t.subject: t for t in account.tasks.all()}
    assert set(found) == set(specs), sorted(found)
    t = found["dated"]
    assert (t.start_date, t.due_date) == (specs["dated"]["start_date"], specs["dated"]["due_date"]), t
    assert t.body.strip() == "plan the move", repr(t.body)
    assert [(a.name, a.content) for a in t.attachments] == [("plan.txt", b"step one\nstep two\n")]
    assert t.status == "NotStarted" and t.percent_complete == 0, (t.status, t.percent_complete)
    u = found["undated"]
    assert (u.start_date, u.due_date, u.complete_date, u.recurrence) == (None, None, None, None), u
    p = found["progress"]
    assert (p.status, p.percent_complete, p.is_complete) == ("InProgress", 40, False), p
    c = found["completed"]
    assert (c.status, c.percent_complete, c.is_complete) == ("Completed", 100, True), c
    assert c.complete_date is not None, "a completed task has a completion date"
    w = found["waiting"]
    assert (w.status, w.percent_complete) == ("WaitingOnOthers", 25), w
    assert (found["private"].sensitivity, found["private"].importance) == ("Private", "High")
    r = found["reminder"]
    assert r.reminder_is_set and r.reminder_due_by == specs["reminder"]["reminder_due_by"], r
    assert not found["undated"].reminder_is_set
    assert sorted(found["categories"].categories) == ["Blue", "Work"]
    assert found["categories"].importance == "Low"
    weekly = found["weekly"]
    assert weekly.is_recurring and weekly.recurrence == specs["weekly"]["recurrence"], weekly.recurrence
    regen = found["regenerating"]
    assert regen.recurrence == specs["regenerating"]["recurrence"], regen.recurrence
    assert not found["dated"].is_recurring
    return found


def check_progress_rules(found):
    # PercentComplete 100 completes the task; Status NotStarted afterwards
    # clears both the percentage and the completion date.
    p = found["progress"]
    p.percent_complete = Decimal(100)
    p.save(update_fields=["percent_complete"])
    p.refresh()
    assert (p.status, p.percent_complete) == ("Completed", 100) and p.complete_date, p
    p.status = "NotStarted"
    p.save(update_fields=["status"])
    p.refresh()
    assert (p.status, p.percent_complete, p.complete_date) == ("NotStarted", 0, None), p
    # Dropping the recurrence leaves an ordinary task.
    weekly = found["weekly"]
    weekly.recurrence = None
    weekly.save(update_fields=["recurrence"])
    weekly.refresh()
    assert not weekly.is_recurring and weekly.recurrence is None, weekly


def pattern_facts(recurrence):
    if recurrence is None:
        return None
    pattern, boundary = recurrence.pattern, recurrence.boundary
    return (type(pattern).__name__, getattr(pattern, "interval", None),
            sorted(getattr(pattern, "weekdays", None) or []), type(boundary).__name__,
            boundary.start, getattr(boundary, "number", None), getattr(boundary, "end", None))


def check_copies(source_account, target_account):
    """Every task of the source mailbox arrives with the same fields."""
    from exchangelib.recurrence import Regeneration
    sources = {t.subject: t for t in source_account.tasks.all()}
    copies = {t.subject: t for t in target_account.tasks.all()}
    assert set(copies) == set(sources), (sorted(sources), sorted(copies))
    for subject, s in sources.items():
        c = copies[subject]
        for field in ("status", "percent_complete", "importance", "start_date", "due_date",
                      "complete_date", "reminder_is_set", "is_complete"):
            assert getattr(s, field) == getattr(c, field), (subject, field, getattr(s, field),
                                                           getattr(c, field))
        # The connector's record carries private or not.
        assert (s.sensitivity == "Private") == (c.sensitivity == "Private"), subject
        if s.reminder_is_set:
            assert s.reminder_due_by == c.reminder_due_by, subject
        assert sorted(s.categories or []) == sorted(c.categories or []), subject
        assert [(a.name, a.content) for a in s.attachments or []] == \
            [(a.name, a.content) for a in c.attachments or []], subject
        source_body = (s.body or "").strip()
        if s.recurrence is not None and isinstance(s.recurrence.pattern, Regeneration):
            # A regenerating pattern has no place in the record: it becomes a note.
            assert c.recurrence is None, subject
            assert c.body.startswith(source_body) and "repeats on a daily basis" in c.body, c.body
        else:
            assert pattern_facts(s.recurrence) == pattern_facts(c.recurrence), (
                subject, pattern_facts(s.recurrence), pattern_facts(c.recurrence))
            assert source_body == (c.body or "").strip(), (subject, s.body, c.body)


def main():
    with running_sandbox(sys.argv[1], "exchangelib-tasks-", users=[(TARGET, TARGET_PASSWORD)]) as sandbox:
        account = connect(sandbox.url)
        specs = make_tasks(account)
        found = check_read_back(account, specs)
        check_progress_rules(found)
        if len(sys.argv) > 3:
            qvmigrate_copy(sys.argv[2], sandbox, "Tasks", TARGET, TARGET_PASSWORD,
                           ["--plugin", sys.argv[3]])
            check_copies(account, connect(sandbox.url, TARGET, TARGET_PASSWORD))
    print("exchangelib tasks: all checks passed")


if __name__ == "__main__":
    main()
