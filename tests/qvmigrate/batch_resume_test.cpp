// Resume without duplicates, through the stand-in connector: an item is
// remembered as copied as soon as the target acknowledged its bundle, so
// a copy killed half way and run again writes nothing twice, and an item
// of a lost bundle is never taken for copied.
#include <gtest/gtest.h>

#include <map>

#include "fake_job.hpp"
#include "jobs.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

class ResumeWithoutDuplicates : public FakeJobTest {
  protected:
    ToolRun copy(const std::string &target_switches) {
        return run({"copy"}, {side("from-", "alice@fake"), side("to-", "bob@fake"),
                              store_switch("to-", target_switches)});
    }

    // Subjects the target holds, each with how often.
    std::map<std::string, int> stored() const {
        std::map<std::string, int> subjects;
        for (const std::string &line : written()) {
            const auto first = line.find('\t'), second = line.find('\t', first + 1);
            ++subjects[line.substr(0, first) + "/" +
                       line.substr(second + 1, line.find('\t', second + 1) - second - 1)];
        }
        return subjects;
    }
};

TEST_F(ResumeWithoutDuplicates, CopyKilledHalfWayIsFinishedByTheNextRun) {
    // Contacts (1 item) and two of Inbox's three are stored, then the
    // process dies in the middle of the Inbox folder.
    for (const char *bundle : {"/D251 1", "/D251 2"}) {
        SCOPED_TRACE(bundle);
        fs::remove_all(store);
        fs::create_directories(store);
        fs::remove_all(state);
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
}

} // namespace
} // namespace qvmigrate
