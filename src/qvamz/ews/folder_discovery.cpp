#include "ews/folder_discovery.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {

constexpr std::size_t kParseLineMax = 1999;

constexpr std::string_view kSkippedSourceFolders[] = {
    "Sync Issues",     "Quick Step Settings", "RSS Subscriptions", "Conversation Action Settings",
    "News Feed",       "RSS Feeds",           "Suggested Contacts", "Working Set",
    "Conflicts",       "Local Failures",      "Server Failures",   "SmsAndChatsSync",
};

// Start tags of the folder elements FindFolder lists, with the type a
// folder of that element has before its FolderClass is read.
struct FolderElement {
    std::string_view start;
    int type;
};
constexpr FolderElement kFolderElements[] = {
    {"<t:Folder>", kFolderTypeMail},
    {"<t:SearchFolder>", kFolderTypeMail},
    {"<t:ContactsFolder>", kFolderTypeContacts},
    {"<t:CalendarFolder>", kFolderTypeCalendar},
    {"<t:TasksFolder>", kFolderTypeTasks},
};

const FolderElement *FolderElementStart(std::string_view line)
{
    for (const FolderElement &element : kFolderElements) {
        if (qvcommon::StartsWithNoCase(line, element.start))
            return &element;
    }
    return nullptr;
}

std::string IdAttribute(std::string_view line)
{
    const std::size_t at = line.find("Id=\"");
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = line.substr(at + 4);
    rest = rest.substr(0, rest.find('"'));
    std::string id;
    assign_limited(id, rest, kFolderIdMax);
    return id;
}

bool AppendFile(const std::string &from_path, const std::string &to_path)
{
    qvcommon::UniqueFile from = qvcommon::OpenFile(from_path, "rb");
    qvcommon::UniqueFile to = qvcommon::OpenFile(to_path, "ab");
    if (!from || !to)
        return false;
    char chunk[8192];
    std::size_t got;
    bool ok = true;
    while (ok && (got = std::fread(chunk, 1, sizeof chunk, from.get())) > 0)
        ok = std::fwrite(chunk, 1, got, to.get()) == got;
    return ok;
}

// The folder values gathered while reading one folder element.
struct PendingFolder {
    FolderEntry entry;
    void Start(int type)
    {
        entry.folder_type = type;
        entry.total_count = 0;
        entry.display_name.clear();
        entry.parent_id.clear();
    }
};

using ChildIndex = std::unordered_map<std::string, std::vector<std::size_t>>;

void WalkFolders(FolderTable &folders, const std::string &parent_id, const std::string &path,
                 const ChildIndex &children, std::vector<bool> &visited)
{
    const auto found = children.find(parent_id);
    if (found == children.end())
        return;
    for (const std::size_t index : found->second) {
        if (visited[index])
            continue;
        visited[index] = true;
        FolderEntry &entry = folders[index];
        const std::string entry_path = path + "^" + entry.display_name;
        if (entry_path.size() - 1 > kFolderPathMax) {
            com_Log("QV Warning: folder path too long, folder not listed: %s",
                    entry.display_name.c_str());
            continue;
        }
        if (entry.child_count != 0)
            WalkFolders(folders, entry.folder_id, entry_path, children, visited);
        entry.internal_path = entry_path.substr(1);
        entry.display_path = entry.internal_path;
        com_DelimToSlash(entry.display_path.data());
    }
}

} // namespace

std::string FindFolderBody(int offset, std::string_view root_folder_name)
{
    std::string body = "<FolderShape>\n"
                       "<t:BaseShape>AllProperties</t:BaseShape>\n"
                       "</FolderShape>\n";
    body += "<IndexedPageFolderView MaxEntriesReturned=\"" + std::to_string(kFindFolderPage) +
            "\" Offset=\"" + std::to_string(offset) + "\" BasePoint=\"Beginning\"/>\n";
    body += "<ParentFolderIds>\n"
            "<t:DistinguishedFolderId Id=\"" + std::string(root_folder_name) +
            "\">#Delegate</t:DistinguishedFolderId>\n"
            "</ParentFolderIds>\n";
    return body;
}

bool ScanFindFolderPage(const std::string &path, FindFolderPage &page)
{
    page = FindFolderPage{};
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    if (!file)
        return false;
    std::string line;
    while (ReadAnswerLine(file.get(), line, kParseLineMax)) {
        if (line.find("RootFolder") != std::string::npos &&
            com_stristr(line.c_str(), "IncludesLastItemInRange=\"true\"", 0))
            page.last_page = true;
        if (line.find("FindFolderResponseMessage ResponseClass=\"Error\"") != std::string::npos)
            page.error = true;
        if (FolderElementStart(line))
            ++page.folder_count;
    }
    return true;
}

DiscoveryResult DiscoverFolders(Session &session, FolderTable &folders)
{
    const std::string page_path = session.state.work_dir + "folders.xml";
    const std::string all_path = session.state.work_dir + "fullfolders.xml";
    std::remove(all_path.c_str());
    const char *attributes =
        session.settings.public_folders ? "Traversal=\"Shallow\"" : "Traversal=\"Deep\"";

    for (int offset = 0;; offset += kFindFolderPage) {
        const PostResult post =
            SoapRequest(session, "FindFolder", attributes,
                        FindFolderBody(offset, session.state.root_folder_name), page_path);
        const bool usable = IsUsableAnswer(post);
        if (session.settings.curl_debug)
            com_Log("curl debug: return from SoapRequest: %d, http response=%d", usable ? 1 : 0,
                    post.http_status);
        if (!usable) {
            com_Log("QV Error: FindFolder, HTTP Response=%d", post.http_status);
            return DiscoveryResult::TransportFailure;
        }
        FindFolderPage page;
        if (!ScanFindFolderPage(page_path, page)) {
            com_Log("QV Error: unable to open %s", page_path.c_str());
            return DiscoveryResult::FileFailure;
        }
        if (page.error) {
            com_Log("QV Error: FindFolder failed");
            return DiscoveryResult::ErrorAnswer;
        }
        if (!AppendFile(page_path, all_path)) {
            com_Log("QV Error: unable to open %s", all_path.c_str());
            return DiscoveryResult::FileFailure;
        }
        // An empty page ends the listing too: a server that never says
        // "last" must not be asked forever.
        if (page.last_page || page.folder_count == 0 ||
            offset + kFindFolderPage >= kFindFolderOffsetMax)
            break;
    }
    ParseFolders(all_path, session.state.is_source != 0, session.state.root_folder_id, folders);
    std::remove(page_path.c_str());
    std::remove(all_path.c_str());
    return DiscoveryResult::Success;
}

bool IsSkippedSourceFolder(std::string_view display_name)
{
    return std::find(std::begin(kSkippedSourceFolders), std::end(kSkippedSourceFolders),
                     display_name) != std::end(kSkippedSourceFolders);
}

int FolderTypeForClass(std::string_view folder_class, int current)
{
    struct ClassType {
        std::string_view name;
        int type;
    };
    static constexpr ClassType kClasses[] = {
        {"IPF.Note", kFolderTypeMail},
        {"IPF.Contact", kFolderTypeContacts},
        {"IPF.Appointment", kFolderTypeCalendar},
        {"IPF.Task", kFolderTypeTasks},
    };
    for (const ClassType &known : kClasses) {
        if (qvcommon::EqualsNoCase(folder_class, known.name))
            return known.type;
    }
    return current;
}

int ParseFolders(const std::string &path, bool is_source, const std::string &root_folder_id,
                 FolderTable &folders)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    if (!file) {
        com_Log("QV Warning: ParseFolders unable to open %s", path.c_str());
        return 1;
    }
    PendingFolder folder;
    std::string line, value;
    auto next_value = [&]() {
        ReadAnswerLine(file.get(), value, kParseLineMax);
        return value;
    };
    while (ReadAnswerLine(file.get(), line, kParseLineMax)) {
        if (const FolderElement *element = FolderElementStart(line)) {
            folder.Start(element->type);
        } else if (qvcommon::StartsWithNoCase(line, "<t:FolderId ")) {
            folder.entry.folder_id = IdAttribute(line);
        } else if (qvcommon::StartsWithNoCase(line, "<t:ParentFolderId ")) {
            folder.entry.parent_id = IdAttribute(line);
        } else if (qvcommon::StartsWithNoCase(line, "<t:FolderClass>")) {
            folder.entry.folder_type = FolderTypeForClass(next_value(), folder.entry.folder_type);
        } else if (qvcommon::StartsWithNoCase(line, "<t:DisplayName>")) {
            std::string name = next_value();
            com_Unescape(name.data());
            name.resize(std::strlen(name.c_str()));
            assign_limited(folder.entry.display_name, name, kFolderNameMax);
        } else if (qvcommon::StartsWithNoCase(line, "<t:TotalCount>")) {
            folder.entry.total_count = std::atoi(next_value().c_str());
        } else if (qvcommon::StartsWithNoCase(line, "<t:ChildFolderCount>")) {
            folder.entry.child_count = std::atoi(next_value().c_str());
            if (is_source && IsSkippedSourceFolder(folder.entry.display_name))
                continue;
            FolderEntry entry = folder.entry;
            entry.internal_path.clear();
            entry.display_path.clear();
            if (!AddFolderEntry(folders, std::move(entry)))
                break;
        }
    }
    file.reset();
    BuildFolderPaths(folders, root_folder_id, "");
    for (const FolderEntry &entry : folders)
        com_Log("WorkMail folder: %s, type=%d, count=%d", entry.display_path.c_str(),
                entry.folder_type, entry.total_count);
    return 0;
}

void BuildFolderPaths(FolderTable &folders, const std::string &parent_id, const std::string &path)
{
    ChildIndex children;
    for (std::size_t i = 0; i < folders.size(); ++i)
        children[folders[i].parent_id].push_back(i);
    std::vector<bool> visited(folders.size(), false);
    WalkFolders(folders, parent_id, path, children, visited);
}

} // namespace qvamz
