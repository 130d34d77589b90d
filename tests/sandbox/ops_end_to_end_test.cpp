// The operations through the running server: seeded demo content read over
// HTTPS, several clients writing at once, and a dump of the result.
#include <gtest/gtest.h>

#include <thread>

#include "mail_codec.hpp"
#include "sandbox_fixture.hpp"

using namespace sandbox_test;

namespace {

// The text between `start` and the next `end`, searching from `from`.
std::string between(const std::string &text, const std::string &start, char end, std::size_t from = 0) {
    std::size_t a = text.find(start, from);
    if (a == std::string::npos) return "";
    a += start.size();
    std::size_t b = text.find(end, a);
    return b == std::string::npos ? "" : text.substr(a, b - a);
}

std::size_t count_of(const std::string &text, const std::string &needle) {
    std::size_t n = 0;
    for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

} // namespace

class OpsEndToEnd : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        add_user("demo@example.com", "pw");
        cli({"seed", "--mailbox", "demo@example.com", "--demo"});
    }
    HttpResult as_demo(const std::string &operation) {
        return server->client().basic("demo@example.com", "pw").ews(soap_request(operation));
    }
};

TEST_F(OpsEndToEnd, DemoMailboxReadsLikeAnExchangeMailbox) {
    start();
    auto folders = as_demo("<m:FindFolder Traversal=\"Deep\"><m:FolderShape><t:BaseShape>AllProperties"
                           "</t:BaseShape></m:FolderShape><m:IndexedPageFolderView MaxEntriesReturned=\"500\" "
                           "Offset=\"0\" BasePoint=\"Beginning\"/><m:ParentFolderIds><t:DistinguishedFolderId "
                           "Id=\"msgfolderroot\"/></m:ParentFolderIds></m:FindFolder>");
    ASSERT_EQ(folders.status, 200) << folders.body;
    EXPECT_TRUE(folders.contains("IncludesLastItemInRange=\"true\""));
    EXPECT_TRUE(folders.contains("<t:DisplayName>2026</t:DisplayName>"));
    EXPECT_TRUE(folders.contains("<t:DisplayName>Réunions</t:DisplayName>"));
    std::size_t inbox_name = folders.body.find("<t:DisplayName>Inbox</t:DisplayName>");
    ASSERT_NE(inbox_name, std::string::npos);
    std::string inbox_id = between(folders.body, "<t:FolderId Id=\"", '"',
                                   folders.body.rfind("<t:FolderId Id=\"", inbox_name));
    ASSERT_FALSE(inbox_id.empty()) << folders.body.substr(0, 2000);

    auto items = as_demo("<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
                         "</m:ItemShape><m:IndexedPageItemView MaxEntriesReturned=\"500\" Offset=\"0\" "
                         "BasePoint=\"Beginning\"/><m:ParentFolderIds><t:FolderId Id=\"" + inbox_id +
                         "\"/></m:ParentFolderIds></m:FindItem>");
    ASSERT_EQ(items.status, 200) << items.body;
    std::size_t n = count_of(items.body, "<t:ItemId ");
    EXPECT_GE(n, 10u);
    EXPECT_TRUE(items.contains("TotalItemsInView=\"" + std::to_string(n) + "\""));
    std::string id = between(items.body, "<t:ItemId Id=\"", '"');
    std::string key = between(items.body, "ChangeKey=\"", '"');

    auto item = as_demo("<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:IncludeMimeContent>true"
                        "</t:IncludeMimeContent><t:AdditionalProperties><t:FieldURI FieldURI=\"message:IsRead\"/>"
                        "<t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/>"
                        "</t:AdditionalProperties></m:ItemShape><m:ItemIds><t:ItemId Id=\"" + id +
                        "\" ChangeKey=\"" + key + "\"/></m:ItemIds></m:GetItem>");
    ASSERT_EQ(item.status, 200) << item.body;
    auto mime = sandbox::base64_decode_lenient(between(item.body, "<t:MimeContent CharacterSet=\"UTF-8\">", '<'));
    ASSERT_TRUE(mime);
    EXPECT_NE(mime->find("Message-ID: <"), std::string::npos);
}

TEST_F(OpsEndToEnd, SeveralClientsWritingAtOnceLoseNothing) {
    start();
    constexpr int kClients = 4, kEach = 8;
    std::vector<std::thread> threads;
    std::vector<int> failures(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            auto client = server->client().basic("demo@example.com", "pw");
            for (int i = 0; i < kEach; ++i) {
                std::string mime = "From: x@example.com\r\nSubject: c" + std::to_string(c) + "-" +
                                   std::to_string(i) + "\r\n\r\nbody\r\n";
                auto r = client.ews(soap_request(
                    "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId><t:DistinguishedFolderId "
                    "Id=\"junkemail\"/></m:SavedItemFolderId><m:Items><t:Message><t:MimeContent>" +
                    sandbox::base64_encode(mime) + "</t:MimeContent></t:Message></m:Items></m:CreateItem>"));
                if (r.status != 200 || !r.contains("NoError")) ++failures[c];
            }
        });
    }
    for (auto &t : threads) t.join();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], 0) << c;
    auto junk = as_demo("<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
                        "<m:FolderIds><t:DistinguishedFolderId Id=\"junkemail\"/></m:FolderIds></m:GetFolder>");
    EXPECT_TRUE(junk.contains("<t:TotalCount>" + std::to_string(kClients * kEach + 1) + "</t:TotalCount>"))
        << junk.body;
    EXPECT_EQ(server->stop(), 0);
    server.reset();
    fs::path out = data_dir / "dump";
    cli({"dump", "--mailbox", "demo@example.com", "--out", out.string()});
    std::size_t emls = 0;
    for (const auto &e : fs::directory_iterator(out)) emls += e.path().extension() == ".eml";
    EXPECT_EQ(emls, 36u + kClients * kEach);
}
