// Folder lines from GetFolderNames and the selection by display path.
#include <gtest/gtest.h>

#include "folder_list.hpp"

namespace qvmigrate {
namespace {

TEST(FolderList, ParsesTheConnectorsLines) {
    const auto entry = parse_folder_line("Inbox^Projects^2026 {QV:17:FCLASS:0}", 4);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->index, 4);
    EXPECT_EQ(entry->internal_path, "Inbox^Projects^2026");
    EXPECT_EQ(entry->display_path, "Inbox/Projects/2026");
    EXPECT_EQ(entry->count, 17);
    EXPECT_EQ(entry->folder_type, 0);
    // A folder name may itself hold braces; the last marker counts.
    const auto odd = parse_folder_line("Notes {QV:1:FCLASS:0} {QV:3:FCLASS:1}", 0);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->internal_path, "Notes {QV:1:FCLASS:0}");
    EXPECT_EQ(odd->folder_type, 1);
    for (const char *bad : {"Inbox", "Inbox {QV:x:FCLASS:0}", "Inbox {QV:1:FCLASS:}", "Inbox {QV:1:0}"})
        EXPECT_FALSE(parse_folder_line(bad, 0)) << bad;
}

std::vector<FolderEntry> sample() {
    std::vector<FolderEntry> folders;
    int index = 0;
    for (const auto &[path, type] : std::vector<std::pair<std::string, int>>{
             {"Archive^2021", 0}, {"Contacts", 1}, {"Inbox", 0}, {"Inbox^Projects", 0},
             {"Inbox^Projects^2026", 0}, {"Inbox^ProjectsOld", 0}, {"Inbox Extra", 0}})
        folders.push_back(*parse_folder_line(path + " {QV:1:FCLASS:" + std::to_string(type) + "}", index++));
    return folders;
}

std::vector<std::string> paths(const std::vector<FolderEntry> &folders) {
    std::vector<std::string> out;
    for (const auto &f : folders)
        out.push_back(f.display_path);
    return out;
}

TEST(FolderList, SelectsAFolderAndWhatLiesBelowIt) {
    std::vector<std::string> unmatched;
    EXPECT_EQ(paths(select_folders(sample(), {"inbox/projects/"}, kAllKinds, unmatched)),
              (std::vector<std::string>{"Inbox/Projects", "Inbox/Projects/2026"}));
    EXPECT_EQ(paths(select_folders(sample(), {"Inbox"}, kAllKinds, unmatched)),
              (std::vector<std::string>{"Inbox", "Inbox/Projects", "Inbox/Projects/2026",
                                        "Inbox/ProjectsOld"}));
    EXPECT_TRUE(unmatched.empty());
    EXPECT_EQ(select_folders(sample(), {}, kAllKinds, unmatched).size(), 7u);
    EXPECT_EQ(paths(select_folders(sample(), {}, 1, unmatched)), (std::vector<std::string>{"Contacts"}));
    select_folders(sample(), {"Inbox/Nope", "Archive"}, kAllKinds, unmatched);
    EXPECT_EQ(unmatched, (std::vector<std::string>{"Inbox/Nope"}));
}

TEST(FolderList, KindNames) {
    EXPECT_EQ(kind_filter_from_name("all"), kAllKinds);
    EXPECT_EQ(kind_filter_from_name("calendar"), 2);
    EXPECT_FALSE(kind_filter_from_name("notes"));
}

} // namespace
} // namespace qvmigrate
