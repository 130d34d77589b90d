#include "frame/logon.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "calendar/session_time_zone.hpp"
#include "ews/folder_discovery.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "frame/switches.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/curl_options.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

#ifndef QV_BUILD_TIME
#define QV_BUILD_TIME "unknown"
#endif

namespace qvamz {
namespace {

constexpr std::size_t kAnswerLineMax = 1999;
constexpr int kForcedHeaderVersion = 15; // from this server version on, RequestServerVersion is sent
constexpr int kItemKindContactsLast = 98;
constexpr int kItemKindCalendar = 99;
constexpr int kItemKindTasks = 100;

std::string Text(const char *text) { return text ? std::string(text) : std::string(); }

// Values that belong to one logon and must not leak into the next one of
// the same loaded module (the switch string is parsed again at every logon).
void ForgetPreviousSession()
{
    ClearFolderTable();
    ResetTlsWarning();
    gHttpAuth = 1; // "/AUTHHTTP" sets it again; a logon leaves it at 0 or 64
    // A target logon puts its own delegate and role into these; the switch
    // string sets the source ones again.
    for (std::string *value : {&gAdminUser, &gAdminPassword, &gDelegateUser, &gDelegatePassword,
                               &gRoleId, &gOrganizationId, &gAccessKey, &gAccessSecret})
        value->clear();
    gBearerToken.clear();
    gTokenExpiresIn = 0;
    gTokenTime = 0;
    gApiEndpoint.clear();
    gForceVersionHeader = 0;
    gServerMajorVersion = 0;
    gRootFolderId.clear();
    gContactsFolder.clear();
    gCalendarFolder.clear();
    gTasksFolder.clear();
    gRequestId.clear();
}

void TakeTargetSettings()
{
    gDelegateUser.clear();
    gAdminUser.clear();
    gHttpAuth = -1; // every method curl knows
    if (!gSw.target_delegate_user.empty()) {
        gDelegateUser = gSw.target_delegate_user;
        gDelegatePassword = gSw.target_delegate_password;
    }
    if (gSw.auth_http_target != -1)
        gHttpAuth = gSw.auth_http_target;
    const std::pair<const std::string *, std::string *> target_values[] = {
        {&gSw.target_role_id, &gRoleId},
        {&gSw.target_org_id, &gOrganizationId},
        {&gSw.target_access_key, &gAccessKey},
        {&gSw.target_access_secret, &gAccessSecret},
    };
    for (const auto &[from, to] : target_values) {
        if (!from->empty())
            *to = *from;
    }
}

void SetupDirectories()
{
    gWorkDir = qvcom::host_directory(QVCOM_DIR_WORK).value_or("");
    gBaseDir = qvcom::host_directory(QVCOM_DIR_BASE).value_or("");
    if (gWorkDir.empty())
        com_Log("QV Warning: no working directory set, files go to the current directory");
    if (!gSw.mail_debug && !gSw.cal_debug && !gSw.con_debug)
        return;
    std::error_code error;
    std::filesystem::create_directories(gBaseDir + "debug/" + gDebugFolder, error);
    if (error)
        com_Log("QV Warning: cannot create the debug folder %sdebug/%s: %s", gBaseDir.c_str(),
                gDebugFolder.c_str(), error.message().c_str());
}

void SetupTransportHeaders()
{
    // In token mode the token step has built the list already.
    if (gHeaders)
        return;
    HeaderList headers;
    AppendStandardHeaders(headers);
    SetSessionHeaders(std::move(headers));
}

std::string GetFolderBody(const std::string &root_folder_name)
{
    return "<FolderShape>\n"
           "<t:BaseShape>Default</t:BaseShape>\n"
           "</FolderShape>\n"
           "<FolderIds>\n"
           "<t:DistinguishedFolderId Id=\"" + root_folder_name + "\">#Delegate</t:DistinguishedFolderId>\n"
           "</FolderIds>\n";
}

// Root folder id and server version from the GetFolder answer.
void ReadRootFolderAnswer(const std::string &path)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    if (!file)
        return;
    std::string line;
    while (ReadAnswerLine(file.get(), line, kAnswerLineMax)) {
        if (gRootFolderId.empty() && qvcommon::StartsWithNoCase(line, "<t:FolderId ")) {
            const std::size_t id = line.find("Id=\"");
            if (id != std::string::npos) {
                const std::string rest = line.substr(id + 4);
                gRootFolderId = rest.substr(0, rest.find('"'));
            }
        }
        const std::size_t info = line.find("ServerVersionInfo");
        const std::size_t major = info == std::string::npos ? info : line.find("MajorVersion", info);
        const std::size_t quote = major == std::string::npos ? major : line.find('"', major);
        if (quote != std::string::npos)
            gServerMajorVersion = std::atoi(line.c_str() + quote + 1);
    }
}

int QueryRootFolder()
{
    gRootFolderName = "msgfolderroot";
    if (gArchive)
        gRootFolderName = "archivemsgfolderroot";
    if (gPublicFolders)
        gRootFolderName = "publicfoldersroot";
    const std::string answer = gWorkDir + "response.xml";
    if (!SoapRequest("GetFolder", "", GetFolderBody(gRootFolderName), answer)) {
        if (gHTTPResponse == 0) {
            com_Log("QV Error: invalid server name");
            return kLogonNoServer;
        }
        if (gHTTPResponse == 401) {
            com_Log("QV Error: invalid user name or password");
            return kLogonRefused;
        }
        com_Log("QV Error: HTTP Response=%d", gHTTPResponse);
        return kLogonOtherFailure;
    }
    ReadRootFolderAnswer(answer);
    std::remove(answer.c_str());
    com_Log("WorkMail EWS server version: %d", gServerMajorVersion);
    if (gServerMajorVersion == 0) {
        com_Log("QV Error: cannot find EWS server");
        return kLogonOtherFailure;
    }
    if (gServerMajorVersion >= kForcedHeaderVersion)
        gForceVersionHeader = 1;
    return kLogonOk;
}

int DiscoverFolderTable()
{
    switch (DiscoverFolders()) {
    case DiscoveryResult::Success: return kLogonOk;
    case DiscoveryResult::ErrorAnswer: return kLogonRefused;
    case DiscoveryResult::TransportFailure:
    case DiscoveryResult::FileFailure: break;
    }
    return kLogonOtherFailure;
}

void ChooseJobFolders(const std::string &folder, int item_kind)
{
    if (!folder.empty()) {
        std::string path = folder;
        com_SlashToDelim(path.data());
        if (item_kind >= 1 && item_kind <= kItemKindContactsLast)
            gContactsFolder = path;
        else if (item_kind == kItemKindCalendar)
            gCalendarFolder = path;
        else if (item_kind == kItemKindTasks)
            gTasksFolder = path;
    }
    for (const FolderEntry &entry : gFolders) {
        if (gContactsFolder.empty() && entry.folder_type == kFolderTypeContacts)
            gContactsFolder = entry.internal_path;
        if (gCalendarFolder.empty() && entry.folder_type == kFolderTypeCalendar)
            gCalendarFolder = entry.internal_path;
        if (gTasksFolder.empty() && entry.folder_type == kFolderTypeTasks)
            gTasksFolder = entry.internal_path;
    }
    com_Log("Contacts folder: %s", gContactsFolder.c_str());
    com_Log("Calendar folder: %s", gCalendarFolder.c_str());
    com_Log("task folder: %s", gTasksFolder.c_str());
    ToInternalPath(gContactsFolder);
    ToInternalPath(gCalendarFolder);
    ToInternalPath(gTasksFolder);
}

void TakeLogonArguments(const std::string &user, const char *password, const char *server)
{
    assign_limited(gMailbox, user, kMailboxMax);
    gOrigEWSUser = gMailbox;
    gDelegateMailbox.clear();
    if (!gDelegateUser.empty())
        gDelegateMailbox = "<t:Mailbox><t:EmailAddress>" + qvcom::xml_escape(gMailbox) +
                           "</t:EmailAddress></t:Mailbox>";
    gPassword = Text(password);
    const std::string server_text = Text(server);
    gEwsUrl = qvcommon::StartsWithNoCase(server_text, "http") ? server_text
                                                    : "https://" + server_text + "/EWS/Exchange.asmx";
    if (gDebugFolder.empty()) {
        std::string local = user.substr(0, user.find('@'));
        com_MakeValidDosName(local.data(), 0);
        gDebugFolder = local.c_str();
    }
}

} // namespace

void ApplyProxySpec(const std::string &spec)
{
    const std::string text = !spec.empty() && spec.find('=') == std::string::npos
                                 ? "host=" + spec
                                 : spec;
    const std::pair<std::string_view, std::string *> fields[] = {
        {"host=", &gProxyHost},     {"port=", &gProxyPort}, {"protocol=", &gProxyProtocol},
        {"user=", &gProxyUser},     {"password=", &gProxyPassword},
    };
    for (const auto &[key, value] : fields) {
        const std::size_t at = text.find(key);
        if (at == std::string::npos)
            continue;
        const std::size_t start = at + key.size();
        *value = text.substr(start, text.find(';', start) - start);
    }
    for (char &c : gProxyProtocol)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void ToInternalPath(std::string &path)
{
    std::string converted;
    converted.reserve(path.size());
    for (std::size_t i = 0; i < path.size() && converted.size() < kPathMax; ++i) {
        if (path[i] != '/') {
            converted += path[i];
        } else if (i + 1 < path.size() && path[i + 1] == '/') {
            converted += '/';
            ++i;
        } else {
            converted += '^';
        }
    }
    path = std::move(converted);
}

int LogonSession(char *user, char *password, char *server, char *folder, void *, void *,
                 void *, void *, void *, void *, char *host_text, int upcoming_only,
                 int first_logon, int is_source, int item_kind, void *, qv_status_fn status)
{
    const std::string user_text = Text(user);
    if (first_logon == 1) {
        com_Log("Running qvamz.dll, compile time %s", QV_BUILD_TIME);
        com_Log("Logon for Amazon WorkMail, database=%s, user=%s", Text(server).c_str(),
                user_text.c_str());
    }
    gSw.write_attendees = 0;
    if (first_logon == 0)
        return kLogonRefused;

    ForgetPreviousSession();
    ParseSwitches();
    ApplyProxySpec(gProxySpec);
    gIsSource = is_source;
    if (!is_source)
        TakeTargetSettings();
    if (!gRoleId.empty())
        gAdminUser = user_text;
    gArchive = (gSw.archive_source && is_source) || (gSw.archive_target && !is_source) ? 1 : 0;
    gUpcomingOnly = item_kind == kItemKindCalendar && is_source && upcoming_only == 1 ? 1 : 0;
    SetupSessionTimeZone();
    gStatusCallback = status;
    if (host_text)
        host_text[0] = '\0';
    TakeLogonArguments(user_text, password, server);
    SetupDirectories();

    if (!OpenSessionTransport()) {
        com_Log("QV Error: Error in curl init");
        return kLogonOtherFailure;
    }
    if (!gRoleId.empty())
        GetImpersonationToken();
    SetupTransportHeaders();
    SetupSessionHandle();

    if (const int result = QueryRootFolder(); result != kLogonOk)
        return result;
    if (const int result = DiscoverFolderTable(); result != kLogonOk)
        return result;
    if (gRoleId.empty()) {
        // From here on the session cookie authenticates; curl must not add
        // credentials of its own.
        gHttpAuth = 0;
        AppendSessionHeader("Authorization:");
    }
    ChooseJobFolders(Text(folder), item_kind);
    return kLogonOk;
}

int LogoffSession(int shutdown)
{
    ClearFolderTable();
    if (gSw.debug)
        com_Log("in EWS logoff, UT_Shutdown=%d", shutdown);
    CloseSessionTransport();
    return 0;
}

} // namespace qvamz
