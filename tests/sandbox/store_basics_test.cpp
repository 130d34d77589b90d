// The mailbox store and its codecs: folder names, ids and change keys,
// base64 and dates, versions, and several writers at once.
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "item_props.hpp"
#include "mail_codec.hpp"
#include "xml_out.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::OpsHarness;
using ops_test::TempDir;

TEST(StoreFolders, FolderNamesAreUniquePerParentIgnoringCase) {
    OpsHarness h;
    std::int64_t box = h.home();
    auto inbox = *h.store().distinguished_folder(box, "inbox");
    FolderInfo made;
    EXPECT_EQ(h.store().create_folder(box, inbox.id, "Projects", "IPF.Note", &made), StoreStatus::Ok);
    EXPECT_EQ(h.store().create_folder(box, inbox.id, "PROJECTS", "IPF.Note", nullptr), StoreStatus::Exists);
    EXPECT_EQ(h.store().create_folder(box, 987654, "X", "IPF.Note", nullptr), StoreStatus::NotFound);
    FolderInfo deep = h.store().ensure_folder_path(box, "Inbox/projects/2026");
    EXPECT_EQ(deep.parent, made.id);
    EXPECT_EQ(h.store().ensure_folder_path(box, "/Inbox//Projects/2026/").id, deep.id);
    EXPECT_EQ(h.store().folder(box, inbox.id)->child_count, 1);
}

TEST(StoreIds, IdsRoundTripAndRejectTampering) {
    IdCodec ids("secret-one");
    ObjectRef ref{IdKind::Attachment, 7, 123456789, 3};
    std::string id = ids.encode(ref);
    EXPECT_EQ(id.size(), 32u);
    auto back = ids.decode(id);
    ASSERT_TRUE(back);
    EXPECT_EQ(std::tuple(back->kind, back->mailbox, back->object, back->sub),
              std::tuple(IdKind::Attachment, std::int64_t{7}, std::int64_t{123456789}, 3u));
    for (std::size_t i = 0; i < id.size(); i += 5) {
        std::string bad = id;
        bad[i] = bad[i] == 'A' ? 'B' : 'A';
        EXPECT_FALSE(ids.decode(bad)) << i;
    }
    EXPECT_FALSE(IdCodec("secret-two").decode(id));
    for (const char *junk : {"", "AAAA", "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!", "not base64 at all but 32 chars.."})
        EXPECT_FALSE(ids.decode(junk)) << junk;
}

TEST(StoreIds, ChangeKeysNameOneVersionOfOneObject) {
    IdCodec ids("s");
    ObjectRef a{IdKind::Item, 1, 10, 0}, b{IdKind::Item, 1, 11, 0};
    std::string k1 = ids.change_key(a, 1), k2 = ids.change_key(a, 2);
    EXPECT_NE(k1, k2);
    EXPECT_EQ(k1.substr(0, 4), "CQAA"); // Exchange's change keys start so too
    EXPECT_EQ(ids.change_key_version(a, k1), 1);
    EXPECT_EQ(ids.change_key_version(a, k2), 2);
    EXPECT_EQ(ids.change_key_version(b, k1), -1);
    EXPECT_FALSE(ids.change_key_version(a, "garbage=="));
    EXPECT_FALSE(ids.change_key_version(a, ""));
}

TEST(StoreCodec, LenientBase64) {
    struct Row {
        const char *in;
        const char *out; // nullptr: invalid
    };
    const Row rows[] = {
        {"", ""},           {"TWFu", "Man"},      {"TWE=", "Ma"},     {"TQ==", "M"},
        {"TW\r\nFu", "Man"}, {" TWFu \n", "Man"}, {"TWF", nullptr},   {"TQ=", nullptr},
        {"T===", nullptr},  {"TWFu=", nullptr},   {"TQ==TWFu", nullptr}, {"TW-u", nullptr},
    };
    for (const auto &r : rows) {
        auto d = base64_decode_lenient(r.in);
        if (!r.out) EXPECT_FALSE(d) << r.in;
        else EXPECT_EQ(d.value_or("<invalid>"), r.out) << r.in;
    }
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    EXPECT_EQ(base64_decode_lenient(base64_encode(bytes, 76)), bytes);
}

TEST(StoreCodec, Base64LinesBreakBetweenCharactersOnly) {
    // RFC 2045 6.8: lines of at most 76 characters, CRLF between them and
    // none after the last.
    const std::string enc = base64_encode(std::string(114, 'x'), 76); // 152 characters
    EXPECT_EQ(enc.size(), 154u);
    EXPECT_EQ(enc.find("\r\n"), 76u);
    EXPECT_NE(enc.substr(enc.size() - 2), "\r\n");
    EXPECT_EQ(base64_encode("hello", 2), "aG\r\nVs\r\nbG\r\n8=");
    EXPECT_EQ(base64_encode("", 76), "");
}

TEST(StoreCodec, Base64WrittenIntoAnAnswerIsTheEncodersText) {
    // One line is encoded three bytes at a time through a table of its own:
    // it must agree with the encoder of broken lines (given lines too long
    // to break) for every byte value and every length's remainder.
    std::string all;
    for (int i = 0; i < 3 * 256 + 2; ++i) all += static_cast<char>((i * 7 + i / 256) & 0xff);
    for (std::size_t n : {0, 1, 2, 3, 4, 5, 767, 768, 769, 770})
        EXPECT_EQ(base64_encode(all.substr(0, n)), base64_encode(all.substr(0, n), 1u << 30)) << n;
    EXPECT_EQ(base64_encode("hi!\xff\xfe"), "aGkh//4=");
    for (const std::string bytes : {"", "h", "hi", "hi!", "hi!\xff"}) {
        XmlOut out;
        out.open("t:A").attr("k", "v").base64_text(bytes).close();
        out.open("t:B").text("x").base64_text(bytes);
        const std::string b64 = base64_encode(bytes);
        EXPECT_EQ(out.finish(), "<t:A k=\"v\">" + b64 + "</t:A><t:B>x" + b64 + "</t:B>") << bytes;
    }
}

TEST(StoreCodec, XmlTextIsEscapedAndCleanedOfWhatXmlCannotCarry) {
    struct Row {
        std::string in;
        const char *text, *attribute;
    };
    const Row rows[] = {
        {"plain", "plain", "plain"},
        {"a<b>&\"c\"", "a&lt;b&gt;&amp;\"c\"", "a&lt;b&gt;&amp;&quot;c&quot;"},
        {"l1\r\nl2\tx", "l1&#13;\nl2\tx", "l1&#13;&#10;l2&#9;x"},
        {std::string("n\0ul\x01l\x7f", 7), "null\x7f", "null\x7f"},
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        // a lone continuation byte, an overlong '/', a surrogate, a cut sequence
        {"a\x80" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x82",
         "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
         "d\xEF\xBF\xBD\xEF\xBF\xBD",
         nullptr},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(xml_escape(r.in, false), r.text) << r.in;
        if (r.attribute) {
            EXPECT_EQ(xml_escape(r.in, true), r.attribute) << r.in;
        }
    }
}

TEST(StoreCodec, EwsTimes) {
    struct Row {
        const char *in;
        std::int64_t unix_time; // -1: invalid
    };
    const Row rows[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2024-03-05T14:07:09Z", 1709647629},
        {"2024-03-05T14:07:09", 1709647629},
        {"2024-03-05T14:07:09.123Z", 1709647629},
        {"2024-03-05T15:07:09+01:00", 1709647629},
        {"2024-03-05T09:07:09-05:00", 1709647629},
        {"2024-02-29T00:00:00Z", 1709164800},
        {"2024-13-01T00:00:00Z", -1},
        {"2024-03-05 14:07:09Z", -1},
        {"2024-03-05T14:07:09+0100", -1},
        {"yesterday", -1},
    };
    for (const auto &r : rows) {
        auto t = parse_ews_time(r.in);
        if (r.unix_time < 0) EXPECT_FALSE(t) << r.in;
        else EXPECT_EQ(t.value_or(-1), r.unix_time) << r.in;
    }
    EXPECT_EQ(format_ews_time(1709647629), "2024-03-05T14:07:09Z");
    EXPECT_EQ(format_ews_time(-86400), "1969-12-31T00:00:00Z");
}

// New versions and stale change keys through UpdateItem, deletes of a gone
// item through DeleteItem: OpsWrite and OpsItems.  Here what they cannot see.
TEST(StoreItems, AnUnchangedItemKeepsItsVersionAndAMissingOneIsNotFound) {
    OpsHarness h;
    std::int64_t box = h.home();
    StoredItem item = message_item_from_mime(ops_test::sample_mime("v"), 1000);
    item.info.mailbox = box;
    item.info.folder = h.store().distinguished_folder(box, "inbox")->id;
    ItemInfo made = h.store().add_item(item), updated;
    EXPECT_EQ(h.store().update_item(box, made.id, std::nullopt, [](StoredItem &) { return false; }, &updated),
              StoreStatus::Ok);
    EXPECT_EQ(h.store().item(box, made.id)->version, 1);
    EXPECT_EQ(h.store().update_item(box, made.id + 100, std::nullopt, [](StoredItem &) { return true; }, nullptr),
              StoreStatus::NotFound);
    // Loaded from the row already read: a deleted item is gone, not empty.
    EXPECT_EQ(h.store().load_item(made)->mime, item.mime);
    ASSERT_EQ(h.store().delete_item(box, made.id), StoreStatus::Ok);
    EXPECT_FALSE(h.store().load_item(made));
}

TEST(StoreConcurrency, WritersInThreadsAndASecondConnectionLoseNothing) {
    TempDir dir;
    auto first = MailStore::open(dir.path().string());
    auto second = MailStore::open(dir.path().string()); // as a `seed` running beside the server
    ASSERT_TRUE(first && second);
    // Mailbox ids are remembered once found, never while still missing.
    EXPECT_FALSE(second->find_mailbox("alice@example.com"));
    std::int64_t box = first->ensure_mailbox("alice@example.com");
    EXPECT_EQ(second->find_mailbox("Alice@Example.com"), box);
    EXPECT_EQ(second->ensure_mailbox("alice@example.com"), box);
    EXPECT_NE(first->ensure_mailbox("bob@example.com"), box);
    std::int64_t inbox = first->distinguished_folder(box, "inbox")->id;
    constexpr int kThreads = 4, kPerThread = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            MailStore &store = t % 2 ? *first : *second;
            for (int n = 0; n < kPerThread; ++n) {
                StoredItem item = message_item_from_mime(ops_test::sample_mime("t" + std::to_string(t)), n);
                item.info.mailbox = box;
                item.info.folder = inbox;
                item.extended.push_back({"0x1090", "Integer", {std::to_string(n)}});
                ItemInfo made = store.add_item(item);
                store.update_item(box, made.id, std::nullopt, [](StoredItem &i) {
                    i.info.message_flags |= 1;
                    return true;
                }, nullptr);
            }
        });
    }
    for (auto &t : threads) t.join();
    auto items = first->items_in_folder(box, inbox);
    ASSERT_EQ(items.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (const auto &i : items) {
        EXPECT_EQ(i.version, 2);
        EXPECT_TRUE(i.is_read());
        EXPECT_EQ(second->load_item(box, i.id)->extended.size(), 1u);
    }
    EXPECT_EQ(second->folder(box, inbox)->unread, 0);
}
