// Resume without duplicates, through the stand-in connector: an item is
// remembered as copied as soon as the target acknowledged its bundle, so
// a copy killed half way and run again writes nothing twice, and an item
// of a lost bundle is never taken for copied.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "jobs.hpp"
#include "json_util.hpp"
#include "tool_runner.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

class ResumeWithoutDuplicates : public ::testing::Test {
  protected:
    TempDir temp;
    fs::path store = temp.path() / "store";

    void SetUp() override { fs::create_directories(store); }

    ToolRun copy(const std::string &target_switches) {
        const std::vector<std::string> args = {
            "copy", "--from-server", "fake://server", "--from-user", "alice@fake",
            "--from-password-env", "ALICE_PW", "--to-server", "fake://server", "--to-user",
            "bob@fake", "--to-password-env", "BOB_PW", "--to-switches",
            "/FAKESTORE \"" + store.string() + "\" " + target_switches, "--plugin",
            QV_FAKE_PLUGIN_PATH, "--state", (temp.path() / "state").string(), "--json"};
        return run_qvmigrate(args, {env("ALICE_PW", "alice-pw"), env("BOB_PW", "bob-pw")}, temp.path());
    }

    // Subjects the target holds, each with how often.
    std::map<std::string, int> stored() const {
        std::map<std::string, int> subjects;
        std::istringstream in(read_file(store / "written.txt"));
        for (std::string line; std::getline(in, line);) {
            const auto first = line.find('\t'), second = line.find('\t', first + 1);
            ++subjects[line.substr(0, first) + "/" +
                       line.substr(second + 1, line.find('\t', second + 1) - second - 1)];
        }
        return subjects;
    }

    static long total(const ToolRun &run, const char *key) {
        const JsonParse parsed = parse_json(run.out);
        return static_cast<long>(
            json_integer(json_member(parsed.root.get(), "totals"), key, 0, 1000).value_or(-1));
    }
};

TEST_F(ResumeWithoutDuplicates, CopyKilledHalfWayIsFinishedByTheNextRun) {
    // Contacts (1 item) and two of Inbox's three are stored, then the
    // process dies in the middle of the Inbox folder.
    for (const char *bundle : {"/D251 1", "/D251 2"}) {
        SCOPED_TRACE(bundle);
        fs::remove_all(store);
        fs::create_directories(store);
        fs::remove_all(temp.path() / "state");
        const ToolRun killed = copy(std::string(bundle) + " /FAKEDIEAFTER 3");
        EXPECT_NE(killed.status, 0);
        EXPECT_EQ(stored().size(), 3u);
        const ToolRun again = copy(bundle);
        ASSERT_EQ(again.status, 0) << again.err << again.out;
        const auto subjects = stored();
        EXPECT_EQ(subjects.size(), 6u) << ::testing::PrintToString(subjects);
        for (const auto &[subject, count] : subjects)
            EXPECT_EQ(count, 1) << subject << " written " << count << " times";
        EXPECT_EQ(total(again, "duplicates"), 3);
        EXPECT_EQ(total(again, "migrated"), 3);
    }
}

TEST_F(ResumeWithoutDuplicates, ItemsOfALostBundleAreWrittenAgainAndOnlyThey) {
    // Bundles of two: [Zoë] at the end of Contacts, [Grüße 1, Report 2]
    // (lost), [Old 3], [Plan A, Plan B].
    const ToolRun lossy = copy("/D251 2 /FAKELOSEBUNDLE 2");
    EXPECT_EQ(lossy.status, 1) << lossy.out;
    EXPECT_EQ(total(lossy, "failed"), 2);
    EXPECT_EQ(stored().size(), 4u);
    const ToolRun again = copy("/D251 2");
    ASSERT_EQ(again.status, 0) << again.err << again.out;
    EXPECT_EQ(total(again, "migrated"), 2);
    EXPECT_EQ(total(again, "duplicates"), 4);
    const auto subjects = stored();
    EXPECT_EQ(subjects.size(), 6u);
    for (const auto &[subject, count] : subjects)
        EXPECT_EQ(count, 1) << subject;
}

TEST(BundleSwitch, TakesTheLastBundleSizeOfTheSwitches) {
    EXPECT_EQ(bundle_items_from_switches(""), 1);
    EXPECT_EQ(bundle_items_from_switches("/DEBUG;/D251 25"), 25);
    EXPECT_EQ(bundle_items_from_switches("/d251 5 /D251 7"), 7);
    EXPECT_EQ(bundle_items_from_switches("/D251 0"), 1);
    EXPECT_EQ(bundle_items_from_switches("/D2510 9 /D251"), 1); // no value, other switch
    // The default applies only where the user named no bundle size.
    EXPECT_EQ(bundle_items_from_switches(with_default_bundle("")), kDefaultBundleItems);
    EXPECT_EQ(bundle_items_from_switches(with_default_bundle("/DEBUG;/D2510 9")),
              kDefaultBundleItems);
    EXPECT_EQ(with_default_bundle("/DEBUG /d251 1"), "/DEBUG /d251 1");
}

} // namespace
} // namespace qvmigrate
