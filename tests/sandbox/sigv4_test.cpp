// SigV4 verification, checked against the worked example of AWS's
// Signature Version 4 documentation (IAM ListUsers, 2015-08-30 12:36:00 UTC,
// key AKIDEXAMPLE): its canonical request, hash, signing key and signature.
#include <gtest/gtest.h>

#include "sigv4.hpp"

namespace {

using namespace sandbox;
using namespace sandbox::sigv4;

constexpr const char *kSecret = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
constexpr const char *kDate = "20150830T123600Z";
constexpr const char *kExampleSignature =
    "5d672d79c15b13162d9279b0855cfba6789a8edb4c82c400e06b5924a6f2b5d7";

HttpRequest example_request() {
    HttpRequest r;
    r.method = "GET";
    r.path = "/";
    r.query = {{"Version", "2010-05-08"}, {"Action", "ListUsers"}}; // order must not matter
    r.headers = {{"Content-Type", "application/x-www-form-urlencoded; charset=utf-8"},
                 {"Host", "iam.amazonaws.com"},
                 {"X-Amz-Date", kDate}};
    return r;
}

HttpRequest signed_example() {
    HttpRequest r = example_request();
    r.headers.emplace_back("Authorization",
                           std::string("AWS4-HMAC-SHA256 Credential=AKIDEXAMPLE/20150830/us-east-1/"
                                       "iam/aws4_request, SignedHeaders=content-type;host;x-amz-date, "
                                       "Signature=") + kExampleSignature);
    return r;
}

auto known_key = [](const std::string &key) -> std::optional<std::string> {
    if (key == "AKIDEXAMPLE")
        return std::string(kSecret);
    return std::nullopt;
};

UnixSeconds example_time() { return *parse_amz_date(kDate); }

TEST(SigV4, EachStepOfTheWorkedExample) {
    const std::string canonical =
        canonical_request(example_request(), {"content-type", "host", "x-amz-date"});
    EXPECT_EQ(canonical, "GET\n/\nAction=ListUsers&Version=2010-05-08\n"
                         "content-type:application/x-www-form-urlencoded; charset=utf-8\n"
                         "host:iam.amazonaws.com\nx-amz-date:20150830T123600Z\n\n"
                         "content-type;host;x-amz-date\n"
                         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(canonical),
              "f536975d06c0309214f805bb90ccff089219ecd68b2577efef23edd43b7e1a59");
    const std::string key = signing_key(kSecret, "20150830", "us-east-1", "iam");
    EXPECT_EQ(to_hex(key), "c4afb1cc5771d871763a393e44b703571b55cc28424d1a5e86da6ed3c154a4b9");
    const std::string to_sign = string_to_sign(kDate, "20150830/us-east-1/iam/aws4_request", canonical);
    EXPECT_EQ(to_sign, "AWS4-HMAC-SHA256\n20150830T123600Z\n20150830/us-east-1/iam/aws4_request\n"
                       "f536975d06c0309214f805bb90ccff089219ecd68b2577efef23edd43b7e1a59");
    EXPECT_EQ(signature(key, to_sign), kExampleSignature);
}

TEST(SigV4, VerifiesTheWorkedExampleWithinTheAllowedSkew) {
    struct Case {
        long offset;
        Verdict expected;
    } cases[] = {{0, Verdict::Valid},     {300, Verdict::Valid},  {-300, Verdict::Valid},
                 {301, Verdict::Expired}, {-301, Verdict::Expired}, {86400, Verdict::Expired}};
    for (const auto &c : cases) {
        const Result r = verify(signed_example(), "iam", example_time() + c.offset, 300, known_key);
        EXPECT_EQ(r.verdict, c.expected) << "offset " << c.offset << ": " << r.detail;
    }
    const Result late = verify(signed_example(), "iam", example_time() + 301, 300, known_key);
    EXPECT_EQ(late.detail, "Signature expired: 20150830T123600Z is now earlier than "
                           "20150830T123601Z (20150830T124101Z - 5 min.)");
}

TEST(SigV4, RefusesWhatTheSignatureCovers) {
    struct Case {
        const char *what;
        void (*change)(HttpRequest &);
        Verdict expected;
    } cases[] = {
        {"body", [](HttpRequest &r) { r.body = "x"; }, Verdict::BadSignature},
        {"signed header", [](HttpRequest &r) { r.headers[1].second = "evil.example"; }, Verdict::BadSignature},
        {"query", [](HttpRequest &r) { r.query[0].second = "2011-01-01"; }, Verdict::BadSignature},
        {"method", [](HttpRequest &r) { r.method = "POST"; }, Verdict::BadSignature},
        {"path", [](HttpRequest &r) { r.path = "/other"; }, Verdict::BadSignature},
        {"unsigned header", [](HttpRequest &r) { r.headers.emplace_back("User-Agent", "x"); }, Verdict::Valid},
        {"header case and blanks", [](HttpRequest &r) { r.headers[1] = {"HOST", "  iam.amazonaws.com "}; }, Verdict::Valid},
        {"date outside scope day",
         [](HttpRequest &r) { r.headers[2].second = "20150831T000000Z"; }, Verdict::BadSignature},
    };
    for (const auto &c : cases) {
        HttpRequest r = signed_example();
        c.change(r);
        const UnixSeconds now = parse_amz_date(r.headers[2].second).value_or(example_time());
        EXPECT_EQ(verify(r, "iam", now, 300, known_key).verdict, c.expected) << c.what;
    }
    const auto wrong_secret = [](const std::string &) -> std::optional<std::string> {
        return std::string("not the secret");
    };
    EXPECT_EQ(verify(signed_example(), "iam", example_time(), 300, wrong_secret).verdict,
              Verdict::BadSignature);
}

TEST(SigV4, ClassifiesBrokenAuthorizations) {
    const std::string sig = std::string("Signature=") + kExampleSignature;
    auto header = [](const std::string &credential, const std::string &rest) {
        return "AWS4-HMAC-SHA256 Credential=" + credential + ", " + rest;
    };
    const std::string cred = "AKIDEXAMPLE/20150830/us-east-1/iam/aws4_request";
    const std::string headers = "SignedHeaders=content-type;host;x-amz-date, ";
    struct Case {
        std::string authorization; // "" = no header
        const char *service;
        Verdict expected;
    } cases[] = {
        {"", "iam", Verdict::Missing},
        {"Basic dXNlcjpwdw==", "iam", Verdict::Malformed},
        {header(cred, "SignedHeaders=content-type;host;x-amz-date"), "iam", Verdict::Malformed},
        {header("AKIDEXAMPLE/20150830/iam/aws4_request", headers + sig), "iam", Verdict::Malformed},
        {header(cred, headers + "Signature=5D672D79"), "iam", Verdict::Malformed},
        {header(cred, "SignedHeaders=content-type;x-amz-date, " + sig), "iam", Verdict::Malformed},
        {header(cred, "SignedHeaders=content-type;host;x-amz-date;x-amz-target, " + sig), "iam", Verdict::Malformed},
        {header(cred, headers + sig), "workmail", Verdict::WrongService},
        {header("NOBODY/20150830/us-east-1/iam/aws4_request", headers + sig), "iam", Verdict::UnknownKey},
    };
    for (const auto &c : cases) {
        HttpRequest r = example_request();
        if (!c.authorization.empty())
            r.headers.emplace_back("Authorization", c.authorization);
        EXPECT_EQ(verify(r, c.service, example_time(), 300, known_key).verdict, c.expected)
            << c.authorization;
    }
}

TEST(SigV4, AmzDates) {
    EXPECT_EQ(parse_amz_date("19700101T000000Z"), 0);
    EXPECT_EQ(format_amz_date(example_time()), kDate);
    for (const char *bad : {"", "20150830T123600", "2015-08-30T12:36:00Z", "20151330T123600Z",
                            "20150830T253600Z", "2015083OT123600Z"})
        EXPECT_FALSE(parse_amz_date(bad).has_value()) << bad;
}

} // namespace
