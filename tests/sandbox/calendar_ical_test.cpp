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
using ops_test::additional;
using ops_test::Answer;
using ops_test::calendar_item_id;
using ops_test::get_item;
using ops_test::item_id;
using ops_test::occurrence;

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
    return ops_test::create_item("<t:CalendarItem><t:MimeContent CharacterSet=\"UTF-8\">" + base64_encode(content) +
                                     "</t:MimeContent>" + beside + "</t:CalendarItem>",
                                 " SendMeetingInvitations=\"SendToNone\"");
}

// Starts (UTC, as EWS writes them) and subjects of a calendar view.
std::vector<std::string> view(OpsHarness &h, const char *from, const char *to, const char *what = "Start") {
    return h.run(ops_test::calendar_view(from, to)).all(std::string("//t:CalendarItem/t:") + what);
}

std::string ical_file(const std::string &name, const std::vector<std::pair<std::string, std::string>> &fill = {}) {
    return ops_test::data_file("ical/" + name, fill);
}

// A weekly Monday 09:00 series in New York over the March 2026 change to
// daylight saving time (8 March), five times, the third removed and the
// fourth moved to Tuesday 10:00 with its own subject.
std::string new_york_series(const std::string &tzid, const std::string &vtimezone) {
    return crlf(ical_file("new-york-series.ics", {{"@VTIMEZONE@\n", vtimezone}, {"@TZID@", tzid}}));
}

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
        // US Eastern rules since 2007, under a name no zone database has.
        {"(UTC-05:00) Eastern Time (US & Canada)", ical_file("own-eastern.vtimezone")},
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
        Answer master = h.run(get_item(item_id(calendar_item_id(made))));
        EXPECT_EQ(master.fields("//t:", "StartTimeZone/@Id Location UID"),
                  "StartTimeZone/@Id=Eastern Standard Time; Location=Room 7; UID=series-1@example.com");
        EXPECT_EQ(master.all("//t:DeletedOccurrence/t:Start"), std::vector<std::string>{"2026-03-16T13:00:00Z"});
        EXPECT_EQ(master.all("//t:ModifiedOccurrences/t:Occurrence/t:OriginalStart"),
                  std::vector<std::string>{"2026-03-23T13:00:00Z"});
    }
    // The iCalendar as it came stays with the item (PidLidInboundICalStream).
    OpsHarness h;
    const std::string text = new_york_series("America/New_York", "");
    Answer made = h.run(create_mime(text));
    Answer kept = h.run(get_item(item_id(calendar_item_id(made)), "IdOnly",
                                 additional("<t:ExtendedFieldURI DistinguishedPropertySetId=\"Appointment\" "
                                            "PropertyId=\"33402\" PropertyType=\"Binary\"/>")));
    EXPECT_EQ(base64_decode_lenient(kept.one("//t:ExtendedProperty/t:Value")).value_or(""), text);
}

TEST(CalendarIcal, DatesAreAllDayInTheCalendarsZoneAndFieldsMapToTheirEwsValues) {
    OpsHarness h;
    Answer berlin = h.run(create_mime(crlf(ical_file("berlin-holiday.ics"))));
    Answer a = h.run(get_item(item_id(calendar_item_id(berlin))));
    EXPECT_EQ(a.fields("//t:", "IsAllDayEvent Start End"),
              "IsAllDayEvent=true; Start=2026-06-09T22:00:00Z; End=2026-06-11T22:00:00Z");

    // An all-day series: a date in EXDATE removes that day's occurrence.
    h.run(create_mime(crlf(ical_file("berlin-gym.ics"))));
    EXPECT_EQ(view(h, "2026-07-04T00:00:00Z", "2026-07-25T00:00:00Z"),
              (std::vector<std::string>{"2026-07-05T22:00:00Z", "2026-07-19T22:00:00Z"}));

    Answer plain = h.run(create_mime(single_event("SUMMARY:Day off\nDTSTART;VALUE=DATE:20261224\n")));
    a = h.run(get_item(item_id(calendar_item_id(plain))));
    EXPECT_EQ(a.one("//t:Start"), "2026-12-24T00:00:00Z"); // no zone named: UTC days, one day long
    EXPECT_EQ(a.one("//t:End"), "2026-12-25T00:00:00Z");

    Answer meeting = h.run(create_mime(crlf(ical_file("meeting.ics"))));
    a = h.run(get_item(item_id(calendar_item_id(meeting))));
    // MyResponseType: the mailbox is an attendee, not the organizer.
    EXPECT_EQ(a.fields("//t:", "Subject Body Sensitivity Importance End ReminderMinutesBeforeStart IsMeeting "
                               "Organizer/t:Mailbox/t:EmailAddress OptionalAttendees//t:ResponseType MyResponseType"),
              "Subject=Budget, Q3; Body=Line 1\nLine 2; Sensitivity=Private; Importance=High; "
              "End=2026-07-01T12:45:00Z; ReminderMinutesBeforeStart=20; IsMeeting=true; "
              "Organizer/t:Mailbox/t:EmailAddress=bob@example.com; OptionalAttendees//t:ResponseType=Decline; "
              "MyResponseType=Tentative");
    EXPECT_EQ(a.all("//t:Categories/t:String"), (std::vector<std::string>{"Red", "Blue"}));
    EXPECT_EQ(a.all("//t:RequiredAttendees/t:Attendee/t:ResponseType"),
              (std::vector<std::string>{"Tentative", "Accept"}));
    EXPECT_EQ(a.all("//t:OptionalAttendees//t:EmailAddress"), std::vector<std::string>{"carol@example.com"});

    // As migration tools write it: a parameter RFC 5545 does not define, a
    // description folded with a tab, an organizer known by name only, a
    // blank line after the end.
    Answer tool = h.run(create_mime(crlf(ical_file("migration-tool.ics"))));
    a = h.run(get_item(item_id(calendar_item_id(tool))));
    EXPECT_EQ(a.fields("//t:", "Location Body Organizer//t:Name MyResponseType"),
              "Location=Room 9; Body=first partand the rest; Organizer//t:Name=Pat Doe; MyResponseType=Organizer");

    // Elements beside the MimeContent are set on what the iCalendar made.
    Answer confidential = h.run(create_mime(single_event("DTSTART:20260702T120000Z\nCLASS:CONFIDENTIAL\n"
                                                          "SUMMARY:From iCalendar\nPRIORITY:7\n"),
                                            "<t:Subject>From XML</t:Subject>"));
    a = h.run(get_item(item_id(calendar_item_id(confidential))));
    EXPECT_EQ(a.fields("//t:", "Sensitivity Importance Subject ReminderIsSet"),
              "Sensitivity=Confidential; Importance=Low; Subject=From XML; ReminderIsSet=false");
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
    std::string not_base64 = create_mime("");
    not_base64.replace(not_base64.find("</t:MimeContent>"), 0, "@@not base64@@");
    EXPECT_EQ(h.codes(not_base64), "ErrorMimeContentInvalidBase64String");
    EXPECT_TRUE(view(h, "2025-01-01T00:00:00Z", "2026-12-31T00:00:00Z").empty());
}

TEST(CalendarIcal, ServedMimeContentRecreatesTheSameSeries) {
    OpsHarness h;
    // Made from XML: a relative monthly series in Berlin with a changed and
    // a removed occurrence; its MimeContent must bring all of it along.
    Answer made = h.run(ops_test::request_file("board-series.xml"));
    const std::string master = calendar_item_id(made);
    h.run(ops_test::delete_items(occurrence(master, 2)));
    h.run(ops_test::update_item(occurrence(master, 4), "<t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:"
                                "CalendarItem><t:Subject>Board (April)</t:Subject></t:CalendarItem></t:SetItemField>",
                                "AlwaysOverwrite", " SendMeetingInvitationsOrCancellations=\"SendToNone\""));
    const auto starts = view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z");
    const auto subjects = view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z", "Subject");
    ASSERT_EQ(starts.size(), 5u);

    Answer got = h.run(get_item(item_id(master), "IdOnly", "<t:IncludeMimeContent>true</t:IncludeMimeContent>"));
    auto mime = base64_decode_lenient(got.one("//t:MimeContent"));
    ASSERT_TRUE(mime);
    EXPECT_NE(mime->find("Content-Type: text/calendar"), std::string::npos) << *mime;
    h.run(ops_test::delete_items(item_id(master)));
    ASSERT_TRUE(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z").empty());

    Answer again = h.run(create_mime(*mime));
    ASSERT_EQ(again.codes(), std::vector<std::string>{"NoError"}) << again.xml();
    EXPECT_EQ(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z"), starts);
    EXPECT_EQ(view(h, "2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z", "Subject"), subjects);
    Answer copy = h.run(get_item(item_id(calendar_item_id(again))));
    EXPECT_EQ(copy.fields("//t:", "RelativeMonthlyRecurrence/t:DayOfWeekIndex EndDateRecurrence/t:EndDate "
                                  "StartTimeZone/@Id Sensitivity Location"),
              "RelativeMonthlyRecurrence/t:DayOfWeekIndex=First; EndDateRecurrence/t:EndDate=2026-06-30; "
              "StartTimeZone/@Id=W. Europe Standard Time; Sensitivity=Private; Location=HQ");
}

TEST(CalendarIcal, OccurrencesAreReachedAndChangedTheWayAMigrationAsksForThem) {
    OpsHarness h;
    Answer made = h.run(create_mime(new_york_series("America/New_York", "")));
    const std::string master = calendar_item_id(made);
    // One GetItem for indices 1 to 7 of a five-time series, start only.
    std::string ids;
    for (int i = 1; i <= 7; ++i) ids += occurrence(master, i);
    const std::string start_only = additional("<t:FieldURI FieldURI=\"calendar:Start\"/>");
    Answer batch = h.run(get_item(ids, "IdOnly", start_only));
    // Exchange 2007's version (no RequestServerVersion) serves calendar
    // properties of occurrences too; only other kinds of items refuse them.
    OpsHarness plain;
    plain.ctx().requested_version.clear();
    Answer made_2007 = plain.run(create_mime(new_york_series("America/New_York", "")));
    EXPECT_EQ(plain.run(get_item(occurrence(calendar_item_id(made_2007), 1), "IdOnly", start_only))
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
    // The ids the answer gave, as the connector's occurrence changes use them
    // (moves with the stale keys of this answer are its CalendarSandbox
    // tests' ordinary path): the first deleted, then no longer changeable.
    EXPECT_EQ(h.codes(ops_test::delete_items(item_id(occurrence_ids[0]))), "NoError");
    EXPECT_EQ(h.codes(ops_test::move_start("<t:ItemId Id=\"" + occurrence_ids[0] + "\" ChangeKey=\"" + change_keys[0] +
                                           "\"/>", "2026-03-03T15:00:00Z", "2026-03-03T16:00:00Z")),
              "ErrorCalendarOccurrenceIsDeletedFromRecurrence");
}
