// The server front end: start-up, TLS, schema validation, version checks,
// Exchange's answer layout, limits and robustness against broken requests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "qv_test_support.hpp"
#include "sandbox_fixture.hpp"
#include "schema.hpp"
#include "xml_pretty.hpp"

namespace {

using namespace sandbox;
using sandbox_test::get_folder;
using sandbox_test::HttpResult;
using sandbox_test::soap_request;
using sandbox_test::version_header;

using qvtest::read_file;

class Server : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        add_user("alice@example.com", "pw");
    }
    HttpResult as_alice(const std::string &envelope) {
        return server->client().basic("alice@example.com", "pw").ews(envelope);
    }
};

TEST_F(Server, PrintsOneListeningLineReusesItsCertificateAuthorityAndListensOnLoopbackOnly) {
    auto &first = start();
    // The line's form is read by every fixture that starts a sandbox.
    EXPECT_EQ(first.ca_file(), (data_dir / "ca.pem").string());
    EXPECT_EQ(as_alice(soap_request(get_folder())).curl, CURLE_OK); // TLS verified with that CA
    EXPECT_EQ(sandbox_test::Client("https://localhost:" + std::to_string(first.port()), first.ca_file())
                  .ews(soap_request(get_folder())).curl,
              CURLE_OK) << "the certificate names localhost";
    const std::string ca = read_file(first.ca_file());
    const std::string cert = read_file(data_dir / "server.pem");
    EXPECT_EQ(first.stop(), 0);

    auto &second = start();
    EXPECT_NE(second.port(), 0);
    EXPECT_EQ(read_file(second.ca_file()), ca);
    EXPECT_EQ(read_file(data_dir / "server.pem"), cert);
    EXPECT_EQ(as_alice(soap_request(get_folder())).curl, CURLE_OK);
    EXPECT_EQ(second.stop(SIGINT), 0);

    // It listens on the loopback address only.
    auto &server = start();
    char port_hex[8];
    std::snprintf(port_hex, sizeof port_hex, "%04X", server.port());
    const std::string table = read_file("/proc/net/tcp") + read_file("/proc/net/tcp6");
    std::istringstream lines(table);
    int listeners = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() > 5 && local.substr(local.size() - 4) == port_hex) {
            ++listeners;
            EXPECT_EQ(local, std::string("0100007F:") + port_hex);
        }
    }
    EXPECT_EQ(listeners, 1);
}

// An out-of-order element is refused as Exchange refuses it; broken bodies
// get the same fault and leave the server running.
TEST_F(Server, RejectsAnOutOfOrderElementAsExchangeDoesAndSurvivesBrokenBodies) {
    auto &server = start();
    const std::string swapped =
        "<m:GetFolder>\n"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"root\"/></m:FolderIds>\n"
        "<m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>\n"
        "</m:GetFolder>";
    const HttpResult r = as_alice(soap_request(swapped));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.fault_code(), "ErrorSchemaValidation");
    EXPECT_TRUE(r.contains("<faultstring xml:lang=\"en-US\">The request failed schema validation: ")) << r.body;
    EXPECT_TRUE(r.contains("FolderIds")) << r.body;
    EXPECT_TRUE(r.contains("<t:LineNumber>5</t:LineNumber>")) << r.body; // the line of m:FolderIds
    EXPECT_TRUE(r.contains("<e:Message xmlns:e=\"http://schemas.microsoft.com/exchange/services/2006/errors\">"
                           "The request failed schema validation.</e:Message>"));
    std::string why;
    EXPECT_TRUE(validate_soap(r.body, &why)) << why;
    EXPECT_NE(as_alice(soap_request(get_folder())).fault_code(), "ErrorSchemaValidation");

    // Nine levels of ten references each: 10^9 characters if expanded.
    std::string billion_laughs = "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\">";
    for (char e = 'b'; e <= 'j'; ++e) {
        billion_laughs += std::string("<!ENTITY ") + e + " \"";
        for (int i = 0; i < 10; ++i)
            billion_laughs += std::string("&") + static_cast<char>(e - 1) + ";";
        billion_laughs += "\">";
    }
    billion_laughs += "]><l>&j;</l>";
    const std::string xxe = "<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                            "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"><soap:Body>"
                            "<m:GetFolder xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\">&x;"
                            "</m:GetFolder></soap:Body></soap:Envelope>";
    const std::string full = soap_request(get_folder());
    const std::vector<std::string> bodies = {
        "", "<", "not xml at all", "<?xml version=\"1.0\"?><a/>", std::string("\0\xff\xfe<\x01", 5),
        full.substr(0, full.size() / 2), full + "<trailing/>", billion_laughs, xxe,
        soap_request("<m:NoSuchOperation/>"), soap_request(get_folder(), "<t:Bogus/>")};
    for (const std::string &body : bodies) {
        const HttpResult r = as_alice(body);
        EXPECT_EQ(r.curl, CURLE_OK) << body;
        EXPECT_TRUE(r.status == 400 || r.status == 500) << r.status << " for " << body;
        EXPECT_EQ(r.fault_code(), "ErrorSchemaValidation") << body << "\n" << r.body;
        EXPECT_FALSE(r.contains("root:")) << "external entity resolved";
        EXPECT_TRUE(validate_soap(r.body, nullptr)) << r.body;
    }
    // Tolerated like Exchange: any content type, and the path in any case.
    auto client = server.client().basic("alice@example.com", "pw");
    for (const char *type : {"Content-Type: application/soap+xml", "Content-Type: text/plain", "Content-Type:"}) {
        const HttpResult r = client.request("POST", "/ews/exchange.ASMX", full, {type});
        EXPECT_NE(r.fault_code(), "ErrorSchemaValidation") << type;
        EXPECT_NE(r.status, 404) << type;
    }
    EXPECT_EQ(client.request("POST", "/EWS/Other.asmx", full).status, 404);
    EXPECT_TRUE(server.running());
}

TEST_F(Server, ChecksTheRequestedVersion) {
    start();
    struct Case {
        const char *version;
        const char *fault;
    } cases[] = {{"Exchange2007_SP1", ""},
                 {"Exchange2010", ""},
                 {"Exchange2010_SP1", ""},
                 {"Exchange2010_SP2", ""},
                 {"Exchange2007", "ErrorInvalidServerVersion"},
                 {"Exchange2013_SP1", "ErrorInvalidServerVersion"},
                 // Names our schema copy lacks, which clients step down through
                 // ("RequestServerVersion", learn.microsoft.com/exchange/client-developer/
                 // web-service-reference/requestserverversion; "ExchangeVersionType", MS-OXWSCDATA)
                 {"V2018_01_08", "ErrorInvalidServerVersion"},
                 {"Exchange2015_SP1", "ErrorInvalidServerVersion"},
                 {"Exchange2019", "ErrorInvalidServerVersion"},
                 {"Exchange2019_SP", "ErrorSchemaValidation"},
                 {"Latest", "ErrorSchemaValidation"}};
    for (const auto &c : cases) {
        const HttpResult r = as_alice(soap_request(get_folder(), version_header(c.version)));
        if (*c.fault) {
            EXPECT_EQ(r.status, 500) << c.version;
            EXPECT_EQ(r.fault_code(), c.fault) << c.version;
            EXPECT_TRUE(validate_soap(r.body, nullptr)) << r.body;
        } else {
            EXPECT_NE(r.fault_code(), "ErrorInvalidServerVersion") << c.version;
            EXPECT_NE(r.fault_code(), "ErrorSchemaValidation") << c.version;
        }
    }
    EXPECT_TRUE(as_alice(soap_request(get_folder(), version_header("Exchange2013")))
                    .contains("The specified server version is invalid."));
}

// Both layouts, compact and --pretty, must stay valid for every version.
TEST_F(Server, AnswersInExchangeLayoutForEachVersion) {
    for (const char *version : {"14", "15"}) {
        auto &server = start({"--version", version, "--pretty"});
        const HttpResult r = as_alice(soap_request(get_folder()));
        EXPECT_EQ(r.status, 200) << r.body;
        EXPECT_TRUE(r.contains(std::string("<h:ServerVersionInfo MajorVersion=\"") + version + "\""))
            << r.body;
        EXPECT_TRUE(r.contains("\n    <m:GetFolderResponse xmlns:m=")) << r.body;
        std::string why;
        EXPECT_TRUE(validate_soap(r.body, &why)) << why << "\n" << r.body;
        const HttpResult fault = as_alice(soap_request(get_folder(), version_header("Exchange2013")));
        EXPECT_TRUE(fault.contains("\n  <s:Body>\n    <s:Fault>\n      <faultcode")) << fault.body;
        EXPECT_TRUE(validate_soap(fault.body, &why)) << why;
        EXPECT_EQ(server.stop(), 0);
    }
    auto &compact = start({"--version", "15"});
    const HttpResult r = as_alice(soap_request(get_folder()));
    EXPECT_EQ(r.body.rfind(R"(<?xml version="1.0" encoding="utf-8"?><s:Envelope xmlns:s=)", 0), 0u) << r.body;
    EXPECT_TRUE(validate_soap(r.body, nullptr)) << r.body;
    EXPECT_EQ(compact.stop(), 0);
}

// tests/data/sandbox/pretty: a compact answer and its layout.
TEST(PrettyXml, LaysAnswersOutLikeTheDocumentation) {
    const auto dir = sandbox_test::fs::path(QV_TEST_DATA_DIR) / "pretty";
    const std::string compact = read_file(dir / "compact.xml");
    ASSERT_FALSE(compact.empty());
    EXPECT_EQ(pretty_xml(compact), read_file(dir / "expected.xml"));
    EXPECT_EQ(pretty_xml("<broken"), "<broken");
}

TEST_F(Server, RefusesBodiesOverTheLimitAndTruncatedUploads) {
    auto &server = start({"--max-request-bytes", "4000"});
    const std::string padded = soap_request(get_folder(), std::string(5000, ' '));
    EXPECT_EQ(as_alice(padded).status, 413);
    EXPECT_NE(as_alice(soap_request(get_folder())).status, 413);

    // An upload that stops half way: the client aborts, the server carries on.
    CURL *curl = curl_easy_init();
    struct Upload {
        std::size_t sent = 0;
    } upload;
    curl_easy_setopt(curl, CURLOPT_URL, server.ews_url().c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, server.ca_file().c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, 3000L);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, +[](char *buf, size_t size, size_t n, void *user) -> size_t {
        auto *u = static_cast<Upload *>(user);
        if (u->sent >= 1000)
            return CURL_READFUNC_ABORT;
        const size_t chunk = std::min<size_t>(size * n, 1000 - u->sent);
        std::memset(buf, '<', chunk);
        u->sent += chunk;
        return chunk;
    });
    EXPECT_EQ(curl_easy_perform(curl), CURLE_ABORTED_BY_CALLBACK);
    curl_easy_cleanup(curl);
    EXPECT_EQ(as_alice(soap_request(get_folder())).curl, CURLE_OK);
    EXPECT_TRUE(server.running());
}

// Several clients writing at once: qvmigrate's batch end-to-end test runs
// two jobs side by side and counts every message in each target.

// One connection carries a whole run of requests, and answers are not held
// back by the client's delayed ACK (about 40 ms a request without
// TCP_NODELAY, 8 s for this loop).
TEST_F(Server, KeepsOneConnectionAndAnswersAtOnce) {
    auto &server = start();
    auto client = server.client().basic("alice@example.com", "pw");
    constexpr int kRequests = 200;
    long connections = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        const HttpResult r = client.ews(soap_request(get_folder("inbox")));
        ASSERT_EQ(r.status, 200) << r.body;
        connections += r.connects;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(connections, 1);
    EXPECT_LT(seconds, 5.0) << kRequests << " requests on one connection";
}

// --latency holds each answer back on its own connection: two clients
// waiting at once are answered side by side, not one after the other.
TEST_F(Server, LatencyDelaysEachAnswerWithoutSerialising) {
    constexpr double kLatency = 0.4;
    auto &server = start({"--latency", "400"});
    std::vector<double> took(3, 0);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < took.size(); ++t)
        threads.emplace_back([&, t] {
            took[t] = server.client().basic("alice@example.com", "pw").ews(soap_request(get_folder())).seconds;
        });
    for (auto &t : threads)
        t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    for (double seconds : took)
        EXPECT_GE(seconds, kLatency);
    EXPECT_LT(wall, 2 * kLatency) << "the answers were delayed one after the other";
}

TEST_F(Server, RefusesToStartWithBadSettings) {
    std::string output;
    // A port another sandbox holds is an error, not a shared port.
    auto &running = start();
    const auto other = data_dir / "other";
    const std::string command = std::string("timeout 30 '") + QV_SANDBOX_PATH + "' serve --data '" +
                                other.string() + "' --port " + std::to_string(running.port()) +
                                " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;

    const auto empty = data_dir / "empty";
    sandbox_test::fs::create_directories(empty);
    EXPECT_EQ(sandbox_test::run_sandbox_cli({"serve", "--data", data_dir.string(), "--schema", empty.string()}, &output), 1);
    EXPECT_NE(output.find("soap-envelope.xsd"), std::string::npos) << output;
    const auto faults = data_dir / "faults.json";
    std::ofstream(faults) << "{\"kind\":";
    EXPECT_EQ(sandbox_test::run_sandbox_cli({"serve", "--data", data_dir.string(), "--faults", faults.string()}, &output), 1);
    EXPECT_NE(output.find("faults.json"), std::string::npos) << output;
    EXPECT_NE(sandbox_test::run_sandbox_cli({"role", "add", "--data", data_dir.string(), "--org", "org1", "--role", "r",
                                             "--access-key", "k", "--secret", "s", "--mailboxes", "a@b"}, &output), 0);
    EXPECT_NE(sandbox_test::run_sandbox_cli({"serve", "--data", data_dir.string(), "--version", "13"}, &output), 0);
}

} // namespace
