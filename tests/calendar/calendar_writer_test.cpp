// Calendar writing: the request text for the cases that decide what a
// target calendar shows, and the occurrence answers as a server may format
// them.  (Round trips through a running ews-sandbox:
// calendar_write_sandbox_test.cpp; the responses block written in /D207
// mode: meeting_response_test.cpp.)
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "calendar/calendar_request.hpp"
#include "calendar/occurrence_exceptions.hpp"
#include "calendar/recurrence_writer.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz::calendar;
using qvtest::filetime_utc;

CalendarRequestOptions Options()
{
    CalendarRequestOptions options;
    options.own_mailbox = "me@example.com";
    options.now = filetime_utc(2026, 6, 1);
    options.zone.session_zone_name = "UTC";
    options.zone.server_major_version = 15;
    return options;
}

qvtest::Record Event(const std::string &title)
{
    qvtest::Record msg = qvtest::new_record(7);
    msg->item_type = QV_ITEM_CALENDAR;
    qvtest::set_text(msg->title, title);
    msg->priority = 1;
    msg->start_time = filetime_utc(2026, 7, 1, 9);
    msg->end_time = filetime_utc(2026, 7, 1, 10);
    return msg;
}

TEST(CalendarRequest, AllDayEventsCoverWholeLocalDays)
{
    conntest::ScratchDir work;
    auto msg = Event("holiday");
    msg->all_day = 1;
    msg->start_time = msg->end_time = filetime_utc(2026, 7, 1, 13);
    const std::string xml = CalendarItemXml(*msg, Options(), work.dir(), false);
    EXPECT_NE(xml.find("PropertyId=\"33301\" PropertyType=\"Boolean\"/>\n<t:Value>true"), std::string::npos);
    EXPECT_NE(xml.find("<t:Start>2026-07-01T00:00:00Z</t:Start>\n<t:End>2026-07-02T00:00:00Z</t:End>"),
              std::string::npos) << xml;
    EXPECT_EQ(+msg->end_time, filetime_utc(2026, 7, 2)) << "the record keeps the day it was given";
    // A holiday in Berlin is Berlin's day, whatever the host's zone, and
    // the item says so.
    auto berlin = Event("Tag der Arbeit");
    berlin->all_day = 1;
    berlin->start_time = berlin->end_time = filetime_utc(2026, 4, 30, 22);
    qvtest::set_text(berlin->time_zone, "W. Europe Standard Time");
    const std::string local = CalendarItemXml(*berlin, Options(), work.dir(), false);
    EXPECT_NE(local.find("<t:Start>2026-04-30T22:00:00Z</t:Start>\n<t:End>2026-05-01T22:00:00Z</t:End>"),
              std::string::npos) << local;
    EXPECT_NE(local.find("<t:StartTimeZone Id=\"W. Europe Standard Time\">"), std::string::npos) << local;
}

TEST(CalendarRequest, RemindersOnlyForEventsStillAhead)
{
    conntest::ScratchDir work;
    auto ahead = Event("ahead");
    ahead->reminder_minutes = 15;
    EXPECT_NE(CalendarItemXml(*ahead, Options(), work.dir(), false)
                  .find("<t:ReminderMinutesBeforeStart>15</t:ReminderMinutesBeforeStart>"),
              std::string::npos);
    auto started = Event("started");
    started->reminder_minutes = 15;
    started->start_time = filetime_utc(2026, 5, 31, 23);
    const std::string xml = CalendarItemXml(*started, Options(), work.dir(), false);
    EXPECT_NE(xml.find("<t:ReminderIsSet>false</t:ReminderIsSet>"), std::string::npos);
    EXPECT_EQ(xml.find("ReminderMinutesBeforeStart"), std::string::npos);
}

TEST(CalendarRequest, AttendeesLeaveOutUnknownOwnMailboxAndOrganizer)
{
    auto msg = Event("meeting");
    qvtest::add_recipient(*msg, "Bob & Co", "bob@example.com", QV_RECIP_TO);
    qvtest::add_recipient(*msg, "Unknown", "ghost@example.com", QV_RECIP_TO);
    qvtest::add_recipient(*msg, "Me", "ME@example.com", QV_RECIP_TO);
    qvtest::add_recipient(*msg, "Dan", "dan@example.com", QV_RECIP_CC);
    qvtest::add_recipient(*msg, "unknown", "", QV_RECIP_CC);
    qvtest::add_recipient(*msg, "Boss", "boss@example.com", QV_RECIP_ORGANIZER);
    const std::string xml = AttendeesXml(*msg, "me@example.com");
    EXPECT_EQ(xml, "<t:RequiredAttendees>\n<t:Attendee>\n<t:Mailbox>\n<t:Name>Bob &amp; Co</t:Name>\n"
                   "<t:EmailAddress>bob@example.com</t:EmailAddress>\n<t:RoutingType>SMTP</t:RoutingType>\n"
                   "</t:Mailbox>\n<t:ResponseType>Unknown</t:ResponseType>\n</t:Attendee>\n"
                   "</t:RequiredAttendees>\n<t:OptionalAttendees>\n<t:Attendee>\n<t:Mailbox>\n"
                   "<t:Name>Dan</t:Name>\n<t:EmailAddress>dan@example.com</t:EmailAddress>\n</t:Mailbox>\n"
                   "</t:Attendee>\n</t:OptionalAttendees>\n");
}

TEST(CalendarRequest, OrganizerRuleWithAndWithoutResponsesMode)
{
    auto theirs = Event("theirs");
    qvtest::set_text(theirs->organizer_address, "boss@example.com");
    qvtest::add_recipient(*theirs, "Bob", "bob@example.com", QV_RECIP_TO);
    auto mine = Event("mine");
    qvtest::set_text(mine->organizer_name, "ME@EXAMPLE.COM");
    qvtest::add_recipient(*mine, "Bob", "bob@example.com", QV_RECIP_TO);
    auto alone = Event("no recipients");
    qvtest::set_text(alone->organizer_address, "boss@example.com");

    CalendarRequestOptions plain = Options(), d211 = Options(), d207 = Options(), both = Options();
    d211.write_attendees = both.write_attendees = true;
    d207.meeting_responses = both.meeting_responses = true;
    EXPECT_EQ(DecideAttendees(*theirs, plain), AttendeeRule::kLeaveOut);
    EXPECT_EQ(DecideAttendees(*theirs, d211), AttendeeRule::kWrite);
    EXPECT_EQ(DecideAttendees(*theirs, d207), AttendeeRule::kSkipItem);
    EXPECT_EQ(DecideAttendees(*theirs, both), AttendeeRule::kSkipItem) << "/D211 does not save it";
    EXPECT_EQ(DecideAttendees(*mine, plain), AttendeeRule::kWrite);
    EXPECT_EQ(DecideAttendees(*mine, d207), AttendeeRule::kWrite);
    EXPECT_EQ(DecideAttendees(*alone, d207), AttendeeRule::kWrite);
    theirs->user_is_organizer = 1; // read from its organizer's own mailbox
    EXPECT_EQ(DecideAttendees(*theirs, plain), AttendeeRule::kWrite);
    EXPECT_EQ(DecideAttendees(*theirs, d207), AttendeeRule::kWrite);
}

TEST(RecurrenceWriter, NumberedDailyIsCappedInRequestAndRecord)
{
    auto msg = Event("daily");
    msg->recur_type = 6, msg->recur_interval = 1, msg->recur_range = 0, msg->recur_count = 50000;
    const std::string xml = RecurrenceXml(*msg, Options().zone);
    EXPECT_NE(xml.find("<t:NumberOfOccurrences>36500</t:NumberOfOccurrences>"), std::string::npos) << xml;
    EXPECT_EQ(+msg->recur_count, 36500);
}

TEST(RecurrenceWriter, StartDateComesFromTheSeriesZone)
{
    // 20:00 in New York on Monday 2 March is Tuesday 01:00 UTC: a host in
    // UTC must still start the Monday series on Monday.
    auto msg = Event("evening");
    msg->start_time = filetime_utc(2026, 3, 3, 1);
    msg->recur_type = 5, msg->recur_interval = 1, msg->recur_days = 2, msg->recur_range = 2;
    qvtest::set_text(msg->time_zone, "America/New_York");
    EXPECT_EQ(SeriesStartDate(*msg, Options().zone), "2026-03-02");
    // Summer time counts: 23:30 in Berlin on 30 June is 21:30 UTC.
    msg->start_time = filetime_utc(2026, 6, 30, 21, 30);
    qvtest::set_text(msg->time_zone, "W. Europe Standard Time");
    EXPECT_EQ(SeriesStartDate(*msg, Options().zone), "2026-06-30");
}

// The occurrence answers are read by element, not by line position: a
// server that indents, or answers some indices with errors, is read right.
TEST(OccurrenceAnswers, ErrorsNeverPassForOccurrences)
{
    const auto answers =
        ReadOccurrenceAnswers(std::string(QV_TEST_DATA_DIR) + "/calendar/occurrence_answers.xml");
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_TRUE(answers[0].ok);
    EXPECT_EQ((std::tuple{answers[0].id, answers[0].change_key, answers[0].start}),
              (std::tuple{std::string("occ1"), std::string("ck1"), filetime_utc(2026, 3, 2, 14)}));
    EXPECT_FALSE(answers[1].ok);
    EXPECT_EQ(answers[1].code, "ErrorItemNotFound");
    EXPECT_FALSE(answers[2].ok);
    EXPECT_EQ(answers[2].code, "ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange");
}

} // namespace
