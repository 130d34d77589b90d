// The calendar folder reader against a scripted server that answers
// FindItem pages and GetItem as Exchange does: error answers that must
// count as failures, and the upcoming-only option.  (Paging
// and whole calendars: calendar_export_test.py, against the sandbox.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "calendar/calendar_folder.hpp"
#include "calendar_answers.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "scripted_server.hpp"

namespace {

using namespace qvamz;
using conntest::RecordedRequest;
using conntest::Respond;
using conntest::ScriptedReply;

struct HostView {
    std::vector<std::string> titles, categories;
    std::vector<int> item_types, statuses;
};
HostView *gView = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int)
{
    gView->titles.push_back(msg->title);
    gView->categories.push_back(msg->categories);
    gView->item_types.push_back(msg->item_type);
    return 0;
}

int QV_STDCALL MsgStatus(qv_message *, char *, int status, int *, int *, int *)
{
    gView->statuses.push_back(status);
    return 0;
}

// Formatted here, independent of the connector's date code.
std::string UtcText(std::time_t t)
{
    char text[32];
    std::tm utc{};
    gmtime_r(&t, &utc);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// One FindItem page of the item ids I0 ... I<total-1>.
std::string FindItemPage(int offset, int total)
{
    const int end = std::min(total, offset + qvamz::calendar::kCalendarPageSize);
    std::string items;
    for (int n = offset; n < end; ++n)
        items += "<t:CalendarItem><t:ItemId Id=\"I" + std::to_string(n) +
                 "\" ChangeKey=\"C\"/></t:CalendarItem>";
    return conntest::Success("FindItem", "<m:RootFolder IndexedPagingOffset=\"" +
                                             std::to_string(end) + "\" TotalItemsInView=\"" +
                                             std::to_string(total) + "\" IncludesLastItemInRange=\"" +
                                             (end >= total ? "true" : "false") + "\"><t:Items>" +
                                             items + "</t:Items></m:RootFolder>");
}

std::string Attribute(const std::string &text, const std::string &name)
{
    const std::size_t at = text.find(name + "=\"");
    if (at == std::string::npos)
        return {};
    const std::size_t from = at + name.size() + 2;
    return text.substr(from, text.find('"', from) - from);
}

class CalendarFolderTest : public conntest::ScriptedSessionTest {
  protected:
    void SetUp() override
    {
        ScriptedSessionTest::SetUp();
        session.state.server_major_version = 14;
        session.state.force_version_header = 1;
        gView = &view;
        qvcom_set_loss_handler([](int, int count, void *lost) { *static_cast<int *>(lost) += count; },
                               &lost);
    }
    void TearDown() override
    {
        gView = nullptr;
        qvcom_set_loss_handler(nullptr, nullptr);
    }

    // Serves `total` items; item n starts `start_of(n)` seconds from now.
    void Serve(int total, std::function<std::time_t(int)> start_of,
               std::function<std::string(const RecordedRequest &)> special = {})
    {
        server.SetFallback([=](const RecordedRequest &request) -> ScriptedReply {
            if (special)
                if (std::string answer = special(request); !answer.empty())
                    return Respond(200, answer);
            if (request.body.find("FindItem ") != std::string::npos)
                return Respond(200, FindItemPage(std::atoi(Attribute(request.body, "Offset").c_str()),
                                                 total));
            const int n = std::atoi(Attribute(request.body, "t:ItemId Id").c_str() + 1);
            const std::time_t start = std::time(nullptr) + start_of(n);
            return Respond(200, caltest::GetItemAnswer(
                                    "<t:Subject>Item " + std::to_string(n) + "</t:Subject><t:Start>" +
                                    UtcText(start) + "</t:Start><t:End>" + UtcText(start + 3600) +
                                    "</t:End><t:CalendarItemType>Single</t:CalendarItemType>"));
        });
    }
    int Run(int total)
    {
        session.state.folders = {{.total_count = total, .display_name = "Calendar",
                                  .folder_type = kFolderTypeCalendar, .folder_id = "CAL&1"}};
        record = qvtest::new_record(3);
        int count = -1, size = -1;
        ConvertFolderImpl(session, {.msg = record.get(), .output = OutputMsg, .folder_index = 0,
                                    .out_count = &count, .out_size = &size, .status = MsgStatus});
        return count;
    }
    HostView view;
    qvtest::Record record;
    int lost = 0; // items the host was told are lost
};

TEST_F(CalendarFolderTest, ErrorAnswersAreFailuresNeverAnEmptyCalendar)
{
    // The whole listing refused: every item of the folder is reported lost.
    const std::string find_error = qvtest::read_file(caltest::DataFile("finditem_error.xml"));
    Serve(4, [](int) { return 3600; },
          [&](const RecordedRequest &r) { return r.body.find("FindItem ") != std::string::npos ? find_error : ""; });
    EXPECT_EQ(Run(4), 0);
    EXPECT_EQ(view.statuses, std::vector<int>(4, QV_STATUS_SKIPPED));
    EXPECT_TRUE(log.has("unable to retrieve calendar Calendar (ErrorAccessDenied)"));
    EXPECT_EQ(lost, 4);

    // One item gone since the listing: only that item is skipped.
    view = HostView{};
    const std::string get_error = qvtest::read_file(caltest::DataFile("getitem_error.xml"));
    Serve(3, [](int) { return 3600; }, [&](const RecordedRequest &r) {
        return r.body.find("Id=\"I1\"") != std::string::npos ? get_error : "";
    });
    EXPECT_EQ(Run(3), 2);
    EXPECT_EQ(view.statuses, (std::vector<int>{QV_STATUS_CONVERTED, QV_STATUS_SKIPPED,
                                               QV_STATUS_CONVERTED}));
    EXPECT_EQ(view.titles, (std::vector<std::string>{"Item 0", "Item 2"}));
    EXPECT_EQ(view.categories.front(), "Calendar"); // the folder name
    EXPECT_EQ(view.item_types.front(), QV_ITEM_CALENDAR);
    EXPECT_TRUE(log.has("item no longer in the folder"));
    EXPECT_EQ(lost, 4) << "a vanished item is no loss";

    // One item refused: lost, and counted as such.
    view = HostView{};
    std::string refused = get_error;
    refused.replace(refused.find("ErrorItemNotFound"), 17, "ErrorAccessDenied");
    Serve(2, [](int) { return 3600; }, [&](const RecordedRequest &r) {
        return r.body.find("Id=\"I0\"") != std::string::npos ? refused : "";
    });
    EXPECT_EQ(Run(2), 1);
    EXPECT_EQ(view.statuses, (std::vector<int>{QV_STATUS_SKIPPED, QV_STATUS_CONVERTED}));
    EXPECT_EQ(lost, 5);

    // The folder id is escaped.  (The requests against the schema: the
    // sandbox suites and calendar_export_exchangelib.)
    const std::string first_page = server.requests().front().body;
    EXPECT_NE(first_page.find("FindItem "), std::string::npos);
    EXPECT_NE(first_page.find("Id=\"CAL&amp;1\""), std::string::npos);
}

TEST_F(CalendarFolderTest, UpcomingOnlyLeavesOutWhatHasStarted)
{
    session.state.upcoming_only = 1;
    // Item 0 started a minute ago, item 1 starts in an hour.
    Serve(2, [](int n) { return n == 0 ? -60 : 3600; });
    EXPECT_EQ(Run(2), 1);
    EXPECT_EQ(view.statuses, (std::vector<int>{QV_STATUS_OUT_OF_RANGE, QV_STATUS_CONVERTED}));
    EXPECT_EQ(view.titles, std::vector<std::string>{"Item 1"});
    EXPECT_TRUE(log.has("calender entry is in the past"));
}

} // namespace
