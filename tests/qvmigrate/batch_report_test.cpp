// The batch report: texts from mailboxes cannot break the page, the page
// renders its tables in a real browser (headless Chromium, no network),
// and the JSON carries the failed items.  Also the worker's report lines
// and the time estimate.
#include <gtest/gtest.h>

#include "batch_progress.hpp"
#include "batch_report.hpp"
#include "json_util.hpp"
#include "sandbox_process.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;
using namespace std::chrono_literals;

BatchOutcome sample_outcome() {
    const FolderCounts inbox{.path = "Inbox", .kind = "mail", .source_total = 150, .migrated = 149, .failed = 1,
                             .failed_items = {{"</td><script>alert(1)</script>", "2026-03-01T10:00:00Z",
                                               "the target refused it"}}};
    const MailboxRecord done{.source = "a@x.org", .target = "b@x.org", .status = MailboxStatus::Done,
                             .folders = {{inbox, "done"}},
                             .differences = {"Inbox: \"<b>x</b>\" is missing in the target"}, .verified = true};
    const MailboxRecord failed{.source = "c@x.org", .target = "d@x.org", .status = MailboxStatus::Failed,
                               .error = "logon failed: QV Error: 401"};
    return {.plan_file = "plan.csv", .created_utc = "2026-12-07T02:00:00Z", .mailboxes = {done, failed}};
}

TEST(BatchReport, PageEscapesMailboxTextsAndJsonListsFailedItems) {
    const std::string html = batch_html(sample_outcome());
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("&lt;/td&gt;&lt;script&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<b>x</b>"), std::string::npos);
    // Self-contained: nothing is fetched from anywhere.
    for (const char *external : {"src=", "href=", "url(", "@import"})
        EXPECT_EQ(html.find(external), std::string::npos) << external;

    const JsonParse parsed = parse_json(batch_json(sample_outcome()));
    ASSERT_TRUE(parsed.root) << parsed.error;
    const cJSON *mailboxes = json_member(parsed.root.get(), "mailboxes");
    ASSERT_EQ(cJSON_GetArraySize(mailboxes), 2);
    const cJSON *first = cJSON_GetArrayItem(mailboxes, 0);
    const cJSON *item = cJSON_GetArrayItem(json_member(first, "failed_items"), 0);
    EXPECT_EQ(json_string(item, "subject"), "</td><script>alert(1)</script>");
    EXPECT_EQ(json_string(item, "folder"), "Inbox");
    EXPECT_EQ(json_string(cJSON_GetArrayItem(mailboxes, 1), "status"), "failed");
    EXPECT_EQ(json_integer(json_member(parsed.root.get(), "totals"), "failed", 0, 100), 1);
}

TEST(BatchReport, RendersItsTablesInHeadlessChromium) {
    const char *browser = "/usr/bin/chromium";
    if (access(browser, X_OK) != 0)
        GTEST_SKIP() << "Debian's chromium is not installed (scripts/deps installs it)";
    TempDir temp;
    const fs::path page = temp.path() / "report.html";
    write_file(page, batch_html(sample_outcome()));
    const CommandResult run = run_command(
        {browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--user-data-dir=" + (temp.path() / "profile").string(),
         "--proxy-server=127.0.0.1:9", "--dump-dom", "file://" + page.string()},
        120s);
    ASSERT_EQ(run.status, 0) << run.output;
    // The DOM the browser built: the tables are there, with their rows.
    const std::string &dom = run.output;
    EXPECT_NE(dom.find("<table class=\"totals\">"), std::string::npos) << dom;
    EXPECT_NE(dom.find("<table class=\"mailboxes\">"), std::string::npos);
    EXPECT_NE(dom.find("<td>a@x.org</td><td>b@x.org</td>"), std::string::npos);
    EXPECT_NE(dom.find("<table class=\"failed-items\">"), std::string::npos);
    EXPECT_NE(dom.find("&lt;/td&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(dom.find("<script>alert"), std::string::npos);
}

// The ordinary round trip of these lines carries every batch end to end
// (the dry run's counts are listing lines); here folder names with blanks
// (leading ones too), byte counts past 32 bits, broken lines and an error
// with a line break.
TEST(BatchProgress, WorkerLinesRoundTrip) {
    const WorkerProgress sent{"write", "  Sent Items 2021", 7, 40, 120, 450, 123456789012};
    const auto got = parse_progress_line(format_progress_line(sent));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->folder, "  Sent Items 2021");
    EXPECT_EQ(got->bytes, 123456789012);
    EXPECT_FALSE(parse_progress_line("progress write x"));
    EXPECT_FALSE(parse_progress_line("listing {}x"));

    PairListing listing;
    listing.folders.push_back({0, "Inbox", "Inbox", 150, 0});
    listing.target_folders = 9;
    listing.error = "line\nbreak";
    const std::string line = format_listing_line(listing);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto back = parse_listing_line(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->folders.at(0).count, 150);
    EXPECT_EQ(back->target_folders, 9);
    EXPECT_EQ(back->error, "line\nbreak");
}

TEST(BatchProgress, DeadlineEstimate) {
    const double now = 1'800'000'000;
    FinishEstimate fits = estimate_finish(3600, 2.0, now, now + 7200);
    EXPECT_TRUE(fits.known);
    EXPECT_DOUBLE_EQ(fits.seconds_left, 1800);
    EXPECT_TRUE(fits.fits);
    EXPECT_DOUBLE_EQ(fits.margin_seconds, 5400);
    const FinishEstimate late = estimate_finish(3600, 0.25, now, now + 7200);
    EXPECT_FALSE(late.fits);
    EXPECT_DOUBLE_EQ(late.margin_seconds, -7200);
    EXPECT_FALSE(estimate_finish(10, 0, now, now + 1).known); // no rate yet: no verdict
    EXPECT_TRUE(estimate_finish(10, 0, now, now + 1).fits);
    EXPECT_TRUE(estimate_finish(0, 0, now, 0).known);
    EXPECT_EQ(duration_text(3725), "1 h 02 min");
    EXPECT_EQ(duration_text(59.6), "1 min 00 s");
}

} // namespace
} // namespace qvmigrate
