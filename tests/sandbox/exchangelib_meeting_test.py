#!/usr/bin/python3
"""Meetings between sandbox mailboxes through an independent EWS client
(Debian's python3-exchangelib).

Usage: exchangelib_meeting_test.py EWS_SANDBOX_BINARY

An organizer invites two sandbox mailboxes (one required, one optional) and
one outside address; each invited mailbox finds the MeetingRequest in its
Inbox and a tentative, unanswered copy of the meeting in its calendar; one
accepts the request, the other declines from the calendar item; the
organizer receives both answers and its attendee list shows them.  A
SaveOnly answer changes the attendee's calendar and tells nobody;
SendToNone delivers nothing; a message is no
invitation to answer; a meeting created from iCalendar MimeContent invites
as one created from XML elements does.

Behaviour checked against Microsoft's EWS reference: "SendMeetingInvitations"
(SendToNone sends nothing, SendToAllAndSaveCopy keeps a copy in Sent Items),
"MeetingRequest" (AssociatedCalendarItemId, MeetingRequestType
NewMeetingRequest), "CreateItem operation (meeting request)" (AcceptItem /
DeclineItem with ReferenceItemId), "Responding to meeting invitations by
using the EWS Managed API 2.0" (the request or its calendar item may be
answered; both take the answer), "ResponseType" (Accept, Decline,
NoResponseReceived).
"""
import base64
import datetime
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from sandbox_client import ADDRESS, PASSWORD, connect, running_sandbox  # noqa: E402

ANN, ANN_PW = "ann@example.com", "ann-pw"
BOB, BOB_PW = "bob@example.com", "bob-pw"
OUTSIDER = "carol@elsewhere.example"
UTC = datetime.timezone.utc


def invite(organizer, subject, mode):
    from exchangelib import Attendee, CalendarItem, EWSDateTime, EWSTimeZone, Mailbox
    utc = EWSTimeZone("UTC")
    item = CalendarItem(
        account=organizer, folder=organizer.calendar, subject=subject, location="Room 7",
        body="Agenda: budget", start=EWSDateTime(2026, 9, 14, 8, 0, tzinfo=utc),
        end=EWSDateTime(2026, 9, 14, 9, 0, tzinfo=utc),
        required_attendees=[Attendee(mailbox=Mailbox(name="Ann", email_address=ANN)),
                            Attendee(mailbox=Mailbox(name="Carol", email_address=OUTSIDER))],
        optional_attendees=[Attendee(mailbox=Mailbox(name="Bob", email_address=BOB))])
    item.save(send_meeting_invitations=mode)
    return item


def requests_in(account, subject):
    from exchangelib.items import MeetingRequest
    return [m for m in account.inbox.filter(subject=subject) if isinstance(m, MeetingRequest)]


def calendar_items(account, subject):
    return list(account.calendar.filter(subject=subject))


def check_invitation(account, subject):
    """The request in the Inbox and the tentative copy in the calendar."""
    requests = requests_in(account, subject)
    assert len(requests) == 1, requests
    request = requests[0]
    assert request.meeting_request_type == "NewMeetingRequest", request.meeting_request_type
    assert request.start == datetime.datetime(2026, 9, 14, 8, 0, tzinfo=UTC), request.start
    assert request.location == "Room 7" and request.author.email_address == ADDRESS, (
        request.location, request.author)
    copies = calendar_items(account, subject)
    assert len(copies) == 1, copies
    copy = copies[0]
    assert copy.my_response_type == "NoResponseReceived", copy.my_response_type
    assert copy.legacy_free_busy_status == "Tentative", copy.legacy_free_busy_status
    assert copy.organizer.email_address == ADDRESS, copy.organizer
    assert request.associated_calendar_item_id.id == copy.id, (request.associated_calendar_item_id, copy.id)
    # The MIME text a mail reader gets: the body as text, the meeting as a
    # METHOD:REQUEST iCalendar part.
    mime = account.inbox.get(id=request.id).mime_content.decode()
    assert "text/calendar" in mime and "method=REQUEST" in mime, mime
    parts = [base64.b64decode("".join(chunk.split("\r\n\r\n", 1)[1].split()))
             for chunk in mime.split("--_sandbox_meeting_")[1:-1]]
    assert b"Agenda: budget" in parts[0], parts
    import icalendar
    calendar = icalendar.Calendar.from_ical(parts[1])
    event = calendar.walk("VEVENT")[0]
    assert calendar["METHOD"] == "REQUEST" and str(event["UID"]) == copy.uid, parts[1]
    assert event.decoded("DTSTART") == request.start and str(event["LOCATION"]) == "Room 7", parts[1]
    assert sorted(str(a) for a in event["ATTENDEE"]) == sorted(
        "mailto:" + a for a in (ANN, BOB, OUTSIDER)), event["ATTENDEE"]
    return request, copy


def check_invitations_and_answers(organizer, ann, bob):
    from exchangelib.items import SEND_ONLY, SEND_TO_ALL_AND_SAVE_COPY, MeetingResponse
    subject = "Budget review"
    invite(organizer, subject, SEND_TO_ALL_AND_SAVE_COPY)
    request, _ = check_invitation(ann, subject)
    _, bob_copy = check_invitation(bob, subject)
    # The organizer kept a copy of what was sent.
    assert [m.subject for m in organizer.sent.filter(subject=subject)] == [subject]
    assert requests_in(organizer, subject) == [], "the organizer invited itself"

    request.accept()                            # SendAndSaveCopy, from the request
    bob_copy.decline(message_disposition=SEND_ONLY)  # from the calendar item

    accepted = calendar_items(ann, subject)
    assert [c.my_response_type for c in accepted] == ["Accept"], accepted
    assert accepted[0].legacy_free_busy_status == "Busy", accepted[0].legacy_free_busy_status
    assert requests_in(ann, subject) == [], "the answered request stayed in the Inbox"
    assert calendar_items(bob, subject) == [], "the declined meeting stayed in the calendar"
    assert [m.subject for m in ann.sent.filter(subject__contains=subject)] == ["Accepted: " + subject]
    assert list(bob.sent.filter(subject__contains=subject)) == [], "SendOnly kept a copy"

    answers = sorted(m.subject for m in organizer.inbox.filter(subject__contains=subject)
                     if isinstance(m, MeetingResponse))
    assert answers == ["Accepted: " + subject, "Declined: " + subject], answers
    item = calendar_items(organizer, subject)[0]
    responses = {a.mailbox.email_address: a.response_type
                 for a in item.required_attendees + item.optional_attendees}
    assert responses == {ANN: "Accept", BOB: "Decline", OUTSIDER: "Unknown"}, responses


def check_send_to_none_and_bad_reference(organizer, ann):
    from exchangelib.errors import ErrorInvalidReferenceItem
    from exchangelib.items import SEND_TO_NONE, AcceptItem, Message
    from exchangelib.properties import ReferenceItemId
    invite(organizer, "Quiet planning", SEND_TO_NONE)
    assert requests_in(ann, "Quiet planning") == [] and calendar_items(ann, "Quiet planning") == []
    note = Message(account=ann, folder=ann.inbox, subject="plain note", body="x")
    note.save()
    try:
        AcceptItem(account=ann, reference_item_id=ReferenceItemId(id=note.id, changekey=note.changekey)).send()
    except ErrorInvalidReferenceItem:
        pass
    else:
        raise AssertionError("a plain message was accepted as a meeting request")


def check_save_only_tells_nobody(organizer, ann):
    """SaveOnly keeps a draft answer: the attendee's calendar takes it, the
    organizer hears nothing."""
    from exchangelib.items import SAVE_ONLY, SEND_ONLY_TO_ALL
    subject = "Draft answer"
    invite(organizer, subject, SEND_ONLY_TO_ALL)
    requests_in(ann, subject)[0].tentatively_accept(message_disposition=SAVE_ONLY, folder=ann.drafts)
    assert calendar_items(ann, subject)[0].my_response_type == "Tentative"
    assert [m.subject for m in ann.drafts.filter(subject__contains=subject)] == ["Tentative: " + subject]
    assert list(organizer.inbox.filter(subject__contains=subject)) == [], "SaveOnly sent the answer"
    item = calendar_items(organizer, subject)[0]
    assert {a.response_type for a in item.required_attendees} == {"Unknown"}, item.required_attendees


def check_invitation_from_icalendar(url, bob):
    """A meeting created from iCalendar MimeContent invites as one created
    from XML elements does ("MimeContent": base64 of the iCalendar text)."""
    import requests
    ical = ("BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//meeting//EN\r\nBEGIN:VEVENT\r\n"
            "UID:ical-invite-1\r\nDTSTAMP:20260901T000000Z\r\nDTSTART:20261012T130000Z\r\n"
            "DTEND:20261012T140000Z\r\nSUMMARY:From iCalendar\r\n"
            "ORGANIZER:mailto:%s\r\nATTENDEE;PARTSTAT=NEEDS-ACTION:mailto:%s\r\n"
            "END:VEVENT\r\nEND:VCALENDAR\r\n" % (ADDRESS, BOB))
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/" '
            'xmlns:t="http://schemas.microsoft.com/exchange/services/2006/types" '
            'xmlns:m="http://schemas.microsoft.com/exchange/services/2006/messages">'
            '<soap:Header><t:RequestServerVersion Version="Exchange2010_SP2"/></soap:Header><soap:Body>'
            '<m:CreateItem SendMeetingInvitations="SendToAllAndSaveCopy"><m:Items><t:CalendarItem>'
            '<t:MimeContent CharacterSet="UTF-8">%s</t:MimeContent></t:CalendarItem></m:Items>'
            '</m:CreateItem></soap:Body></soap:Envelope>' % base64.b64encode(ical.encode()).decode())
    answer = requests.post(url, data=body.encode(), auth=(ADDRESS, PASSWORD),
                           headers={"Content-Type": "text/xml; charset=utf-8"}, timeout=30)
    assert "<m:ResponseCode>NoError</m:ResponseCode>" in answer.text, answer.text
    requests_for_bob, copies = requests_in(bob, "From iCalendar"), calendar_items(bob, "From iCalendar")
    assert len(requests_for_bob) == 1 and len(copies) == 1, (requests_for_bob, copies)
    assert requests_for_bob[0].start == datetime.datetime(2026, 10, 12, 13, 0, tzinfo=UTC), requests_for_bob[0].start
    assert (copies[0].uid, copies[0].my_response_type) == ("ical-invite-1", "NoResponseReceived"), copies[0]


def main():
    with running_sandbox(sys.argv[1], "exchangelib-meeting-", users=[(ANN, ANN_PW), (BOB, BOB_PW)]) as sandbox:
        organizer = connect(sandbox.url)
        ann, bob = connect(sandbox.url, ANN, ANN_PW), connect(sandbox.url, BOB, BOB_PW)
        check_invitations_and_answers(organizer, ann, bob)
        check_send_to_none_and_bad_reference(organizer, ann)
        check_save_only_tells_nobody(organizer, ann)
        check_invitation_from_icalendar(sandbox.url, bob)
    print("exchangelib meetings: all checks passed")


if __name__ == "__main__":
    main()
