// Target folders (see target_folders.hpp).
#include "mailwrite/target_folders.hpp"
#include "common/unique_file.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "transport/soap_request.hpp"
#include "common/text_case.hpp"
#include "common/xml_escape.hpp"

namespace qvamz {

namespace {

constexpr std::string_view kCreateFolderBody = "<ParentFolderId>\n"
                                               "<t:%s\n"
                                               "</ParentFolderId>\n"
                                               "<Folders>\n"
                                               "<t:Folder>\n"
                                               "<t:FolderClass>%s</t:FolderClass>\n"
                                               "<t:DisplayName>%s</t:DisplayName>\n"
                                               "</t:Folder>\n"
                                               "</Folders>\n";


std::string Fill(std::string_view format, std::initializer_list<std::string_view> values)
{
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' &&
            value != values.end()) {
            out += *value++;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

int FolderTypeOfClass(std::string_view folder_class)
{
    if (folder_class == kContactFolderClass)
        return kFolderTypeContacts;
    if (folder_class == kCalendarFolderClass)
        return kFolderTypeCalendar;
    if (folder_class == kTaskFolderClass)
        return kFolderTypeTasks;
    return kFolderTypeMail;
}

constexpr std::string_view kFindChildFolderBody = "<FolderShape>\n"
                                                  "<t:BaseShape>IdOnly</t:BaseShape>\n"
                                                  "<t:AdditionalProperties>\n"
                                                  "<t:FieldURI FieldURI=\"folder:DisplayName\"/>\n"
                                                  "</t:AdditionalProperties>\n"
                                                  "</FolderShape>\n"
                                                  "<Restriction>\n"
                                                  "<t:IsEqualTo>\n"
                                                  "<t:FieldURI FieldURI=\"folder:DisplayName\"/>\n"
                                                  "<t:FieldURIOrConstant>\n"
                                                  "<t:Constant Value=\"%s\"/>\n"
                                                  "</t:FieldURIOrConstant>\n"
                                                  "</t:IsEqualTo>\n"
                                                  "</Restriction>\n"
                                                  "<ParentFolderIds>\n"
                                                  "<t:%s\n"
                                                  "</ParentFolderIds>\n";

constexpr std::string_view kFolderExistsCode = "ErrorFolderExists";

void RemoveQuietly(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// The parent of a new folder: the target folder, or the root folder when
// there is none yet.
std::string ParentElement(const Session &session)
{
    if (session.state.target_folder_id.empty()) {
        std::string root = session.state.root_folder_name.empty() ? "msgfolderroot"
                                                                  : session.state.root_folder_name;
        return "DistinguishedFolderId Id=\"" + root + "\">" + std::string(kDelegateMarker) +
               "</t:DistinguishedFolderId>";
    }
    return "FolderId Id=\"" + qvcommon::XmlEscaped(session.state.target_folder_id) +
           "\"></t:FolderId>";
}

// The id of the child folder `name` (compared without letter case) in a
// FindFolder answer, "" when it lists none.
std::string ChildFolderIdIn(const std::string &answer_path, std::string_view escaped_name)
{
    qvcommon::UniqueFile in(std::fopen(answer_path.c_str(), "rb"));
    if (!in)
        return {};
    std::string line, id;
    bool name_follows = false;
    while (mime::ReadTextLine(in.get(), line)) {
        if (name_follows) {
            if (qvcommon::EqualsNoCase(line, escaped_name))
                return id;
            name_follows = false;
        }
        std::size_t start = line.find("Id=\"");
        if (qvcommon::StartsWithNoCase(line, "<t:FolderId ") && start != std::string::npos) {
            start += 4;
            id = line.substr(start, line.find('"', start) - start);
        }
        name_follows = qvcommon::StartsWithNoCase(line, "<t:DisplayName>") && !id.empty();
    }
    return {};
}

// The folder that a CreateFolder answered ErrorFolderExists for: made since
// logon, or named differently in letter case only.  "" when not found.
std::string FindExistingChild(Session &session, const std::string &parent_element,
                              const std::string &name)
{
    const std::string escaped = qvcommon::XmlEscaped(name);
    const std::string body = Fill(kFindChildFolderBody, {escaped, parent_element});
    const std::string answer_path = session.state.work_dir + "findchild.xml";
    std::string id;
    if (IsUsableAnswer(SoapRequest(session, "FindFolder", "Traversal=\"Shallow\"", body,
                                   answer_path)))
        id = ChildFolderIdIn(answer_path, escaped);
    RemoveQuietly(answer_path);
    return id;
}

// The Id of the first "<t:FolderId " line of a CreateFolder answer.
std::string NewFolderIdIn(const std::string &answer_path, bool debug)
{
    qvcommon::UniqueFile in(std::fopen(answer_path.c_str(), "rb"));
    if (!in)
        return {};
    if (debug)
        com_Log("debug: starting folderid loop");
    std::string line;
    while (mime::ReadTextLine(in.get(), line)) {
        line.resize(std::min(line.size(), kCreateFolderAnswerLineMax));
        if (debug)
            com_Log("debug: fline=%s", line.c_str());
        std::size_t start = line.find("Id=\"");
        if (qvcommon::StartsWithNoCase(line, "<t:FolderId ") && start != std::string::npos) {
            start += 4;
            return line.substr(start, line.find('"', start) - start);
        }
    }
    return {};
}

} // namespace

int FindFolderInTable(Session &session, std::string_view path)
{
    for (const FolderEntry &entry : session.state.folders)
        if (qvcommon::EqualsNoCase(entry.internal_path, path)) {
            session.state.target_folder_id = entry.folder_id;
            return 1;
        }
    return 0;
}

int CreateFolder(Session &session, std::string &parent_path, std::string_view remaining_path,
                 std::string_view folder_class)
{
    if (session.settings.debug)
        com_Log("debug: CreateFolder, Fullpath=%s, name=%s, class=%s", parent_path.c_str(),
                std::string(remaining_path).c_str(), std::string(folder_class).c_str());
    std::string name(remaining_path.substr(0, remaining_path.find('^')));
    std::string new_path = parent_path.empty() ? name : parent_path + "^" + name;

    const std::string parent_element = ParentElement(session);
    std::string body =
        Fill(kCreateFolderBody, {parent_element, folder_class, qvcommon::XmlEscaped(name)});
    std::string answer_path = session.state.work_dir + "create.xml";
    if (!IsUsableAnswer(SoapRequest(session, "CreateFolder", "", body, answer_path))) {
        com_Log("QV Warning: unable to create folder");
        RemoveQuietly(answer_path);
        return 0;
    }
    std::string id = NewFolderIdIn(answer_path, session.settings.debug != 0);
    if (id.empty()) {
        // An error answer inside HTTP 200: the parent's id must not stand
        // for the new folder.  A folder of that name is there already
        // when the server says so: it is the one to use.
        if (session.settings.debug)
            com_Log("debug: unable to locate FolderId");
        auto messages = ReadResponseMessages(answer_path, "CreateFolderResponseMessage");
        std::string reason = messages.empty() || messages[0].response_code.empty()
                                 ? "no folder id in the answer"
                                 : messages[0].response_code;
        if (reason == kFolderExistsCode)
            id = FindExistingChild(session, parent_element, name);
        if (id.empty())
            com_Log("QV Warning: unable to create folder \"%s\" (%s)", new_path.c_str(),
                    reason.c_str());
        else
            com_Log("QV Info: folder \"%s\" exists already, it is used", new_path.c_str());
    }
    RemoveQuietly(answer_path);
    if (id.empty())
        return 0;
    session.state.target_folder_id = id;
    parent_path = new_path;
    FolderEntry entry;
    entry.display_name = name;
    entry.internal_path = new_path;
    entry.display_path = new_path;
    std::replace(entry.display_path.begin(), entry.display_path.end(), '^', '/');
    entry.folder_type = FolderTypeOfClass(folder_class);
    entry.folder_id = id;
    AddFolderEntry(session.state.folders,
                   std::move(entry)); // a full table: the folder is used, not remembered
    return 1;
}

void SearchCreateFolder(Session &session, const qv_message *msg, std::string path,
                        int levels_to_suppress, std::string_view folder_class)
{
    if (session.settings.debug)
        com_Log("debug: SearchCreateFolder for folder %s, class=%s, suppress=%d", path.c_str(),
                std::string(folder_class).c_str(), levels_to_suppress);
    session.state.target_folder_id.clear();
    if (levels_to_suppress > 0 && !path.empty()) {
        std::size_t at = std::string::npos;
        for (int n = 0; n < levels_to_suppress; ++n) {
            at = path.find('^', at == std::string::npos ? 0 : at + 1);
            if (at == std::string::npos)
                break;
        }
        if (at != std::string::npos) {
            path = path.substr(at + 1);
            if (session.settings.debug)
                com_Log("Suppressing %d levels of folder hierarchy: %s", levels_to_suppress,
                        path.c_str());
        }
    }
    if (msg) {
        std::string_view group = mime::Field(msg->group_folder);
        if (!group.empty() && !qvcommon::EqualsNoCase(group, "root"))
            path = std::string(group) + "^" + path;
    }
    if (FindFolderInTable(session, path)) {
        if (session.settings.debug)
            com_Log("debug: existing folder found");
        return;
    }
    if (path.empty())
        return;

    // The deepest level of the path that exists; the target folder id is
    // then that folder's (or empty: the root).
    std::string ancestor = "^" + path;
    std::string base;
    int missing = 0;
    for (;;) {
        ancestor.resize(ancestor.rfind('^'));
        ++missing;
        if (ancestor.empty())
            break;
        if (FindFolderInTable(session, std::string_view(ancestor).substr(1))) {
            base = ancestor.substr(1);
            break;
        }
    }
    // Levels top-down.  A level that cannot be created ends the search
    // without a target: its mail must not land in the parent, nor its
    // sub-folders under a wrong path.
    std::string full = "^" + path;
    for (int k = missing; k >= 1; --k) {
        std::size_t at = full.size();
        for (int n = 0; n < k; ++n)
            at = full.rfind('^', at - 1);
        if (!CreateFolder(session, base, std::string_view(full).substr(at + 1), folder_class)) {
            session.state.target_folder_id.clear();
            return;
        }
    }
    if (session.settings.debug)
        com_Log("debug: Created new folder: %s", base.c_str());
}

int InitWriteImpl(Session &session, qv_message *msg, const char *folder_name, int folder_kind)
{
    std::string name = folder_name ? folder_name : "";
    if (session.settings.debug)
        com_Log("debug: at InitWrite, FolderName=%s, GroupFolder=%s, Folder Type=%d",
                name.c_str(), msg ? std::string(mime::Field(msg->group_folder)).c_str() : "",
                folder_kind);
    SendPendingBundle(session); // built for the previous target folder
    std::string shown = name;
    session.state.target_folder_id.clear();
    switch (folder_kind) {
    case 0:
        SearchCreateFolder(session, msg, name, session.settings.path_level, kMailFolderClass);
        session.state.sticky_note_mode = name == session.settings.notes_folder;
        break;
    case 1:
        shown = session.settings.keep_host_folder_names ? name : session.state.contacts_folder;
        SearchCreateFolder(session, nullptr, shown, 0, kContactFolderClass);
        break;
    case 2:
        shown = session.settings.keep_host_folder_names ? name : session.state.calendar_folder;
        SearchCreateFolder(session, nullptr, shown, 0, kCalendarFolderClass);
        break;
    case 3:
        SearchCreateFolder(session, nullptr, session.state.tasks_folder, 0, kTaskFolderClass);
        break;
    default:
        break;
    }
    if (session.state.target_folder_id.empty()) {
        com_Log("QV Warning: cannot create folder \"%s\"", shown.c_str());
        return 1;
    }
    return 0;
}

int CloseWriteImpl(Session &session, int keep)
{
    if (keep == 0)
        SendPendingBundle(session);
    return 0;
}

} // namespace qvamz
