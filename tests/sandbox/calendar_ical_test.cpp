// Calendar items created from iCalendar MimeContent: the stored model the
// XML path builds (series, deleted and moved occurrences, zones, all-day
// dates, people), the errors for content Exchange cannot convert, the
// MimeContent served back, and the occurrence requests a migration makes.
// From Microsoft's EWS reference: "MimeContent" (CreateItem takes an item's
// MIME content, base64), "CreateItem operation (calendar item)",
// "OccurrenceItemId" (InstanceIndex is 1-based; past the series' end
// ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange), "DeleteItem
// operation" (an occurrence's id deletes that occurrence only), and
// [MS-OXCICAL] for the iCalendar mapping (PRIORITY 1-4 high, 5 normal, 6-9
// low; CLASS to sensitivity; PARTSTAT to the attendee's response).  Content
// Exchange cannot convert gets ErrorMimeContentConversionFailed ("MIME
// content conversion failed.", as quoted in exchangelib issue #266).
#include <gtest/gtest.h>

#include "mail_codec.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;

namespace {

// Calendar fields in a FindItem shape need a 2010 request version.
struct OpsHarness : ops_test::OpsHarness {
    OpsHarness() { ctx().requested_version = "Exchange2010_SP2"; }
};

std::string crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string create_mime(const std::string &content, const std::string &beside = "") {
    return "<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem>"
           "<t:MimeContent CharacterSet=\"UTF-8\">" + base64_encode(content) + "</t:MimeContent>" + beside +
           "</t:CalendarItem></m:Items></m:CreateItem>";
}

std::string get(const std::string &id, const std::string &extra = "", const char *shape = "AllProperties") {
    return std::string("<m:GetItem><m:ItemShape><t:BaseShape>") + shape + "</t:BaseShape>" + extra +
           "</m:ItemShape><m:ItemIds>" + id + "</m:ItemIds></m:GetItem>";
}

std::string item_id(const std::string &id) { return "<t:ItemId Id=\"" + id + "\"/>"; }

std::string occurrence(const std::string &master, int index) {
    return "<t:OccurrenceItemId RecurringMasterId=\"" + master + "\" InstanceIndex=\"" + std::to_string(index) +
           "\"/>";
}

// Starts (UTC, as EWS writes them) and subjects of a calendar view.
std::vector<std::string> view(OpsHarness &h, const char *from, const char *to, const char *what = "Start") {
    Answer a = h.run(std::string("<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                                 "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\"/>"
                                 "<t:FieldURI FieldURI=\"calendar:Start\"/></t:AdditionalProperties></m:ItemShape>"
                                 "<m:CalendarView StartDate=\"") + from + "\" EndDate=\"" + to +
                     "\"/><m:ParentFolderIds><t:DistinguishedFolderId Id=\"calendar\"/></m:ParentFolderIds>"
                     "</m:FindItem>");
    return a.all(std::string("//t:CalendarItem/t:") + what);
}

std::string made_id(const Answer &a) { return a.one("//t:CalendarItem/t:ItemId/@Id"); }

// A weekly Monday 09:00 series in New York over the March 2026 change to
// daylight saving time (8 March), five times, the third removed and the
// fourth moved to Tuesday 10:00 with its own subject.
std::string new_york_series(const std::string &tzid, const std::string &vtimezone) {
    return crlf("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//hand written//EN\n" + vtimezone +
                "BEGIN:VEVENT\nUID:series-1@example.com\nSUMMARY:Standup\nLOCATION:Room 7\n"
                "DTSTART;TZID=\"" + tzid + "\":20260302T090000\nDTEND;TZID=\"" + tzid + "\":20260302T093000\n"
                "RRULE:FREQ=WEEKLY;BYDAY=MO;COUNT=5\nEXDATE;TZID=\"" + tzid + "\":20260316T090000\n"
                "END:VEVENT\n"
                "BEGIN:VEVENT\nUID:series-1@example.com\nSUMMARY:Standup (moved)\n"
                "RECURRENCE-ID:20260323T130000Z\nDTSTART;TZID=\"" + tzid + "\":20260324T100000\n"
                "DTEND;TZID=\"" + tzid + "\":20260324T103000\nEND:VEVENT\nEND:VCALENDAR\n");
}

// The rules of US Eastern time since 2007, under a name no zone database has.
const char *kOwnEastern = "BEGIN:VTIMEZONE\nTZID:(UTC-05:00) Eastern Time (US & Canada)\n"
                          "BEGIN:STANDARD\nDTSTART:16011104T020000\nRRULE:FREQ=YEARLY;BYDAY=1SU;BYMONTH=11\n"
                          "TZOFFSETFROM:-0400\nTZOFFSETTO:-0500\nEND:STANDARD\n"
                          "BEGIN:DAYLIGHT\nDTSTART:16010311T020000\nRRULE:FREQ=YEARLY;BYDAY=2SU;BYMONTH=3\n"
                          "TZOFFSETFROM:-0500\nTZOFFSETTO:-0400\nEND:DAYLIGHT\nEND:VTIMEZONE\n";

std::string single_event(const std::string &lines) {
    return crlf("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//test//hand written//EN\nBEGIN:VEVENT\n"
                "UID:single@example.com\n" + lines + "END:VEVENT\nEND:VCALENDAR\n");
}

} // namespace

TEST(CalendarIcal, SeriesInAnyNamingOfItsZoneKeepsLocalTimesAcrossDaylightSaving) {
    const std::vector<std::pair<std::string, std::string>> zones = {
        {"America/New_York", ""},
        {"/example.org/20250101_1/America/New_York", ""},
        {"Eastern Standard Time", ""},
        {"(UTC-05:00) Eastern Time (US & Canada)", kOwnEastern},
    };
    for (const auto &[tzid, vtimezone] : zones) {
        SCOPED_TRACE(tzid);
        OpsHarness h;
        Answer made = h.run(create_mime(new_york_series(tzid, vtimezone)));
        ASSERT_EQ(made.codes(), std::vector<std::string>{"NoError"}) << made.xml();
        EXPECT_EQ(view(h, "2026-02-01T00:00:00Z", "2026-05-01T00:00:00Z"),
                  (std::vector<std::string>{"2026-03-02T14:00:00Z", "2026-03-09T13:00:00Z", "2026-03-24T14:00:00Z",
                                            "2026-03-30T13:00:00Z"}));
        EXPECT_EQ(view(h, "2026-02-01T00:00:00Z", "2026-05-01T00:00:00Z", "Subject"),
                  (std::vector<std::string>{"Standup", "Standup", "Standup (moved)", "Standup"}));
        Answer master = h.run(get(item_id(made_id(made))));
        EXPECT_EQ(master.one("//t:StartTimeZone/@Id"), "Eastern Standard Time");
        EXPECT_EQ(master.one("//t:Location"), "Room 7");
        EXPECT_EQ(master.all("//t:DeletedOccurrence/t:Start"), std::vector<std::string>{"2026-03-16T13:00:00Z"});
        EXPECT_EQ(master.all("//t:ModifiedOccurrences/t:Occurrence/t:OriginalStart"),
                  std::vector<std::string>{"2026-03-23T13:00:00Z"});
        EXPECT_EQ(master.one("//t:UID"), "series-1@example.com");
    }
    // The iCalendar as it came stays with the item (PidLidInboundICalStream).
    OpsHarness h;
    const std::string text = new_york_series("America/New_York", "");
    Answer made = h.run(create_mime(text));
    Answer kept = h.run(get(item_id(made_id(made)),
                            "<t:AdditionalProperties><t:ExtendedFieldURI DistinguishedPropertySetId=\"Appointment\" "
                            "PropertyId=\"33402\" PropertyType=\"Binary\"/></t:AdditionalProperties>",
                            "IdOnly"));
    EXPECT_EQ(base64_decode_lenient(kept.one("//t:ExtendedProperty/t:Value")).value_or(""), text);
}

TEST(CalendarIcal, DatesAreAllDayInTheCalendarsZoneAndFieldsMapToTheirEwsValues) {
    OpsHarness h;
    Answer berlin = h.run(create_mime(crlf("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//t//t//EN\n"
                                           "X-WR-TIMEZONE:Europe/Berlin\nBEGIN:VEVENT\nUID:day@example.com\n"
                                           "SUMMARY:Holiday\nDTSTART;VALUE=DATE:20260610\nDTEND;VALUE=DATE:20260612\n"
                                           "END:VEVENT\nEND:VCALENDAR\n")));
    Answer a = h.run(get(item_id(made_id(berlin))));
    EXPECT_EQ(a.one("//t:IsAllDayEvent"), "true");
    EXPECT_EQ(a.one("//t:Start"), "2026-06-09T22:00:00Z");
    EXPECT_EQ(a.one("//t:End"), "2026-06-11T22:00:00Z");

    // An all-day series: a date in EXDATE removes that day's occurrence.
    h.run(create_mime(crlf("BEGIN:VCALENDAR\nX-WR-TIMEZONE:Europe/Berlin\nBEGIN:VEVENT\nUID:days\nSUMMARY:Gym\n"
                           "DTSTART;VALUE=DATE:20260706\nRRULE:FREQ=WEEKLY;COUNT=3\nEXDATE;VALUE=DATE:20260713\n"
                           "END:VEVENT\nEND:VCALENDAR\n")));
    EXPECT_EQ(view(h, "2026-07-04T00:00:00Z", "2026-07-25T00:00:00Z"),
              (std::vector<std::string>{"2026-07-05T22:00:00Z", "2026-07-19T22:00:00Z"}));

    Answer plain = h.run(create_mime(single_event("SUMMARY:Day off\nDTSTART;VALUE=DATE:20261224\n")));
    a = h.run(get(item_id(made_id(plain))));
    EXPECT_EQ(a.one("//t:Start"), "2026-12-24T00:00:00Z"); // no zone named: UTC days, one day long
    EXPECT_EQ(a.one("//t:End"), "2026-12-25T00:00:00Z");

    Answer meeting = h.run(create_mime(single_event(
        "SUMMARY:Budget\\, Q3\nDESCRIPTION:Line 1\\nLine 2\nCLASS:PRIVATE\nPRIORITY:2\nCATEGORIES:Red,Blue\n"
        "DTSTART:20260701T120000Z\nDURATION:PT45M\n"
        "ORGANIZER;CN=Bob Boss:mailto:bob@example.com\n"
        "ATTENDEE;CN=Alice;ROLE=REQ-PARTICIPANT;PARTSTAT=TENTATIVE:mailto:alice@example.com\n"
        "ATTENDEE;CN=Carol;ROLE=OPT-PARTICIPANT;PARTSTAT=DECLINED:MAILTO:carol@example.com\n"
        "ATTENDEE;CN=Dan;PARTSTAT=ACCEPTED:mailto:dan@example.com\n"
        "BEGIN:VALARM\nACTION:DISPLAY\nDESCRIPTION:x\nTRIGGER:-PT20M\nEND:VALARM\n")));
    a = h.run(get(item_id(made_id(meeting))));
    EXPECT_EQ(a.one("//t:Subject"), "Budget, Q3");
    EXPECT_EQ(a.one("//t:Body"), "Line 1\nLine 2");
    EXPECT_EQ(a.one("//t:Sensitivity"), "Private");
    EXPECT_EQ(a.one("//t:Importance"), "High");
    EXPECT_EQ(a.all("//t:Categories/t:String"), (std::vector<std::string>{"Red", "Blue"}));
    EXPECT_EQ(a.one("//t:End"), "2026-07-01T12:45:00Z");
    EXPECT_EQ(a.one("//t:ReminderMinutesBeforeStart"), "20");
    EXPECT_EQ(a.one("//t:Organizer/t:Mailbox/t:EmailAddress"), "bob@example.com");
    EXPECT_EQ(a.all("//t:RequiredAttendees/t:Attendee/t:ResponseType"),
              (std::vector<std::string>{"Tentative", "Accept"}));
    EXPECT_EQ(a.all("//t:OptionalAttendees//t:EmailAddress"), std::vector<std::string>{"carol@example.com"});
    EXPECT_EQ(a.one("//t:OptionalAttendees//t:ResponseType"), "Decline");
    EXPECT_EQ(a.one("//t:MyResponseType"), "Tentative"); // the mailbox is an attendee, not the organizer
    EXPECT_EQ(a.one("//t:IsMeeting"), "true");

    // As migration tools write it: a parameter RFC 5545 does not define, a
    // description folded with a tab, an organizer known by name only, a
    // blank line after the end.
    Answer tool = h.run(create_mime(crlf("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Tool\nBEGIN:VEVENT\nUID:t1\n"
                                         "LOCATION;ENCODING=QUOTED-PRINTABLE:Room 9\nSUMMARY:Review\n"
                                         "DTSTART:20260703T080000Z\nDTEND:20260703T090000Z\nORGANIZER:Pat Doe\n"
                                         "DESCRIPTION:first part\n\tand the rest\nSEQUENCE:0\nEND:VEVENT\n"
                                         "END:VCALENDAR\n\n")));
    a = h.run(get(item_id(made_id(tool))));
    EXPECT_EQ(a.one("//t:Location"), "Room 9");
    EXPECT_EQ(a.one("//t:Body"), "first partand the rest");
    EXPECT_EQ(a.one("//t:Organizer//t:Name"), "Pat Doe");
    EXPECT_EQ(a.one("//t:MyResponseType"), "Organizer");

    // Elements beside the MimeContent are set on what the iCalendar made.
    Answer confidential = h.run(create_mime(single_event("DTSTART:20260702T120000Z\nCLASS:CONFIDENTIAL\n"
                                                          "SUMMARY:From iCalendar\nPRIORITY:7\n"),
                                            "<t:Subject>From XML</t:Subject>"));
    a = h.run(get(item_id(made_id(confidential))));
    EXPECT_EQ(a.one("//t:Sensitivity"), "Confidential");
    EXPECT_EQ(a.one("//t:Importance"), "Low");
    EXPECT_EQ(a.one("//t:Subject"), "From XML");
    EXPECT_EQ(a.one("//t:ReminderIsSet"), "false");
}

TEST(CalendarIcal, ContentThatCannotBeConvertedIsRefusedAndNothingIsStored) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Subject: plain mail\r\n\r\nno calendar here\r\n", "ErrorMimeContentConversionFailed"},
        {"BEGIN:VCALENDAR\r\nVERSION:2.0\r\nEND:VCALENDAR\r\n", "ErrorMimeContentConversionFailed"},
        {"BEGIN:VCALENDAR\r\nBEGIN:VEVENT\r\nSUMMARY:x\r\n", "ErrorMimeContentConversionFailed"},
        {single_event("SUMMARY:no start\n"), "ErrorMimeContentConversionFailed"},
        {single_event("DTSTART:2026XX01T120000Z\n"), "ErrorMimeContentConversionFailed"},
        {single_event("DTSTART;TZID=Mars/Olympus:20260701T120000\n"), "ErrorCalendarInvalidTimeZone"},
        {single_event("DTSTART:20260701T120000Z\nRRULE:FREQ=HOURLY;COUNT=3\n"), "ErrorCalendarInvalidRecurrence"},
        {single_event("DTSTART:20260701T120000Z\nRRULE:FREQ=MONTHLY;BYDAY=1MO,-1FR\n"),
         "ErrorCalendarInvalidRecurrence"},
        {single_event("DTSTART:20260701T120000Z\nDTEND:20260701T110000Z\n"),
         "ErrorCalendarEndDateIsEarlierThanStartDate"},
        {crlf("BEGIN:VCALENDAR\nBEGIN:VEVENT\nUID:a\nDTSTART:20260701T120000Z\nEND:VEVENT\n"
              "BEGIN:VEVENT\nUID:b\nDTSTART:20260702T120000Z\nEND:VEVENT\nEND:VCALENDAR\n"),
         "ErrorMimeContentConversionFailed"},
    };
    OpsHarness h;
    for (const auto &[content, code] : cases) {
        SCOPED_TRACE(content);
        EXPECT_EQ(h.run(create_mime(content)).codes(), std::vector<std::string>{code});
    }
    EXPECT_EQ(h.run("<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem>"
                    "<t:MimeContent>@@not base64@@</t:MimeContent></t:CalendarItem></m:Items></m:CreateItem>")
                  .codes(),
              std::vector<std::string>{"ErrorMimeContentInvalidBase64String"});
    EXPECT_TRUE(view(h, "2025-01-01T00:00:00Z", "2026-12-31T00:00:00Z").empty());
}

TEST(CalendarIcal, ServedMimeContentRecreatesTheSameSeries) {
    OpsHarness h;
    // Made from XML: a relative monthly series in Berlin with a changed and
    // a removed occurrence; its MimeContent must bring all of it along.
    Answer made = h.run(
        "<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem><t:Subject>Board</t:Subject>"
        "<t:Sensitivity>Private</t:Sensitivity><t:Start>2026-01-05T09:00:00Z</t:Start>"
        "<t:End>2026-01-05T10:00:00Z</t:End><t:Location>HQ</t:Location>"
        "<t:Recurrence><t:RelativeMonthlyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Monday</t:DaysOfWeek>"
        "<t:DayOfWeekIndex>First</t:DayOfWeekIndex></t:RelativeMonthlyRecurrence><t:EndDateRecurrence>"
        "<t:StartDate>2026-01-05</t:StartDate><t:EndDate>2026-06-30</t:EndDate></t:EndDateRecurrence>"
        "</t:Recurrence><t:StartTimeZone Id=\"W. Europe Standard Time\"/></t:CalendarItem></m:Items>"
        "</m:CreateItem>");
    const std::string master = made_id(made);
    h.run("<m:DeleteItem DeleteType=\"HardDelete\" SendMeetingCancellations=\"SendToNone\"><m:ItemIds>" +
          occurrence(master, 2) + "</m:ItemIds></m:DeleteItem>");
    h.run("<m:UpdateItem ConflictResolution=\"AlwaysOverwrite\" SendMeetingInvitationsOrCancellations=\"SendToNone\">"
          "<m:ItemChanges><t:ItemChange>" + occurrence(master, 4) +
          "<t:Updates><t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:CalendarItem>"
          "<t:Subject>Board (April)</t:Subject></t:CalendarItem></t:SetItemField></t:Updates></t:ItemChange>"
          "</m:ItemChanges></m:UpdateItem>");
    const auto starts = view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z");
    const auto subjects = view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z", "Subject");
    ASSERT_EQ(starts.size(), 5u);

    Answer got = h.run(get(item_id(master), "<t:IncludeMimeContent>true</t:IncludeMimeContent>", "IdOnly"));
    auto mime = base64_decode_lenient(got.one("//t:MimeContent"));
    ASSERT_TRUE(mime);
    EXPECT_NE(mime->find("Content-Type: text/calendar"), std::string::npos) << *mime;
    h.run("<m:DeleteItem DeleteType=\"HardDelete\" SendMeetingCancellations=\"SendToNone\"><m:ItemIds>" +
          item_id(master) + "</m:ItemIds></m:DeleteItem>");
    ASSERT_TRUE(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z").empty());

    Answer again = h.run(create_mime(*mime));
    ASSERT_EQ(again.codes(), std::vector<std::string>{"NoError"}) << again.xml();
    EXPECT_EQ(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z"), starts);
    EXPECT_EQ(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z", "Subject"), subjects);
    Answer copy = h.run(get(item_id(made_id(again))));
    EXPECT_EQ(copy.one("//t:RelativeMonthlyRecurrence/t:DayOfWeekIndex"), "First");
    EXPECT_EQ(copy.one("//t:EndDateRecurrence/t:EndDate"), "2026-06-30");
    EXPECT_EQ(copy.one("//t:StartTimeZone/@Id"), "W. Europe Standard Time");
    EXPECT_EQ(copy.one("//t:Sensitivity"), "Private");
    EXPECT_EQ(copy.one("//t:Location"), "HQ");
}

TEST(CalendarIcal, OccurrencesAreReachedAndChangedTheWayAMigrationAsksForThem) {
    OpsHarness h;
    Answer made = h.run(create_mime(new_york_series("America/New_York", "")));
    const std::string master = made_id(made);
    // One GetItem for indices 1 to 7 of a five-time series, start only.
    std::string ids;
    for (int i = 1; i <= 7; ++i) ids += occurrence(master, i);
    Answer batch = h.run(get(ids, "<t:AdditionalProperties><t:FieldURI FieldURI=\"calendar:Start\"/>"
                                  "</t:AdditionalProperties>", "IdOnly"));
    // Exchange 2007's version (no RequestServerVersion) serves calendar
    // properties of occurrences too; only other kinds of items refuse them.
    OpsHarness plain;
    plain.ctx().requested_version.clear();
    Answer made_2007 = plain.run(create_mime(new_york_series("America/New_York", "")));
    EXPECT_EQ(plain.run(get(occurrence(made_id(made_2007), 1), "<t:AdditionalProperties><t:FieldURI "
                            "FieldURI=\"calendar:Start\"/></t:AdditionalProperties>", "IdOnly"))
                  .one("//t:CalendarItem/t:Start"),
              "2026-03-02T14:00:00Z");
    EXPECT_EQ(batch.codes(), (std::vector<std::string>{
                                 "NoError", "NoError", "ErrorCalendarOccurrenceIsDeletedFromRecurrence", "NoError",
                                 "NoError", "ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange",
                                 "ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange"}));
    const auto occurrence_ids = batch.all("//t:CalendarItem/t:ItemId/@Id");
    const auto change_keys = batch.all("//t:CalendarItem/t:ItemId/@ChangeKey");
    ASSERT_EQ(occurrence_ids.size(), 4u);
    ASSERT_EQ(change_keys.size(), 4u);
    // The ids the answer gave: delete the first, move the second and the last in one UpdateItem.
    EXPECT_EQ(h.run("<m:DeleteItem DeleteType=\"HardDelete\" SendMeetingCancellations=\"SendToNone\"><m:ItemIds>" +
                    item_id(occurrence_ids[0]) + "</m:ItemIds></m:DeleteItem>")
                  .codes(),
              std::vector<std::string>{"NoError"});
    // Moved with the change keys of the GetItem answer, which the delete
    // has made stale: AlwaysOverwrite takes them all the same.
    auto move = [&](std::size_t i, const char *start, const char *end) {
        return "<t:ItemChange><t:ItemId Id=\"" + occurrence_ids[i] + "\" ChangeKey=\"" + change_keys[i] + "\"/>" +
               "<t:Updates><t:SetItemField><t:FieldURI FieldURI=\"calendar:Start\"/><t:CalendarItem><t:Start>" +
               start + "</t:Start></t:CalendarItem></t:SetItemField><t:SetItemField><t:FieldURI "
               "FieldURI=\"calendar:End\"/><t:CalendarItem><t:End>" + end +
               "</t:End></t:CalendarItem></t:SetItemField></t:Updates></t:ItemChange>";
    };
    Answer moved = h.run("<m:UpdateItem ConflictResolution=\"AlwaysOverwrite\" MessageDisposition=\"SaveOnly\" "
                         "SendMeetingInvitationsOrCancellations=\"SendToNone\"><m:ItemChanges>" +
                         move(1, "2026-03-10T15:00:00Z", "2026-03-10T16:00:00Z") +
                         move(3, "2026-03-31T15:00:00Z", "2026-03-31T15:30:00Z") +
                         "</m:ItemChanges></m:UpdateItem>");
    EXPECT_EQ(moved.codes(), (std::vector<std::string>{"NoError", "NoError"}));
    EXPECT_EQ(view(h, "2026-02-01T00:00:00Z", "2026-05-01T00:00:00Z"),
              (std::vector<std::string>{"2026-03-10T15:00:00Z", "2026-03-24T14:00:00Z", "2026-03-31T15:00:00Z"}));
    // A deleted occurrence's id no longer names anything to change.
    EXPECT_EQ(h.run("<m:UpdateItem ConflictResolution=\"AlwaysOverwrite\" "
                    "SendMeetingInvitationsOrCancellations=\"SendToNone\"><m:ItemChanges>" +
                    move(0, "2026-03-03T15:00:00Z", "2026-03-03T16:00:00Z") +
                    "</m:ItemChanges></m:UpdateItem>")
                  .codes(),
              std::vector<std::string>{"ErrorCalendarOccurrenceIsDeletedFromRecurrence"});
}
