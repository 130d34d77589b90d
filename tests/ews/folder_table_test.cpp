// Parsing FindFolder answers into the folder table, the paths from parent
// links, and what GetFolderNames and GetTrueFolder give the host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ews/folder_discovery.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

const std::string kTree = std::string(QV_TEST_DATA_DIR) + "/ews/findfolder_tree.xml";

class FolderTableTest : public conntest::SessionTest {
  protected:
    int Parse(const std::string &path)
    {
        return ParseFolders(path, session.state.is_source != 0, session.state.root_folder_id,
                            session.state.folders);
    }
    void SetUp() override
    {
        SessionTest::SetUp();
        session.state.root_folder_id = "ROOT";
    }
    const FolderEntry *Find(const std::string &name) const
    {
        for (const FolderEntry &entry : session.state.folders)
            if (entry.display_name == name)
                return &entry;
        return nullptr;
    }
    static FolderEntry Entry(std::string id, std::string parent, std::string name, int children)
    {
        return {.child_count = children, .display_name = std::move(name),
                .folder_id = std::move(id), .parent_id = std::move(parent)};
    }

    conntest::ScratchDir dir;
    conntest::LogCapture log{dir};
};

// The source tree in the order of the answer, then the folder lines the
// host gets (sorted without case, each with its internal path, count and
// type) and GetTrueFolder's paths.
TEST_F(FolderTableTest, SourceSessionTreeAndWhatTheHostSees)
{
    session.state.is_source = 1;
    EXPECT_EQ(Parse(kTree), 0);
    std::vector<std::string> names; // display name = display path
    for (const FolderEntry &e : session.state.folders)
        names.push_back(e.display_name + "=" + e.display_path);
    const std::vector<std::string> expected_names = {
        "Inbox=Inbox", "Projects=Inbox/Projects", "2024=Inbox/Projects/2024",
        "Contacts=Contacts", "Calendar=Calendar", "Tasks=Tasks",
        "Journal=Journal", // unknown class after <t:Folder>: mail
        "Local Copy=",     // its parent was skipped
        "R&D=R&D", "Orphan=", "apple=apple"};
    EXPECT_EQ(names, expected_names);
    EXPECT_EQ(Find("Inbox")->folder_id, "F1");
    EXPECT_EQ(Find("Projects")->parent_id, "F1");
    EXPECT_TRUE(log.has("WorkMail folder: Inbox/Projects/2024, type=0, count=1"));
    EXPECT_TRUE(log.has("WorkMail folder: Calendar, type=2, count=4"));

    static std::vector<std::string> lines;
    lines.clear();
    GetFolderNamesImpl(session, [](char *line) QV_STDCALL {
        lines.emplace_back(line);
        return 0;
    });
    const std::vector<std::string> expected = {
        " {QV:9:FCLASS:0}",  " {QV:11:FCLASS:0}", // unreachable folders: empty paths first
        "apple {QV:12:FCLASS:0}",  "Calendar {QV:4:FCLASS:2}",
        "Contacts {QV:3:FCLASS:1}", "Inbox {QV:5:FCLASS:0}",
        "Inbox^Projects {QV:2:FCLASS:0}", "Inbox^Projects^2024 {QV:1:FCLASS:0}",
        "Journal {QV:7:FCLASS:0}", "R&D {QV:10:FCLASS:0}", "Tasks {QV:6:FCLASS:3}",
    };
    EXPECT_EQ(lines, expected);

    char out[1024] = "junk";
    EXPECT_EQ(GetTrueFolderImpl(session.state.folders, 7, out), 7);
    EXPECT_STREQ(out, "Inbox^Projects^2024");
    EXPECT_EQ(GetTrueFolderImpl(session.state.folders, 11, out), 11);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(GetTrueFolderImpl(session.state.folders, -1, out), 11);
}

TEST_F(FolderTableTest, TargetSessionListsSyncIssuesAndAMissingFileNothing)
{
    session.state.is_source = 0;
    EXPECT_EQ(Parse(dir.file("absent.xml")), 1);
    EXPECT_TRUE(log.has("QV Warning: ParseFolders unable to open " + dir.file("absent.xml")));
    EXPECT_TRUE(session.state.folders.empty());
    Parse(kTree);
    EXPECT_EQ(static_cast<int>(session.state.folders.size()), 12);
    ASSERT_NE(Find("Sync Issues"), nullptr);
    EXPECT_EQ(Find("Local Copy")->internal_path, "Sync Issues^Local Copy");
}

TEST_F(FolderTableTest, ParentLinksInACycleEndTheWalk)
{
    // ROOT -> A -> B, and B claims to be A's child and the root's parent.
    AddFolderEntry(session.state.folders, Entry("A", "ROOT", "A", 1));
    AddFolderEntry(session.state.folders, Entry("B", "A", "B", 1));
    AddFolderEntry(session.state.folders, Entry("A", "B", "A again", 1));
    AddFolderEntry(session.state.folders, Entry("ROOT", "B", "Root itself", 1));
    AddFolderEntry(session.state.folders, Entry("S", "S", "Self", 1));
    BuildFolderPaths(session.state.folders, "ROOT", "");
    std::vector<std::string> paths;
    for (const FolderEntry &entry : session.state.folders)
        paths.push_back(entry.internal_path);
    EXPECT_EQ(paths, (std::vector<std::string>{"A", "A^B", "A^B^A again", "A^B^Root itself", ""}));
}

TEST_F(FolderTableTest, PathsStopAtTheLimit)
{
    // A chain of 300 folders named "level" (6 characters a level with "^").
    std::string parent = "ROOT";
    for (int i = 0; i < 300; ++i) {
        const std::string id = "F" + std::to_string(i);
        AddFolderEntry(session.state.folders, Entry(id, parent, "level", 1));
        parent = id;
    }
    BuildFolderPaths(session.state.folders, "ROOT", "");
    std::size_t longest = 0, with_path = 0;
    for (const FolderEntry &entry : session.state.folders) {
        longest = std::max(longest, entry.internal_path.size());
        with_path += entry.internal_path.empty() ? 0 : 1;
    }
    EXPECT_LE(longest, kFolderPathMax);
    EXPECT_EQ(with_path, (kFolderPathMax + 1) / 6);
    EXPECT_TRUE(log.has("QV Warning: folder path too long"));
}

TEST_F(FolderTableTest, TableHoldsAtMostFifteenThousandEntries)
{
    for (std::size_t i = 0; i < kMaxFolders; ++i)
        ASSERT_TRUE(
            AddFolderEntry(session.state.folders, Entry("F" + std::to_string(i), "ROOT", "f", 0)));
    EXPECT_FALSE(AddFolderEntry(session.state.folders, Entry("extra", "ROOT", "f", 0)));
    EXPECT_EQ(static_cast<int>(session.state.folders.size()), static_cast<int>(kMaxFolders));
}

TEST_F(FolderTableTest, FolderLineKeepsItsSuffixForLongPaths)
{
    FolderEntry entry = Entry("X", "ROOT", "x", 0);
    entry.internal_path = std::string(1023, 'p');
    entry.total_count = 42, entry.folder_type = 2;
    const std::string line = FolderLine(entry);
    EXPECT_EQ(line.size(), kFolderLineMax);
    EXPECT_TRUE(line.ends_with(" {QV:42:FCLASS:2}"));
}

TEST(FolderClasses, TypeOfEachClass)
{
    // The plain classes are in SourceSessionTreeAndWhatTheHostSees.
    EXPECT_EQ(FolderTypeForClass("IPF.Note", 3), 0);
    EXPECT_EQ(FolderTypeForClass("ipf.contact", 0), 1);
    EXPECT_EQ(FolderTypeForClass("IPF.Note.OutlookHomepage", 2), 2);
    EXPECT_EQ(FolderTypeForClass("IPF.StickyNote", 0), 0);
    EXPECT_TRUE(IsSkippedSourceFolder("Sync Issues"));
    EXPECT_FALSE(IsSkippedSourceFolder("sync issues"));
    EXPECT_TRUE(IsSkippedSourceFolder("SmsAndChatsSync"));
}

// The last-page mark, the error answer and the folder count of a page are
// read in every discovery (DiscoveryTest, LogonTest); a page that cannot be
// read is no page.
TEST_F(FolderTableTest, AMissingPageIsNoPage)
{
    FindFolderPage page;
    EXPECT_FALSE(ScanFindFolderPage(dir.file("absent.xml"), page));
}

} // namespace
