// FindItem, GetItem and DeleteItem: restrictions, shapes, MIME content,
// extended properties and errors.  The default order (newest received
// first) is the connector's ConvertFolderSandbox tests', SortOrder
// python3-exchangelib's.  FindItem's paging shares its window arithmetic
// with FindFolder (OpsFolders); the page boundaries at 500 and 501 items are
// the connector's ConvertFolderSandbox tests', the offsets python3-exchangelib's.
#include <gtest/gtest.h>

#include "item_props.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

// Adds a message with Date `day` days after 2024-01-01 (UTC noon).
ItemInfo add_message(OpsHarness &h, std::int64_t folder, int day, const std::string &mime = "") {
    UnixTime t = 1704110400 + day * 86400LL;
    StoredItem item = message_item_from_mime(
        mime.empty() ? ops_test::sample_mime("m" + std::to_string(day)) : mime, t);
    item.info.mailbox = h.home();
    item.info.folder = folder;
    item.info.date_sent = t;
    item.info.date_received = t;
    item.info.message_flags = day % 2; // odd days read
    return h.store().add_item(item);
}

std::string find_item(const std::string &folder_id, const std::string &view = "",
                      const std::string &restriction = "", const std::string &shape = "IdOnly",
                      const std::string &extra_shape = "") {
    return "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>" + shape + "</t:BaseShape>" +
           extra_shape + "</m:ItemShape>" + view + restriction + "<m:ParentFolderIds><t:FolderId Id=\"" +
           folder_id + "\"/></m:ParentFolderIds></m:FindItem>";
}

std::string date_range(const std::string &after, const std::string &before) {
    auto cmp = [](const char *op, const std::string &v) {
        return std::string("<t:") + op + "><t:FieldURI FieldURI=\"item:DateTimeSent\"/><t:FieldURIOrConstant>"
               "<t:Constant Value=\"" + v + "\"/></t:FieldURIOrConstant></t:" + op + ">";
    };
    return "<m:Restriction><t:And>" + cmp("IsGreaterThan", after) + cmp("IsLessThan", before) +
           "</t:And></m:Restriction>";
}

} // namespace

TEST(OpsItems, DateRestrictionBoundsAreExclusive) {
    OpsHarness h;
    std::int64_t inbox = h.store().distinguished_folder(h.home(), "inbox")->id;
    for (int d = 0; d < 10; ++d) add_message(h, inbox, d); // 2024-01-01 .. 2024-01-10, noon UTC
    std::string fid = h.folder_id(h.home(), inbox);
    struct Row {
        const char *after, *before;
        std::size_t count;
        const char *code;
    };
    const Row rows[] = {
        {"2024-01-03T12:00:00Z", "2024-01-06T12:00:00Z", 2, "NoError"}, // days 3, 4 (0-based) only
        {"2024-01-03T11:59:59Z", "2024-01-06T12:00:01Z", 4, "NoError"},
        {"2024-01-03T13:00:00+01:00", "2024-01-04T12:00:01Z", 1, "NoError"},
        {"2030-01-01T00:00:00Z", "2031-01-01T00:00:00Z", 0, "NoError"},
        {"not a date", "2031-01-01T00:00:00Z", 0, "ErrorInvalidValueForProperty"},
    };
    for (const auto &r : rows) {
        Answer a = h.run(find_item(fid, "", date_range(r.after, r.before)));
        EXPECT_EQ(a.one("//m:ResponseCode"), r.code) << r.after;
        EXPECT_EQ(a.count("//t:Message"), r.count) << r.after;
    }
    Answer unread = h.run(find_item(fid, "", "<m:Restriction><t:IsEqualTo><t:FieldURI FieldURI=\"message:IsRead\"/>"
                                             "<t:FieldURIOrConstant><t:Constant Value=\"false\"/>"
                                             "</t:FieldURIOrConstant></t:IsEqualTo></m:Restriction>"));
    EXPECT_EQ(unread.count("//t:Message"), 5u);
    EXPECT_EQ(h.codes(find_item(fid, "", "<m:Restriction><t:Exists><t:FieldURI FieldURI=\"item:Body\"/>"
                                "</t:Exists></m:Restriction>")), "ErrorUnsupportedPathForQuery");
}

TEST(OpsItems, FindItemShapesAndRefusedProperties) {
    OpsHarness h;
    std::int64_t inbox = h.store().distinguished_folder(h.home(), "inbox")->id;
    add_message(h, inbox, 1);
    std::string fid = h.folder_id(h.home(), inbox);
    Answer def = h.run(find_item(fid, "", "", "Default"));
    EXPECT_EQ(def.one("//t:Message/t:ItemClass"), "IPM.Note");
    EXPECT_EQ(def.one("//t:Message/t:From/t:Mailbox/t:Name"), "Bob Example");
    EXPECT_EQ(def.count("//t:Message/t:From/t:Mailbox/t:EmailAddress"), 0u); // FindItem gives names only
    EXPECT_EQ(def.one("//t:Message/t:DisplayTo"), "Alice");
    EXPECT_EQ(def.count("//t:Body"), 0u);
    EXPECT_EQ(h.codes(find_item(fid, "", "", "IdOnly", additional("<t:FieldURI FieldURI=\"item:Body\"/>"))),
              "ErrorInvalidPropertyRequest");
    Answer extra = h.run(find_item(fid, "", "", "IdOnly",
                                   "<t:AdditionalProperties><t:FieldURI FieldURI=\"message:IsReadReceiptRequested\"/>"
                                   "<t:ExtendedFieldURI PropertyTag=\"0x0E07\" PropertyType=\"Integer\"/>"
                                   "</t:AdditionalProperties>"));
    EXPECT_EQ(extra.one("//t:IsReadReceiptRequested"), "false");
    EXPECT_EQ(extra.one("//t:ExtendedProperty/t:Value"), "1");
    EXPECT_EQ(h.codes(find_item(fid, "", "", "IdOnly", "<t:IncludeMimeContent>true</t:IncludeMimeContent>")),
              "ErrorInvalidPropertyRequest");
}

TEST(OpsItems, GetItemGivesTheStoredMimeAndRequestedProperties) {
    OpsHarness h;
    std::int64_t inbox = h.store().distinguished_folder(h.home(), "inbox")->id;
    std::string mime = "From: =?ISO-8859-1?Q?J=FCrgen?= <j@example.de>\r\nTo: a@example.com\r\n"
                       "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\nDate: Mon, 01 Jan 2024 10:00:00 +0100\r\n"
                       "MIME-Version: 1.0\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<p>Hi &amp; bye</p>\r\n";
    ItemInfo made = add_message(h, inbox, 0, mime);
    h.store().update_item(h.home(), made.id, std::nullopt, [](StoredItem &s) {
        s.extended.push_back({"0x1090", "Integer", {"2"}});
        s.info.categories = {"Red", "Blue"};
        return true;
    }, &made);
    std::string id = h.item_id(made);
    Answer a = h.run(get_item(item_id(id), "IdOnly",
                              "<t:IncludeMimeContent>true</t:IncludeMimeContent>" +
                                  additional("<t:FieldURI FieldURI=\"message:IsRead\"/><t:FieldURI FieldURI=\"item:Categories\"/>"
                                             "<t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/>"
                                             "<t:ExtendedFieldURI PropertyTag=\"4224\" PropertyType=\"Integer\"/>"
                                             "<t:ExtendedFieldURI PropertyTag=\"0x0E07\" PropertyType=\"Integer\"/>"
                                             "<t:ExtendedFieldURI PropertyTag=\"0x0039\" PropertyType=\"SystemTime\"/>")));
    ASSERT_EQ(a.one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(a.one("//t:Message/*[1]/@CharacterSet"), "UTF-8"); // MimeContent comes first
    EXPECT_EQ(base64_decode_lenient(a.one("//t:MimeContent")).value_or(""), mime);
    EXPECT_EQ(a.one("//t:IsRead"), "false");
    EXPECT_EQ(a.all("//t:Categories/t:String"), (std::vector<std::string>{"Red", "Blue"}));
    EXPECT_EQ(a.all("//t:ExtendedFieldURI/@PropertyTag"), (std::vector<std::string>{"0x1090", "0xe07", "0x39"}));
    EXPECT_EQ(a.all("//t:ExtendedProperty/t:Value"), (std::vector<std::string>{"2", "0", "2024-01-01T12:00:00Z"}));

    Answer def = h.run(get_item(item_id(id), "Default", "<t:BodyType>Text</t:BodyType>"));
    EXPECT_EQ(def.fields("//t:", "Subject Body/@BodyType Body From/t:Mailbox/t:Name From/t:Mailbox/t:EmailAddress "
                                 "ToRecipients/t:Mailbox/t:EmailAddress DateTimeSent"),
              "Subject=Grüße; Body/@BodyType=Text; Body=Hi & bye; From/t:Mailbox/t:Name=Jürgen; "
              "From/t:Mailbox/t:EmailAddress=j@example.de; ToRecipients/t:Mailbox/t:EmailAddress=a@example.com; "
              "DateTimeSent=2024-01-01T12:00:00Z");
    Answer best = h.run(get_item(item_id(id)));
    EXPECT_EQ(best.one("//t:Body/@BodyType"), "HTML");
    EXPECT_EQ(best.count("//t:InternetMessageHeaders/t:InternetMessageHeader[@HeaderName='Subject']"), 1u);
    EXPECT_EQ(best.count("//t:MimeContent"), 0u);
    EXPECT_EQ(best.count("//t:ExtendedProperty"), 0u); // only when asked for
}

TEST(OpsItems, GetItemErrorsPerId) {
    OpsHarness h;
    std::int64_t inbox = h.store().distinguished_folder(h.home(), "inbox")->id;
    ItemInfo kept = add_message(h, inbox, 1), gone = add_message(h, inbox, 2);
    h.store().delete_item(h.home(), gone.id);
    std::int64_t bob = h.store().ensure_mailbox("bob@example.com");
    StoredItem bobs = message_item_from_mime(ops_test::sample_mime("b"), 1);
    bobs.info.mailbox = bob;
    bobs.info.folder = h.store().distinguished_folder(bob, "inbox")->id;
    ItemInfo bob_item = h.store().add_item(bobs);
    const std::string kept_id = item_id(h.item_id(kept));
    Answer a = h.run(get_item(kept_id + item_id(h.item_id(gone)) + item_id("AAMkADAwATM0MDAAMS0xYzAxLTExAA==") +
                                  item_id(h.folder_id(h.home(), inbox)) + item_id(h.item_id(bob_item)) + item_id("%%%"),
                              "IdOnly"));
    EXPECT_EQ(a.codes(), (std::vector<std::string>{"NoError", "ErrorItemNotFound", "ErrorInvalidIdMalformed",
                                                   "ErrorCannotUseFolderIdForItemId", "ErrorItemNotFound",
                                                   "ErrorInvalidIdMalformed"}));
    EXPECT_EQ(a.count("//m:GetItemResponseMessage[@ResponseClass='Error']/m:Items"), 5u);
    Answer wrong_kind = h.run(get_item(kept_id, "IdOnly", additional("<t:FieldURI FieldURI=\"calendar:Start\"/>")));
    EXPECT_EQ(wrong_kind.one("//m:ResponseCode"), "ErrorInvalidPropertyRequest");
    EXPECT_EQ(wrong_kind.one("//m:MessageXml/t:FieldURI/@FieldURI"), "calendar:Start");
    // From Exchange 2010 on, one GetItem may ask for the properties of every item kind
    // (Exchange 2007 refuses them, as the answers quoted in exchangelib issues #100, #909
    // and ews-rs #41 show: "The Current ExchangeVersion is Exchange2007"); folder
    // properties stay refused.
    h.ctx().requested_version = "Exchange2010_SP2";
    auto get_with = [&](const char *uri) {
        return h.run(get_item(kept_id, "IdOnly",
                              additional(std::string("<t:FieldURI FieldURI=\"") + uri +
                                         "\"/><t:FieldURI FieldURI=\"item:Subject\"/>")));
    };
    Answer meeting = get_with("meeting:AssociatedCalendarItemId");
    EXPECT_EQ(meeting.one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(meeting.one("//t:Message/t:Subject"), "m1");
    EXPECT_EQ(get_with("contacts:GivenName").one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(get_with("folder:DisplayName").one("//m:ResponseCode"), "ErrorInvalidPropertyRequest");
}

// "MoveItem operation", "CopyItem operation", "DeleteItem operation"
// (learn.microsoft.com/exchange/client-developer/web-service-reference/...):
// an item that changes folder gets a new ItemId; the old id is no longer found.
TEST(OpsItems, MovesCopiesAndDeletesGiveNewIds) {
    OpsHarness h;
    std::int64_t box = h.home();
    auto folder = [&](const char *name) { return h.store().distinguished_folder(box, name)->id; };
    const std::int64_t inbox = folder("inbox"), deleted = folder("deleteditems"),
                       dumpster = folder("recoverableitemsdeletions"), drafts = folder("drafts");
    ItemInfo a = add_message(h, inbox, 1), b = add_message(h, inbox, 2), c = add_message(h, inbox, 3);
    auto only_item_in = [&](std::int64_t f) {
        auto items = h.store().items_in_folder(box, f);
        EXPECT_EQ(items.size(), 1u);
        return items.empty() ? ItemInfo{} : items.front();
    };
    auto del = [&](const char *type, const ItemInfo &i) {
        return h.codes(delete_items(item_id(h.item_id(i)), type, ""));
    };
    auto put = [&](const char *op, const ItemInfo &i, const char *to) { return h.run(place(op, h.item_id(i), to)); };
    EXPECT_EQ(del("MoveToDeletedItems", a), "NoError");
    EXPECT_FALSE(h.store().item(box, a.id));
    ItemInfo a2 = only_item_in(deleted);
    EXPECT_EQ(a2.subject, a.subject);
    EXPECT_EQ(del("MoveToDeletedItems", a), "ErrorItemNotFound");
    EXPECT_EQ(del("MoveToDeletedItems", a2), "NoError"); // already there: to the dumpster
    EXPECT_EQ(only_item_in(dumpster).subject, a.subject);
    EXPECT_EQ(del("HardDelete", c), "NoError");
    EXPECT_EQ(del("HardDelete", c), "ErrorItemNotFound");

    // New ids on copies and moves are checked through python3-exchangelib.
    ASSERT_EQ(put("CopyItem", b, "drafts").one("//m:ResponseCode"), "NoError");
    ASSERT_EQ(put("MoveItem", b, "deleteditems").one("//m:ResponseCode"), "NoError");
    EXPECT_EQ(put("MoveItem", b, "inbox").one("//m:ResponseCode"), "ErrorItemNotFound");
    EXPECT_EQ(put("MoveItem", only_item_in(drafts), "voicemail").one("//m:ResponseCode"),
              "ErrorToFolderNotFound");
    EXPECT_EQ(h.store().folder(box, inbox)->total, 0);

    // A row id is never handed out again, even after the newest item is gone.
    ItemInfo newest = add_message(h, inbox, 4);
    EXPECT_EQ(del("HardDelete", newest), "NoError");
    EXPECT_GT(add_message(h, inbox, 5).id, newest.id);
}
