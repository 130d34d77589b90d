// The batch plan: what a spreadsheet's CSV looks like is taken, every
// mistake is refused with the file and line, and names made for files
// from addresses cannot leave their folder.
#include <gtest/gtest.h>

#include "auth_options.hpp"
#include "batch_plan.hpp"

namespace qvmigrate {
namespace {

TEST(BatchPlan, ReadsQuotedFieldsFoldersBomAndCrLf) {
    const std::string text = "\xEF\xBB\xBFSource,Target,Folders\r\n"
                             "\r\n"
                             "a@example.com,b@example.com,\r\n"
                             "\"c@example.com\", d@example.com ,\"Inbox | Sent Items|Archive/2021\"\r\n"
                             "e@example.com,f@example.com,\"Say \"\"hi\"\", then|\"";
    const auto plan = parse_plan(text, "plan.csv");
    ASSERT_EQ(plan.size(), 3u);
    EXPECT_EQ(plan[0].source, "a@example.com");
    EXPECT_TRUE(plan[0].folders.empty());
    EXPECT_EQ(plan[0].line_number, 3);
    EXPECT_EQ(plan[1].target, "d@example.com");
    EXPECT_EQ(plan[1].folders, (std::vector<std::string>{"Inbox", "Sent Items", "Archive/2021"}));
    EXPECT_EQ(plan[2].folders, (std::vector<std::string>{"Say \"hi\", then"}));
}

TEST(BatchPlan, RefusesMistakesNamingTheLine) {
    const struct {
        const char *text, *message;
    } cases[] = {
        {"", "the plan is empty"},
        {"source,target\n", "no mailbox line"},
        {"from,to\na@x.org,b@x.org\n", "line 1: the header must be"},
        {"source,target\na@x.org\n", "line 2: expected 2 fields, found 1"},
        {"source,target\na@x.org,b@x.org,Inbox\n", "line 2: expected 2 fields, found 3"},
        {"source,target\n\"a@x.org,b@x.org\n", "line 2: a quote is not closed"},
        {"source,target\na@x.org,\n", "\"\" is not a mailbox address"},
        {"source,target\nalice,b@x.org\n", "\"alice\" is not a mailbox address"},
        {"source,target\na@x.org,b c@x.org\n", "is not a mailbox address"},
        {"source,target\na@x.org,b@x.org\nA@X.org,B@x.org\n", "line 3: A@X.org to B@x.org is planned twice"},
        {"source,target\na@x.org,b@x.org\nc@x.org,b@X.ORG\n", "line 3: the target b@X.ORG already receives"},
    };
    for (const auto &c : cases) {
        try {
            parse_plan(c.text, "plan.csv");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const UsageError &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << " for " << c.text;
            EXPECT_TRUE(std::string(e.what()).starts_with("plan.csv")) << e.what();
        }
    }
}

TEST(BatchPlan, PairFileNamesStayInTheirFolder) {
    PlanLine line;
    line.source = "../../etc/passwd@x.org";
    line.target = "B/C@Example.org";
    const std::string name = pair_file_name(line);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(name, ".._.._etc_passwd@x.org--b_c@example.org");
}

TEST(BatchPlan, DeadlineDayMeansItsEnd) {
    EXPECT_EQ(parse_deadline("2027-03-31") + 1, parse_deadline("2027-04-01T00:00:00Z"));
    EXPECT_EQ(parse_deadline("2027-03-31T12:00:00Z"), parse_deadline("2027-03-31") - 431'999'999'999ULL);
    EXPECT_THROW(parse_deadline("31.03.2027"), UsageError);
}

} // namespace
} // namespace qvmigrate
