// Summary: the JSON form scripts read, the table and the progress line.
// Totals and exit statuses are checked on real runs (FaultMatrix, JobDrivers).
#include <gtest/gtest.h>

#include <sstream>

#include "json_util.hpp"
#include "summary.hpp"

namespace qvmigrate {
namespace {

JobSummary sample() {
    JobSummary summary;
    summary.command = "copy";
    summary.source = "a@example.com";
    summary.target = "b@example.com";
    summary.log_file = "/tmp/q.log";
    FolderCounts inbox{"Inbox", "mail", 10, 6, 1, 2, 1, 0, 1.5, {}, {}};
    FolderCounts sent{"Sent Items \"old\"", "mail", 3, 2, 0, 0, 0, 1, 0.5, {"1 items were listed but never reported"}, {}};
    summary.folders = {inbox, sent};
    return summary;
}

TEST(Summary, JsonParsesAndCarriesEveryCount) {
    JobSummary summary = sample();
    summary.settle_exit_status();
    summary.check = CheckOutcome{false, {"Inbox: <x@y> \"Hi\": read state differs"}};
    const auto parsed = parse_json(summary_json(summary));
    ASSERT_TRUE(parsed.root) << parsed.error;
    const cJSON *root = parsed.root.get();
    EXPECT_EQ(json_string(root, "command"), "copy");
    EXPECT_EQ(json_integer(root, "exit_status", 0, 9), 1);
    const cJSON *folders = json_member(root, "folders");
    ASSERT_EQ(cJSON_GetArraySize(folders), 2);
    const cJSON *sent = cJSON_GetArrayItem(folders, 1);
    EXPECT_EQ(json_string(sent, "path"), "Sent Items \"old\"");
    EXPECT_EQ(json_integer(sent, "failed", 0, 99), 1);
    EXPECT_EQ(cJSON_GetArraySize(json_member(sent, "notes")), 1);
    const cJSON *totals = json_member(root, "totals");
    EXPECT_EQ(json_integer(totals, "migrated", 0, 99), 8);
    EXPECT_EQ(json_integer(totals, "duplicates", 0, 99), 1);
    EXPECT_EQ(json_integer(totals, "outside_dates", 0, 99), 2);
    EXPECT_EQ(json_bool(json_member(root, "check"), "passed"), false);
}

TEST(Summary, TableShowsEveryFolderAndTheTotal) {
    std::ostringstream out;
    print_summary_table(out, sample());
    const std::string text = out.str();
    EXPECT_NE(text.find("Inbox"), std::string::npos);
    EXPECT_NE(text.find("note: 1 items were listed"), std::string::npos);
    EXPECT_NE(text.find("total"), std::string::npos);
    EXPECT_NE(text.find("log: /tmp/q.log"), std::string::npos);
}

TEST(Summary, ProgressDrawsOnlyWhenEnabled) {
    std::ostringstream quiet, shown;
    Progress off(false, quiet), on(true, shown);
    for (Progress *p : {&off, &on}) {
        p->start("Inbox/Projects", 20);
        p->update(5);
        p->finish();
    }
    EXPECT_TRUE(quiet.str().empty());
    EXPECT_NE(shown.str().find("of 20"), std::string::npos);
    EXPECT_NE(shown.str().find("items/s"), std::string::npos);
}

} // namespace
} // namespace qvmigrate
