// SigV4 against AWS's published worked example (IAM ListUsers, 30 August
// 2015), and the API endpoint and region taken from the EWS address.  The
// WorkMail request itself is checked by the sandbox's own SigV4 code
// whenever a copy logs on with a role (QvmigrateBatch, FaultMatrix).
#include <gtest/gtest.h>

#include <string>

#include "test_support.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/sigv4.hpp"

namespace {

using namespace qvamz;

constexpr const char *kExampleSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";

TEST(SigV4, AwsWorkedExample)
{
    const std::vector<sigv4::Header> headers = {
        {"content-type", "application/x-www-form-urlencoded; charset=utf-8"},
        {"host", "iam.amazonaws.com"},
        {"x-amz-date", "20150830T123600Z"},
    };
    const std::string canonical = sigv4::CanonicalRequest(
        "GET", "/", "Action=ListUsers&Version=2010-05-08", headers, sigv4::Sha256Hex(""));
    EXPECT_EQ(sigv4::Sha256Hex(canonical),
              "f536975d06c0309214f805bb90ccff089219ecd68b2577efef23edd43b7e1a59");

    const std::string to_sign =
        sigv4::StringToSign("20150830T123600Z", "20150830", "us-east-1", "iam", canonical);
    EXPECT_EQ(to_sign, "AWS4-HMAC-SHA256\n20150830T123600Z\n20150830/us-east-1/iam/aws4_request\n"
                       "f536975d06c0309214f805bb90ccff089219ecd68b2577efef23edd43b7e1a59");

    const std::string key = sigv4::SigningKey(kExampleSecret, "20150830", "us-east-1", "iam");
    EXPECT_EQ(sigv4::ToHex(key),
              "c4afb1cc5771d871763a393e44b703571b55cc28424d1a5e86da6ed3c154a4b9");
    EXPECT_EQ(sigv4::Signature(key, to_sign),
              "5d672d79c15b13162d9279b0855cfba6789a8edb4c82c400e06b5924a6f2b5d7");
}

TEST(Endpoint, RegionOfTheEwsUrlPicksTheApiEndpoint)
{
    struct Case {
        const char *ews_url;
        const char *endpoint;
    };
    const Case cases[] = {
        {"https://ews.mail.us-east-1.awsapps.com/EWS/Exchange.asmx",
         "https://workmail.us-east-1.amazonaws.com"},
        {"https://ews.mail.us-west-2.awsapps.com/EWS/Exchange.asmx",
         "https://workmail.us-west-2.amazonaws.com"},
        {"https://EWS.MAIL.EU-WEST-1.AWSAPPS.COM/EWS/Exchange.asmx",
         "https://workmail.eu-west-1.amazonaws.com"},
        // Both rules match: the later one wins.
        {"https://us-east.example/us-west-2", "https://workmail.us-west-2.amazonaws.com"},
        {"https://127.0.0.1:8443/EWS/Exchange.asmx", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ApiEndpointForEwsUrl(c.ews_url), c.endpoint) << c.ews_url;
}

TEST(Endpoint, RegionAndHostOfAnEndpoint)
{
    EXPECT_EQ(RegionFromEndpoint("https://workmail.us-west-2.amazonaws.com"), "us-west-2");
    EXPECT_EQ(RegionFromEndpoint("https://127.0.0.1:4443"), "");
    EXPECT_EQ(RegionFromEndpoint("https://x/workmail"), "");
    EXPECT_EQ(HostFromEndpoint("https://workmail.us-west-2.amazonaws.com"),
              "workmail.us-west-2.amazonaws.com");
    EXPECT_EQ(HostFromEndpoint("https://127.0.0.1:4443/"), "127.0.0.1:4443");
}

} // namespace
