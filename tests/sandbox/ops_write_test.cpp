// CreateItem, UpdateItem, CreateAttachment and GetAttachment: what is
// stored, change keys, conflicts, limits and bad input.
#include <gtest/gtest.h>

#include <sstream>

#include "item_props.hpp"
#include "mime_summary.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

std::string message_xml(const std::string &mime, const std::string &extra = "") {
    return "<t:Message><t:MimeContent CharacterSet=\"UTF-8\">" + base64_encode(mime) + "</t:MimeContent>" +
           extra + "</t:Message>";
}

std::string create(const std::string &items, const std::string &folder = "<t:DistinguishedFolderId Id=\"inbox\"/>",
                   const std::string &disposition = " MessageDisposition=\"SaveOnly\"") {
    return create_item(items, disposition, folder);
}

std::string ext(const char *tag, const char *type, const std::string &value) {
    return ext_property(std::string("PropertyTag=\"") + tag + "\" PropertyType=\"" + type + "\"",
                        "<t:Value>" + value + "</t:Value>");
}

std::string update(const std::string &id, const std::string &change_key, const std::string &conflict,
                   const std::string &updates) {
    const std::string key = change_key.empty() ? "" : " ChangeKey=\"" + change_key + "\"";
    return update_item("<t:ItemId Id=\"" + id + "\"" + key + "/>", updates, conflict);
}

std::string set_is_read(bool read) {
    return std::string("<t:SetItemField><t:FieldURI FieldURI=\"message:IsRead\"/><t:Message><t:IsRead>") +
           (read ? "true" : "false") + "</t:IsRead></t:Message></t:SetItemField>";
}

} // namespace

TEST(OpsWrite, CreateItemStoresEachMessageWithItsProperties) {
    OpsHarness h;
    std::string m1 = ops_test::sample_mime("first"), m2 = ops_test::sample_mime("second", "Wed, 01 Feb 2023 08:00:00 -0500");
    std::string props = "<t:Categories><t:String>Work</t:String><t:String>Ünïcode</t:String></t:Categories>" +
                        ext("0x0E07", "Integer", "1") + ext("0x1090", "Integer", "2") +
                        ext("0x3004", "String", "via QV") + ext("0x0E06", "SystemTime", "2023-02-01T13:00:05Z") +
                        ext("0x0017", "Integer", "2");
    Answer a = h.run(create(message_xml(m1, props) + message_xml(m2, ext("0x0E07", "Integer", "0"))));
    ASSERT_EQ(a.codes(), (std::vector<std::string>{"NoError", "NoError"}));
    auto ids = a.all("//m:Items/t:Message/t:ItemId/@Id");
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_NE(ids[0], ids[1]);

    std::int64_t inbox = h.store().distinguished_folder(h.home(), "inbox")->id;
    auto items = h.store().items_in_folder(h.home(), inbox);
    ASSERT_EQ(items.size(), 2u);
    auto first = *h.store().load_item(h.home(), items[0].id);
    EXPECT_EQ(first.mime, m1); // byte for byte
    EXPECT_TRUE(first.info.is_read());
    EXPECT_EQ(first.info.message_flags & 0x8, 0); // flags given: not a draft
    EXPECT_EQ(first.info.categories, (std::vector<std::string>{"Work", "Ünïcode"}));
    EXPECT_EQ(first.info.importance, 2);
    EXPECT_EQ(format_ews_time(first.info.date_received), "2023-02-01T13:00:05Z");
    EXPECT_EQ(read_property(first, path_of_stored("0x1090", "Integer"))->values.front(), "2");
    EXPECT_EQ(read_property(first, path_of_stored("0x3004", "String"))->values.front(), "via QV");
    EXPECT_FALSE(h.store().item(h.home(), items[1].id)->is_read());
    EXPECT_EQ(format_ews_time(*h.store().item(h.home(), items[1].id)->date_sent), "2023-02-01T13:00:00Z");
    EXPECT_EQ(h.store().folder(h.home(), inbox)->unread, 1);
}

TEST(OpsWrite, CreateItemRefusesBadItemsOneByOne) {
    OpsHarness h;
    h.config().max_message_bytes = 2000;
    std::string big = ops_test::sample_mime("big", "Tue, 05 Mar 2024 14:07:09 +0000", std::string(3000, 'x'));
    std::string ok = ops_test::sample_mime("ok");
    Answer a = h.run(create(message_xml(big) + message_xml(ok) +
                            "<t:Message><t:MimeContent>not*base64</t:MimeContent></t:Message>" +
                            message_xml(ok, ext("0x0E07", "Integer", "many")) +
                            message_xml(ok, ext("0x9000", "Integer", "1")) +
                            "<t:PostItem><t:Subject>X</t:Subject></t:PostItem>"));
    EXPECT_EQ(a.codes(), (std::vector<std::string>{"ErrorMessageSizeExceeded", "NoError",
                                                   "ErrorMimeContentInvalidBase64String",
                                                   "ErrorInvalidExtendedPropertyValue",
                                                   "ErrorNoPropertyTagForCustomProperties",
                                                   "ErrorInvalidItemForOperationCreateItem"}));
    EXPECT_EQ(h.store().folder(h.home(), h.store().distinguished_folder(h.home(), "inbox")->id)->total, 1);
    EXPECT_EQ(h.codes(create(message_xml(ok), "<t:DistinguishedFolderId Id=\"inbox\"/>", "")),
              "ErrorMessageDispositionRequired");
    EXPECT_EQ(h.codes(create(message_xml(ok), "<t:DistinguishedFolderId Id=\"inbox\"><t:Mailbox>"
                             "<t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox>"
                             "</t:DistinguishedFolderId>")), "ErrorAccessDenied");
}

TEST(OpsWrite, CreateItemWithoutMimeAndDefaultFolders) {
    OpsHarness h;
    ASSERT_EQ(h.codes("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:Items><t:Message><t:Subject>Hällo</t:Subject>"
                      "<t:Body BodyType=\"Text\">Line one</t:Body><t:ToRecipients><t:Mailbox><t:EmailAddress>"
                      "bob@example.com</t:EmailAddress></t:Mailbox></t:ToRecipients></t:Message></m:Items>"
                      "</m:CreateItem>"), "NoError");
    auto drafts = h.store().distinguished_folder(h.home(), "drafts");
    auto items = h.store().items_in_folder(h.home(), drafts->id);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].subject, "Hällo");
    EXPECT_EQ(items[0].message_flags, 0x9); // read draft, as Exchange saves one
    MimeSummary s = summarize_mime(h.store().load_item(h.home(), items[0].id)->mime);
    ASSERT_EQ(s.to.size(), 1u);
    EXPECT_EQ(s.to[0].address, "bob@example.com");
    EXPECT_EQ(extract_bodies(h.store().load_item(h.home(), items[0].id)->mime).text.value_or(""), "Line one");

    Answer sent = h.run(create(message_xml(ops_test::sample_mime("s")), "<t:DistinguishedFolderId Id=\"sentitems\"/>",
                               " MessageDisposition=\"SendAndSaveCopy\""));
    EXPECT_EQ(sent.one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(sent.count("//m:Items/*"), 0u);
    EXPECT_EQ(h.store().distinguished_folder(h.home(), "sentitems")->total, 1);
}

TEST(OpsWrite, EveryUpdateGivesANewChangeKeyAndNeverOverwriteRefusesStaleOnes) {
    OpsHarness h;
    Answer created = h.run(create(message_xml(ops_test::sample_mime("u"))));
    std::string id = created.one("//t:ItemId/@Id");
    std::string key1 = created.one("//t:ItemId/@ChangeKey");

    Answer u1 = h.run(update(id, key1, "NeverOverwrite", set_is_read(false)));
    ASSERT_EQ(u1.one("//m:ResponseCode"), "NoError");
    std::string key2 = u1.one("//t:ItemId/@ChangeKey");
    EXPECT_NE(key1, key2);
    EXPECT_EQ(u1.one("//m:ConflictResults/t:Count"), "0");

    struct Row {
        std::string key, conflict, code;
    };
    const Row rows[] = {
        {key1, "NeverOverwrite", "ErrorIrresolvableConflict"},
        {"", "NeverOverwrite", "ErrorChangeKeyRequiredForWriteOperations"},
        {"!!not a key!!", "AutoResolve", "ErrorInvalidChangeKey"},
        {key1, "AlwaysOverwrite", "NoError"},
        {key1, "AutoResolve", "NoError"},
    };
    for (const auto &r : rows) {
        Answer a = h.run(update(id, r.key, r.conflict, set_is_read(true)));
        EXPECT_EQ(a.one("//m:ResponseCode"), r.code) << r.conflict << " " << r.key;
        EXPECT_EQ(a.count("//m:Items"), 1u);
    }
    // Another item's key is never current.
    Answer other = h.run(create(message_xml(ops_test::sample_mime("v"))));
    EXPECT_EQ(h.codes(update(id, other.one("//t:ItemId/@ChangeKey"), "NeverOverwrite", set_is_read(true))),
              "ErrorIrresolvableConflict");
    auto ref = h.store().ids().decode(id);
    EXPECT_EQ(h.store().item(ref->mailbox, ref->object)->version, 4);
}

TEST(OpsWrite, UpdateItemFieldsAndExtendedProperties) {
    OpsHarness h;
    Answer created = h.run(create(message_xml(ops_test::sample_mime("w"))));
    std::string id = created.one("//t:ItemId/@Id");
    std::string ext_set = "<t:SetItemField><t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/>"
                          "<t:Message>" + ext("0x1090", "Integer", "1") + "</t:Message></t:SetItemField>";
    std::string cats = "<t:SetItemField><t:FieldURI FieldURI=\"item:Categories\"/><t:Message><t:Categories>"
                       "<t:String>A</t:String></t:Categories></t:Message></t:SetItemField>";
    EXPECT_EQ(h.codes(update(id, "", "AlwaysOverwrite", ext_set + cats + set_is_read(false))), "NoError");
    auto ref = *h.store().ids().decode(id);
    auto item = *h.store().load_item(ref.mailbox, ref.object);
    EXPECT_EQ(read_property(item, path_of_stored("0x1090", "Integer"))->values.front(), "1");
    EXPECT_EQ(item.info.categories, std::vector<std::string>{"A"});
    EXPECT_FALSE(item.info.is_read());

    struct Row {
        std::string updates, code;
    };
    const Row rows[] = {
        {"<t:DeleteItemField><t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/></t:DeleteItemField>",
         "NoError"},
        {"<t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:Message><t:Subject>S</t:Subject>"
         "<t:Importance>High</t:Importance></t:Message></t:SetItemField>",
         "ErrorIncorrectUpdatePropertyCount"},
        {"<t:SetItemField><t:ExtendedFieldURI PropertyTag=\"0x0E08\" PropertyType=\"Integer\"/><t:Message>" +
             ext("0x0E08", "Integer", "5") + "</t:Message></t:SetItemField>",
         "ErrorInvalidPropertySet"},
        {"<t:SetItemField><t:FieldURI FieldURI=\"calendar:Start\"/><t:CalendarItem><t:Start>2024-01-01T00:00:00Z"
         "</t:Start></t:CalendarItem></t:SetItemField>",
         "ErrorInvalidPropertyRequest"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(h.run(update(id, "", "AutoResolve", r.updates)).one("//m:ResponseCode"), r.code) << r.updates;
    item = *h.store().load_item(ref.mailbox, ref.object);
    EXPECT_FALSE(read_property(item, path_of_stored("0x1090", "Integer")));
    EXPECT_EQ(item.info.subject, "w"); // refused changes leave the item as it was
}

TEST(OpsWrite, CreateAttachmentChangesTheParentAndGetAttachmentReturnsIt) {
    OpsHarness h;
    Answer created = h.run(create(message_xml(ops_test::sample_mime("att"))));
    std::string id = created.one("//t:ItemId/@Id"), key = created.one("//t:ItemId/@ChangeKey");
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(50, '\0');
    auto attach = [&](const std::string &name, const std::string &bytes, const std::string &extra = "") {
        return h.run(create_attachment(id, key, name, bytes, extra));
    };
    // The round trip of a file is python3-exchangelib's; a message's stale
    // key still works here, and each file gives the parent a new one.
    ASSERT_EQ(attach("Übersicht.pdf", "%PDF-1.4 tiny").one("//m:ResponseCode"), "NoError");
    Answer a2 = attach("pic.png", png, "<t:ContentType>image/png</t:ContentType><t:ContentId>pic1</t:ContentId>"
                                       "<t:IsInline>true</t:IsInline>");
    ASSERT_EQ(a2.one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(a2.one("//t:AttachmentId/@RootItemId"), id);
    EXPECT_NE(a2.one("//t:AttachmentId/@RootItemChangeKey"), key);

    Answer item = h.run(get_item(item_id(id), "Default"));
    EXPECT_EQ(item.all("//t:Attachments/t:FileAttachment/t:Name"), (std::vector<std::string>{"Übersicht.pdf", "pic.png"}));
    EXPECT_EQ(item.all("//t:Attachments/t:FileAttachment/t:IsInline"), (std::vector<std::string>{"false", "true"}));
    EXPECT_EQ(item.one("//t:HasAttachments"), "true");
    EXPECT_EQ(item.one("//t:Body"), "Hello there.\r\n");

    Answer got = h.run(get_attachments({a2.one("//t:AttachmentId/@Id"), id, "bogus"}));
    EXPECT_EQ(got.codes(),
              (std::vector<std::string>{"NoError", "ErrorInvalidIdNotAnItemAttachmentId", "ErrorInvalidIdMalformed"}));
    EXPECT_EQ(base64_decode_lenient(got.one("//t:FileAttachment/t:Content")).value_or(""), png);
    EXPECT_EQ(got.one("//t:FileAttachment/t:ContentId"), "pic1");

    h.config().max_message_bytes = 100;
    EXPECT_EQ(attach("big.bin", std::string(500, 'b')).one("//m:ResponseCode"), "ErrorMessageSizeExceeded");
}

TEST(OpsWrite, MimeContentInSeveralNodesIsStoredWhole) {
    OpsHarness h;
    const std::string mime = sample_mime("pieces");
    const std::string b64 = base64_encode(mime);
    const std::size_t third = b64.size() / 12 * 4;
    const std::string split = b64.substr(0, third) + "<!-- a note -->" + b64.substr(third, third) +
                              "<![CDATA[" + b64.substr(2 * third) + "]]>";
    ASSERT_EQ(h.run(create("<t:Message><t:MimeContent>" + split + "</t:MimeContent></t:Message>" +
                           message_xml(mime)))
                  .all("//m:ResponseCode"),
              (std::vector<std::string>{"NoError", "NoError"}));
    const std::int64_t box = h.home();
    const std::int64_t inbox = h.store().distinguished_folder(box, "inbox")->id;
    for (const ItemInfo &i : h.store().items_in_folder(box, inbox))
        EXPECT_EQ(h.store().load_item(box, i.id)->mime, mime);
}

TEST(OpsWrite, MalformedRequestsNeverCrash) {
    OpsHarness h;
    // Schema-invalid on purpose (requests/malformed.txt, one a line): the
    // front end refuses these, but the operations must still answer.
    std::istringstream requests(request_file("malformed.txt"));
    int seen = 0;
    for (std::string request; std::getline(requests, request); ++seen)
        EXPECT_FALSE(h.run_unchecked(request).body_xml.empty()) << request;
    EXPECT_EQ(seen, 6);
    for (const char *content : {"====", "AAAA"})
        EXPECT_NE(h.run(create(std::string("<t:Message><t:MimeContent>") + content + "</t:MimeContent></t:Message>"))
                      .one("//m:ResponseCode"),
                  "<none>") << content;
    Answer unknown = h.run("<m:SyncFolderItems><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape></m:ItemShape>"
                           "<m:SyncFolderId><t:DistinguishedFolderId Id=\"inbox\"/></m:SyncFolderId>"
                           "<m:MaxChangesReturned>10</m:MaxChangesReturned></m:SyncFolderItems>");
    EXPECT_TRUE(h.last().soap_fault);
    EXPECT_EQ(unknown.count("//s:Fault/faultcode"), 1u);
}

// The message properties and attachments a client's CreateItem sends are stored and
// come back, in the schema's order, with AllProperties: "CreateItem
// operation (email message)", "ReminderIsSet", "IsResponseRequested", "Sender",
// "ReceivedBy", "ResponseObjects" (learn.microsoft.com/exchange/client-developer/
// web-service-reference/...).
TEST(OpsWrite, CreateItemKeepsStandardMessagePropertiesAndAllPropertiesShowsThem) {
    OpsHarness h;
    const std::string props =
        std::string("<t:Sensitivity>Normal</t:Sensitivity><t:Importance>Normal</t:Importance>"
                    "<t:ReminderIsSet>true</t:ReminderIsSet>"
                    "<t:ReminderMinutesBeforeStart>15</t:ReminderMinutesBeforeStart>") +
        ext("0x0E07", "Integer", "1") + "<t:IsReadReceiptRequested>1</t:IsReadReceiptRequested>"
        "<t:IsDeliveryReceiptRequested>false</t:IsDeliveryReceiptRequested>"
        "<t:IsRead>false</t:IsRead><t:IsResponseRequested>true</t:IsResponseRequested>";
    Answer made = h.run(create(message_xml(ops_test::sample_mime("RE: plans"), props) +
                               message_xml(ops_test::sample_mime("plans"),
                                           "<t:Attachments><t:FileAttachment><t:Name>a.txt</t:Name><t:Content>" +
                                               base64_encode("hello") + "</t:Content></t:FileAttachment>"
                                               "</t:Attachments>") +
                               message_xml(ops_test::sample_mime("x"), "<t:ReminderMinutesBeforeStart>soon"
                                                                       "</t:ReminderMinutesBeforeStart>")));
    ASSERT_EQ(made.codes(), (std::vector<std::string>{"NoError", "NoError", "ErrorInvalidPropertySet"}));
    auto ids = made.all("//m:Items/t:Message/t:ItemId/@Id");
    ASSERT_EQ(ids.size(), 2u);
    Answer first = h.run(get_item(item_id(ids[0]))), second = h.run(get_item(item_id(ids[1])));
    const std::string m = "//t:Message/t:";
    EXPECT_EQ(first.fields(m, "ReminderIsSet ReminderMinutesBeforeStart IsReadReceiptRequested "
                              "IsDeliveryReceiptRequested IsResponseRequested"),
              "ReminderIsSet=true; ReminderMinutesBeforeStart=15; IsReadReceiptRequested=true; "
              "IsDeliveryReceiptRequested=false; IsResponseRequested=true");
    EXPECT_EQ(second.fields(m, "ReminderIsSet IsResponseRequested Attachments/t:FileAttachment/t:Name HasAttachments"),
              "ReminderIsSet=false; IsResponseRequested=false; Attachments/t:FileAttachment/t:Name=a.txt; "
              "HasAttachments=true");
    // No Sender header: the author is the sender.
    EXPECT_EQ(first.one(m + "Sender/t:Mailbox/t:EmailAddress"), "bob@example.com");
    // One thread, one conversation.
    EXPECT_NE(first.one(m + "ConversationId/@Id"), "<none>");
    EXPECT_EQ(first.one(m + "ConversationId/@Id"), second.one(m + "ConversationId/@Id"));
    // Flags 0x8 unset: a received message, with what a reader may answer.
    EXPECT_EQ(first.count(m + "ResponseObjects/*"), 3u);
    EXPECT_EQ(first.one(m + "ReceivedBy/t:Mailbox/t:EmailAddress"), "alice@example.com");
    EXPECT_EQ(first.one(m + "ReceivedRepresenting/t:Mailbox/t:EmailAddress"), "alice@example.com");
    // The same values through their MAPI names.
    Answer by_tag = h.run(get_item(item_id(ids[0]), "IdOnly",
                                   additional("<t:ExtendedFieldURI PropertyTag=\"0x63\" PropertyType=\"Boolean\"/>"
                                              "<t:ExtendedFieldURI DistinguishedPropertySetId=\"Common\" "
                                              "PropertyId=\"34049\" PropertyType=\"Integer\"/>")));
    EXPECT_EQ(by_tag.all("//t:ExtendedProperty/t:Value"), (std::vector<std::string>{"true", "15"}));
}
