// Calendar items through a running ews-sandbox: records written with
// WriteMsg into a mailbox's calendar and read back with ConvertFolder, and
// what is lost when the server refuses.  The sandbox checks every request
// against the EWS schema.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "calendar/calendar_writer.hpp"
#include "ews/folder_table.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "calendar_answers.hpp"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"

namespace {

using namespace qvamz;
using caltest::AddBreakout;
using qvtest::filetime_utc;

constexpr char kMailbox[] = "cal@example.com";
constexpr char kPassword[] = "cal-pw";

struct EventView {
    std::string title, location, notes;
    qv_filetime start = 0, end = 0;
    int all_day = 0, is_private = 0, priority = 0, entry_type = 0, breakout_count = 0;
    std::map<std::string, std::string> attachments;
};

struct Host {
    std::string work_dir;
    std::map<std::string, EventView> events;
};
Host *gHost = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int)
{
    EventView v{msg->title, msg->location, "", msg->start_time, msg->end_time, msg->all_day,
                msg->is_private, msg->priority, msg->entry_type, msg->breakout_count, {}};
    for (int i = 0; i < msg->part_count; ++i) {
        const std::string bytes =
            conntest::ReadFile(qvcom::part_file_path(gHost->work_dir, msg->msg_number, i));
        if (msg->parts[i]->part_type == QV_PART_TEXT_BODY)
            v.notes = bytes;
        else
            v.attachments[msg->parts[i]->file_name] = bytes;
    }
    gHost->events[v.title] = v;
    return 0;
}

int QV_STDCALL MsgStatus(qv_message *, char *, int, int *, int *, int *) { return 0; }

void CountLoss(int, int count, void *context) { *static_cast<int *>(context) += count; }

class CalendarSandbox : public conntest::ConnectorSandboxTest {
  protected:
    CalendarSandbox() : ConnectorSandboxTest(kMailbox, kPassword) {}
    void SetUp() override
    {
        ConnectorSandboxTest::SetUp();
        qvcom_set_loss_handler(&CountLoss, &losses);
        clock.now = std::time(nullptr);
    }
    void OpenCalendarForWriting()
    {
        StartAndLogon("", 0);
        qvtest::Record folder = qvtest::new_record(0);
        qvtest::set_text(folder->group_folder, "root");
        ASSERT_EQ(InitWriteImpl(session, folder.get(), "Calendar", kFolderTypeCalendar), 0) << log.text();
    }
    int Write(qv_message &msg) { return WriteMsgImpl(session, &msg, work.dir().c_str()); }
    Host Read()
    {
        StartAndLogon();
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
        Host host{work.dir(), {}};
        gHost = &host;
        EXPECT_EQ(conntest::ReadFolder(session, work.dir(), "Calendar", &OutputMsg, &MsgStatus).answer, 0);
        gHost = nullptr;
        return host;
    }
    qvtest::Record Event(const std::string &title, qv_filetime start, int minutes = 60)
    {
        qvtest::Record msg = qvtest::new_record(++numbers_);
        msg->item_type = QV_ITEM_CALENDAR;
        qvtest::set_text(msg->title, title);
        msg->priority = 1;
        msg->busy_status = 2;
        msg->start_time = msg->end_time = start;
        com_OffsetFileTimeVal(&msg->end_time, minutes);
        return msg;
    }
    // Weekly on Mondays 14:00 UTC from 23 February 2026, six times; the
    // third moved by two hours, the fifth deleted.
    qvtest::Record WeeklySeries()
    {
        auto msg = Event("Weekly sync", filetime_utc(2026, 2, 23, 14), 30);
        msg->recur_type = 5, msg->recur_interval = 1, msg->recur_days = 2;
        msg->recur_range = 0, msg->recur_count = 6;
        qvtest::set_text(msg->time_zone, "UTC");
        AddBreakout(*msg, 0, filetime_utc(2026, 3, 9, 14), filetime_utc(2026, 3, 9, 16),
                    filetime_utc(2026, 3, 9, 16, 30));
        qvtest::set_text(msg->breakouts[0]->subject, "Weekly sync (moved)");
        AddBreakout(*msg, 1, filetime_utc(2026, 3, 23, 14));
        return msg;
    }
    int numbers_ = 0;
    int losses = 0;
};

// Times, attendees, all-day days and the occurrences of series travel in
// the exchangelib copy (calendar_copy_exchangelib); here the fields that
// copy does not compare.
TEST_F(CalendarSandbox, EventsComeBackWithTheirOtherFields)
{
    OpenCalendarForWriting();
    auto single = Event("Review <&>", filetime_utc(2026, 6, 10, 12), 90);
    qvtest::set_text(single->location, "Raum 4 & 5");
    single->is_private = 1;
    single->priority = 2;
    qvtest::set_text(single->organizer_address, kMailbox);
    qvtest::add_recipient(*single, "Bob", "bob@example.com", QV_RECIP_TO);
    qvtest::add_part(*single, work.dir(), QV_PART_TEXT_BODY, "", "agenda ]]> draft");
    qvtest::add_part(*single, work.dir(), QV_PART_ATTACHMENT, "agenda.txt", "1. review\n");
    auto holiday = Event("Holiday", filetime_utc(2026, 7, 1), 0);
    holiday->all_day = 1;
    for (auto *msg : {single.get(), holiday.get()})
        EXPECT_EQ(Write(*msg), kWriteStored) << msg->title << "\n" << log.text();
    EXPECT_EQ(losses, 0) << log.text();

    const Host host = Read();
    ASSERT_EQ(host.events.size(), 2u) << log.text();
    const EventView &s = host.events.at("Review <&>");
    EXPECT_EQ((std::tuple{s.location, s.is_private, s.priority}), (std::tuple{std::string("Raum 4 & 5"), 1, 2}));
    EXPECT_EQ(s.entry_type, 3) << "the appointment state makes it a meeting\n" << log.text();
    EXPECT_EQ(log.text().find("unable to set Appointment State"), std::string::npos) << log.text();
    EXPECT_EQ(s.notes.find("agenda ]]> draft"), 0u) << s.notes;
    EXPECT_EQ(s.attachments, (std::map<std::string, std::string>{{"agenda.txt", "1. review\n"}}));
    const EventView &h = host.events.at("Holiday");
    EXPECT_EQ((std::tuple{h.all_day, h.start, h.end}), (std::tuple{1, filetime_utc(2026, 7, 1), filetime_utc(2026, 7, 2)}));
    EXPECT_EQ(h.priority, 1) << "normal importance stays normal";
}

TEST_F(CalendarSandbox, ServerErrorsAreRetriedAndRefusalsLost)
{
    OpenCalendarForWriting();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 503, "count": 3})");
    auto retried = Event("retried", filetime_utc(2026, 8, 3, 9));
    EXPECT_EQ(Write(*retried), kWriteStored) << log.text();
    EXPECT_EQ(clock.sleeps, (std::vector<int>{2000, 3000, 4000}));

    clock.sleeps.clear();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 400})");
    auto refused = Event("refused", filetime_utc(2026, 8, 4, 9));
    EXPECT_EQ(Write(*refused), kWriteLost);
    EXPECT_TRUE(clock.sleeps.empty());
    // An error answer at HTTP 200 is no item.
    InjectFault(R"({"operation": "CreateItem", "kind": "response_error", "response_code": "ErrorQuotaExceeded"})");
    auto over_quota = Event("over quota", filetime_utc(2026, 8, 5, 9));
    EXPECT_EQ(Write(*over_quota), kWriteLost);
    // A request file that cannot be made is a loss, not a success.
    auto nowhere = Event("nowhere", filetime_utc(2026, 8, 6, 9));
    EXPECT_EQ(calendar::WriteCals(session, *nowhere, work.dir() + "missing/"), kWriteLost);
    const Host host = Read();
    EXPECT_EQ(host.events.size(), 1u);
    EXPECT_EQ(host.events.count("retried"), 1u);
}

// A deleted occurrence the server keeps, or a changed one that matches no
// occurrence, leaves a wrong calendar: the host hears of it.
TEST_F(CalendarSandbox, OccurrencesNotAppliedAreReportedLost)
{
    OpenCalendarForWriting();
    InjectFault(R"({"operation": "DeleteItem", "kind": "response_error", "response_code": "ErrorAccessDenied"})");
    auto refused = WeeklySeries();
    EXPECT_EQ(Write(*refused), kWriteStored);
    EXPECT_EQ(losses, 1) << log.text();
    EXPECT_NE(log.text().find("QV Warning: cannot delete calendar instances"), std::string::npos);

    auto stray = WeeklySeries();
    qvtest::set_text(stray->title, "Stray");
    AddBreakout(*stray, 0, filetime_utc(2026, 3, 10, 14), filetime_utc(2026, 3, 10, 16),
                filetime_utc(2026, 3, 10, 16, 30));
    EXPECT_EQ(Write(*stray), kWriteStored);
    EXPECT_EQ(losses, 2) << log.text();
    const Host host = Read();
    EXPECT_EQ(host.events.at("Stray").breakout_count, 2) << "the two that matched are applied";
}

} // namespace

#endif
