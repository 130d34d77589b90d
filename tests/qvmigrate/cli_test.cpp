// The command line: usage mistakes end with status 2 before anything is
// done, and the date options mean what the guide says.
#include <gtest/gtest.h>

#include <sstream>

#include "cli.hpp"
#include "summary.hpp"
#include "text_codec.hpp"

namespace qvmigrate {
namespace {

int parse(std::vector<std::string> args, CommandLine &line, std::string *err_text = nullptr) {
    args.insert(args.begin(), "qvmigrate");
    std::vector<const char *> argv;
    for (const auto &arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    const int status = parse_command_line(static_cast<int>(argv.size()), argv.data(), line, out, err);
    if (err_text != nullptr)
        *err_text = err.str();
    return status;
}

struct UsageCase {
    const char *name;
    std::vector<std::string> args;
    const char *message; // part of what stderr says
};

class CommandLineUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(CommandLineUsage, EndsWithStatus2) {
    CommandLine line;
    std::string err;
    EXPECT_EQ(parse(GetParam().args, line, &err), kExitUsage);
    EXPECT_NE(err.find(GetParam().message), std::string::npos) << err;
}

const std::vector<std::string> kServer = {"--server", "ews.example.com", "--user", "a@example.com"};

std::vector<std::string> args(std::vector<std::string> head, std::vector<std::string> tail = {}) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineUsage,
    ::testing::Values(
        UsageCase{"NoCommand", {}, "subcommand"},
        UsageCase{"UnknownCommand", {"move"}, "subcommand"},
        UsageCase{"MissingUser", {"folders", "--server", "x"}, "--user"},
        UsageCase{"ExportWithoutOut", args({"export"}, kServer), "--out"},
        UsageCase{"PasswordOnCommandLine", args({"folders"}, args(kServer, {"--password", "pw"})), "ps"},
        UsageCase{"TargetPasswordOnCommandLine",
                  {"copy", "--from-server", "a", "--from-user", "a@x", "--to-server", "b",
                   "--to-user", "b@x", "--to-password", "pw"},
                  "--to-password-env"},
        UsageCase{"BadKind", args({"export", "--out", "/tmp/x", "--kind", "notes"}, kServer), "kind"},
        UsageCase{"BadDate", args({"export", "--out", "/tmp/x", "--date-from", "2026-13-01"}, kServer), "--date-from"},
        UsageCase{"DatesReversed",
                  args({"export", "--out", "/tmp/x", "--date-from", "2026-03-02", "--date-to", "2026-03-01"}, kServer),
                  "after"},
        UsageCase{"NegativeMaxItems", args({"export", "--out", "/tmp/x", "--max-items", "-1"}, kServer), "max-items"},
        UsageCase{"ImportFromNowhere", args({"import", "--in", "/nonexistent/archive"}, kServer), "--in"},
        UsageCase{"CopyMissingTarget", {"copy", "--from-server", "a", "--from-user", "a@x"}, "--to-server"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CommandLine, HelpIsNotAnError) {
    CommandLine line;
    EXPECT_EQ(parse({"--help"}, line), 0);
    EXPECT_EQ(parse({"copy", "--help"}, line), 0);
}

TEST(CommandLine, CopyTakesEachSidesOptions) {
    CommandLine line;
    ASSERT_EQ(parse({"copy", "--from-server", "a.example", "--from-user", "a@x", "--from-delegate",
                     "admin@x", "--from-delegate-password-env", "DPW", "--to-server",
                     "https://b.example/EWS/Exchange.asmx", "--to-user", "b@x", "--to-role", "r",
                     "--to-org", "o", "--to-access-key-env", "K", "--to-secret-env", "S",
                     "--insecure", "--folder", "Inbox/Projects", "--folder", "Archive"},
                    line),
              -1);
    // Delegates and roles reach their side in the end-to-end tests' runs.
    EXPECT_EQ(line.from.auth.delegate, "admin@x");
    EXPECT_EQ(line.to.auth.role, "r");
    EXPECT_TRUE(line.transport.insecure);
    EXPECT_EQ(line.folders, (std::vector<std::string>{"Inbox/Projects", "Archive"}));
}

TEST(CommandLine, DayAloneMeansTheWholeDay) {
    CommandLine line;
    ASSERT_EQ(parse(args({"export", "--out", "/tmp/x", "--date-from", "2026-03-01", "--date-to",
                          "2026-03-31", "--max-items", "5"}, kServer), line), -1);
    const JobLimits limits = limits_from(line);
    EXPECT_EQ(filetime_to_iso(limits.first), "2026-03-01T00:00:00.0000000Z");
    EXPECT_EQ(filetime_to_iso(limits.last), "2026-03-31T23:59:59.9999999Z");
    EXPECT_EQ(limits.max_items, 5);

    line.date_to = "2026-03-31T12:00:00Z";
    EXPECT_EQ(filetime_to_iso(limits_from(line).last), "2026-03-31T12:00:00.0000000Z");
}

} // namespace
} // namespace qvmigrate
