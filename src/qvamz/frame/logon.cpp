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
#include "transport/clock.hpp"
#include "transport/curl_options.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"
#include "frame/proxy.hpp"
#include "frame/token.hpp"
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
// From this server version on, RequestServerVersion is sent.
constexpr int kForcedHeaderVersion = 15;
constexpr int kItemKindContactsLast = 98;
constexpr int kItemKindCalendar = 99;
constexpr int kItemKindTasks = 100;

std::string Text(const char *text) { return text ? std::string(text) : std::string(); }

// Values that belong to one logon and must not leak into the next one of
// the same loaded module (the switch string is parsed again at every logon).
void ForgetPreviousSession(Session &session)
{
    session.state.folders.clear();
    session.state.transport.tls_warning_given = false;
    session.state.http_auth = 1; // "/AUTHHTTP" sets it again; a logon leaves it at 0 or 64
    // A target logon puts its own delegate and role into these; the switch
    // string sets the source ones again.
    for (std::string *value : {&session.state.admin_user, &session.state.delegate_user,
                               &session.state.role_id, &session.state.organization_id,
                               &session.state.access_key})
        value->clear();
    WipeSessionSecrets(session);
    session.state.token_expires_in = 0;
    session.state.token_time = 0;
    session.state.token_failures = 0;
    session.state.token_retry_at = 0;
    session.state.api_endpoint.clear();
    session.state.force_version_header = 0;
    session.state.server_major_version = 0;
    session.state.root_folder_id.clear();
    session.state.contacts_folder.clear();
    session.state.calendar_folder.clear();
    session.state.tasks_folder.clear();
}

void TakeTargetSettings(Session &session)
{
    session.state.delegate_user.clear();
    session.state.admin_user.clear();
    session.state.http_auth = -1; // every method curl knows
    if (!session.settings.target_delegate_user.empty()) {
        session.state.delegate_user = session.settings.target_delegate_user;
        session.state.delegate_password = session.settings.target_delegate_password;
    }
    if (session.settings.auth_http_target != -1)
        session.state.http_auth = session.settings.auth_http_target;
    const std::pair<const std::string *, std::string *> target_values[] = {
        {&session.settings.target_role_id, &session.state.role_id},
        {&session.settings.target_org_id, &session.state.organization_id},
        {&session.settings.target_access_key, &session.state.access_key},
    };
    for (const auto &[from, to] : target_values) {
        if (!from->empty())
            *to = *from;
    }
    if (!session.settings.target_access_secret.empty())
        session.state.access_secret = session.settings.target_access_secret;
}

// The four zone values of the host's zone now; "/DSTOFFSET" keeps its
// daylight offset.
void SetupSessionTimeZone(SessionState &state)
{
    const SessionTimeZone tz = DescribeTimeZone(HostTimeZoneId(), clock::Now());
    state.time_zone_bias = tz.bias;
    if (state.dst_offset == -1)
        state.dst_offset = tz.daylight_bias;
    state.utc_offset_text = tz.utc_offset_text;
    state.time_zone_name = tz.windows_name;
}

void SetupDirectories(Session &session)
{
    session.state.work_dir = qvcom::host_directory(QVCOM_DIR_WORK).value_or("");
    session.state.base_dir = qvcom::host_directory(QVCOM_DIR_BASE).value_or("");
    if (session.state.work_dir.empty())
        com_Log("QV Warning: no working directory set, files go to the current directory");
    if (!session.settings.mail_debug && !session.settings.cal_debug && !session.settings.con_debug)
        return;
    std::error_code error;
    std::filesystem::create_directories(
        session.state.base_dir + "debug/" + session.state.debug_folder, error);
    if (error)
        com_Log("QV Warning: cannot create the debug folder %sdebug/%s: %s",
                session.state.base_dir.c_str(), session.state.debug_folder.c_str(),
                error.message().c_str());
}

void SetupTransportHeaders(Session &session)
{
    // In token mode the token step has built the list already.
    if (!session.state.transport.headers.empty())
        return;
    HeaderList headers;
    AppendStandardHeaders(headers, session.settings.send_expect != 0);
    session.state.transport.headers = std::move(headers);
}

std::string GetFolderBody(const std::string &root_folder_name)
{
    return "<FolderShape>\n"
           "<t:BaseShape>Default</t:BaseShape>\n"
           "</FolderShape>\n"
           "<FolderIds>\n"
           "<t:DistinguishedFolderId Id=\"" + root_folder_name +
           "\">#Delegate</t:DistinguishedFolderId>\n"
           "</FolderIds>\n";
}

// Root folder id and server version from the GetFolder answer.
void ReadRootFolderAnswer(SessionState &state, const std::string &path)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    if (!file)
        return;
    std::string line;
    while (ReadAnswerLine(file.get(), line, kAnswerLineMax)) {
        if (state.root_folder_id.empty() && qvcommon::StartsWithNoCase(line, "<t:FolderId ")) {
            const std::size_t id = line.find("Id=\"");
            if (id != std::string::npos) {
                const std::string rest = line.substr(id + 4);
                state.root_folder_id = rest.substr(0, rest.find('"'));
            }
        }
        const std::size_t info = line.find("ServerVersionInfo");
        const std::size_t major =
            info == std::string::npos ? info : line.find("MajorVersion", info);
        const std::size_t quote = major == std::string::npos ? major : line.find('"', major);
        if (quote != std::string::npos)
            state.server_major_version = std::atoi(line.c_str() + quote + 1);
    }
}

int QueryRootFolder(Session &session)
{
    session.state.root_folder_name = "msgfolderroot";
    if (session.state.archive)
        session.state.root_folder_name = "archivemsgfolderroot";
    if (session.settings.public_folders)
        session.state.root_folder_name = "publicfoldersroot";
    const std::string answer = session.state.work_dir + "response.xml";
    const PostResult post = SoapRequest(session, "GetFolder", "",
                                        GetFolderBody(session.state.root_folder_name), answer);
    if (!IsUsableAnswer(post)) {
        if (post.http_status == 0) {
            com_Log("QV Error: invalid server name");
            return kLogonNoServer;
        }
        if (post.http_status == 401) {
            com_Log("QV Error: invalid user name or password");
            return kLogonRefused;
        }
        com_Log("QV Error: HTTP Response=%d", post.http_status);
        return kLogonOtherFailure;
    }
    ReadRootFolderAnswer(session.state, answer);
    std::remove(answer.c_str());
    com_Log("WorkMail EWS server version: %d", session.state.server_major_version);
    if (session.state.server_major_version == 0) {
        com_Log("QV Error: cannot find EWS server");
        return kLogonOtherFailure;
    }
    if (session.state.server_major_version >= kForcedHeaderVersion)
        session.state.force_version_header = 1;
    return kLogonOk;
}

int DiscoverFolderTable(Session &session)
{
    switch (DiscoverFolders(session, session.state.folders)) {
    case DiscoveryResult::Success: return kLogonOk;
    case DiscoveryResult::ErrorAnswer: return kLogonRefused;
    case DiscoveryResult::TransportFailure:
    case DiscoveryResult::FileFailure: break;
    }
    return kLogonOtherFailure;
}

void ChooseJobFolders(SessionState &state, const std::string &folder, int item_kind)
{
    if (!folder.empty()) {
        std::string path = folder;
        com_SlashToDelim(path.data());
        if (item_kind >= 1 && item_kind <= kItemKindContactsLast)
            state.contacts_folder = path;
        else if (item_kind == kItemKindCalendar)
            state.calendar_folder = path;
        else if (item_kind == kItemKindTasks)
            state.tasks_folder = path;
    }
    for (const FolderEntry &entry : state.folders) {
        if (state.contacts_folder.empty() && entry.folder_type == kFolderTypeContacts)
            state.contacts_folder = entry.internal_path;
        if (state.calendar_folder.empty() && entry.folder_type == kFolderTypeCalendar)
            state.calendar_folder = entry.internal_path;
        if (state.tasks_folder.empty() && entry.folder_type == kFolderTypeTasks)
            state.tasks_folder = entry.internal_path;
    }
    com_Log("Contacts folder: %s", state.contacts_folder.c_str());
    com_Log("Calendar folder: %s", state.calendar_folder.c_str());
    com_Log("task folder: %s", state.tasks_folder.c_str());
    ToInternalPath(state.contacts_folder);
    ToInternalPath(state.calendar_folder);
    ToInternalPath(state.tasks_folder);
}

void TakeLogonArguments(SessionState &state, const std::string &user, const char *password,
                        const char *server)
{
    assign_limited(state.mailbox, user, kMailboxMax);
    state.orig_ews_user = state.mailbox;
    state.delegate_mailbox.clear();
    if (!state.delegate_user.empty())
        state.delegate_mailbox = "<t:Mailbox><t:EmailAddress>" + qvcom::xml_escape(state.mailbox) +
                           "</t:EmailAddress></t:Mailbox>";
    state.password = Text(password);
    const std::string server_text = Text(server);
    state.ews_url = qvcommon::StartsWithNoCase(server_text, "http")
                        ? server_text
                        : "https://" + server_text + "/EWS/Exchange.asmx";
    if (state.debug_folder.empty()) {
        std::string local = user.substr(0, user.find('@'));
        com_MakeValidDosName(local.data(), 0);
        state.debug_folder = local.c_str();
    }
}

} // namespace

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

int LogonSession(Session &session, const LogonArguments &args)
{
    const char *user = args.user, *password = args.password, *server = args.server;
    const char *folder = args.folder;
    char *host_text = args.host_text;
    const int upcoming_only = args.upcoming_only, first_logon = args.first_logon;
    const int is_source = args.is_source, item_kind = args.item_kind;
    const qv_status_fn status = args.status;
    const std::string user_text = Text(user);
    if (first_logon == 1) {
        com_Log("Running qvamz.dll, compile time %s", QV_BUILD_TIME);
        com_Log("Logon for Amazon WorkMail, database=%s, user=%s", Text(server).c_str(),
                user_text.c_str());
    }
    session.settings.write_attendees = 0;
    if (first_logon == 0)
        return kLogonRefused;

    ForgetPreviousSession(session);
    ParseSwitches(session);
    ReadProxySetting(session.settings.proxy);
    session.state.is_source = is_source;
    if (!is_source)
        TakeTargetSettings(session);
    if (!session.state.role_id.empty())
        session.state.admin_user = user_text;
    const SessionSettings &settings = session.settings;
    const bool archive = is_source ? settings.archive_source : settings.archive_target;
    session.state.archive = archive ? 1 : 0;
    session.state.upcoming_only =
        item_kind == kItemKindCalendar && is_source && upcoming_only == 1 ? 1 : 0;
    SetupSessionTimeZone(session.state);
    session.state.transport.keepalive.callback = status;
    if (host_text)
        host_text[0] = '\0';
    TakeLogonArguments(session.state, user_text, password, server);
    SetupDirectories(session);

    if (!OpenSessionTransport(session.state.transport)) {
        com_Log("QV Error: Error in curl init");
        return kLogonOtherFailure;
    }
    if (!session.state.role_id.empty())
        InstallImpersonationToken(session);
    SetupTransportHeaders(session);
    SetupSessionHandle(session);

    if (const int result = QueryRootFolder(session); result != kLogonOk)
        return result;
    if (const int result = DiscoverFolderTable(session); result != kLogonOk)
        return result;
    if (session.state.role_id.empty()) {
        // From here on the session cookie authenticates; curl must not add
        // credentials of its own.
        session.state.http_auth = 0;
        session.state.transport.headers.append("Authorization:");
    }
    ChooseJobFolders(session.state, Text(folder), item_kind);
    return kLogonOk;
}

int LogoffSession(Session &session, int shutdown)
{
    session.state.folders.clear();
    if (session.settings.debug)
        com_Log("in EWS logoff, UT_Shutdown=%d", shutdown);
    CloseSessionTransport(session.state.transport);
    WipeSessionSecrets(session);
    return 0;
}

} // namespace qvamz
