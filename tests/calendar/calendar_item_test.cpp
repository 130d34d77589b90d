// One calendar item from its GetItem answer into the record: fields,
// organizer and attendee rules, and the local time of a series kept across
// a daylight saving change.
#include <gtest/gtest.h>

#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include <memory>
#include <string>

#include "calendar/calendar_item.hpp"
#include "calendar_answers.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace {

using namespace qvamz::calendar;
using qvtest::filetime_utc;

class CalendarItemTest : public ::testing::Test {
  protected:
    qvtest::Record Read(const std::string &data_file)
    {
        const std::string path = caltest::StoreAnswer(
            dir.file("calendar.xml"), qvtest::read_file(caltest::DataFile(data_file)));
        qvtest::Record record = qvtest::new_record(7);
        EXPECT_TRUE(ParseCalendarItem(path, record.get(), context));
        return record;
    }
    static void ExpectRecipient(const qv_message &r, int i, const char *name, const char *address,
                                int kind, int response)
    {
        SCOPED_TRACE(i);
        ASSERT_LT(i, r.recipient_count);
        EXPECT_STREQ(r.recipients[i]->name, name);
        EXPECT_STREQ(r.recipients[i]->address, address);
        EXPECT_EQ(r.recipients[i]->kind, kind);
        EXPECT_EQ(r.recipients[i]->response, response);
    }

    conntest::ScratchDir dir;
    ItemContext context{dir.dir(), "user@example.com"};
};

TEST_F(CalendarItemTest, RecurringMeetingOfTheUser)
{
    const qvtest::Record r = Read("getitem_weekly_new_york.xml");
    EXPECT_STREQ(r->title, "Team sync & review");
    EXPECT_STREQ(r->location, "Room 4");
    EXPECT_STREQ(r->uid, "040000008200E00074C5B7101A82E00800000000");
    EXPECT_EQ(+r->start_time, filetime_utc(2024, 2, 26, 14));
    EXPECT_EQ(+r->end_time, filetime_utc(2024, 2, 26, 15));
    EXPECT_EQ(+r->all_day, 0);
    EXPECT_EQ(+r->entry_type, 3); // a meeting with a reminder
    EXPECT_EQ(+r->reminder_set, 1);
    EXPECT_EQ(+r->reminder_minutes, 15);
    EXPECT_EQ(+r->busy_status, 2);
    EXPECT_EQ(+r->is_private, 0);
    EXPECT_STREQ(r->categories, "Work");
    EXPECT_STREQ(r->time_zone, "Eastern Standard Time");
    EXPECT_EQ(+r->recur_type, 5);
    EXPECT_EQ(+r->breakout_count, 3);

    ASSERT_EQ(r->part_count, 1);
    EXPECT_EQ(r->parts[0]->part_type, QV_PART_TEXT_BODY);
    EXPECT_EQ(qvtest::read_file(qvcom::part_file_path(dir.dir(), 7, 0)),
              "Agenda:\n1. numbers < plan\n2. next steps");

    // The organizer is listed among the attendees (address in other letter
    // case): that entry becomes the organizer, and no second one is added.
    EXPECT_STREQ(r->organizer_name, "Ann Organizer");
    EXPECT_STREQ(r->organizer_address, "user@example.com");
    ASSERT_EQ(r->recipient_count, 3);
    ExpectRecipient(*r, 0, "Bob Required", "bob@example.com", QV_RECIP_TO, 1);
    ExpectRecipient(*r, 1, "Ann Organizer", "USER@example.com", QV_RECIP_ORGANIZER, 1);
    ExpectRecipient(*r, 2, "Carol Optional", "carol@example.com", QV_RECIP_CC, 3);
    EXPECT_EQ(+r->user_is_organizer, 1);
}

// The local wall-clock hour of a UTC instant in a Windows-named zone.
int LocalHour(qv_filetime utc, const char *windows_zone)
{
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString tz_id;
    icu::TimeZone::getIDForWindowsID(windows_zone, nullptr, tz_id, status);
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::TimeZone::createTimeZone(tz_id), status));
    calendar->setTime(static_cast<UDate>(com_FileTimeToUnix(utc)) * 1000.0, status);
    return U_SUCCESS(status) ? calendar->get(UCAL_HOUR_OF_DAY, status) : -1;
}

TEST_F(CalendarItemTest, SeriesKeepsItsLocalTimeAfterTheDaylightChange)
{
    // The series starts in winter (14:00Z); its occurrences after 10 March
    // sit at 13:00Z.  With the zone the record carries, both are 09:00.
    const qvtest::Record r = Read("getitem_weekly_new_york.xml");
    EXPECT_EQ(LocalHour(r->start_time, r->time_zone), 9);
    EXPECT_EQ(LocalHour(r->breakouts[1]->original_start, r->time_zone), 9); // 18 March
    EXPECT_EQ(LocalHour(r->breakouts[2]->original_start, r->time_zone), 9); // 25 March, deleted
    EXPECT_EQ(LocalHour(r->recur_end, r->time_zone), 9);                    // last, 15 April
}

TEST_F(CalendarItemTest, MeetingOrganisedBySomeoneElse)
{
    const qvtest::Record r = Read("getitem_meeting_from_other.xml");
    // The conflicting meeting listed with the item is not read as the item.
    EXPECT_STREQ(r->title, "Budget review");
    EXPECT_EQ(+r->start_time, filetime_utc(2024, 5, 14, 12));
    EXPECT_STREQ(r->organizer_name, "Dora Boss");
    // No UID: the hex digits of the meeting's global object id.
    EXPECT_STREQ(r->uid, "040000008200e00074c5b7101a82e00800000000000000000000000000000000");
    EXPECT_EQ(+r->busy_status, 3);
    EXPECT_EQ(+r->entry_type, 3);
    EXPECT_EQ(+r->reminder_minutes, 30);
    EXPECT_STREQ(r->time_zone, "Pacific Standard Time");
    EXPECT_EQ(+r->recur_type, 0);
    EXPECT_EQ(+r->part_count, 0);

    // An attendee without a name is no organizer even though the
    // organizer's name is not empty; the organizer is added last.
    ASSERT_EQ(r->recipient_count, 4);
    ExpectRecipient(*r, 0, "Eve", "eve@example.com", QV_RECIP_TO, 2);
    ExpectRecipient(*r, 1, "", "frank@example.com", QV_RECIP_TO, 0);
    ExpectRecipient(*r, 2, "Gus", "gus@example.com", QV_RECIP_TO, 0);
    ExpectRecipient(*r, 3, "Dora Boss", "dora@example.com", QV_RECIP_ORGANIZER, 1);
    EXPECT_EQ(+r->user_is_organizer, 0);
}

TEST_F(CalendarItemTest, EmptyNamesNeverMakeAnAttendeeTheOrganizer)
{
    const std::string text = caltest::StoredForm(caltest::GetItemAnswer(
        "<t:RequiredAttendees><t:Attendee><t:Mailbox><t:EmailAddress>frank@example.com"
        "</t:EmailAddress></t:Mailbox><t:ResponseType>Accept</t:ResponseType></t:Attendee>"
        "</t:RequiredAttendees>"));
    qvtest::Record r = qvtest::new_record(7);
    qvtest::set_text(r->organizer_address, "dora@example.com"); // an organizer without a name
    ParseAttendees(true, text.c_str(), r.get(), context);
    ASSERT_EQ(r->recipient_count, 1);
    ExpectRecipient(*r, 0, "", "frank@example.com", QV_RECIP_TO, 1);
}

TEST_F(CalendarItemTest, PrivateSeriesWithoutAttendeesHasNoOrganizerRecipient)
{
    const qvtest::Record r = Read("getitem_monthly_berlin_v15.xml");
    EXPECT_EQ(+r->is_private, 1);
    EXPECT_EQ(+r->busy_status, 1);
    EXPECT_EQ(+r->entry_type, 0);
    EXPECT_EQ(+r->reminder_set, 0);
    EXPECT_STREQ(r->uid, "monthly-first-monday@example.com");
    EXPECT_STREQ(r->time_zone, "W. Europe Standard Time");
    EXPECT_EQ(+r->recur_type, 4);
    EXPECT_EQ(+r->recur_days, 2);
    EXPECT_EQ(+r->recur_week_index, 1);
    EXPECT_EQ(+r->recur_range, 2);
    EXPECT_EQ(+r->recur_end, filetime_utc(2025, 12, 1, 9));
    EXPECT_EQ(+r->breakout_count, 0);
    EXPECT_EQ(+r->recipient_count, 0);
    // Newer servers say whether the body was truncated.
    ASSERT_EQ(r->part_count, 1);
    EXPECT_EQ(qvtest::read_file(qvcom::part_file_path(dir.dir(), 7, 0)), "Review the month.");
}

TEST_F(CalendarItemTest, UnreadableAnswerLeavesTheRecordAlone)
{
    qvtest::Record r = qvtest::new_record(7);
    qvtest::set_text(r->title, "before");
    EXPECT_FALSE(ParseCalendarItem(dir.file("missing.xml"), r.get(), context));
    EXPECT_STREQ(r->title, "before");
}

TEST_F(CalendarItemTest, RecipientsStopAtTheRecordsCapacity)
{
    qvtest::Record r = qvtest::new_record(7);
    for (int i = 0; i <= QV_MAX_RECIPIENTS; ++i)
        AddRecipient(r.get(), QV_RECIP_TO, "n" + std::to_string(i), "a", 0, context);
    EXPECT_EQ(+r->recipient_count, QV_MAX_RECIPIENTS);
    EXPECT_STREQ(r->recipients[QV_MAX_RECIPIENTS - 1]->name, "n4999");

}

} // namespace
