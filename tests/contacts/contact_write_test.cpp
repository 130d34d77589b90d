// Writing contacts and lists against a scripted server: the request texts
// the schema accepts, the file-as and home page rules, the retry without
// the home page, attachments after the contact, lists in both forms and
// the members' entry ids.
#include <gtest/gtest.h>

#include "common/base64.hpp"
#include "contacts/contact_write.hpp"
#include "contacts/dist_list_write.hpp"
#include "contacts_test_support.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;
using namespace qvamz::contacts;
using namespace contest;
using conntest::Respond;
using namespace std::string_literals;

TEST(ContactRules, FileAs)
{
    struct Case {
        const char *file_as, *last, *first, *middle, *company, *email, *expected;
    };
    const Case cases[] = {
        {"", "Doe", "Jane", "Q.", "", "", "Doe, Jane Q."},
        {"", "Doe", "Jane", "", "ACME", "", "Doe, Jane"},
        {"", "Doe", "", "Q.", "", "", "Doe"},
        {"", "", "Jane", "", "ACME", "", "Jane"},
        {"", "", "", "", "ACME", "j@x", "ACME"},
        {"", "", "", "", "", "j@x", "j@x"},
        {"", "", "", "Q.", "", "", "Q."},
        {"", "", "", "", "", "", "No Name"},
        {"Boss", "Doe", "Jane", "", "", "", "Boss"},
    };
    for (const Case &c : cases) {
        qvtest::Record msg = qvtest::new_record(1);
        qvtest::set_text(msg->file_as, c.file_as);
        qvtest::set_text(msg->last_name, c.last);
        qvtest::set_text(msg->first_name, c.first);
        qvtest::set_text(msg->middle_name, c.middle);
        qvtest::set_text(msg->company, c.company);
        qvtest::set_text(msg->email1, c.email);
        EXPECT_EQ(FileAsText(*msg), c.expected);
    }
}

TEST(ContactRules, WebPageScheme)
{
    EXPECT_EQ(WebPageWithScheme("www.example.org"), "https://www.example.org");
    EXPECT_EQ(WebPageWithScheme("ftp://files.example.org"), "ftp://files.example.org");
    EXPECT_EQ(WebPageWithScheme("HTTP://x.example"), "HTTP://x.example");
    EXPECT_EQ(WebPageWithScheme("Https:x"), "Https:x");
    EXPECT_EQ(WebPageWithScheme("httpx.example"), "https://httpx.example");
    EXPECT_EQ(WebPageWithScheme(""), "");
}

TEST(OneOffEntryId, LayoutAndAddressType)
{
    const std::string entry = qvcommon::Base64Decode(EncodeOneOffEntryId("room4", ""));
    const std::string expected =
        std::string(4, '\0') +
        "\x81\x2B\x1F\xA4\xBE\xA3\x10\x19\x9D\x6E\x00\xDD\x01\x0F\x54\x02"s + std::string(2, '\0') +
        "\x01\x80" + Utf16z(u"room4") + Utf16z(u"UNKNOWN") + Utf16z(u"room4");
    EXPECT_EQ(qvtest::hex(entry), qvtest::hex(expected));
    const std::string smtp = qvcommon::Base64Decode(EncodeOneOffEntryId("a@x", "Zoë"));
    EXPECT_NE(smtp.find(Utf16z(u"Zoë") + Utf16z(u"SMTP") + Utf16z(u"a@x")), std::string::npos);
    // A very long address is cut so that type and address stay within 256 units.
    const std::string long_entry =
        qvcommon::Base64Decode(EncodeOneOffEntryId(std::string(400, 'a') + "@x", "n"));
    EXPECT_EQ(long_entry.size(), 24 + 4 + 10 + 2 * (256 - 4) + 2);
}

class WriteTest : public conntest::ScriptedSessionTest {
  protected:
    void SetUp() override
    {
        ScriptedSessionTest::SetUp();
        session.state.target_folder_id = "TARGET1";
        session.state.server_major_version = 15;
    }
    qvtest::Record Contact()
    {
        qvtest::Record msg = qvtest::new_record(9);
        msg->item_type = QV_ITEM_CONTACT;
        qvtest::set_text(msg->first_name, "Jane");
        qvtest::set_text(msg->last_name, "Doe & Co\x01");
        qvtest::set_text(msg->email1, "jane@example.org");
        qvtest::set_text(msg->business_city, "Bern");
        qvtest::set_text(msg->web_page, "www.doe.example");
        qvtest::set_text(msg->categories, "Contacts; VIP");
        qvtest::add_part(*msg, dir.dir(), QV_PART_TEXT_BODY, "Message Text",
                         "Notes with ]]> inside and a \x02 control.");
        return msg;
    }
    int Write(qv_message &msg) { return WriteMsgImpl(session, &msg, dir.dir().c_str()); }
    void ExpectValid(const std::string &body)
    {
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(body, &findings)) << findings << body;
    }
    conntest::FakeClock clock;
};

TEST_F(WriteTest, ContactRequestAndItsAttachments)
{
    qvtest::Record msg = Contact();
    qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "one.txt", "first file");
    qvtest::add_part(*msg, dir.dir(), QV_PART_ATTACHMENT, "two.bin", "second file");
    server.Push(Respond(200, CreatedAnswer("NEW1", "CK1")));
    server.Push(Respond(200, Success("CreateAttachment",
                                     "<m:Attachments><t:FileAttachment><t:AttachmentId Id=\"A1\" "
                                     "RootItemId=\"NEW1\" RootItemChangeKey=\"CK2\"/>"
                                     "</t:FileAttachment></m:Attachments>")));
    server.Push(Respond(200, Success("CreateAttachment", "")));
    EXPECT_EQ(Write(*msg), kWriteStored);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto &request : requests)
        ExpectValid(request.body);
    const std::string &create = requests[0].body;
    for (const char *piece : {
             "<t:Body BodyType=\"Text\"><![CDATA[Notes with ]]]]><![CDATA[> inside and a  "
             "control.]]>",
             "<t:String>Contacts</t:String>\n<t:String>VIP</t:String>",
             "<t:Value>via QV</t:Value>",
             "<t:Entry Key=\"Business\">\n<t:Street></t:Street>\n<t:City>Bern</t:City>\n"
             "<t:State></t:State>\n<t:CountryOrRegion></t:CountryOrRegion>\n"
             "<t:PostalCode></t:PostalCode>",
             "<t:Surname>Doe &amp; Co</t:Surname>"}) {
        EXPECT_NE(create.find(piece), std::string::npos) << piece;
    }
    EXPECT_EQ(create.find("Key=\"Home\""), std::string::npos);
    // The record itself is left as the host gave it.
    EXPECT_STREQ(msg->web_page, "www.doe.example");
    // Both attachments, the second with the change key of the first answer.
    EXPECT_NE(requests[1].body.find("Id=\"NEW1\" ChangeKey=\"CK1\""), std::string::npos);
    EXPECT_NE(requests[2].body.find("Id=\"NEW1\" ChangeKey=\"CK2\""), std::string::npos);
    EXPECT_NE(requests[2].body.find(qvtest::base64_encode("second file")), std::string::npos);
}

TEST_F(WriteTest, A500IsRetriedWithoutTheHomePage)
{
    qvtest::Record msg = Contact();
    server.Push(Respond(500, "internal"));
    server.Push(Respond(200, CreatedAnswer("NEW1", "CK1")));
    EXPECT_EQ(Write(*msg), kWriteStored);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].body.find("<t:BusinessHomePage>"), std::string::npos);
    EXPECT_EQ(requests[1].body.find("<t:BusinessHomePage>"), std::string::npos);
    EXPECT_TRUE(log.has("QV Info: retrying contact (Doe & Co"));
    EXPECT_EQ(clock.sleeps, std::vector<int>{2000});

    // Other failures are not retried; a refusal inside a 200 is a loss too.
    server.Push(Respond(403, "no"));
    EXPECT_EQ(Write(*msg), kWriteLost);
    server.Push(Respond(200, Envelope("CreateItem", conntest::ResponseMessage(
                                                        "CreateItem", "Error",
                                                        "ErrorInvalidPropertySet", "", "bad"))));
    EXPECT_EQ(Write(*msg), kWriteLost);
    EXPECT_TRUE(log.has("QV Warning: unable to create contact, http result=403"));
    EXPECT_EQ(server.requests().size(), 4u);
}

TEST_F(WriteTest, ARequestFileThatCannotBeMadeIsALoss)
{
    qvtest::Record msg = Contact();
    EXPECT_EQ(WriteMsgImpl(session, msg.get(), (dir.dir() + "missing/").c_str()), kWriteLost);
    msg->contact_kind = 1;
    EXPECT_EQ(WriteMsgImpl(session, msg.get(), (dir.dir() + "missing/").c_str()), kWriteLost);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(WriteTest, ListsInBothForms)
{
    qvtest::Record list = qvtest::new_record(2);
    list->item_type = QV_ITEM_CONTACT;
    list->contact_kind = 1;
    qvtest::set_text(list->title, "Team <A>");
    qvtest::add_recipient(*list, "Ann", "ann@example.org", QV_RECIP_TO);
    qvtest::add_recipient(*list, "", "room4", QV_RECIP_TO);
    qvtest::add_recipient(*list, "", "", QV_RECIP_TO);
    server.SetFallback([](const conntest::RecordedRequest &) {
        return Respond(200, CreatedAnswer("L1", "LK1"));
    });

    for (int version : {15, 14, 8}) {
        session.state.server_major_version = version;
        EXPECT_EQ(Write(*list), kWriteStored) << version;
    }
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto &request : requests) {
        ExpectValid(request.body);
        EXPECT_NE(request.body.find("MessageDisposition=\"SaveOnly\""), std::string::npos);
    }
    const std::string &members = requests[0].body;
    EXPECT_NE(members.find("<t:DisplayName>Team &lt;A&gt;</t:DisplayName>"), std::string::npos);
    EXPECT_EQ(conntest::CountOf(members, "<t:Member>"), 2u); // the empty one is left out
    EXPECT_NE(members.find("<t:Name></t:Name>\n<t:EmailAddress>room4</t:EmailAddress>\n"
                           "<t:RoutingType>UNKNOWN</t:RoutingType>"),
              std::string::npos);
    const std::string ann = EncodeOneOffEntryId("ann@example.org", "Ann");
    for (std::size_t i : {1u, 2u}) {
        const std::string &props = requests[i].body;
        EXPECT_NE(props.find(i == 1 ? "<t:DistributionList>" : "<t:Item>"), std::string::npos);
        EXPECT_EQ(conntest::CountOf(props, "<t:Value>" + ann + "</t:Value>"), 2u);
        EXPECT_NE(props.find("PropertyId=\"32853\" PropertyType=\"BinaryArray\""),
                  std::string::npos);
    }

    // A list without members has no member properties.
    qvtest::Record empty = qvtest::new_record(3);
    qvtest::set_text(empty->title, "Nobody");
    const std::string body = DistListRequestBody(*empty, "F", ListForm::kProperties, 14);
    EXPECT_EQ(body.find("32852"), std::string::npos);
    EXPECT_EQ(body.find("32853"), std::string::npos);
}

TEST_F(WriteTest, ListRetriesServerErrorsOnly)
{
    qvtest::Record list = qvtest::new_record(2);
    list->item_type = QV_ITEM_CONTACT;
    list->contact_kind = 1;
    qvtest::set_text(list->title, "Team");
    server.Push(Respond(503, "busy"));
    server.Push(Respond(200, CreatedAnswer("L1", "LK1")));
    EXPECT_EQ(Write(*list), kWriteStored);
    EXPECT_TRUE(log.has("QV Info: retrying dlist (2) (Team)"));
    session.state.server_major_version = 14;
    server.Push(Respond(400, "bad"));
    EXPECT_EQ(Write(*list), kWriteLost);
    EXPECT_TRUE(log.has("QV Warning: unable to create dlist"));
    EXPECT_EQ(server.requests().size(), 3u);
}

} // namespace
