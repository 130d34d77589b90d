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

// The waits of 1, 2 and 3 s and the server's own back-off are in
// SoapRequestTest; here the choice between them and the ceiling.
TEST(RetryPolicy, BusyDelayIsRoundSecondsOrTheServersBackOff)
{
    EXPECT_EQ(BusyDelayMs(3, 1500), 3000);
    EXPECT_EQ(BusyDelayMs(1, 2000000000), kBackOffCeilingMs);
}

// The busy and schema faults are read in SoapRequestTest.
TEST(RetryPolicy, WithoutAFaultTheLastLineIsTheText)
{
    FaultReport report;
    ASSERT_TRUE(ReadFaultReport(kDataDir + "gateway_timeout.html", report));
    EXPECT_FALSE(report.fault_found);
    EXPECT_EQ(report.text, "</html>");
    EXPECT_EQ(report.back_off_ms, 0);
    EXPECT_FALSE(ReadFaultReport(kDataDir + "no-such-file.xml", report));
}

} // namespace
