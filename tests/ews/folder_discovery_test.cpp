// Folder discovery against a scripted server that pages its folders the
// way Exchange does; every request it receives must pass the schema check.
// (Error answers and HTTP errors: LogonTest.FailuresOfGetFolderAndFindFolder.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "ews/folder_discovery.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/http_post.hpp"

namespace {

using namespace qvamz;
using conntest::RecordedRequest;
using conntest::Respond;
using conntest::ScriptedReply;

std::string FolderXml(int n)
{
    const std::string id = "F" + std::to_string(n);
    return "<t:Folder><t:FolderId Id=\"" + id + "\" ChangeKey=\"c\"/><t:ParentFolderId Id=\"ROOT\" "
           "ChangeKey=\"c\"/><t:FolderClass>IPF.Note</t:FolderClass><t:DisplayName>Folder " +
           std::to_string(n) + "</t:DisplayName><t:TotalCount>" + std::to_string(n % 7) +
           "</t:TotalCount><t:ChildFolderCount>0</t:ChildFolderCount></t:Folder>";
}

// One FindFolder page of a mailbox with `total` folders below the root;
// with `say_last` false the server never admits the last page.
std::string Page(int offset, int page_size, int total, bool say_last)
{
    const int end = std::min(total, offset + page_size);
    std::string folders;
    for (int n = offset; n < end; ++n)
        folders += FolderXml(n);
    const bool last = say_last && end >= total;
    return conntest::Success("FindFolder", "<m:RootFolder IndexedPagingOffset=\"" +
                                               std::to_string(end) + "\" TotalItemsInView=\"" +
                                               std::to_string(total) +
                                               "\" IncludesLastItemInRange=\"" +
                                               (last ? "true" : "false") + "\"><t:Folders>" +
                                               folders + "</t:Folders></m:RootFolder>");
}

int OffsetOf(const RecordedRequest &request)
{
    const std::size_t at = request.body.find("Offset=\"");
    return at == std::string::npos ? -1 : std::atoi(request.body.c_str() + at + 8);
}

class DiscoveryTest : public conntest::ScriptedSessionTest {
  protected:
    void SetUp() override
    {
        ScriptedSessionTest::SetUp();
        session.state.root_folder_name = "msgfolderroot";
        session.state.root_folder_id = "ROOT";
        session.state.server_major_version = 15;
        session.state.force_version_header = 1;
    }
    void ServeFolders(int total, bool say_last)
    {
        server.SetFallback([total, say_last](const RecordedRequest &request) {
            return Respond(200, Page(OffsetOf(request), kFindFolderPage, total, say_last));
        });
    }
};

TEST_F(DiscoveryTest, TwelveHundredFoldersComeInThreePages)
{
    ServeFolders(1200, true);
    EXPECT_EQ(DiscoverFolders(session, session.state.folders), DiscoveryResult::Success);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(OffsetOf(requests[i]), static_cast<int>(i) * 500);
        EXPECT_NE(requests[i].body.find("<FindFolder Traversal=\"Deep\" xmlns="),
                  std::string::npos);
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(requests[i].body, &findings)) << findings;
    }
    ASSERT_EQ(static_cast<int>(session.state.folders.size()), 1200);
    EXPECT_EQ(session.state.folders[1199].internal_path, "Folder 1199");
    EXPECT_EQ(session.state.folders[1199].total_count, 1199 % 7);
    EXPECT_FALSE(std::filesystem::exists(dir.file("folders.xml")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("fullfolders.xml")));
}

TEST_F(DiscoveryTest, AServerThatNeverSaysLastStopsAtAnEmptyPage)
{
    ServeFolders(1000, false);
    EXPECT_EQ(DiscoverFolders(session, session.state.folders), DiscoveryResult::Success);
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(static_cast<int>(session.state.folders.size()), 1000);
}

TEST_F(DiscoveryTest, PublicFoldersAreListedShallow)
{
    session.settings.public_folders = 1;
    session.state.root_folder_name = "publicfoldersroot";
    ServeFolders(3, true);
    EXPECT_EQ(DiscoverFolders(session, session.state.folders), DiscoveryResult::Success);
    const std::string body = server.requests().at(0).body;
    EXPECT_NE(body.find("<FindFolder Traversal=\"Shallow\" xmlns="), std::string::npos);
    EXPECT_NE(body.find("<t:DistinguishedFolderId Id=\"publicfoldersroot\">"), std::string::npos);
}

TEST_F(DiscoveryTest, AnUnwritableWorkingDirectoryPostsNothing)
{
    session.state.work_dir = dir.file("missing") + "/";
    server.Push(Respond(200, Page(0, 500, 1, true)));
    EXPECT_EQ(DiscoverFolders(session, session.state.folders), DiscoveryResult::TransportFailure);
    EXPECT_TRUE(server.requests().empty());
}

} // namespace
