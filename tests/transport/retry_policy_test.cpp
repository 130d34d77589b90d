// Reading a failed answer and deciding whether the server is busy and how
// long to wait.
#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;

const std::string kDataDir = std::string(QV_TEST_DATA_DIR) + "/transport/";

TEST(RetryPolicy, BusyAnswers)
{
    struct Case {
        int status;
        const char *text;
        bool busy;
    };
    const Case cases[] = {
        {500, "The server cannot service this request right now. Try again later.", true},
        {500, "THE SERVER CANNOT SERVICE this request", true},
        {504, "", true},
        {504, "<html>", true},
        {500, "The server cannot", false},
        {500, "An internal server error occurred.", false},
        {503, "", false},
        {401, "", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsBusyAnswer(c.status, c.text), c.busy) << c.status << " " << c.text;
}

TEST(RetryPolicy, BusyDelayIsRoundSecondsOrTheServersBackOff)
{
    EXPECT_EQ(BusyDelayMs(1, 0), 1000);
    EXPECT_EQ(BusyDelayMs(2, 0), 2000);
    EXPECT_EQ(BusyDelayMs(3, 0), 3000);
    EXPECT_EQ(BusyDelayMs(1, 297749), 297749);
    EXPECT_EQ(BusyDelayMs(3, 1500), 3000);
    EXPECT_EQ(BusyDelayMs(1, 2000000000), kBackOffCeilingMs);
}

TEST(RetryPolicy, FaultReports)
{
    struct Case {
        const char *file;
        bool fault_found;
        const char *text;
        int back_off_ms;
    };
    const Case cases[] = {
        {"fault_server_busy.xml", true,
         "The server cannot service this request right now. Try again later.", 297749},
        {"fault_schema.xml", true, "The request failed schema validation: bad element", 0},
        {"gateway_timeout.html", false, "</html>", 0},
        {"empty.xml", false, "", 0},
    };
    for (const Case &c : cases) {
        FaultReport report;
        ASSERT_TRUE(ReadFaultReport(kDataDir + c.file, report)) << c.file;
        EXPECT_EQ(report.fault_found, c.fault_found) << c.file;
        EXPECT_EQ(report.text, c.text) << c.file;
        EXPECT_EQ(report.back_off_ms, c.back_off_ms) << c.file;
    }
    FaultReport report;
    EXPECT_FALSE(ReadFaultReport(kDataDir + "no-such-file.xml", report));
}

} // namespace
