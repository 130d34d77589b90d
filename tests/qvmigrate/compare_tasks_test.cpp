// The demo check for tasks: two dumps of a copied Tasks folder agree when
// every field came across, and each field that did not is named.
#include <gtest/gtest.h>

#include "compare_tasks.hpp"
#include "dump_compare.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

const char *kFolders = R"({"mailbox": "a@x", "folders": [
  {"tree": "msgfolderroot", "path": "Tasks", "class": "IPF.Task", "distinguished": "tasks", "total": 1}]})";

// A task as the sandbox dumps it (tests/data/qvmigrate): its fields are
// named properties.
struct Task {
    std::string status = "1", due = "2026-03-20T00:00:00Z";
    std::string recurrence = "WeeklyRecurrence\\n\\tInterval\\t2\\n", sensitivity = "Private";
};
std::string TaskJson(const Task &t = {}) {
    return filled(read_file(fs::path(QV_TEST_DATA_DIR) / "qvmigrate" / "task.json"),
                  {{"@STATUS@", t.status}, {"@DUE@", t.due}, {"@RECURRENCE@", t.recurrence},
                   {"@SENSITIVITY@", t.sensitivity}});
}

std::string Eml(const std::string &body) {
    return "Subject: Plan\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
           "Content-Type: text/plain\r\n\r\n" + body + "\r\n--b\r\n"
           "Content-Type: text/plain; name=plan.txt\r\n\r\nsteps\r\n--b--\r\n";
}

MailboxDump Dump(const fs::path &dir, const std::string &json, const std::string &eml) {
    write_dump(dir, kFolders, {{json, eml}});
    return load_dump(dir);
}

TEST(CompareTasks, EachDifferingFieldIsNamed) {
    TempDir temp;
    const MailboxDump source = Dump(temp.path() / "s", TaskJson(), Eml("notes"));
    EXPECT_TRUE(compare_dumps(source, Dump(temp.path() / "same", TaskJson(), Eml("notes"))).passed);

    struct Case {
        const char *name;
        std::string json, eml, reported;
    };
    const Case cases[] = {
        {"status", TaskJson({.status = "2"}), Eml("notes"), "status differs"},
        {"due", TaskJson({.due = "2026-03-21T00:00:00Z"}), Eml("notes"), "due date differs"},
        {"recurrence", TaskJson({.recurrence = ""}), Eml("notes"), "recurrence differs"},
        {"private", TaskJson({.sensitivity = "Normal"}), Eml("notes"), "sensitivity differs"},
        {"body", TaskJson(), Eml("other notes"), "body differs"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const CheckOutcome outcome = compare_dumps(source, Dump(temp.path() / std::to_string(++n), c.json, c.eml));
        EXPECT_FALSE(outcome.passed);
        ASSERT_EQ(outcome.differences.size(), 1u) << ::testing::PrintToString(outcome.differences);
        EXPECT_NE(outcome.differences[0].find(c.reported), std::string::npos) << outcome.differences[0];
    }
}

// A regenerating pattern cannot be carried: the copy is right when it is a
// single task whose body ends with the note.
TEST(CompareTasks, RegeneratingPatternMustArriveAsANote) {
    TempDir temp;
    const MailboxDump source =
        Dump(temp.path() / "s", TaskJson({.recurrence = "DailyRegeneration\\n\\tInterval\\t3\\n"}), Eml("water"));
    const std::string note = "water\nPLEASE NOTE: This task was originally recurring, but this conversion is "
                             "not supported.\nThis task repeats on a daily basis.";
    EXPECT_TRUE(compare_dumps(source, Dump(temp.path() / "t", TaskJson({.recurrence = ""}), Eml(note))).passed);
    EXPECT_FALSE(compare_dumps(source, Dump(temp.path() / "u", TaskJson({.recurrence = ""}), Eml("water"))).passed);
}

} // namespace
} // namespace qvmigrate
