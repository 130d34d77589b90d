// Calendar items through the operations: what is stored and shown, the
// occurrence ids, exceptions and deleted occurrences, the calendar view,
// and the error answers Exchange gives (every answer is checked against
// the schema by the harness).  Codes and texts from Microsoft's EWS
// reference: "ResponseCode", "CalendarView", "OccurrenceItemId",
// "CreateItem operation (calendar item)", "DeleteItem operation".
#include <gtest/gtest.h>

#include "mailbox_tools.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

const char *kWeekly =
    "<t:Recurrence><t:WeeklyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Monday</t:DaysOfWeek>"
    "</t:WeeklyRecurrence><t:NumberedRecurrence><t:StartDate>2026-02-23</t:StartDate>"
    "<t:NumberOfOccurrences>6</t:NumberOfOccurrences></t:NumberedRecurrence></t:Recurrence>";

std::string calendar_item(const std::string &subject, const std::string &start, const std::string &end,
                          const std::string &recurrence = "", const std::string &zone = "Eastern Standard Time") {
    return "<t:CalendarItem><t:Subject>" + subject + "</t:Subject><t:Start>" + start + "</t:Start><t:End>" + end +
           "</t:End>" + recurrence + "<t:StartTimeZone Id=\"" + zone + "\"/></t:CalendarItem>";
}

std::string create(const std::string &item, const char *invitations = " SendMeetingInvitations=\"SendToNone\"") {
    return create_item(item, invitations);
}

} // namespace

TEST(CalendarOps, SingleItemKeepsItsFieldsAndVersionDecidesTheZoneElements) {
    OpsHarness h;
    h.config().major_version = 14;
    Answer made = h.run(create(request_file("meeting-in-berlin.xml")));
    ASSERT_EQ(made.codes(), std::vector<std::string>{"NoError"});
    const std::string id = item_id(calendar_item_id(made));
    Answer got = h.run(get_item(id));
    EXPECT_EQ(got.fields("//t:", "Subject Start End Sensitivity Body ReminderMinutesBeforeStart UID "
                                 "LegacyFreeBusyStatus CalendarItemType IsMeeting Organizer/t:Mailbox/t:EmailAddress "
                                 "RequiredAttendees/t:Attendee/t:ResponseType MeetingTimeZone/@TimeZoneName "
                                 "StartTimeZone/@Id"),
              "Subject=Review & plan; Start=2026-06-10T12:00:00Z; End=2026-06-10T13:30:00Z; Sensitivity=Private; "
              "Body=line 1\nline 2; ReminderMinutesBeforeStart=30; UID=uid-1@example.com; "
              "LegacyFreeBusyStatus=Tentative; CalendarItemType=Single; IsMeeting=true; "
              "Organizer/t:Mailbox/t:EmailAddress=alice@example.com; "
              "RequiredAttendees/t:Attendee/t:ResponseType=Accept; "
              "MeetingTimeZone/@TimeZoneName=W. Europe Standard Time; StartTimeZone/@Id=W. Europe Standard Time");
    h.config().major_version = 15;
    got = h.run(get_item(id));
    EXPECT_EQ(got.count("//t:MeetingTimeZone"), 0u);
    // The global object id is the meeting's property 3.
    got = h.run(get_item(id, "IdOnly", additional("<t:ExtendedFieldURI DistinguishedPropertySetId=\"Meeting\" "
                                                  "PropertyId=\"3\" PropertyType=\"Binary\"/>")));
    auto goid = base64_decode_lenient(got.one("//t:ExtendedProperty/t:Value"));
    ASSERT_TRUE(goid);
    EXPECT_NE(goid->find("uid-1@example.com"), std::string::npos);
}

TEST(CalendarOps, AllDayEventsSpanWholeLocalDays) {
    OpsHarness h;
    Answer made = h.run(create("<t:CalendarItem><t:Subject>Trip</t:Subject><t:Start>2026-07-06T09:00:00Z</t:Start>"
                               "<t:End>2026-07-08T10:00:00Z</t:End><t:IsAllDayEvent>true</t:IsAllDayEvent>"
                               "<t:StartTimeZone Id=\"Eastern Standard Time\"/></t:CalendarItem>"));
    EXPECT_EQ(h.run(get_item(item_id(calendar_item_id(made)))).fields("//t:", "Start End IsAllDayEvent"),
              "Start=2026-07-06T04:00:00Z; End=2026-07-09T04:00:00Z; IsAllDayEvent=true");
}

TEST(CalendarOps, CreateRefusesWhatExchangeRefuses) {
    OpsHarness h;
    const std::string zero_interval =
        "<t:Recurrence><t:DailyRecurrence><t:Interval>0</t:Interval></t:DailyRecurrence><t:NoEndRecurrence>"
        "<t:StartDate>2026-03-02</t:StartDate></t:NoEndRecurrence></t:Recurrence>";
    // A Monday pattern between a Tuesday and a Sunday has no occurrence at all.
    const std::string empty_range =
        "<t:Recurrence><t:WeeklyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Monday</t:DaysOfWeek>"
        "</t:WeeklyRecurrence><t:EndDateRecurrence><t:StartDate>2026-03-03</t:StartDate>"
        "<t:EndDate>2026-03-08</t:EndDate></t:EndDateRecurrence></t:Recurrence>";
    // An end before the start is refused by the check CalendarIcal's refused content meets.
    const std::pair<std::string, const char *> cases[] = {
        {create(calendar_item("x", "2026-03-02T14:00:00Z", "2026-03-02T15:00:00Z"), ""),
         "ErrorSendMeetingInvitationsRequired"},
        {create(calendar_item("x", "2026-03-02T14:00:00Z", "2026-03-02T15:00:00Z", "", "Atlantis Standard Time")),
         "ErrorCalendarInvalidTimeZone"},
        {create(calendar_item("x", "2026-03-02T14:00:00Z", "2026-03-02T15:00:00Z", zero_interval)),
         "ErrorCalendarInvalidRecurrence"},
        {create(calendar_item("x", "2026-03-03T14:00:00Z", "2026-03-03T15:00:00Z", empty_range)),
         "ErrorRecurrenceHasNoOccurrence"},
    };
    for (const auto &[request, code] : cases)
        EXPECT_EQ(h.run(request).codes(), std::vector<std::string>{code}) << request;
    EXPECT_EQ(h.store().items_in_folder(h.home(), h.store().distinguished_folder(h.home(), "calendar")->id).size(), 0u);
}

TEST(CalendarOps, OccurrencesBecomeExceptionsOrDeletedOccurrencesOfTheirMaster) {
    OpsHarness h;
    Answer made = h.run(create(calendar_item("Sync", "2026-02-23T14:00:00Z", "2026-02-23T14:30:00Z", kWeekly)));
    const std::string master = calendar_item_id(made);
    const std::string third_id = calendar_item_id(h.run(get_item(occurrence(master, 3))));
    // Moving onto the next Monday's occurrence is refused; within the week it is an exception.
    EXPECT_EQ(h.codes(move_start(item_id(third_id), "2026-03-16T13:00:00Z", "2026-03-16T13:30:00Z")),
              "ErrorOccurrenceCrossingBoundary");
    EXPECT_EQ(h.codes(move_start(item_id(third_id), "2026-03-10T15:00:00Z", "2026-03-10T16:00:00Z")), "NoError");
    EXPECT_EQ(h.codes(delete_items(occurrence(master, 5), "HardDelete", "")), "ErrorSendMeetingCancellationsRequired");
    EXPECT_EQ(h.codes(delete_items(occurrence(master, 5))), "NoError");
    EXPECT_EQ(h.codes(get_item(occurrence(master, 5))), "ErrorCalendarOccurrenceIsDeletedFromRecurrence");
    for (int beyond : {7, 2000000000})
        EXPECT_EQ(h.codes(get_item(occurrence(master, beyond))), "ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange");
    // The ordinary occurrence, exception and master fields are checked through
    // python3-exchangelib (exchangelib_calendar_test.py); here the errors.
    Answer series = h.run(get_item("<t:RecurringMasterItemId OccurrenceId=\"" + third_id + "\"/>"));
    EXPECT_EQ(series.all("//t:ModifiedOccurrences/t:Occurrence/t:Start"),
              std::vector<std::string>{"2026-03-10T15:00:00Z"});
    // An occurrence id is no master to count occurrences from.
    EXPECT_EQ(h.codes(get_item(occurrence(third_id, 1))), "ErrorCalendarCannotUseIdForOccurrenceId");
    // One occurrence cannot leave its series; it can be changed by OccurrenceItemId.
    EXPECT_EQ(h.codes(place("CopyItem", third_id, "inbox")), "ErrorCalendarCannotMoveOrCopyOccurrence");
    EXPECT_EQ(h.codes(move_start(occurrence(master, 4), "2026-03-16T14:00:00Z", "2026-03-16T14:30:00Z")), "NoError");
    EXPECT_EQ(h.run(get_item(occurrence(master, 4))).one("//t:CalendarItemType"), "Exception");
    // The series travels with its master.
    Answer moved = h.run(place("MoveItem", master, "deleteditems"));
    Answer after = h.run(get_item(item_id(moved.one("//t:ItemId/@Id"))));
    EXPECT_EQ(after.count("//t:ModifiedOccurrences/t:Occurrence"), 2u);
    EXPECT_EQ(after.count("//t:DeletedOccurrences/t:DeletedOccurrence"), 1u);
}

TEST(CalendarOps, CalendarViewExpandsSeriesAndAnswersItsErrors) {
    OpsHarness h;
    h.ctx().requested_version = "Exchange2010_SP2"; // calendar: properties in the shape
    const std::string master =
        calendar_item_id(h.run(create(calendar_item("Sync", "2026-02-23T14:00:00Z", "2026-02-23T14:30:00Z", kWeekly))));
    h.run(create(calendar_item("Lunch", "2026-03-04T17:00:00Z", "2026-03-04T18:00:00Z")));
    h.run(delete_items(occurrence(master, 2)));
    // The ordinary view of singles and series is exchangelib_calendar_test.py's.
    Answer v = h.run(calendar_view("2026-03-01T00:00:00Z", "2026-03-17T00:00:00Z"));
    EXPECT_EQ(v.all("//t:CalendarItemType"), (std::vector<std::string>{"Single", "Occurrence", "Occurrence"}));
    EXPECT_EQ(v.one("//m:RootFolder/@IncludesLastItemInRange"), "true");
    // An item ending exactly at the view's start is in it; one starting at its end is not.
    EXPECT_EQ(h.run(calendar_view("2026-03-04T18:00:00Z", "2026-03-09T13:00:00Z")).all("//t:Subject"),
              std::vector<std::string>{"Lunch"});
    Answer capped = h.run(calendar_view("2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z", " MaxEntriesReturned=\"2\""));
    EXPECT_EQ(capped.count("//t:CalendarItem"), 2u);
    EXPECT_EQ(capped.one("//m:RootFolder/@TotalItemsInView"), "6");
    EXPECT_EQ(capped.one("//m:RootFolder/@IncludesLastItemInRange"), "false");
    h.config().max_page_entries = 5;
    Answer too_many = h.run(calendar_view("2026-01-01T00:00:00Z", "2026-12-31T00:00:00Z"));
    EXPECT_EQ(too_many.codes(), std::vector<std::string>{"ErrorExceededFindCountLimit"});
    EXPECT_EQ(too_many.one("//t:Value[@Name='PolicyLimit']"), "5");
    EXPECT_EQ(h.codes(calendar_view("2026-01-01T00:00:00Z", "2028-06-01T00:00:00Z")), "ErrorCalendarViewRangeTooBig");
    EXPECT_EQ(h.codes(calendar_view("2026-03-01T00:00:00Z", "2026-04-01T00:00:00Z", " MaxEntriesReturned=\"0\"")),
              "ErrorInvalidPagingMaxRows");
    EXPECT_EQ(h.codes(calendar_view("2026-03-01T00:00:00Z", "2026-02-01T00:00:00Z")),
              "ErrorCalendarEndDateIsEarlierThanStartDate");
    EXPECT_EQ(h.codes(calendar_view("2026-03-01T00:00:00Z", "2026-04-01T00:00:00Z", "", "inbox")),
              "ErrorCalendarFolderIsInvalidForCalendarView");
    // Outside a view a folder lists masters, never occurrences.
    Answer listed = h.run("<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>Default</t:BaseShape>"
                          "</m:ItemShape><m:ParentFolderIds><t:DistinguishedFolderId Id=\"calendar\"/>"
                          "</m:ParentFolderIds></m:FindItem>");
    EXPECT_EQ(listed.count("//t:CalendarItem"), 2u);
}

TEST(CalendarOps, DemoCalendarHoldsEachPatternAndTheHardCases) {
    OpsHarness h;
    ASSERT_EQ(seed_demo(h.dir().string(), "alice@example.com"), 0);
    Answer listed = h.run("<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                          "</m:ItemShape><m:ParentFolderIds><t:DistinguishedFolderId Id=\"calendar\"/>"
                          "</m:ParentFolderIds></m:FindItem>");
    std::string ids;
    for (const auto &id : listed.all("//t:ItemId/@Id")) ids += item_id(id);
    Answer all = h.run(get_item(ids));
    for (const char *p : {"Daily", "Weekly", "AbsoluteMonthly", "RelativeMonthly", "AbsoluteYearly", "RelativeYearly"})
        EXPECT_EQ(all.count(std::string("//t:Recurrence/t:") + p + "Recurrence"), 1u) << p;
    const std::string sync = "//t:CalendarItem[t:Subject='Team sync']";
    EXPECT_EQ(all.one(sync + "/t:ModifiedOccurrences/t:Occurrence/t:OriginalStart"), "2026-03-09T13:00:00Z");
    EXPECT_EQ(all.one(sync + "/t:DeletedOccurrences/t:DeletedOccurrence/t:Start"), "2026-03-23T13:00:00Z");
    EXPECT_EQ(all.one("//t:CalendarItem[t:Subject='Conference trip']/t:End"), "2026-09-17T22:00:00Z");
    EXPECT_EQ(all.one("//t:CalendarItem[t:Subject='Doctor']/t:Sensitivity"), "Private");
    const std::string review = "//t:CalendarItem[t:Subject='Quarterly review']";
    EXPECT_EQ(all.one(review + "/t:MyResponseType"), "Accept");
    EXPECT_EQ(all.one(review + "/t:Organizer/t:Mailbox/t:EmailAddress"), "zoe.martin@example.fr");
    EXPECT_EQ(all.all(review + "//t:Attendee/t:ResponseType"),
              (std::vector<std::string>{"Accept", "Tentative", "Decline"}));
}
