// The folder reader's pieces that need no server: how a FindItem page is
// read, the request texts, and a folder index past the table.
#include <gtest/gtest.h>

#include <memory>
#include <unordered_set>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "qv/qvcom.h"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "common/unique_file.hpp"

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

} // namespace
