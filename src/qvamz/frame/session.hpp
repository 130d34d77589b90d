// The session: everything one Logon sets up and the following calls use.
// The exported functions carry no handle, so the exports own exactly one
// Session (frame/exports.cpp); every subsystem is handed the Session, or
// a small options value built from it, by its caller.
//
// Split as two parts: `settings` come from the logon switches (they
// accumulate over the logons of one loaded module: a switch not named
// again keeps its value), `state` is what logon and the work after it
// fill in.  A fresh Session is the load-time state.  Field names follow
// the connector's value names (mailbox, work_dir, bearer_token,
// server_major_version, ...); docs/architecture.md maps them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/secret_string.hpp"
#include "ews/folder_table.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "qv/qvamz.h"
#include "transport/transport_state.hpp"

namespace qvamz {

using qvcommon::SecretString;

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

// The proxy setting ("/PROXY", else the environment unless "/NOEWSPROXY")
// and the parts logon reads out of it.
struct ProxySettings {
    std::string setting; // "host=...;port=..." or a bare host, descrambled
    std::string host;
    std::string port = "8080";
    std::string protocol; // upper case: "HTTP", "SOCKS4", "SOCKS5"
    std::string user;
    SecretString password;
};

// Values of the logon switches.  Flags are 0/1; defaults hold until a
// switch changes them.
struct SessionSettings {
    int debug = 0;       // /DEBUG
    int mail_debug = 0;  // /MAILDEBUG
    int cal_debug = 0;   // /CALDEBUG
    int con_debug = 0;   // /CONDEBUG
    int curl_debug = 0;  // /CURLDEBUG
    int xcurl_debug = 0; // /XCURLDEBUG
    int log_uuid = 0;    // /LOGUUID
    int archive_source = 0; // /EWSARCHS
    int archive_target = 0; // /EWSARCHT
    int public_folders = 0; // /EWSPUB
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
    int ssl_version = 0;         // /SSLVER (see kTlsVersionChoices)
    int max_answer_mb = 64;      // /MAXANSWER: twice the 25 MB item limit plus headroom
    long stall_seconds = 120;    // no switch; tests shorten the stall cut-off
    int prefetch = 4;            // /EWSPREFETCH: item requests in flight while reading
    int auth_http_target = -1;   // /AUTHHTTP2, -1 = unset
    // /AUTHAMZI2
    std::string target_role_id, target_org_id, target_access_key;
    SecretString target_access_secret;
    std::string target_delegate_user;   // /AUTHAMZD2
    SecretString target_delegate_password;
    std::string ca_file;         // /CAFILE: PEM bundle of trusted certificates
    int ssl_no_verify = 0;       // /SSLNOVERIFY
    std::string group_name = "root";   // /GROUP
    std::string notes_folder = "Notes"; // /CAN
    ProxySettings proxy;
};

// What logon sets up and the readers and writers work with.  Values that
// a switch may preset say so; logon decides what a session keeps of them.
struct SessionState {
    // ---- credentials and authentication
    std::string mailbox;       // mailbox being migrated (<= 250)
    std::string orig_ews_user; // second copy, for organizer checks
    SecretString password;
    std::string ews_url;
    std::string admin_user; // impersonating account (token mode)
    SecretString admin_password;
    std::string delegate_user; // delegate administrator (/AUTHAMZD)
    SecretString delegate_password;
    std::string delegate_mailbox; // replaces the "#Delegate" marker
    std::string role_id;          // non-empty: token mode (/AUTHAMZI)
    std::string organization_id;
    std::string access_key;
    SecretString access_secret;
    SecretString bearer_token; // <= 2000
    int token_expires_in = 0; // seconds
    std::int64_t token_time = 0; // seconds since 1970
    int token_failures = 0;          // renewals refused in a row
    std::int64_t token_retry_at = 0; // no renewal attempt before (seconds since 1970)
    std::string api_endpoint; // WorkMail API endpoint, "https://..." (/AMZAPI)
    int http_auth = 1;        // curl authentication mask (/AUTHHTTP)

    // ---- session kind and server
    int is_source = 0;
    int archive = 0;
    int force_version_header = 0; // /D234, or the server version
    int upcoming_only = 0;
    int server_major_version = 0;
    std::string root_folder_name; // msgfolderroot / archivemsgfolderroot / publicfoldersroot
    std::string root_folder_id;

    // ---- directories and folders
    std::string work_dir;     // ends with a separator
    std::string base_dir;     // base of the debug folders
    std::string debug_folder; // debug sub-folder name (/DATADEBUG)
    std::string contacts_folder; // /CF, else the first contacts folder
    std::string calendar_folder; // /CAF, else the first calendar folder
    std::string tasks_folder;    // /CAT, else the first task folder
    std::vector<FolderEntry> folders; // discovery order until GetFolderNames sorts it

    // ---- session time zone
    int time_zone_bias = 0;       // minutes, UTC = local + bias
    int dst_offset = -1;          // /DSTOFFSET; -1 = take from the system
    std::string utc_offset_text;  // "+0100", "-0500"
    std::string time_zone_name;   // Windows standard name, UTF-8 (<= 255)
    int calendar_debug_copies = 0; // numbers the /CALDEBUG answer copies of the session

    // ---- reading and writing
    int max_messages = 0;           // per-folder item limit of InitRead, 0 = none
    std::string target_folder_id;   // EWS FolderId of the write target; empty: none
    bool sticky_note_mode = false;  // mail goes to the notes folder as sticky notes
    BundleState bundle;             // the CreateItem bundle being filled
    int contact_debug_copies = 0;   // "/CONDEBUG" request copies made this session
    int calendar_write_copies = 1;  // numbers the "/CALDEBUG" CreateItem copies of calendar items

    // ---- host and transport
    TransportState transport; // curl handle, EWS headers, the host's keepalive callback
};

struct Session {
    SessionSettings settings;
    SessionState state;
};

// Wipes and empties the credentials of the logon: passwords, the access
// secret and the bearer token (every logon sets them again).  Secrets of
// the switches (target secret and delegate password, proxy password) stay
// for the next logon; SecretString wipes them when replaced or unloaded.
void WipeSessionSecrets(Session &session);

} // namespace qvamz
