// ConvertFolder against a running ews-sandbox: a seeded folder read the
// way a host reads it (logon, folder list, ConvertFolder), with the host's
// answers, filters and the server's failures varied per test.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_listing.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "connector_sandbox.hpp"
#include "test_support.hpp"
#include "common/unique_file.hpp"

namespace {

using namespace qvamz;
namespace fs = std::filesystem;

constexpr char kMailbox[] = "reader@example.com";
constexpr char kPassword[] = "reader-pw";
constexpr std::int64_t kJan1st2024 = 1704067200; // 2024-01-01T00:00:00Z
constexpr std::int64_t kDay = 86400;

// What the host saw of one ConvertFolder call.
struct HostView {
    struct Output {
        std::string subject;
        int index, unread, item_type;
    };
    std::vector<Output> outputs;
    std::vector<int> statuses;
    std::vector<std::pair<int, int>> losses; // kind, count (com_ReportLoss)
    std::function<int(const Output &)> answer = [](const Output &) { return 0; };
    std::function<void(int status, int *stop)> on_status;
    int result = -1, count = -1, size = -1, folder_total = -1;

    std::size_t StatusCount(int status) const
    {
        return static_cast<std::size_t>(std::count(statuses.begin(), statuses.end(), status));
    }
    std::set<std::string> Subjects() const
    {
        std::set<std::string> subjects;
        for (const Output &o : outputs)
            subjects.insert(o.subject);
        return subjects;
    }
};
HostView *gView = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int index)
{
    HostView::Output o{msg->subject, index, msg->unread, msg->item_type};
    gView->outputs.push_back(o);
    return gView->answer(o);
}

int QV_STDCALL MsgStatus(qv_message *, char *, int status, int *, int *, int *stop)
{
    gView->statuses.push_back(status);
    if (gView->on_status)
        gView->on_status(status, stop);
    return 0;
}

class ConvertFolderSandbox : public conntest::ConnectorSandboxTest {
  protected:
    ConvertFolderSandbox() : ConnectorSandboxTest(kMailbox, kPassword) {}

    // `count` messages "Message N" sent one day apart from 2024-01-01 noon.
    void SeedFolder(const std::string &folder, int count)
    {
        const fs::path dir = data_dir / ("eml-" + std::to_string(seeded_++));
        fs::create_directories(dir);
        for (int n = 0; n < count; ++n) {
            const std::time_t sent = kJan1st2024 + n * kDay + 12 * 3600;
            char date[64], name[32];
            std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", std::gmtime(&sent));
            std::snprintf(name, sizeof name, "%05d.eml", n);
            conntest::WriteFile((dir / name).string(),
                                "From: Ann <ann@example.org>\r\nTo: reader@example.com\r\n"
                                "Subject: Message " + std::to_string(n) + "\r\nDate: " + date +
                                    "\r\nMessage-ID: <m" + std::to_string(n) +
                                    "@example.org>\r\nMIME-Version: 1.0\r\n"
                                    "Content-Type: text/plain; charset=us-ascii\r\n\r\n"
                                    "Body of message " + std::to_string(n) + ", long enough.\r\n");
        }
        cli({"seed", "--mailbox", kMailbox, "--eml-dir", dir.string(), "--folder", folder});
    }

    void StartAndLogon(const std::string &switches = "")
    {
        ConnectorSandboxTest::StartAndLogon(switches);
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
    }
    const std::string &FolderId(const std::string &internal_path)
    {
        return session.state.folders[static_cast<std::size_t>(FolderIndex(internal_path))].folder_id;
    }

    // One ConvertFolder call as the host makes it, after InitRead.
    void Convert(HostView &view, const std::string &folder, int max_items = 0,
                 std::int64_t max_date = 0)
    {
        gView = &view;
        qvcom_set_loss_handler(
            [](int kind, int count, void *) { gView->losses.emplace_back(kind, count); }, nullptr);
        session.state.max_messages = max_items;
        qvtest::Record msg = qvtest::new_record(7);
        view.result = ConvertFolderImpl(
            session, {.msg = msg.get(), .output = &OutputMsg, .folder_index = FolderIndex(folder),
                      .max_date = max_date, .work_dir = work.dir(), .out_count = &view.count,
                      .out_size = &view.size, .status = &MsgStatus});
        qvcom_set_loss_handler(nullptr, nullptr);
        view.folder_total = msg->folder_total;
        gView = nullptr;
    }
    // No work file and no part file is left behind.
    void ExpectWorkDirClean() const
    {
        for (const auto &entry : fs::directory_iterator(work.dir())) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "host.log" || entry.is_directory()) << "left behind: " << name;
        }
    }

    int seeded_ = 0;
};

// Listing in pages of 500: exactly 500 ids take one FindItem, 501 take two.
TEST_F(ConvertFolderSandbox, ListingPagesAt500And501AndRepeatsAFailedPage)
{
    SeedFolder("Five Hundred", 500);
    SeedFolder("Five Hundred One", 501);
    StartAndLogon("/CURLDEBUG");
    const auto list = [&](const char *folder, int total, std::set<std::string> *distinct) {
        qvcommon::UniqueFile ids = qvcommon::OpenFile(work.file("ids.txt"), "wb");
        const auto listed = mailread::ListFolderItems(session, work.dir(), FolderId(folder), "",
                                                      total, ids.get());
        ids.reset();
        const std::string text = conntest::ReadFile(work.file("ids.txt"));
        for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            distinct->insert(text.substr(at, end - at));
        return listed;
    };
    for (const auto &[folder, expected] :
         {std::pair{"Five Hundred", 500}, {"Five Hundred One", 501}}) {
        SCOPED_TRACE(folder);
        const std::size_t finds_before = log.count("<FindItem ");
        const std::size_t offset500_before = log.count("Offset=\"500\"");
        std::set<std::string> distinct;
        EXPECT_EQ(list(folder, expected, &distinct).result, mailread::ListingResult::kListed);
        EXPECT_EQ(distinct.size(), static_cast<std::size_t>(expected));
        const std::size_t pages = expected == 500 ? 1 : 2;
        EXPECT_EQ(log.count("<FindItem ") - finds_before, pages);
        EXPECT_EQ(log.count("Offset=\"500\"") - offset500_before, pages - 1);
    }
    // A second page answered with an error at HTTP 200 is repeated (when
    // every attempt fails, tests/qvmigrate's fault matrix sees the rest
    // counted lost).
    InjectFault(R"({"operation":"FindItem","kind":"response_error",)"
                R"("response_code":"ErrorInternalServerTransientError","after":1})");
    std::set<std::string> distinct;
    const auto listed = list("Five Hundred One", 501, &distinct);
    EXPECT_EQ(listed.result, mailread::ListingResult::kListed);
    EXPECT_EQ(listed.listed, 501);
    EXPECT_EQ(distinct.size(), 501u);
    EXPECT_EQ(clock.sleeps, std::vector<int>{1000});
}

TEST_F(ConvertFolderSandbox, EveryMessageHandedOverOnce)
{
    SeedFolder("Plain", 6);
    StartAndLogon("/LOGUUID");
    HostView view;
    Convert(view, "Plain");
    EXPECT_EQ(view.result, 0);
    EXPECT_EQ(view.count, 6);
    EXPECT_GT(view.size, 6 * 40);
    EXPECT_EQ(view.folder_total, 6);
    EXPECT_EQ(view.statuses, std::vector<int>(6, QV_STATUS_CONVERTED));
    EXPECT_EQ(view.Subjects(), (std::set<std::string>{"Message 0", "Message 1", "Message 2",
                                                      "Message 3", "Message 4", "Message 5"}));
    for (std::size_t i = 0; i < view.outputs.size(); ++i) // seeded mail arrives unread
        EXPECT_EQ(std::tie(view.outputs[i].index, view.outputs[i].unread, view.outputs[i].item_type),
                  std::make_tuple(static_cast<int>(i), 1, +QV_ITEM_MAIL));
    EXPECT_EQ(log.count("[UUID:START]"), 7u); // the seventh finds the end of the list
    EXPECT_EQ(log.count("[UUID:END]"), 7u);
    ExpectWorkDirClean();
}

// Days 4 to 6 of ten: the server leaves seven out, and the host hears of
// them with status 2 at the end.  Items skipped inside the range are not
// reported a second time.
TEST_F(ConvertFolderSandbox, DateRangeAndMaximumDate)
{
    SeedFolder("Dated", 10);
    StartAndLogon();
    qvcom_set_date_range(com_UnixToFileTime(kJan1st2024 + 3 * kDay),
                         com_UnixToFileTime(kJan1st2024 + 6 * kDay - 1));
    HostView view, refusing;
    Convert(view, "Dated");
    EXPECT_EQ(view.Subjects(), (std::set<std::string>{"Message 3", "Message 4", "Message 5"}));
    EXPECT_EQ(view.count, 3);
    std::vector<int> statuses(3, QV_STATUS_CONVERTED);
    statuses.resize(10, QV_STATUS_OUT_OF_RANGE);
    EXPECT_EQ(view.statuses, statuses);

    refusing.answer = [](const HostView::Output &o) { return o.index == 0 ? QV_OUTPUT_REFUSED : 0; };
    Convert(refusing, "Dated");
    EXPECT_EQ(refusing.statuses.size(), 10u);
    EXPECT_EQ(refusing.StatusCount(QV_STATUS_SKIPPED), 1u);
    EXPECT_EQ(refusing.StatusCount(QV_STATUS_CONVERTED), 2u);
    EXPECT_EQ(refusing.StatusCount(QV_STATUS_OUT_OF_RANGE), 7u);

    // The maximum date leaves out the newer items only: the listing comes
    // newest first, so older wanted items follow the first newer one.
    qvcom_reset_filters();
    HostView up_to;
    Convert(up_to, "Dated", 0, kJan1st2024 + 2 * kDay + 13 * 3600);
    EXPECT_EQ(up_to.Subjects(), (std::set<std::string>{"Message 0", "Message 1", "Message 2"}));
    EXPECT_EQ(up_to.StatusCount(QV_STATUS_OUT_OF_RANGE), 7u);
    EXPECT_EQ(up_to.statuses.size(), 10u);
    EXPECT_EQ(up_to.statuses.front(), QV_STATUS_OUT_OF_RANGE); // the newest came first
}

// What ends a folder early: the InitRead maximum (refused records count
// too), answer 1235 (result 99), and a stop asked for in MsgStatus.
TEST_F(ConvertFolderSandbox, HostEndsTheFolderEarly)
{
    SeedFolder("Ended", 5);
    StartAndLogon();
    const auto refuse_first = [](const HostView::Output &o) {
        return o.index == 0 ? QV_OUTPUT_REFUSED : 0;
    };
    const auto end_at_second = [](const HostView::Output &o) {
        return o.index == 1 ? QV_OUTPUT_REFUSED_END_FOLDER : 0;
    };
    const struct {
        const char *name;
        std::function<int(const HostView::Output &)> answer;
        bool stop;
        int max_items, result;
        std::vector<int> statuses;
    } cases[] = {
        {"limit", refuse_first, false, 2, 0, {QV_STATUS_SKIPPED, QV_STATUS_CONVERTED}},
        {"answer 1235", end_at_second, false, 0, kFolderEndedByHost,
         {QV_STATUS_CONVERTED, QV_STATUS_SKIPPED}},
        {"stop", [](const HostView::Output &) { return 0; }, true, 0, 0, {QV_STATUS_CONVERTED}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        HostView view;
        view.answer = c.answer;
        if (c.stop)
            view.on_status = [](int, int *stop) { *stop = 1; };
        Convert(view, "Ended", c.max_items);
        EXPECT_EQ(view.result, c.result);
        EXPECT_EQ(view.outputs.size(), c.statuses.size());
        EXPECT_EQ(view.statuses, c.statuses);
        if (!c.stop) {
            EXPECT_EQ(view.count, 2);
        }
        ExpectWorkDirClean();
    }
}

// A second run finds duplicates; a refused record is not remembered, so
// the next run offers it again.
TEST_F(ConvertFolderSandbox, SecondRunFindsDuplicatesButNotRefusedRecords)
{
    SeedFolder("Twice", 4);
    StartAndLogon();
    ASSERT_EQ(qvcom_set_duplicate_store(work.file("dups/store.sqlite").c_str(), "test"), 1);
    HostView first, second;
    first.answer = [](const HostView::Output &o) {
        return o.subject == "Message 2" ? QV_OUTPUT_REFUSED : 0;
    };
    Convert(first, "Twice");
    EXPECT_EQ(first.StatusCount(QV_STATUS_CONVERTED), 3u);
    EXPECT_EQ(first.StatusCount(QV_STATUS_SKIPPED), 1u);
    Convert(second, "Twice");
    EXPECT_EQ(second.Subjects(), std::set<std::string>{"Message 2"});
    EXPECT_EQ(second.count, 1);
    EXPECT_EQ(second.StatusCount(QV_STATUS_DUPLICATE), 3u);
    EXPECT_EQ(second.StatusCount(QV_STATUS_CONVERTED), 1u);
}

// A FindItem that fails every attempt leaves the folder's items not read:
// reported lost, each with status 6.  (How GetItem and FindItem are
// repeated is tests/transport's RetriedRequest.)
TEST_F(ConvertFolderSandbox, FindItemFailureReportsTheFolderLost)
{
    SeedFolder("Unlisted", 2);
    StartAndLogon();
    HostView unlisted;
    InjectFault(R"({"operation":"FindItem","kind":"http_status","status":500,"count":3})");
    Convert(unlisted, "Unlisted");
    EXPECT_EQ(unlisted.result, 0);
    EXPECT_EQ(unlisted.statuses, std::vector<int>(2, QV_STATUS_SKIPPED));
    EXPECT_EQ(unlisted.losses, (std::vector<std::pair<int, int>>{{kLossKindMailRead, 2}}));
    EXPECT_TRUE(log.has("QV Error: unable to obtain message list (http status 500)"));
    EXPECT_EQ(log.count("QV Info: unable to obtain message list, retrying"), 2u);
    ExpectWorkDirClean();
}

// An item that cannot be fetched is a failure the host hears of (loss and
// status 6), not a skipped non-message; one gone since the listing is a
// skip.  (Transient errors past their attempts: the fault matrix of
// tests/qvmigrate; how often a post is repeated: tests/transport's RetriedRequest.)
TEST_F(ConvertFolderSandbox, ItemsNotFetchedAreReportedLost)
{
    SeedFolder("Broken", 3);
    StartAndLogon("/EWSPREFETCH 1");
    const struct {
        const char *name, *rule;
        std::vector<int> statuses;
        std::size_t lost;
    } cases[] = {
        {"refused for good",
         R"({"operation":"GetItem","kind":"response_error","response_code":"ErrorAccessDenied","after":1})",
         {QV_STATUS_CONVERTED, QV_STATUS_SKIPPED, QV_STATUS_CONVERTED}, 1},
        {"failed post past its retries: lost, never taken for gone",
         R"({"operation":"GetItem","kind":"http_status","status":503,"after":1,"count":3})",
         {QV_STATUS_CONVERTED, QV_STATUS_SKIPPED, QV_STATUS_CONVERTED}, 1},
        {"gone since the listing: a skip",
         R"({"operation":"GetItem","kind":"response_error","response_code":"ErrorItemNotFound"})",
         {QV_STATUS_SKIPPED, QV_STATUS_CONVERTED, QV_STATUS_CONVERTED}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        InjectFault(c.rule);
        HostView run;
        Convert(run, "Broken");
        EXPECT_EQ(run.statuses, c.statuses);
        EXPECT_EQ(run.losses.size(), c.lost);
        EXPECT_EQ(run.outputs.size(), 3u - std::count(c.statuses.begin(), c.statuses.end(),
                                                       QV_STATUS_SKIPPED));
    }
    EXPECT_TRUE(log.has("QV Error: GetItem failed (ErrorAccessDenied"));
    EXPECT_TRUE(log.has("QV Info: item no longer in the folder - skipped"));
}

// Read-ahead ("/EWSPREFETCH"; the wire-level overlap is checked in the
// transport tests).  The first GetItem is answered last, yet the host gets
// the items in the order and with the statuses of a one-at-a-time read; a
// stop after item k costs at most k + n GetItems; busy answers shrink the
// window and lose nothing.
TEST_F(ConvertFolderSandbox, ReadAheadKeepsOrderStopBoundAndSurvivesBusyAnswers)
{
    SeedFolder("Ahead", 12);
    StartAndLogon("/EWSPREFETCH 1");
    HostView sequential, ahead, stopped, busy;
    Convert(sequential, "Ahead");
    session.settings.prefetch = 4;
    InjectFault(R"({"operation":"GetItem","kind":"delay","ms":500})");
    Convert(ahead, "Ahead");
    EXPECT_EQ(ahead.outputs.size(), 12u);
    for (std::size_t i = 0; i < ahead.outputs.size() && i < sequential.outputs.size(); ++i)
        EXPECT_EQ(ahead.outputs[i].subject, sequential.outputs[i].subject) << i;
    EXPECT_EQ(ahead.statuses, sequential.statuses);

    const std::size_t served_before = conntest::CountOf(server->log(), "GetItem 200");
    stopped.on_status = [&](int, int *stop) { *stop = stopped.statuses.size() == 3; };
    Convert(stopped, "Ahead");
    EXPECT_EQ(stopped.outputs.size(), 3u);
    // Abandoned requests are still served and logged a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(conntest::CountOf(server->log(), "GetItem 200") - served_before, 3u + 4u);

    session.settings.prefetch = 8;
    InjectFault(R"({"operation":"GetItem","kind":"response_error",
                    "response_code":"ErrorServerBusy","count":2})");
    Convert(busy, "Ahead");
    EXPECT_EQ(busy.StatusCount(QV_STATUS_CONVERTED), 12u);
    EXPECT_TRUE(busy.losses.empty());
    EXPECT_TRUE(log.has("server busy, reading ahead 2 items at most")) << log.text();
}

} // namespace

#endif // QV_SANDBOX_PATH
