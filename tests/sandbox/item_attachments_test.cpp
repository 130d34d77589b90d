// File attachments of items without MIME text (contacts, lists, tasks,
// calendar items): change keys, GetItem's summary, GetAttachment, and
// attachments following their item through copies, moves and deletes.
// Behaviour from Microsoft's EWS reference: "CreateAttachment operation"
// (the answer's AttachmentId carries RootItemId and RootItemChangeKey, the
// parent's key after the change), "GetAttachment operation", and
// ErrorIrresolvableConflict ("the change key passed in the request does not
// match the current change key for the item", "ResponseCode") for a file
// added with an old key.
#include <gtest/gtest.h>

#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::Answer;
using ops_test::OpsHarness;
using namespace ops_test;

namespace {

// An item of a kind stored without MIME text (a note here; contacts and
// calendar items are stored the same way).
ItemInfo add_plain_item(OpsHarness &h, const char *folder = "notes") {
    StoredItem s;
    s.info.mailbox = h.home();
    s.info.folder = h.store().distinguished_folder(h.home(), folder)->id;
    s.info.item_class = "IPM.StickyNote";
    s.info.subject = "plain item";
    return h.store().add_item(s);
}

} // namespace

TEST(ItemAttachments, EachAttachmentGivesTheParentANewKeyAndAllAreKept) {
    OpsHarness h;
    ItemInfo item = add_plain_item(h);
    const std::string id = h.item_id(item);
    const std::string first_key = h.store().ids().change_key({IdKind::Item, item.mailbox, item.id, 0}, item.version);
    const std::string binary("\0\x01\xff\xfe" "data", 8);

    Answer one = h.run(create_attachment(id, first_key, "notes.txt", "first file\n"));
    ASSERT_EQ(one.codes(), std::vector<std::string>{"NoError"}) << one.xml();
    EXPECT_EQ(one.one("//t:AttachmentId/@RootItemId"), id);
    const std::string second_key = one.one("//t:AttachmentId/@RootItemChangeKey");
    EXPECT_NE(second_key, first_key);
    // The key CreateItem gave is stale now: the next file needs the new one.
    EXPECT_EQ(h.codes(create_attachment(id, first_key, "late.txt", "x")), "ErrorIrresolvableConflict");
    EXPECT_EQ(h.codes(create_attachment(id, "CQAAAA==", "bad.txt", "x")), "ErrorInvalidChangeKey");
    Answer two = h.run(create_attachment(id, second_key, "r\xc3\xa9sum\xc3\xa9.bin", binary));
    ASSERT_EQ(two.codes(), std::vector<std::string>{"NoError"});
    EXPECT_NE(two.one("//t:AttachmentId/@RootItemChangeKey"), second_key);
    EXPECT_NE(two.one("//t:AttachmentId/@Id"), one.one("//t:AttachmentId/@Id"));

    Answer shown = h.run(get_item(item_id(id)));
    EXPECT_EQ(shown.one("//t:HasAttachments"), "true");
    EXPECT_EQ(shown.all("//t:Attachments/t:FileAttachment/t:Name"),
              (std::vector<std::string>{"notes.txt", "r\xc3\xa9sum\xc3\xa9.bin"}));
    EXPECT_EQ(shown.all("//t:Attachments/t:FileAttachment/t:Size"), (std::vector<std::string>{"11", "8"}));
    EXPECT_EQ(shown.one("//t:ItemId/@ChangeKey"), two.one("//t:AttachmentId/@RootItemChangeKey"));

    for (auto [answer, bytes] : {std::pair{&one, std::string("first file\n")}, std::pair{&two, binary}}) {
        Answer got = h.run(get_attachments({answer->one("//t:AttachmentId/@Id")}));
        ASSERT_EQ(got.codes(), std::vector<std::string>{"NoError"});
        EXPECT_EQ(base64_decode_lenient(got.one("//t:FileAttachment/t:Content")), bytes);
    }
}

TEST(ItemAttachments, BadReferencesAreRefusedOneByOne) {
    OpsHarness h;
    ItemInfo item = add_plain_item(h);
    EXPECT_EQ(h.codes("<m:CreateAttachment><m:ParentItemId Id=\"" + h.item_id(item) +
                      "\"/><m:Attachments><t:FileAttachment><t:Content>AA==</t:Content>"
                      "</t:FileAttachment></m:Attachments></m:CreateAttachment>"), "ErrorRequiredPropertyMissing");
    EXPECT_TRUE(h.store().attachments(item.mailbox, item.id).empty());

    // An attachment index the item never had, of an existing item.
    std::string beyond = h.store().ids().encode({IdKind::Attachment, item.mailbox, item.id, 3});
    EXPECT_EQ(h.codes(get_attachments({beyond})), "ErrorInvalidAttachmentId");
    EXPECT_EQ(h.run(get_item(item_id(h.item_id(item)))).count("//t:Attachments"), 0u);
}

TEST(ItemAttachments, AttachmentsFollowTheirItemThroughCopyMoveAndDelete) {
    OpsHarness h;
    ItemInfo item = add_plain_item(h);
    const std::string id = h.item_id(item);
    Answer added = h.run(create_attachment(id, "", "a.txt", "alpha"));
    const std::string original_attachment = added.one("//t:AttachmentId/@Id");

    Answer copied = h.run(place("CopyItem", id, "inbox"));
    const std::string copy_id = copied.one("//m:Items/*/t:ItemId/@Id");
    Answer moved = h.run(place("MoveItem", id, "drafts"));
    const std::string moved_id = moved.one("//m:Items/*/t:ItemId/@Id");
    // The moved item is a new one: its old attachment id names nothing.
    EXPECT_EQ(h.codes(get_attachments({original_attachment})), "ErrorInvalidAttachmentId");

    for (const std::string &holder : {copy_id, moved_id}) {
        Answer shown = h.run(get_item(item_id(holder)));
        ASSERT_EQ(shown.all("//t:FileAttachment/t:Name"), std::vector<std::string>{"a.txt"}) << holder;
        Answer got = h.run(get_attachments({shown.one("//t:FileAttachment/t:AttachmentId/@Id")}));
        EXPECT_EQ(base64_decode_lenient(got.one("//t:Content")), std::string("alpha"));
    }

    auto copy_ref = h.store().ids().decode(copy_id);
    h.run(delete_items(item_id(copy_id), "HardDelete", ""));
    EXPECT_TRUE(h.store().attachments(copy_ref->mailbox, copy_ref->object).empty());

    // A folder deleted with its items takes their attachments along.
    auto moved_ref = h.store().ids().decode(moved_id);
    FolderInfo sub = h.store().ensure_folder_path(h.home(), "Scratch");
    ItemInfo in_sub = add_plain_item(h);
    ASSERT_EQ(h.store().move_item(h.home(), in_sub.id, sub, &in_sub), StoreStatus::Ok);
    h.run(create_attachment(h.item_id(in_sub), "", "b.txt", "beta"));
    ASSERT_EQ(h.store().delete_folder(h.home(), sub.id), StoreStatus::Ok);
    EXPECT_TRUE(h.store().attachments(in_sub.mailbox, in_sub.id).empty());
    EXPECT_EQ(h.store().attachments(moved_ref->mailbox, moved_ref->object).size(), 1u);
}
