// The session state: module-wide values that live from one Logon to the
// next.  One loaded module serves one session at a time; every subsystem
// reads these values by the names below.  Logon and Logoff fill and release
// them, ParseSwitches sets the switch settings.
//
// Texts are std::string; where the connector has a length limit the value
// is cut with assign_limited() when it is set.
//
// Editing rule for this file: add values with small, local edits at the
// end of the section they belong to; never reorder or rewrite the file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qv/qvamz.h"

typedef void CURL;
struct curl_slist;

namespace qvamz {

// Length limits of session texts.
inline constexpr std::size_t kMailboxMax = 250;
inline constexpr std::size_t kBearerTokenMax = 2000;
inline constexpr std::size_t kTimeZoneNameMax = 255;
inline constexpr std::size_t kUtcOffsetTextMax = 31;
inline constexpr std::size_t kPathMax = 1023;
inline constexpr std::size_t kDescrambledMax = 1023;

// Copies at most `max` bytes of `text` into `out` (never splits a UTF-8
// sequence).
void assign_limited(std::string &out, std::string_view text, std::size_t max);

// ---- credentials and authentication ------------------------------------
extern std::string gMailbox;      // mailbox being migrated (<= 250)
extern std::string gOrigEWSUser;  // second copy, for organizer checks
extern std::string gPassword;
extern std::string gEwsUrl;
extern std::string gAdminUser;    // impersonating account (token mode)
extern std::string gAdminPassword;
extern std::string gDelegateUser; // delegate administrator
extern std::string gDelegatePassword;
extern std::string gDelegateMailbox; // replaces the "#Delegate" marker
extern std::string gRoleId;          // non-empty: token mode
extern std::string gOrganizationId;
extern std::string gAccessKey;
extern std::string gAccessSecret;
extern std::string gBearerToken;     // <= 2000
extern int gTokenExpiresIn;          // seconds
extern std::int64_t gTokenTime;      // seconds since 1970
extern std::string gApiEndpoint;     // WorkMail API endpoint, "https://..."
extern int gHttpAuth;                // curl authentication mask

// ---- session kind and server -------------------------------------------
extern int gIsSource;
extern int gArchive;
extern int gPublicFolders;
extern int gForceVersionHeader;
extern int gUpcomingOnly;
extern int gServerMajorVersion;
extern std::string gRootFolderName; // msgfolderroot / archivemsgfolderroot / publicfoldersroot
extern std::string gRootFolderId;

// ---- directories and folders -------------------------------------------
extern std::string gWorkDir;     // ends with a separator
extern std::string gBaseDir;     // base of the debug folders
extern std::string gDebugFolder; // debug sub-folder name
extern std::string gContactsFolder;
extern std::string gCalendarFolder;
extern std::string gTasksFolder;
extern std::string gNotesFolder; // default "Notes"
extern std::string gGroupName;   // default "root"

// ---- session time zone ---------------------------------------------------
extern int gTimeZoneBias;          // minutes, UTC = local + bias
extern int gDstOffset;             // "/DSTOFFSET"; -1 = take from the system
extern std::string gUtcOffsetText; // "+0100", "-0500"
extern std::string gTimeZoneName;  // Windows standard name, UTF-8 (<= 255)

// ---- host and transport ----------------------------------------------------
extern qv_status_fn gStatusCallback;
extern CURL *gCurl;
extern curl_slist *gHeaders;
extern int gHTTPResponse;
extern std::string gRequestId;
extern int gMaxMessages; // per-folder item limit, 0 = none

// ---- proxy -------------------------------------------------------------
extern std::string gProxySpec;     // "/PROXY" value after descrambling
extern std::string gProxyHost;
extern std::string gProxyPort;     // default "8080"
extern std::string gProxyProtocol; // upper case
extern std::string gProxyUser;
extern std::string gProxyPassword;

// ---- switch settings ---------------------------------------------------
// Flags are 0/1; defaults hold until a switch changes them.
struct SwitchSettings {
    int debug = 0;       // /DEBUG
    int mail_debug = 0;  // /MAILDEBUG
    int cal_debug = 0;   // /CALDEBUG
    int con_debug = 0;   // /CONDEBUG
    int curl_debug = 0;  // /CURLDEBUG
    int xcurl_debug = 0; // /XCURLDEBUG
    int log_uuid = 0;    // /LOGUUID
    int archive_source = 0; // /EWSARCHS
    int archive_target = 0; // /EWSARCHT
    int send_expect = 1;    // cleared by /D198
    int keep_host_folder_names = 0; // /D219
    int raw_passthrough = 0;  // /D81
    int own_headers = 0;      // /D68
    int keep_headers = 0;     // /EIH
    int html_charset_rule = 1; // cleared by /D253
    int log_subjects = 0;     // /LSUB
    int meeting_responses = 0; // /D207
    int meetings_as_ical = 0;  // /D298
    int write_attendees = 0;   // /D211, cleared at every logon
    int drop_calendar_parts = 0; // /D142
    int update_dl_edit_flag = 0; // /D221
    int sleep_ms = 0;            // /SLEEP
    int api_attempts = 5;        // /POSTTO first
    int retry_delay_unit = 1;    // /POSTTO second, seconds
    int item_attempts = 3;       // /POSTTO third
    int write_retries = 3;       // /D261
    std::int64_t max_attach_size = 9999999; // /MAXATTACHSIZE
    int bundle_size = 1;         // /D251
    int path_level = 0;          // /D49
    int no_ews_proxy = 0;        // /NOEWSPROXY
    std::string cipher_list;     // /CIPHER
    int ssl_version = 0;         // /SSLVER
    int auth_http_target = -1;   // /AUTHHTTP2, -1 = unset
    std::string target_role_id, target_org_id, target_access_key, target_access_secret; // /AUTHAMZI2
    std::string target_delegate_user, target_delegate_password; // /AUTHAMZD2
    std::string ca_file;         // /CAFILE: PEM bundle of trusted certificates
    int ssl_no_verify = 0;       // /SSLNOVERIFY
};
extern SwitchSettings gSw;

// Sets every session value back to its load-time default (tests use it to
// start from a clean module).
void ResetSessionState();

} // namespace qvamz
