// One calendar item from its GetItem answer into the record: fields and
// the organizer and attendee rules.  (That the zone read keeps a series at
// its local time across a daylight saving change: the exchangelib copy.)
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

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
    // Name, address, kind and response of each recipient.
    using Recipient = std::tuple<std::string, std::string, int, int>;
    static std::vector<Recipient> Recipients(const qv_message &r)
    {
        std::vector<Recipient> out;
        for (int i = 0; i < r.recipient_count; ++i)
            out.emplace_back(r.recipients[i]->name, r.recipients[i]->address, +r.recipients[i]->kind,
                             +r.recipients[i]->response);
        return out;
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
    EXPECT_EQ((std::tuple{+r->start_time, +r->end_time, +r->all_day}),
              (std::tuple{filetime_utc(2024, 2, 26, 14), filetime_utc(2024, 2, 26, 15), 0}));
    // A meeting (3) with a reminder, busy (2), not private.
    EXPECT_EQ((std::tuple{+r->entry_type, +r->reminder_set, +r->reminder_minutes, +r->busy_status, +r->is_private}),
              (std::tuple{3, 1, 15, 2, 0}));
    EXPECT_STREQ(r->categories, "Work");
    EXPECT_STREQ(r->time_zone, "Eastern Standard Time");
    // Weekly on Mondays, eight times; the zone's daylight rules are yearly
    // patterns of their own, not the item's.
    EXPECT_EQ((std::tuple{+r->recur_type, +r->recur_days, +r->recur_month, +r->recur_count}),
              (std::tuple{5, 2, 0, 8}));
    // The exceptions in the answer's order: two moved, one deleted.
    std::vector<std::tuple<int, qv_filetime, qv_filetime, qv_filetime>> breakouts;
    for (int i = 0; i < r->breakout_count; ++i)
        breakouts.emplace_back(+r->breakouts[i]->kind, +r->breakouts[i]->original_start,
                               +r->breakouts[i]->start, +r->breakouts[i]->end);
    EXPECT_EQ(breakouts, (decltype(breakouts){
                             {0, filetime_utc(2024, 4, 1, 13), filetime_utc(2024, 4, 1, 17), filetime_utc(2024, 4, 1, 18)},
                             {0, filetime_utc(2024, 3, 18, 13), filetime_utc(2024, 3, 19, 15), filetime_utc(2024, 3, 19, 16)},
                             {1, filetime_utc(2024, 3, 25, 13), 0, 0}}));

    ASSERT_EQ(r->part_count, 1);
    EXPECT_EQ(r->parts[0]->part_type, QV_PART_TEXT_BODY);
    EXPECT_EQ(qvtest::read_file(qvcom::part_file_path(dir.dir(), 7, 0)),
              "Agenda:\n1. numbers < plan\n2. next steps");

    // The organizer is listed among the attendees (address in other letter
    // case): that entry becomes the organizer, and no second one is added.
    EXPECT_STREQ(r->organizer_name, "Ann Organizer");
    EXPECT_STREQ(r->organizer_address, "user@example.com");
    EXPECT_EQ(Recipients(*r), (std::vector<Recipient>{
                                  {"Bob Required", "bob@example.com", QV_RECIP_TO, 1},
                                  {"Ann Organizer", "USER@example.com", QV_RECIP_ORGANIZER, 1},
                                  {"Carol Optional", "carol@example.com", QV_RECIP_CC, 3}}));
    EXPECT_EQ(+r->user_is_organizer, 1);
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
    EXPECT_EQ((std::tuple{+r->busy_status, +r->entry_type, +r->reminder_minutes, +r->recur_type, +r->part_count}),
              (std::tuple{3, 3, 30, 0, 0}));
    EXPECT_STREQ(r->time_zone, "Pacific Standard Time");

    // An attendee without a name is no organizer even though the
    // organizer's name is not empty; the organizer is added last.
    EXPECT_EQ(Recipients(*r), (std::vector<Recipient>{{"Eve", "eve@example.com", QV_RECIP_TO, 2},
                                                      {"", "frank@example.com", QV_RECIP_TO, 0},
                                                      {"Gus", "gus@example.com", QV_RECIP_TO, 0},
                                                      {"Dora Boss", "dora@example.com", QV_RECIP_ORGANIZER, 1}}));
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
    EXPECT_EQ(Recipients(*r), (std::vector<Recipient>{{"", "frank@example.com", QV_RECIP_TO, 1}}));
}

TEST_F(CalendarItemTest, PrivateSeriesWithoutAttendeesHasNoOrganizerRecipient)
{
    const qvtest::Record r = Read("getitem_monthly_berlin_v15.xml");
    EXPECT_EQ((std::tuple{+r->is_private, +r->busy_status, +r->entry_type, +r->reminder_set}),
              (std::tuple{1, 1, 0, 0}));
    EXPECT_STREQ(r->uid, "monthly-first-monday@example.com");
    EXPECT_STREQ(r->time_zone, "W. Europe Standard Time");
    // Monthly on the first Monday; the patterns themselves are in recurrence_test.
    EXPECT_EQ((std::tuple{+r->recur_type, +r->recur_range, +r->recur_end, +r->breakout_count}),
              (std::tuple{4, 2, filetime_utc(2025, 12, 1, 9), 0}));
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
