// The folder reader's pieces that need no server: how a FindItem page is
// read, the request texts, a folder index past the table, and GetItem
// answers read in memory and from files.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "common/base64.hpp"
#include "common/unique_file.hpp"
#include "ews/folder_table.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_answer.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "qv/qvcom.h"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/response_writer.hpp"

namespace {

using namespace qvamz;
using namespace qvamz::mailread;

constexpr const char *kItemLine = "<t:ItemId Id=\"AAA%d\" ChangeKey=\"CK%d\"/>\r\n";

std::string FindItemAnswer(const std::string &root_attributes, int items)
{
    std::string text = "<m:FindItemResponseMessage ResponseClass=\"Success\">\r\n"
                       "<m:RootFolder " +
                       root_attributes + ">\r\n<t:Items>\r\n";
    for (int i = 0; i < items; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, kItemLine, i, i);
        text += "<t:Message>\r\n" + std::string(line) + "</t:Message>\r\n";
    }
    return text + "</t:Items>\r\n</m:RootFolder>\r\n</m:FindItemResponseMessage>\r\n";
}

TEST(FindItemPage, LastPageAndItemCount)
{
    struct Case {
        const char *name;
        std::string answer;
        bool last;
        int items;
        int repeated = 0;
    };
    const std::vector<Case> cases = {
        {"says true",
         FindItemAnswer("IndexedPagingOffset=\"2\" IncludesLastItemInRange=\"true\"", 2), true, 2},
        {"says false",
         FindItemAnswer("IncludesLastItemInRange=\"false\" TotalItemsInView=\"9\"", 3), false, 3},
        {"case of the name ignored", FindItemAnswer("includeslastiteminrange=\"true\"", 1), true,
         1},
        // Without the attribute or without items nothing more can come.
        {"no attribute", FindItemAnswer("TotalItemsInView=\"4\"", 4), true, 4},
        {"false but empty", FindItemAnswer("IncludesLastItemInRange=\"false\"", 0), true, 0},
        // An id seen on an earlier page is listed once: a server that lets
        // pages overlap must not have an item copied twice.
        {"repeated id", FindItemAnswer("IncludesLastItemInRange=\"false\"", 3), false, 2, 1},
        {"error answer",
         "<m:FindItemResponseMessage ResponseClass=\"Error\">\r\n<m:MessageText>\r\nno\r\n"
         "</m:MessageText>\r\n</m:FindItemResponseMessage>\r\n",
         true, 0},
    };
    conntest::ScratchDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        conntest::WriteFile(dir.file("messages.xml"), c.answer);
        qvcommon::UniqueFile ids = qvcommon::OpenFile(dir.file("ids"), "wb");
        FindItemPage page;
        std::unordered_set<std::string> seen = {"AAA1"};
        if (c.repeated == 0)
            seen.clear();
        ASSERT_TRUE(ScanFindItemPage(dir.file("messages.xml"), ids.get(), seen, page));
        ids.reset();
        EXPECT_EQ(page.last, c.last);
        EXPECT_EQ(page.items, c.items);
        EXPECT_EQ(page.repeated, c.repeated);
        const std::string written = conntest::ReadFile(dir.file("ids"));
        EXPECT_EQ(conntest::CountOf(written, "\n"), static_cast<std::size_t>(c.items));
        if (c.items > 0) {
            EXPECT_TRUE(written.starts_with("AAA0;CK0\n")) << written;
        }
    }
    FindItemPage page;
    std::unordered_set<std::string> seen;
    qvcommon::UniqueFile ids = qvcommon::OpenFile(dir.file("ids"), "wb");
    EXPECT_FALSE(ScanFindItemPage(dir.file("missing.xml"), ids.get(), seen, page));
}

// Servers that do not page as asked: one that ignores Offset (the same
// page every time) and one that never says the last page came.  Both end
// incomplete, the first at the page that brings nothing new, the second at
// the folder's total plus the margin.
class MisbehavingLister : public conntest::ScriptedSessionTest {
  protected:
    ListingOutcome List(int folder_total)
    {
        qvcommon::UniqueFile ids = qvcommon::OpenFile(dir.file("ids"), "wb");
        return ListFolderItems(session, dir.dir(), "folder-1", "", folder_total, ids.get());
    }
    static std::string Page(int first)
    {
        std::string items;
        for (int i = first; i < first + kFindItemPageSize; ++i)
            items += "<t:Message><t:ItemId Id=\"I" + std::to_string(i) + "\" ChangeKey=\"C\"/></t:Message>";
        return conntest::Success("FindItem", "<m:RootFolder IncludesLastItemInRange=\"false\"><t:Items>" +
                                                 items + "</t:Items></m:RootFolder>");
    }
    conntest::FakeClock clock;
};

TEST_F(MisbehavingLister, ServerIgnoringOffsetEndsAtTheFirstRepeatedPage)
{
    server.SetFallback([](const conntest::RecordedRequest &) {
        return conntest::Respond(200, Page(0));
    });
    const ListingOutcome listed = List(700);
    EXPECT_EQ(listed.result, ListingResult::kIncomplete);
    EXPECT_EQ(listed.listed, kFindItemPageSize);
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_TRUE(log.has("QV Error: the server keeps listing items past the folder's 700"));
}

TEST_F(MisbehavingLister, EndlessPagesStopAtTheTotalPlusTheMargin)
{
    int pages = 0;
    server.SetFallback([&pages](const conntest::RecordedRequest &) {
        return conntest::Respond(200, Page(kFindItemPageSize * pages++));
    });
    const ListingOutcome listed = List(100);
    EXPECT_EQ(listed.result, ListingResult::kIncomplete);
    // 100 + 2 pages of margin: the third page passes it.
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(listed.listed, 3 * kFindItemPageSize);
}

TEST(GetItemRequest, IsReadLeftOutOnlyForOldServersInNotes)
{
    EXPECT_FALSE(AskForIsRead(8, "Notes"));
    EXPECT_TRUE(AskForIsRead(8, "notes"));
    EXPECT_TRUE(AskForIsRead(8, "Inbox"));
    EXPECT_TRUE(AskForIsRead(15, "Notes"));
    const std::string with = GetItemProperties(true);
    EXPECT_TRUE(with.starts_with("<t:FieldURI FieldURI=\"message:IsRead\"/>\n"));
    EXPECT_EQ(GetItemProperties(false).find("IsRead"), std::string::npos);
}

class OtherKinds : public conntest::SessionTest {};

// An index past the folder table is refused without a status.
TEST_F(OtherKinds, BadFolderIndexRefused)
{
    conntest::ScratchDir dir;
    conntest::LogCapture log(dir);
    auto msg = std::make_unique<qv_message>();
    int count = -1, size = -1;
    EXPECT_EQ(ConvertFolderImpl(session, {.msg = msg.get(), .folder_index = 3, .work_dir = dir.dir(),
                                          .out_count = &count, .out_size = &size}),
              0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.has("QV Error: ConvertFolder")) << log.text();
}

// A GetItem answer read in memory must give what the file readers give on
// the same answer (the MIME bytes, IsRead, the ItemId, the meeting mark,
// categories and flags), however the network split the answer before the
// transport laid it out one tag per line.
const std::string kMessage = "From: Ann <ann@example.com>\r\nSubject: caf\xC3\xA9\r\n"
                             "Content-Type: text/plain; charset=utf-8\r\n\r\n"
                             "line one\r\n\tline two\r\n";

std::string Extended(const char *tag, const char *value)
{
    return std::string("<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"") + tag +
           "\" PropertyType=\"Integer\"/><t:Value>" + value + "</t:Value></t:ExtendedProperty>";
}

// A GetItem answer as the server sends it (no line breaks).
std::string RawAnswer(const std::string &item_start, const std::string &mime_element,
                      const std::string &after_id, const std::string &id = "AAMk/x+1=")
{
    return "<?xml version=\"1.0\"?><s:Envelope><s:Body><m:GetItemResponse><m:ResponseMessages>"
           "<m:GetItemResponseMessage ResponseClass=\"Success\"><m:ResponseCode>NoError"
           "</m:ResponseCode><m:Items>" +
           item_start + mime_element + "<t:ItemId Id=\"" + id + "\" ChangeKey=\"CQAA\"/>" +
           after_id + "</t:Message></m:Items></m:GetItemResponseMessage></m:ResponseMessages>"
                      "</m:GetItemResponse></s:Body></s:Envelope>";
}

std::string Mime(const std::string &base64)
{
    return "<t:MimeContent CharacterSet=\"UTF-8\">" + base64 + "</t:MimeContent>";
}

// The transport's layout of `raw`, fed in pieces of random size.
std::string Formatted(const std::string &raw, unsigned seed)
{
    std::mt19937 random(seed);
    TagLineFormatter formatter;
    std::string out;
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 97)(random);
        formatter.Feed(std::string_view(raw).substr(at, piece), out);
        at += piece;
    }
    return out;
}

struct Reading {
    bool has_mime = false;
    std::string mime;
    int is_read = -1;
    ItemDetails details;
    std::unique_ptr<qv_message> msg = std::make_unique<qv_message>();
};

Reading FromFile(const conntest::ScratchDir &dir, const std::string &answer)
{
    Reading r;
    const std::string answer_path = dir.file("message.xml"), mime_path = dir.file("message.eml");
    conntest::WriteFile(answer_path, answer);
    r.has_mime = ExtractBase64Element(answer_path, mime_path, "MimeContent", &r.is_read) == 1;
    if (!r.has_mime)
        return r;
    r.mime = conntest::ReadFile(mime_path);
    ReadItemDetails(answer_path, r.msg.get(), r.details);
    return r;
}

Reading InMemory(const std::string &answer)
{
    Reading r;
    r.has_mime = DecodeMimeContent(answer, r.mime);
    if (!r.has_mime)
        return r;
    ReadIsRead(answer, r.is_read);
    ScanItemDetails(answer, r.msg.get(), r.details);
    return r;
}

// Everything a reading gives, as one text.
std::string Summary(const Reading &r)
{
    return std::to_string(r.has_mime) + " [" + r.mime + "] read " + std::to_string(r.is_read) +
           " id " + r.details.ews_item_id + " meeting " + std::to_string(r.details.meeting_request) +
           " [" + r.msg->categories + "] flag " + std::to_string(r.msg->flag_status) +
           " replied " + std::to_string(r.msg->replied) + " forwarded " +
           std::to_string(r.msg->forwarded);
}

TEST(ItemAnswerInMemory, ReadsWhatTheFileReadersRead)
{
    const std::string body = qvcommon::Base64Encode(kMessage);
    const std::string properties =
        "<t:IsRead>true</t:IsRead><t:Categories><t:String>Red &amp; Blue</t:String>"
        "<t:String>Work</t:String></t:Categories>" +
        Extended("0x1090", "2") + Extended("0x1080", "262");
    struct Case {
        const char *name;
        std::string raw;
    };
    const std::vector<Case> cases = {
        {"message", RawAnswer("<t:Message>", Mime(body), properties)},
        {"meeting request, unread",
         RawAnswer("<t:MeetingRequest>", Mime(body),
                   "<t:IsRead>false</t:IsRead>" + Extended("0x1090", "1"))},
        {"no IsRead", RawAnswer("<t:Message>", Mime(body), Extended("0x1080", "261"))},
        {"empty content", RawAnswer("<t:Message>", Mime(""), properties)},
        {"no content: not a message", RawAnswer("<t:Contact>", "", properties)},
        // Padding inside the text ends a group; foreign characters are skipped.
        {"padding and blanks inside",
         RawAnswer("<t:Message>", Mime("QQ== QkM=\tRA"), "<t:IsRead>TRUE</t:IsRead>")},
        {"long id, long line before it",
         RawAnswer("<t:Message><t:Note>" + std::string(9000, 'n') + "</t:Note>", Mime(body),
                   properties, std::string(1500, 'I'))},
        // Only the first 4096 bytes after the ItemId are looked at.
        {"categories out of reach",
         RawAnswer("<t:Message>", Mime(body),
                   "<t:Size>" + std::string(4100, '9') + "</t:Size>" + properties)},
        {"zero byte ends the properties",
         RawAnswer("<t:Message>", Mime(body), std::string("<t:X>\0</t:X>", 12) + properties)},
    };
    conntest::ScratchDir dir;
    for (const Case &c : cases) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
            const std::string answer = Formatted(c.raw, seed);
            EXPECT_EQ(Summary(InMemory(answer)), Summary(FromFile(dir, answer)));
        }
    }
    // And what both read is right.
    EXPECT_EQ(Summary(InMemory(Formatted(cases[0].raw, 7))),
              "1 [" + kMessage + "] read 1 id AAMk/x+1= meeting 0 [Red & Blue;Work] flag 2 "
                                 "replied 0 forwarded 1");
    EXPECT_EQ(InMemory(Formatted(cases[5].raw, 7)).mime, "ABCD");
}

// The flag and icon values of the laid-out properties (values other than
// these are no flag; a Value counts only after its own tag).
TEST(ExtendedFlags, FlagAndIconValues)
{
    const std::tuple<std::string, int, int, int> cases[] = { // text, flag, replied, forwarded
        {Extended("0x1090", "2"), 2, 0, 0},     {Extended("0x1090", "1"), 1, 0, 0},
        {Extended("0x1090", "3"), 0, 0, 0},     {Extended("0x1080", "261"), 0, 1, 0},
        {Extended("0x1080", "262"), 0, 0, 1},   {Extended("0x1080", "263"), 0, 0, 0},
        {Extended("0x1090", "2") + Extended("0x1080", "262"), 2, 0, 1},
        {Extended("0x1080", "2"), 0, 0, 0},     {"<t:IsRead>true</t:IsRead>", 0, 0, 0},
    };
    for (const auto &[text, flag, replied, forwarded] : cases) {
        auto msg = std::make_unique<qv_message>();
        ApplyExtendedFlags(Formatted(text, 1).c_str(), msg.get());
        EXPECT_EQ(std::tuple(+msg->flag_status, +msg->replied, +msg->forwarded),
                  std::tuple(flag, replied, forwarded))
            << text;
    }
}

} // namespace
