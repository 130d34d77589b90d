// Contacts and distribution lists in the sandbox: what a migration client
// writes and reads (the request forms, the derived names, updates, error
// answers) and the TNEF stream a list's MIME content carries.
// Behaviour from Microsoft's EWS reference: "CreateItem operation
// (contact)", "Contact", "CompleteName", "DistributionList", "Members";
// member entries are MAPI One-Off EntryIDs.
#include <gtest/gtest.h>

#include "contact_seed.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

std::string create(const std::string &items, const std::string &attributes = "",
                   const std::string &folder = "") {
    return create_item(items, attributes, folder);
}

std::string get(const std::string &id, const std::string &shape = "AllProperties",
                const std::string &extra = "<t:BodyType>Text</t:BodyType>") {
    return ops_test::get_item(item_id(id), shape, extra);
}

constexpr auto ext = ext_property;

std::string update(const std::string &id, const std::string &change) {
    return update_item(item_id(id), change);
}

// A contact as a migration writer sends it: no DisplayName, no disposition.
const std::string kWriterContact = request_file("writer-contact.xml");

// UTF-16LE with a terminating NUL, for member entries built by hand.
std::string utf16z(const std::string &ascii) {
    std::string out;
    for (char c : ascii) out += std::string{c, '\0'};
    return out + std::string(2, '\0');
}

std::string one_off(const std::string &name, const std::string &type, const std::string &address) {
    const unsigned char provider[] = {0x81, 0x2b, 0x1f, 0xa4, 0xbe, 0xa3, 0x10, 0x19,
                                      0x9d, 0x6e, 0x00, 0xdd, 0x01, 0x0f, 0x54, 0x02};
    return std::string(4, '\0') + std::string(reinterpret_cast<const char *>(provider), 16) +
           std::string("\0\0\x01\x80", 4) + utf16z(name) + utf16z(type) + utf16z(address);
}

std::uint32_t le32(const std::string &s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
    return v;
}

// The fixed walk a migration reader makes over a list's TNEF stream: 119
// header bytes, the name's length and text, zero bytes up to and with the
// first other byte, 27 bytes, the member count, 28 bytes, then per member
// three NUL-terminated UTF-16 strings (ASCII here), each followed by zero
// bytes, and 28 bytes.
std::vector<std::pair<std::string, std::string>> walk_members(const std::string &tnef) {
    std::vector<std::pair<std::string, std::string>> out;
    std::size_t at = 119;
    at += 4 + le32(tnef, at);
    while (tnef.at(at) == '\0') ++at;
    at += 1 + 27;
    const std::uint32_t count = le32(tnef, at);
    at += 4 + 28;
    for (std::uint32_t m = 0; m < count; ++m) {
        std::string strings[3];
        for (auto &s : strings) {
            for (; tnef.at(at) || tnef.at(at + 1); at += 2) s += tnef[at];
            at += 2;
            while (at < tnef.size() && tnef[at] == '\0') ++at;
        }
        out.emplace_back(strings[0], strings[2]);
        at += 28;
    }
    return out;
}

// The TNEF bytes inside a list's MIME text: the lines after the headers
// up to the next empty line, base64-decoded.
std::string tnef_of_mime(const std::string &mime) {
    std::size_t start = mime.find("\r\n\r\n");
    std::size_t end = mime.find("\r\n\r\n", start + 4);
    return base64_decode_lenient(mime.substr(start + 4, end == std::string::npos ? end : end - start - 4))
        .value_or("");
}

} // namespace

TEST(Contacts, AWritersContactIsStoredWithTheNamesExchangeDerives) {
    OpsHarness h;
    Answer made = h.run(create(kWriterContact));
    ASSERT_EQ(made.codes(), std::vector<std::string>{"NoError"}) << made.xml();
    const std::string id = made.one("//m:Items/t:Contact/t:ItemId/@Id");
    auto ref = h.store().ids().decode(id);
    EXPECT_EQ(h.store().item(ref->mailbox, ref->object)->folder,
              h.store().distinguished_folder(h.home(), "contacts")->id);

    Answer got = h.run(get(id));
    ASSERT_EQ(got.codes(), std::vector<std::string>{"NoError"}) << got.xml();
    const std::string c = "//t:Contact/";
    EXPECT_EQ(got.one(c + "t:ItemClass"), "IPM.Contact");
    EXPECT_EQ(got.one(c + "t:DisplayName"), "Anton\xc3\xadn Leopold Dvo\xc5\x99\xc3\xa1k");
    EXPECT_EQ(got.one(c + "t:Subject"), got.one(c + "t:DisplayName"));
    EXPECT_EQ(got.fields(c, "t:FileAs t:CompleteName/t:LastName t:CompleteName/t:FirstName t:Body[@BodyType='Text']"),
              "t:FileAs=Dvo\xc5\x99\xc3\xa1k, Anton\xc3\xadn Leopold; t:CompleteName/t:LastName=Dvo\xc5\x99\xc3\xa1k; "
              "t:CompleteName/t:FirstName=Anton\xc3\xadn; t:Body[@BodyType='Text']=Line one\nLine <two>");
    // Each field's round trip is checked field by field through python3-exchangelib.
    EXPECT_EQ(got.all(c + "t:EmailAddresses/t:Entry/@Key"),
              (std::vector<std::string>{"EmailAddress1", "EmailAddress3"}));
    EXPECT_EQ(got.count(c + "t:PhysicalAddresses/t:Entry[@Key='Business']/t:PostalCode"), 1u);

    // The fields are the MAPI properties: a tag and a named property reach
    // them.  Shapes name other kinds' fields from Exchange 2010 on.
    h.ctx().requested_version = "Exchange2010_SP2";
    Answer by_path = h.run(get(id, "IdOnly",
                                    "<t:AdditionalProperties><t:ExtendedFieldURI PropertyTag=\"0x3A06\" "
                                    "PropertyType=\"String\"/><t:ExtendedFieldURI PropertySetId=\""
                                    "00062004-0000-0000-C000-000000000046\" PropertyId=\"32899\" "
                                    "PropertyType=\"String\"/><t:FieldURI FieldURI=\"contacts:Surname\"/>"
                                    "</t:AdditionalProperties>"));
    EXPECT_EQ(by_path.all("//t:ExtendedProperty/t:Value"),
              (std::vector<std::string>{"Anton\xc3\xadn", "ad@example.cz"}));
    EXPECT_EQ(by_path.one("//t:Contact/t:Surname"), "Dvo\xc5\x99\xc3\xa1k");
    EXPECT_EQ(by_path.count("//t:Contact/t:GivenName"), 0u);
}

TEST(Contacts, RefusedContactsStoreNothingAndUpdatesKeepTheRest) {
    OpsHarness h;
    Answer refused = h.run(create(
        "<t:Contact><t:CompleteName><t:FirstName>A</t:FirstName></t:CompleteName></t:Contact>"
        "<t:Contact><t:MimeContent>QkVHSU46VkNBUkQ=</t:MimeContent></t:Contact>"
        "<t:Contact><t:GivenName>ok</t:GivenName><t:Attachments><t:FileAttachment><t:Content>AA==</t:Content>"
        "</t:FileAttachment></t:Attachments></t:Contact>"));
    EXPECT_EQ(refused.codes(), (std::vector<std::string>{"ErrorInvalidPropertySet", "ErrorInvalidPropertySet",
                                                         "ErrorRequiredPropertyMissing"}));
    EXPECT_TRUE(h.store().items_in_folder(h.home(), h.store().distinguished_folder(h.home(), "contacts")->id).empty());

    const std::string id = h.run(create(kWriterContact)).one("//t:ItemId/@Id");
    const std::string key = h.run(get(id)).one("//t:ItemId/@ChangeKey");
    Answer changed = h.run(update(id,
        "<t:SetItemField><t:FieldURI FieldURI=\"contacts:JobTitle\"/><t:Contact><t:JobTitle>Director</t:JobTitle>"
        "</t:Contact></t:SetItemField><t:SetItemField><t:IndexedFieldURI FieldURI=\"contacts:PhysicalAddress:City\" "
        "FieldIndex=\"Home\"/><t:Contact><t:PhysicalAddresses><t:Entry Key=\"Home\"><t:City>Nelahozeves</t:City>"
        "</t:Entry></t:PhysicalAddresses></t:Contact></t:SetItemField><t:DeleteItemField><t:FieldURI "
        "FieldURI=\"contacts:Manager\"/></t:DeleteItemField>"));
    ASSERT_EQ(changed.codes(), std::vector<std::string>{"NoError"}) << changed.xml();
    EXPECT_NE(changed.one("//m:Items/t:Contact/t:ItemId/@ChangeKey"), key);
    Answer got = h.run(get(id));
    EXPECT_EQ(got.fields("//t:", "JobTitle Entry[@Key='Home']/t:City Entry[@Key='Business']/t:City"),
              "JobTitle=Director; Entry[@Key='Home']/t:City=Nelahozeves; Entry[@Key='Business']/t:City=Praha");
    EXPECT_EQ(got.count("//t:Manager"), 0u);
    EXPECT_EQ(got.one("//t:Department"), "Music");

    EXPECT_EQ(h.codes(update(id, "<t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:Message>"
                             "<t:Subject>x</t:Subject></t:Message></t:SetItemField>")), "ErrorObjectTypeChanged");
}

TEST(DistributionLists, ThePropertyFormAndTheMemberFormMakeTheSameList) {
    OpsHarness h;
    std::string entries;
    for (const auto &e : {one_off("Ann Lee", "SMTP", "ann@example.com"), one_off("Fax room", "UNKNOWN", "fax-12")})
        entries += "<t:Value>" + base64_encode(e) + "</t:Value>";
    const std::string property_form = request_file("list-property-form.xml", {{"@ENTRIES@", entries}});
    const std::string member_form = request_file("list-member-form.xml");
    const std::string folder = "<t:DistinguishedFolderId Id=\"contacts\"/>";
    // Servers before Exchange 2010 take the property form as a plain <t:Item>.
    std::string as_item = property_form;
    as_item.replace(0, std::string("<t:DistributionList>").size(), "<t:Item>");
    as_item.replace(as_item.rfind("</t:DistributionList>"), std::string("</t:DistributionList>").size(), "</t:Item>");
    Answer made = h.run(create(property_form + member_form + as_item, " MessageDisposition=\"SaveOnly\"", folder));
    ASSERT_EQ(made.codes(), (std::vector<std::string>{"NoError", "NoError", "NoError"})) << made.xml();
    auto ids = made.all("//m:Items/t:DistributionList/t:ItemId/@Id");
    ASSERT_EQ(ids.size(), 3u);

    std::vector<std::string> tnefs;
    for (const auto &id : ids) {
        Answer got = h.run(get(id, "AllProperties", "<t:IncludeMimeContent>true</t:IncludeMimeContent>"));
        EXPECT_EQ(got.one("//t:DistributionList/t:ItemClass"), "IPM.DistList");
        EXPECT_EQ(got.one("//t:DistributionList/t:DisplayName"), "Board");
        EXPECT_EQ(got.all("//t:Member/t:Mailbox/t:EmailAddress"),
                  (std::vector<std::string>{"ann@example.com", "fax-12"}));
        EXPECT_EQ(got.all("//t:Member/t:Mailbox/t:RoutingType"), (std::vector<std::string>{"SMTP", "UNKNOWN"}));
        EXPECT_EQ(got.all("//t:Member/t:Status"), (std::vector<std::string>{"Normal", "Normal"}));
        auto mime = base64_decode_lenient(got.one("//t:DistributionList/t:MimeContent"));
        ASSERT_TRUE(mime);
        EXPECT_NE(mime->find("Content-Type: application/ms-tnef"), std::string::npos);
        tnefs.push_back(tnef_of_mime(*mime));
    }
    for (const auto &tnef : tnefs) {
        ASSERT_GT(tnef.size(), 200u);
        EXPECT_EQ(tnef.substr(0, 4), std::string("\x78\x9f\x3e\x22"));
        EXPECT_EQ(walk_members(tnef), (std::vector<std::pair<std::string, std::string>>{
                                          {"Ann Lee", "ann@example.com"}, {"Fax room", "fax-12"}}));
    }

    // The list edit flag a reader sets after reading a list.
    Answer flag = h.run(update(ids[1], "<t:SetItemField><t:ExtendedFieldURI PropertyTag=\"0x3016\" "
                                       "PropertyType=\"Boolean\"/><t:DistributionList>" +
                                       ext("PropertyTag=\"0x3016\" PropertyType=\"Boolean\"", "<t:Value>true</t:Value>") +
                                       "</t:DistributionList></t:SetItemField>"));
    ASSERT_EQ(flag.codes(), std::vector<std::string>{"NoError"}) << flag.xml();
    Answer read = h.run(get(ids[1], "IdOnly", "<t:AdditionalProperties><t:ExtendedFieldURI PropertyTag="
                                                   "\"0x3016\" PropertyType=\"Boolean\"/></t:AdditionalProperties>"));
    EXPECT_EQ(read.one("//t:ExtendedProperty/t:Value"), "true");
}

TEST(DistributionLists, TheTnefStreamIsWellFormedForAnyMemberSet) {
    OpsHarness h;
    auto list_with = [&](const std::string &members) {
        Answer made = h.run(create("<t:DistributionList><t:DisplayName>L\xc3\xadsta</t:DisplayName>" + members +
                                   "</t:DistributionList>"));
        Answer got = h.run(get(made.one("//t:ItemId/@Id"), "IdOnly",
                                    "<t:IncludeMimeContent>true</t:IncludeMimeContent>"));
        return tnef_of_mime(base64_decode_lenient(got.one("//t:MimeContent")).value_or(""));
    };
    std::string many;
    for (int n = 0; n < 40; ++n)
        many += "<t:Member><t:Mailbox><t:Name>Member " + std::to_string(n) + "</t:Name><t:EmailAddress>m" +
                std::to_string(n) + "@example.com</t:EmailAddress></t:Mailbox></t:Member>";
    for (const std::string &tnef : {list_with(""), list_with("<t:Members>" + many + "</t:Members>")}) {
        // Every attribute after the signature and key: level, id, length,
        // data and a checksum that is the sum of the data bytes.
        std::size_t at = 6;
        int attributes = 0;
        while (at < tnef.size()) {
            ASSERT_LE(at + 9, tnef.size());
            const std::uint32_t length = le32(tnef, at + 5);
            ASSERT_LE(at + 9 + length + 2, tnef.size());
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < length; ++i) sum += static_cast<unsigned char>(tnef[at + 9 + i]);
            const std::uint32_t stored = static_cast<unsigned char>(tnef[at + 9 + length]) |
                                         static_cast<unsigned char>(tnef[at + 10 + length]) << 8;
            EXPECT_EQ(stored, sum & 0xffff);
            at += 9 + length + 2;
            ++attributes;
        }
        EXPECT_EQ(attributes, 4);
        EXPECT_EQ(walk_members(tnef).size(), tnef.size() > 400 ? 40u : 0u);
    }
    auto members = walk_members(list_with("<t:Members>" + many + "</t:Members>"));
    ASSERT_EQ(members.size(), 40u);
    EXPECT_EQ(members[39], (std::pair<std::string, std::string>{"Member 39", "m39@example.com"}));
}

TEST(DemoContacts, EveryDemoItemIsAValidAnswerAndTheListKnowsItsOwner) {
    OpsHarness h;
    ASSERT_EQ(seed_demo_contacts(h.store(), h.home(), "alice@example.com"), 6);
    const auto folder = *h.store().distinguished_folder(h.home(), "contacts");
    int lists = 0, with_files = 0;
    for (const auto &item : h.store().items_in_folder(h.home(), folder.id)) {
        Answer got = h.run(get(h.item_id(item), "AllProperties", "<t:IncludeMimeContent>true</t:IncludeMimeContent>"));
        ASSERT_EQ(got.codes(), std::vector<std::string>{"NoError"}) << item.subject;
        EXPECT_NE(got.one("//t:DisplayName"), "") << item.subject;
        with_files += static_cast<int>(got.count("//t:Attachments/t:FileAttachment"));
        if (got.count("//t:DistributionList") == 0) continue;
        ++lists;
        EXPECT_EQ(got.all("//t:Member/t:Mailbox/t:MailboxType"),
                  (std::vector<std::string>{"Mailbox", "OneOff", "OneOff"}));
        auto walked = walk_members(tnef_of_mime(*base64_decode_lenient(got.one("//t:MimeContent"))));
        ASSERT_EQ(walked.size(), 3u);
        EXPECT_EQ(walked[0].second, "alice@example.com");
    }
    EXPECT_EQ(lists, 1);
    EXPECT_EQ(with_files, 1);
}
