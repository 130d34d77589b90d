// Fault injection: the rule parser and queue, then every kind as a plain
// libcurl client sees it.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <tuple>

#include "fault_injection.hpp"
#include "ops_harness.hpp"
#include "signed_api_call.hpp"
#include "schema.hpp"

namespace {

using namespace sandbox;
using sandbox_test::get_folder;
using sandbox_test::soap_request;

TEST(FaultRules, ParsesWhatTheDocumentationShows) {
    std::string error;
    const auto rules = parse_fault_rules(
        R"([{"operation":"GetItem","kind":"http_status","status":500,"count":2},
            {"kind":"soap_fault","faultstring":"Boom","response_code":"ErrorItemSave"},
            {"operation":"FindItem","kind":"server_busy","back_off_ms":250},
            {"kind":"empty_503"},{"kind":"drop_connection"},{"kind":"delay","ms":40},
            {"operation":"FindItem","kind":"response_error","response_code":"ErrorTimeoutExpired","after":1}])",
        &error);
    ASSERT_TRUE(rules.has_value()) << error;
    // Each field's effect is checked through the server below; here that
    // the listing GET /sandbox/faults gives reads back as the same rules.
    const auto again = parse_fault_rules(describe_fault_rules(*rules), &error);
    ASSERT_TRUE(again.has_value()) << error;
    ASSERT_EQ(again->size(), 7u);
    const auto &r = *again;
    EXPECT_EQ(std::tuple(r[0].count, r[1].operation, r[2].back_off_ms, r[5].delay_ms, r[6].after, r[6].response_code),
              std::tuple(2, std::string("*"), 250, 40, 1, std::string("ErrorTimeoutExpired")));
    EXPECT_EQ(r[6].kind, FaultRule::Kind::ResponseError);
}

TEST(FaultRules, RefusesBrokenRules) {
    for (const char *json :
         {"", "{", "42", R"({"kind":"explode"})", R"({"status":500})", R"({"kind":"http_status"})",
          R"({"kind":"http_status","status":200})", R"({"kind":"http_status","status":"500"})",
          R"({"kind":"http_status","status":500.5})", R"({"kind":"http_status","status":1e300})",
          R"({"kind":"soap_fault"})", R"({"kind":"delay"})", R"({"kind":"delay","ms":-1})",
          R"({"kind":"empty_503","count":0})", R"({"kind":"empty_503","operation":""})",
          R"({"kind":"empty_503","after":-1})", R"({"kind":"response_error"})",
          R"({"kind":"response_error","response_code":"Error<Item>"})",
          R"([{"kind":"empty_503"}, 7])"}) {
        std::string error;
        EXPECT_FALSE(parse_fault_rules(json, &error).has_value()) << json;
        EXPECT_FALSE(error.empty()) << json;
    }
}

TEST(FaultRules, QueueUsesRulesInOrderAndCountsThemDown) {
    FaultInjector faults;
    std::string error;
    faults.add(*parse_fault_rules(R"([{"operation":"GetItem","kind":"empty_503","count":2},
                                      {"kind":"http_status","status":504}])", &error));
    EXPECT_EQ(faults.take("FindItem")->status, 504);     // "*" matches, GetItem does not
    EXPECT_EQ(faults.take("GetItem")->kind, FaultRule::Kind::Empty503);
    EXPECT_EQ(faults.take("GetItem")->kind, FaultRule::Kind::Empty503);
    EXPECT_FALSE(faults.take("GetItem").has_value());
    EXPECT_TRUE(faults.pending().empty());

    // "after" counts matching requests even while another rule serves them.
    faults.add(*parse_fault_rules(R"([{"operation":"GetItem","kind":"empty_503","after":2},
                                      {"kind":"http_status","status":504}])", &error));
    EXPECT_EQ(faults.take("GetItem")->status, 504);
    EXPECT_FALSE(faults.take("FindItem").has_value());
    EXPECT_FALSE(faults.take("GetItem").has_value()) << "the second GetItem still passes";
    EXPECT_EQ(faults.take("GetItem")->kind, FaultRule::Kind::Empty503);
}

class Faults : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        add_user("alice@example.com", "pw");
    }
    sandbox_test::HttpResult inject(const std::string &json) {
        return server->client().request("POST", "/sandbox/faults", json, {"Content-Type: application/json"});
    }
    sandbox_test::HttpResult get_folder_as_alice() {
        return server->client().basic("alice@example.com", "pw").ews(soap_request(get_folder()));
    }
};

// Each kind as a plain libcurl client sees it.
TEST_F(Faults, EveryKindOfFault) {
    start();
    for (int status : {401, 413, 500, 503, 504, 507}) {
        ASSERT_EQ(inject(R"({"operation":"GetFolder","kind":"http_status","status":)" +
                         std::to_string(status) + "}").status, 200);
        const auto r = get_folder_as_alice();
        EXPECT_EQ(r.curl, CURLE_OK);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.fault_code(), "");
    }
    EXPECT_NE(get_folder_as_alice().status, 507) << "a rule applies count times only";

    inject(R"([{"kind":"soap_fault","faultstring":"The server cannot service this request right now. Try again later.","count":1},
               {"kind":"server_busy","back_off_ms":1234}])");
    auto r = get_folder_as_alice();
    EXPECT_EQ(r.status, 500);
    EXPECT_TRUE(r.contains("<faultstring xml:lang=\"en-US\">The server cannot service this request right "
                           "now. Try again later.</faultstring>")) << r.body;
    EXPECT_TRUE(validate_soap(r.body, nullptr)) << r.body;

    r = get_folder_as_alice();
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.fault_code(), "ErrorServerBusy");
    EXPECT_TRUE(r.contains("<t:Value Name=\"BackOffMilliseconds\">1234</t:Value>")) << r.body;
    EXPECT_TRUE(r.contains("The server cannot service this request right now. Try again later.</faultstring>"));
    std::string why;
    EXPECT_TRUE(validate_soap(r.body, &why)) << why << "\n" << r.body;

    inject(R"([{"kind":"empty_503"},{"kind":"drop_connection"},{"kind":"delay","ms":600}])");
    r = get_folder_as_alice();
    EXPECT_EQ(r.curl, CURLE_OK);
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(r.body.empty());

    r = get_folder_as_alice();
    EXPECT_TRUE(r.curl == CURLE_GOT_NOTHING || r.curl == CURLE_RECV_ERROR)
        << curl_easy_strerror(r.curl);
    EXPECT_EQ(r.status, 0);

    r = get_folder_as_alice();
    EXPECT_EQ(r.curl, CURLE_OK);
    EXPECT_GE(r.seconds, 0.6);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.fault_code(), "") << "a delay does not change the answer";
}

TEST_F(Faults, FileRulesApiOperationAndControl) {
    const auto file = data_dir / "faults.json";
    std::ofstream(file) << R"([{"operation":"AssumeImpersonationRole","kind":"http_status","status":503}])";
    auto &server = start({"--faults", file.string()});
    auto listed = server.client().request("GET", "/sandbox/faults", "");
    EXPECT_EQ(listed.status, 200);
    EXPECT_TRUE(listed.contains("\"AssumeImpersonationRole\"")) << listed.body;

    EXPECT_NE(get_folder_as_alice().status, 503) << "EWS requests are not the API's operation";
    EXPECT_EQ(server.client().request("POST", "/", "{}", {"X-Amz-Target: x"}).status, 503);
    EXPECT_EQ(server.client().request("GET", "/sandbox/faults", "").body, "[]");

    inject(R"({"kind":"http_status","status":500,"count":5})");
    EXPECT_EQ(server.client().request("DELETE", "/sandbox/faults", "").body, "[]");
    EXPECT_NE(get_folder_as_alice().status, 500);

    const auto bad = inject(R"({"kind":"nonsense"})");
    EXPECT_EQ(bad.status, 400);
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_Parse(bad.body.c_str()), cJSON_Delete);
    ASSERT_TRUE(cJSON_IsString(cJSON_GetObjectItem(json.get(), "error"))) << bad.body;
    EXPECT_NE(std::string(cJSON_GetObjectItem(json.get(), "error")->valuestring).find("\"kind\""),
              std::string::npos) << bad.body;
}

// Answers with ResponseClass="Error" at HTTP 200 follow the error example of
// Microsoft's "GetItem operation (email message)" page (MessageText,
// ResponseCode, DescriptiveLinkKey, empty Items) with one message per
// requested item; the codes are those of "ResponseCode" (EWS reference).
TEST_F(Faults, ResponseErrorsAreValidAnswersAtStatus200) {
    start();
    ASSERT_EQ(inject(R"([
        {"operation":"FindItem","kind":"response_error","response_code":"ErrorInternalServerTransientError","after":1},
        {"operation":"GetItem","kind":"response_error","response_code":"ErrorMailboxStoreUnavailable","message_text":"Try later."},
        {"operation":"CreateFolder","kind":"response_error","response_code":"ErrorFolderSave"}])").status, 200);
    auto alice = server->client().basic("alice@example.com", "pw");
    const std::string find_item =
        "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape></m:ItemShape>"
        "<m:ParentFolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:ParentFolderIds></m:FindItem>";
    auto r = alice.ews(soap_request(find_item));
    EXPECT_TRUE(r.contains("ResponseClass=\"Success\"")) << "the first FindItem passes: " << r.body;

    auto expect_error = [](const sandbox_test::HttpResult &answer, const std::string &message,
                           const std::string &code, std::size_t messages) {
        EXPECT_EQ(answer.status, 200);
        std::string why;
        EXPECT_TRUE(validate_soap(answer.body, &why)) << why << "\n" << answer.body;
        const ops_test::Answer parsed(answer.body);
        EXPECT_EQ(parsed.count("//m:" + message + "[@ResponseClass='Error']"), messages) << answer.body;
        EXPECT_EQ(parsed.count("//m:ResponseCode[.='" + code + "']"), messages) << answer.body;
    };
    expect_error(alice.ews(soap_request(find_item)), "FindItemResponseMessage",
                 "ErrorInternalServerTransientError", 1);

    r = alice.ews(soap_request(ops_test::get_item(ops_test::item_id("AAAA") + ops_test::item_id("BBBB"), "IdOnly")));
    expect_error(r, "GetItemResponseMessage", "ErrorMailboxStoreUnavailable", 2);
    EXPECT_EQ(ops_test::Answer(r.body).count("//m:GetItemResponseMessage/m:Items"), 2u);
    EXPECT_EQ(ops_test::Answer(r.body).one("//m:MessageText"), "Try later.");

    expect_error(alice.ews(soap_request(
                     "<m:CreateFolder><m:ParentFolderId><t:DistinguishedFolderId Id=\"inbox\"/>"
                     "</m:ParentFolderId><m:Folders><t:Folder><t:DisplayName>X</t:DisplayName>"
                     "</t:Folder></m:Folders></m:CreateFolder>")),
                 "CreateFolderResponseMessage", "ErrorFolderSave", 1);
    EXPECT_EQ(server->client().request("GET", "/sandbox/faults", "").body, "[]");

    const auto refused = inject(R"({"kind":"response_error","response_code":"ErrorNoSuchThing"})");
    EXPECT_EQ(refused.status, 400);
    EXPECT_TRUE(refused.contains("ResponseCodeType")) << refused.body;
}

// A refused token renewal: WorkMail's JSON error ("Common Errors" of the
// AWS API references: AccessDeniedException, HTTP 400) after one success,
// itself delayed.
TEST_F(Faults, ResponseErrorOfTheWorkMailApi) {
    const std::string org = "m-0123456789abcdef0123456789abcdef";
    add_role(org, "migrate", "AKIDSANDBOX", "secret", "alice@example.com");
    start();
    inject(R"([{"operation":"AssumeImpersonationRole","kind":"delay","ms":10},
               {"operation":"AssumeImpersonationRole","kind":"response_error","after":1,
                "response_code":"AccessDeniedException","message_text":"Role is disabled."}])");
    auto client = server->client();
    EXPECT_NE(sandbox_test::obtain_token(client, org, "migrate", "AKIDSANDBOX", "secret"), "");
    const std::string host = client.base_url().substr(std::string("https://").size());
    const auto r = sandbox_test::send(
        client, sandbox_test::sign_assume_role(host, org, "migrate", "AKIDSANDBOX", "secret", std::time(nullptr)));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.header("x-amzn-ErrorType"), "AccessDeniedException");
    EXPECT_EQ(r.body, R"({"__type":"AccessDeniedException","message":"Role is disabled."})");
}

} // namespace
