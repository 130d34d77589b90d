// Logon switches.  The table below is walked in order for every token;
// the order matters because a value fetched by one switch is compared with
// the switches after it in the same pass.
#include "frame/switches.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "frame/descramble.hpp"
#include "frame/proxy.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/curl_options.hpp"
#include "transport/request_pipeline.hpp"
#include "common/hex.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {

// Fields of "/AUTHAMZI" and "/AUTHAMZI2": role id, organization id, access
// key, secret.
inline constexpr std::size_t kImpersonationFields = 4;
// Bounds of "/MAXANSWER" (MB): an item answer must fit a 25 MB item.
inline constexpr int kMinAnswerMb = 1;
inline constexpr int kMaxAnswerMb = 4096;
inline constexpr int kDefaultWriteRetries = 3;

// One pass of the parser: the token buffer and the index of the token
// that started the pass.
class SwitchPass {
public:
    explicit SwitchPass(int index) : index_(index) {}

    bool load_token() { return fetch(index_, buffer_); }
    std::string_view text() const { return buffer_; }

    // Fetches the token after the switch into the buffer.  False (buffer
    // unchanged) when there is none.
    bool fetch_value() { return fetch(index_ + 1, buffer_); }

    // The optional value of "/DATADEBUG": taken only when the next token is
    // not itself a switch, so that switch keeps its own pass intact.
    std::optional<std::string> fetch_optional_value()
    {
        std::string next;
        if (!fetch(index_ + 1, next) || next.starts_with('/'))
            return std::nullopt;
        buffer_ = next;
        return next;
    }

private:
    static bool fetch(int index, std::string &out)
    {
        std::array<char, kSwitchTokenSize> token{};
        if (com_GetParm(index, token.data(), token.size()) == 0)
            return false;
        out.assign(token.data());
        return true;
    }

    int index_;
    std::string buffer_;
};

// Numbers read like the host's atoi: leading blanks, a sign, digits up to
// the first other character; no digits is 0.  Out-of-range values are held
// at the limits instead of overflowing.
std::int64_t ToInt64(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    if (text.size() > 1 && text.front() == '+' && text[1] != '-')
        text.remove_prefix(1);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range)
        return (!text.empty() && text.front() == '-') ? INT64_MIN : INT64_MAX;
    (void)end;
    return error == std::errc() ? value : 0;
}

int ToInt(std::string_view text)
{
    std::int64_t value = ToInt64(text);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

// Reads the value token of a number switch into `setting` (an empty value
// leaves it unchanged).  False when there is no value token.
bool ReadNumber(SwitchPass &pass, int &setting)
{
    if (!pass.fetch_value())
        return false;
    if (!pass.text().empty())
        setting = ToInt(pass.text());
    return true;
}

bool ReadText(SwitchPass &pass, std::string &setting, std::size_t max)
{
    if (!pass.fetch_value())
        return false;
    if (!pass.text().empty())
        assign_limited(setting, pass.text(), max);
    return true;
}

// "/CF", "/CAF", "/CAN", "/CAT": a "/"-separated path kept with "^".
void ReadFolderPath(SwitchPass &pass, std::string &setting)
{
    if (!ReadText(pass, setting, kPathMax))
        return;
    com_SlashToDelim(setting.data());
}

// ---- value switches ------------------------------------------------------

void ReadDataDebug(SwitchPass &pass, Session &session)
{
    session.settings.mail_debug = session.settings.cal_debug = session.settings.con_debug = 1;
    if (auto folder = pass.fetch_optional_value(); folder && !folder->empty())
        assign_limited(session.state.debug_folder, *folder, kPathMax);
}

void ReadSleep(SwitchPass &pass, Session &session)
{
    if (ReadNumber(pass, session.settings.sleep_ms) && session.settings.sleep_ms < 1)
        session.settings.sleep_ms = 0;
}

// "/POSTTO a[:b[:c]]": API attempts, retry delay unit, item attempts.
// Attempts below 1 would mean "never try" and a negative delay cannot be
// slept, so both are held at their smallest sensible value.
void ReadPostTo(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value())
        return;
    std::array<int *, 3> settings{&session.settings.api_attempts,
                                  &session.settings.retry_delay_unit,
                                  &session.settings.item_attempts};
    std::string_view rest = pass.text();
    for (int *setting : settings) {
        if (rest.empty())
            break;
        std::size_t colon = rest.find(':');
        std::string_view field = rest.substr(0, colon);
        if (!field.empty())
            *setting = ToInt(field);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    session.settings.api_attempts = std::max(session.settings.api_attempts, 1);
    session.settings.retry_delay_unit = std::max(session.settings.retry_delay_unit, 0);
    session.settings.item_attempts = std::max(session.settings.item_attempts, 1);
}

void ReadWriteRetries(SwitchPass &pass, Session &session)
{
    if (ReadNumber(pass, session.settings.write_retries) && session.settings.write_retries < 0)
        session.settings.write_retries = kDefaultWriteRetries;
}

void ReadMaxAttachSize(SwitchPass &pass, Session &session)
{
    if (pass.fetch_value() && !pass.text().empty())
        session.settings.max_attach_size = ToInt64(pass.text());
}

void ReadBundleSize(SwitchPass &pass, Session &session)
{
    if (ReadNumber(pass, session.settings.bundle_size) && session.settings.bundle_size < 1)
        session.settings.bundle_size = 1;
}

void ReadProxy(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value())
        return;
    std::string value(pass.text());
    DescrambleValue(value);
    TakeProxySetting(session.settings.proxy, value);
}

void ReadSslVersion(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    const int version = ToInt(pass.text());
    const TlsVersionChoice *tls = TlsVersionFor(version);
    session.settings.ssl_version = tls ? version : 0;
    if (tls)
        com_Log("Forcing %s (/SSLVER %d)", tls->text, version);
    else if (version != 0)
        com_Log("QV Warning: /SSLVER %d is not a known TLS choice; curl's default applies",
                version);
}

void ReadMaxAnswer(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    const int megabytes = ToInt(pass.text());
    if (megabytes >= kMinAnswerMb && megabytes <= kMaxAnswerMb)
        session.settings.max_answer_mb = megabytes;
    else
        com_Log("QV Warning: /MAXANSWER %d is outside %d..%d MB; keeping %d", megabytes,
                kMinAnswerMb, kMaxAnswerMb, session.settings.max_answer_mb);
}

void ReadPrefetch(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    const int requests = ToInt(pass.text());
    if (requests >= kPrefetchMin && requests <= kPrefetchMax)
        session.settings.prefetch = requests;
    else
        com_Log("QV Warning: /EWSPREFETCH %d is outside %d..%d; keeping %d", requests,
                kPrefetchMin, kPrefetchMax, session.settings.prefetch);
}

struct ImpersonationValues {
    std::string *role, *organization, *key;
    SecretString *secret;
};

// "role|organization|key|secret": each field given replaces its value;
// fields not given keep theirs.  The secret takes the rest of the text.
void ReadImpersonation(SwitchPass &pass, ImpersonationValues values, const char *side,
                       bool debug)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    std::array<std::string *, kImpersonationFields - 1> fields{values.role, values.organization,
                                                               values.key};
    std::string_view rest = pass.text();
    for (std::size_t i = 0; i < kImpersonationFields; ++i) {
        const bool last = i + 1 == kImpersonationFields;
        const std::size_t bar = last ? std::string_view::npos : rest.find('|');
        if (last)
            values.secret->assign(rest);
        else
            fields[i]->assign(rest.substr(0, bar));
        if (bar == std::string_view::npos)
            break;
        rest.remove_prefix(bar + 1);
    }
    if (debug)
        com_Log("debug: %s ImpersonationRoldId=%s, OrganizationId=%s, AccessKey=%s, "
                "AccessSecret=%s",
                side, values.role->c_str(), values.organization->c_str(), values.key->c_str(),
                MaskSecret(*values.secret).c_str());
}

// "user|password", or "user/password" when there is no "|".  A password
// starting with "~" is scrambled.  Without a separator only the user is
// set.
void ReadDelegate(SwitchPass &pass, std::string &user, SecretString &password,
                  const char *switch_name, bool debug)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    std::string_view value = pass.text();
    std::size_t split = value.find('|');
    if (split == std::string_view::npos)
        split = value.find('/');
    user.assign(value.substr(0, split));
    if (split != std::string_view::npos) {
        std::string descrambled(value.substr(split + 1));
        DescrambleValue(descrambled);
        password.assign(descrambled);
        qvcommon::WipeString(descrambled);
    }
    if (debug)
        com_Log("debug: %s (Delegate) found, delegate admin=%s", switch_name, user.c_str());
}

void ReadGroupName(SwitchPass &pass, Session &session)
{
    if (!ReadText(pass, session.settings.group_name, kGroupNameMax))
        return;
    for (char &c : session.settings.group_name)
        if (c == '_')
            c = ' ';
}

void ReadApiEndpoint(SwitchPass &pass, Session &session)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    if (!qvcommon::StartsWithNoCase(pass.text(), "http")) {
        com_Log("QV Warning: /AMZAPI needs a URL beginning with http, ignored");
        return;
    }
    assign_limited(session.state.api_endpoint, pass.text(), kPathMax);
}

using SwitchHandler = void (*)(SwitchPass &, Session &);
struct SwitchEntry {
    std::string_view name;
    SwitchHandler apply;
};

// clang-format off
const SwitchEntry kSwitches[] = {
    {"/DEBUG",       [](SwitchPass &, Session &s) { s.settings.debug = 1; }},
    {"/MAILDEBUG",   [](SwitchPass &, Session &s) { s.settings.mail_debug = 1; }},
    {"/CALDEBUG",    [](SwitchPass &, Session &s) { s.settings.cal_debug = 1; }},
    {"/CONDEBUG",    [](SwitchPass &, Session &s) { s.settings.con_debug = 1; }},
    {"/DATADEBUG",   ReadDataDebug},
    {"/CURLDEBUG",   [](SwitchPass &, Session &s) { s.settings.curl_debug = 1; }},
    {"/XCURLDEBUG",  [](SwitchPass &, Session &s) { s.settings.xcurl_debug = 1; }},
    {"/LOGUUID",     [](SwitchPass &, Session &s) { s.settings.log_uuid = 1; }},
    {"/EWSARCHS",    [](SwitchPass &, Session &s) { s.settings.archive_source = 1; }},
    {"/EWSARCHT",    [](SwitchPass &, Session &s) { s.settings.archive_target = 1; }},
    {"/EWSPUB",      [](SwitchPass &, Session &s) { s.settings.public_folders = 1; }},
    {"/D234",        [](SwitchPass &, Session &s) { s.state.force_version_header = 1; }},
    {"/D198",        [](SwitchPass &, Session &s) { s.settings.send_expect = 0; }},
    {"/D219",        [](SwitchPass &, Session &s) { s.settings.keep_host_folder_names = 1; }},
    {"/D81",         [](SwitchPass &, Session &s) { s.settings.raw_passthrough = 1; }},
    {"/D68",         [](SwitchPass &, Session &s) { s.settings.own_headers = 1; }},
    {"/EIH",         [](SwitchPass &, Session &s) { s.settings.keep_headers = 1; }},
    {"/D253",        [](SwitchPass &, Session &s) { s.settings.html_charset_rule = 0; }},
    {"/LSUB",        [](SwitchPass &, Session &s) { s.settings.log_subjects = 1; }},
    {"/D207",        [](SwitchPass &, Session &s) { s.settings.meeting_responses = 1; }},
    {"/D298",        [](SwitchPass &, Session &s) { s.settings.meetings_as_ical = 1; }},
    {"/D211",        [](SwitchPass &, Session &s) { s.settings.write_attendees = 1; }},
    {"/D142",        [](SwitchPass &, Session &s) { s.settings.drop_calendar_parts = 1; }},
    {"/D221",        [](SwitchPass &, Session &s) { s.settings.update_dl_edit_flag = 1; }},
    {"/SLEEP",       ReadSleep},
    {"/POSTTO",      ReadPostTo},
    {"/D261",        ReadWriteRetries},
    {"/MAXATTACHSIZE", ReadMaxAttachSize},
    {"/D251",        ReadBundleSize},
    {"/DSTOFFSET",   [](SwitchPass &p, Session &s) { ReadNumber(p, s.state.dst_offset); }},
    {"/D49",         [](SwitchPass &p, Session &s) { ReadNumber(p, s.settings.path_level); }},
    {"/NOEWSPROXY",  [](SwitchPass &, Session &s) { s.settings.no_ews_proxy = 1; }},
    {"/PROXY",       ReadProxy},
    {"/CIPHER",      [](SwitchPass &p, Session &s) {
         ReadText(p, s.settings.cipher_list, kPathMax); }},
    {"/SSLVER",      ReadSslVersion},
    {"/AUTHHTTP",    [](SwitchPass &p, Session &s) { ReadNumber(p, s.state.http_auth); }},
    {"/AUTHHTTP2",   [](SwitchPass &p, Session &s) { ReadNumber(p, s.settings.auth_http_target); }},
    {"/AUTHAMZI",    [](SwitchPass &p, Session &s) {
         ReadImpersonation(p, {&s.state.role_id, &s.state.organization_id,
                               &s.state.access_key, &s.state.access_secret},
                           "Source", s.settings.debug != 0); }},
    {"/AUTHAMZI2",   [](SwitchPass &p, Session &s) {
         ReadImpersonation(p, {&s.settings.target_role_id, &s.settings.target_org_id,
                               &s.settings.target_access_key, &s.settings.target_access_secret},
                           "Target", s.settings.debug != 0); }},
    {"/AUTHAMZD",    [](SwitchPass &p, Session &s) {
         ReadDelegate(p, s.state.delegate_user, s.state.delegate_password, "AuthAMZD",
                      s.settings.debug != 0); }},
    {"/AUTHAMZD2",   [](SwitchPass &p, Session &s) {
         ReadDelegate(p, s.settings.target_delegate_user, s.settings.target_delegate_password,
                      "AuthAMZD2", s.settings.debug != 0); }},
    {"/CF",          [](SwitchPass &p, Session &s) { ReadFolderPath(p, s.state.contacts_folder); }},
    {"/CAF",         [](SwitchPass &p, Session &s) { ReadFolderPath(p, s.state.calendar_folder); }},
    {"/CAN",         [](SwitchPass &p, Session &s) { ReadFolderPath(p, s.settings.notes_folder); }},
    {"/CAT",         [](SwitchPass &p, Session &s) { ReadFolderPath(p, s.state.tasks_folder); }},
    {"/GN",          ReadGroupName},
    // Switches of this build: trust store, certificate check, API endpoint.
    {"/CAFILE",      [](SwitchPass &p, Session &s) { ReadText(p, s.settings.ca_file, kPathMax); }},
    {"/SSLNOVERIFY", [](SwitchPass &, Session &s) { s.settings.ssl_no_verify = 1; }},
    {"/AMZAPI",      ReadApiEndpoint},
    {"/MAXANSWER",   ReadMaxAnswer},
    {"/EWSPREFETCH", ReadPrefetch},
};
// clang-format on

} // namespace

void ParseSwitches(Session &session)
{
    for (int index = 0;; ++index) {
        SwitchPass pass(index);
        if (!pass.load_token())
            break;
        for (const SwitchEntry &entry : kSwitches)
            if (pass.text() == entry.name)
                entry.apply(pass, session);
    }
    if (session.settings.no_ews_proxy)
        session.settings.proxy.setting.clear();
}

std::string MaskSecret(std::string_view secret)
{
    constexpr std::size_t kShown = 4;
    if (secret.empty())
        return {};
    if (secret.size() <= kShown)
        return "****";
    return "****" + std::string(secret.substr(secret.size() - kShown));
}

} // namespace qvamz
