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

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "common/hex.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {

// Fields of "/AUTHAMZI" and "/AUTHAMZI2": role id, organization id, access
// key, secret.
inline constexpr std::size_t kImpersonationFields = 4;
inline constexpr int kDefaultProxyPort = 8080;
inline constexpr int kMaxSslVersion = 3;
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

void ReadDataDebug(SwitchPass &pass)
{
    gSw.mail_debug = gSw.cal_debug = gSw.con_debug = 1;
    if (auto folder = pass.fetch_optional_value(); folder && !folder->empty())
        assign_limited(gDebugFolder, *folder, kPathMax);
}

void ReadSleep(SwitchPass &pass)
{
    if (ReadNumber(pass, gSw.sleep_ms) && gSw.sleep_ms < 1)
        gSw.sleep_ms = 0;
}

// "/POSTTO a[:b[:c]]": API attempts, retry delay unit, item attempts.
// Attempts below 1 would mean "never try" and a negative delay cannot be
// slept, so both are held at their smallest sensible value.
void ReadPostTo(SwitchPass &pass)
{
    if (!pass.fetch_value())
        return;
    std::array<int *, 3> settings{&gSw.api_attempts, &gSw.retry_delay_unit, &gSw.item_attempts};
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
    gSw.api_attempts = std::max(gSw.api_attempts, 1);
    gSw.retry_delay_unit = std::max(gSw.retry_delay_unit, 0);
    gSw.item_attempts = std::max(gSw.item_attempts, 1);
}

void ReadWriteRetries(SwitchPass &pass)
{
    if (ReadNumber(pass, gSw.write_retries) && gSw.write_retries < 0)
        gSw.write_retries = kDefaultWriteRetries;
}

void ReadMaxAttachSize(SwitchPass &pass)
{
    if (pass.fetch_value() && !pass.text().empty())
        gSw.max_attach_size = ToInt64(pass.text());
}

void ReadBundleSize(SwitchPass &pass)
{
    if (ReadNumber(pass, gSw.bundle_size) && gSw.bundle_size < 1)
        gSw.bundle_size = 1;
}

void ReadProxy(SwitchPass &pass)
{
    if (!pass.fetch_value())
        return;
    std::string value(pass.text());
    DescrambleValue(value);
    if (!value.empty()) {
        assign_limited(gProxySpec, value, kDescrambledMax);
        return;
    }
    if (std::string system = SystemProxySpec(); !system.empty())
        gProxySpec = system;
}

void ReadSslVersion(SwitchPass &pass)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    int version = ToInt(pass.text());
    gSw.ssl_version = (version >= 0 && version <= kMaxSslVersion) ? version : 0;
    if (gSw.ssl_version == 1)
        com_Log("Forcing TLS version 1");
    else if (gSw.ssl_version == 2)
        com_Log("Forcing TLS version 2");
    else if (gSw.ssl_version == 3)
        com_Log("forcing SSL version 3");
}

struct ImpersonationValues {
    std::string *role, *organization, *key, *secret;
};

// "role|organization|key|secret": each field given replaces its value;
// fields not given keep theirs.  The secret takes the rest of the text.
void ReadImpersonation(SwitchPass &pass, ImpersonationValues values, const char *side)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    std::array<std::string *, kImpersonationFields> fields{values.role, values.organization,
                                                           values.key, values.secret};
    std::string_view rest = pass.text();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::size_t bar = (i + 1 < fields.size()) ? rest.find('|') : std::string_view::npos;
        fields[i]->assign(rest.substr(0, bar));
        if (bar == std::string_view::npos)
            break;
        rest.remove_prefix(bar + 1);
    }
    if (gSw.debug)
        com_Log("debug: %s ImpersonationRoldId=%s, OrganizationId=%s, AccessKey=%s, "
                "AccessSecret=%s",
                side, values.role->c_str(), values.organization->c_str(), values.key->c_str(),
                MaskSecret(*values.secret).c_str());
}

// "user|password", or "user/password" when there is no "|".  A password
// starting with "~" is scrambled.  Without a separator only the user is
// set.
void ReadDelegate(SwitchPass &pass, std::string &user, std::string &password,
                  const char *switch_name)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    std::string_view value = pass.text();
    std::size_t split = value.find('|');
    if (split == std::string_view::npos)
        split = value.find('/');
    user.assign(value.substr(0, split));
    if (split != std::string_view::npos) {
        password.assign(value.substr(split + 1));
        DescrambleValue(password);
    }
    if (gSw.debug)
        com_Log("debug: %s (Delegate) found, delegate admin=%s", switch_name, user.c_str());
}

void ReadGroupName(SwitchPass &pass)
{
    if (!ReadText(pass, gGroupName, kGroupNameMax))
        return;
    for (char &c : gGroupName)
        if (c == '_')
            c = ' ';
}

void ReadApiEndpoint(SwitchPass &pass)
{
    if (!pass.fetch_value() || pass.text().empty())
        return;
    if (!qvcommon::StartsWithNoCase(pass.text(), "http")) {
        com_Log("QV Warning: /AMZAPI needs a URL beginning with http, ignored");
        return;
    }
    assign_limited(gApiEndpoint, pass.text(), kPathMax);
}

using SwitchHandler = void (*)(SwitchPass &);
struct SwitchEntry {
    std::string_view name;
    SwitchHandler apply;
};

// clang-format off
const SwitchEntry kSwitches[] = {
    {"/DEBUG",       [](SwitchPass &) { gSw.debug = 1; }},
    {"/MAILDEBUG",   [](SwitchPass &) { gSw.mail_debug = 1; }},
    {"/CALDEBUG",    [](SwitchPass &) { gSw.cal_debug = 1; }},
    {"/CONDEBUG",    [](SwitchPass &) { gSw.con_debug = 1; }},
    {"/DATADEBUG",   ReadDataDebug},
    {"/CURLDEBUG",   [](SwitchPass &) { gSw.curl_debug = 1; }},
    {"/XCURLDEBUG",  [](SwitchPass &) { gSw.xcurl_debug = 1; }},
    {"/LOGUUID",     [](SwitchPass &) { gSw.log_uuid = 1; }},
    {"/EWSARCHS",    [](SwitchPass &) { gSw.archive_source = 1; }},
    {"/EWSARCHT",    [](SwitchPass &) { gSw.archive_target = 1; }},
    {"/EWSPUB",      [](SwitchPass &) { gPublicFolders = 1; }},
    {"/D234",        [](SwitchPass &) { gForceVersionHeader = 1; }},
    {"/D198",        [](SwitchPass &) { gSw.send_expect = 0; }},
    {"/D219",        [](SwitchPass &) { gSw.keep_host_folder_names = 1; }},
    {"/D81",         [](SwitchPass &) { gSw.raw_passthrough = 1; }},
    {"/D68",         [](SwitchPass &) { gSw.own_headers = 1; }},
    {"/EIH",         [](SwitchPass &) { gSw.keep_headers = 1; }},
    {"/D253",        [](SwitchPass &) { gSw.html_charset_rule = 0; }},
    {"/LSUB",        [](SwitchPass &) { gSw.log_subjects = 1; }},
    {"/D207",        [](SwitchPass &) { gSw.meeting_responses = 1; }},
    {"/D298",        [](SwitchPass &) { gSw.meetings_as_ical = 1; }},
    {"/D211",        [](SwitchPass &) { gSw.write_attendees = 1; }},
    {"/D142",        [](SwitchPass &) { gSw.drop_calendar_parts = 1; }},
    {"/D221",        [](SwitchPass &) { gSw.update_dl_edit_flag = 1; }},
    {"/SLEEP",       ReadSleep},
    {"/POSTTO",      ReadPostTo},
    {"/D261",        ReadWriteRetries},
    {"/MAXATTACHSIZE", ReadMaxAttachSize},
    {"/D251",        ReadBundleSize},
    {"/DSTOFFSET",   [](SwitchPass &p) { ReadNumber(p, gDstOffset); }},
    {"/D49",         [](SwitchPass &p) { ReadNumber(p, gSw.path_level); }},
    {"/NOEWSPROXY",  [](SwitchPass &) { gSw.no_ews_proxy = 1; }},
    {"/PROXY",       ReadProxy},
    {"/CIPHER",      [](SwitchPass &p) { ReadText(p, gSw.cipher_list, kPathMax); }},
    {"/SSLVER",      ReadSslVersion},
    {"/AUTHHTTP",    [](SwitchPass &p) { ReadNumber(p, gHttpAuth); }},
    {"/AUTHHTTP2",   [](SwitchPass &p) { ReadNumber(p, gSw.auth_http_target); }},
    {"/AUTHAMZI",    [](SwitchPass &p) {
         ReadImpersonation(p, {&gRoleId, &gOrganizationId, &gAccessKey, &gAccessSecret},
                           "Source"); }},
    {"/AUTHAMZI2",   [](SwitchPass &p) {
         ReadImpersonation(p, {&gSw.target_role_id, &gSw.target_org_id,
                               &gSw.target_access_key, &gSw.target_access_secret},
                           "Target"); }},
    {"/AUTHAMZD",    [](SwitchPass &p) {
         ReadDelegate(p, gDelegateUser, gDelegatePassword, "AuthAMZD"); }},
    {"/AUTHAMZD2",   [](SwitchPass &p) {
         ReadDelegate(p, gSw.target_delegate_user, gSw.target_delegate_password,
                      "AuthAMZD2"); }},
    {"/CF",          [](SwitchPass &p) { ReadFolderPath(p, gContactsFolder); }},
    {"/CAF",         [](SwitchPass &p) { ReadFolderPath(p, gCalendarFolder); }},
    {"/CAN",         [](SwitchPass &p) { ReadFolderPath(p, gNotesFolder); }},
    {"/CAT",         [](SwitchPass &p) { ReadFolderPath(p, gTasksFolder); }},
    {"/GN",          ReadGroupName},
    // Switches of this build: trust store, certificate check, API endpoint.
    {"/CAFILE",      [](SwitchPass &p) { ReadText(p, gSw.ca_file, kPathMax); }},
    {"/SSLNOVERIFY", [](SwitchPass &) { gSw.ssl_no_verify = 1; }},
    {"/AMZAPI",      ReadApiEndpoint},
};
// clang-format on

} // namespace

void ParseSwitches()
{
    for (int index = 0;; ++index) {
        SwitchPass pass(index);
        if (!pass.load_token())
            break;
        for (const SwitchEntry &entry : kSwitches)
            if (pass.text() == entry.name)
                entry.apply(pass);
    }
    if (gSw.no_ews_proxy)
        gProxySpec.clear();
}

// ---- scrambled values ----------------------------------------------------

namespace {

// Entry k mod 26 of the host's key table, subtracted modulo 256.
std::optional<std::string> Descramble(std::string_view hex)
{
    constexpr int kKeyEntries = 26;
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string plain;
    for (std::size_t k = 0; k < hex.size() / 2 && plain.size() < kDescrambledMax; ++k) {
        int high = qvcommon::HexDigitValue(hex[2 * k]), low = qvcommon::HexDigitValue(hex[2 * k + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        std::int64_t key = qvcom_scramble_key(static_cast<int>(k % kKeyEntries));
        auto byte = static_cast<unsigned>(((high * 16 + low - key) % 256 + 256) % 256);
        if (byte == 0) // would end the text early downstream
            return std::nullopt;
        plain.push_back(static_cast<char>(byte));
    }
    return plain;
}

} // namespace

bool DescrambleValue(std::string &value)
{
    if (value.empty() || value.front() != '~')
        return true;
    std::optional<std::string> plain = Descramble(std::string_view(value).substr(1));
    if (!plain) {
        value.clear();
        com_Log("QV Warning: a scrambled switch value is malformed and was ignored");
        return false;
    }
    value = std::move(*plain);
    return true;
}

// ---- proxy of the system -------------------------------------------------

namespace {

struct ProxyUrl {
    std::string protocol; // "" for HTTP, else "SOCKS4" / "SOCKS5"
    std::string user, password;
    std::string host;
    int port = kDefaultProxyPort;
};

std::string PercentDecode(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && qvcommon::HexDigitValue(text[i + 1]) >= 0 &&
            qvcommon::HexDigitValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(qvcommon::HexDigitValue(text[i + 1]) * 16 + qvcommon::HexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The curl proxy types the transport knows: HTTP (no protocol field),
// SOCKS4 and SOCKS5.  Empty optional for a scheme it cannot use.
std::optional<std::string> ProtocolOfScheme(std::string scheme)
{
    for (char &c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme.empty() || scheme == "http" || scheme == "https")
        return std::string{};
    if (scheme == "socks4" || scheme == "socks4a")
        return std::string("SOCKS4");
    if (scheme == "socks5" || scheme == "socks5h")
        return std::string("SOCKS5");
    return std::nullopt;
}

// "[scheme://][user[:password]@]host[:port][/...]"
std::optional<ProxyUrl> ParseProxyUrl(std::string_view text)
{
    ProxyUrl url;
    std::string_view scheme;
    if (std::size_t sep = text.find("://"); sep != std::string_view::npos) {
        scheme = text.substr(0, sep);
        text.remove_prefix(sep + 3);
    }
    auto protocol = ProtocolOfScheme(std::string(scheme));
    if (!protocol)
        return std::nullopt;
    url.protocol = *protocol;
    text = text.substr(0, text.find('/'));
    if (std::size_t at = text.rfind('@'); at != std::string_view::npos) {
        std::string_view credentials = text.substr(0, at);
        std::size_t colon = credentials.find(':');
        url.user = PercentDecode(credentials.substr(0, colon));
        if (colon != std::string_view::npos)
            url.password = PercentDecode(credentials.substr(colon + 1));
        text.remove_prefix(at + 1);
    }
    std::size_t host_end = 0;
    if (!text.empty() && text.front() == '[') // IPv6 literal
        host_end = text.find(']') == std::string_view::npos ? text.size() : text.find(']') + 1;
    std::size_t colon = text.find(':', host_end);
    url.host = std::string(text.substr(0, colon));
    if (colon != std::string_view::npos) {
        std::string_view port = text.substr(colon + 1);
        int value = 0;
        auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || end != port.data() + port.size() || value < 1 ||
            value > 65535)
            return std::nullopt;
        url.port = value;
    }
    if (url.host.empty() || url.host.find_first_of(";= ") != std::string::npos)
        return std::nullopt;
    return url;
}

// A credential the proxy specification can carry: ";" ends a field and "="
// could be taken for a key.
bool FitsSpecField(const std::string &text)
{
    return text.find_first_of(";=") == std::string::npos;
}

} // namespace

std::string SystemProxySpec()
{
    const char *text = std::getenv("https_proxy");
    if (text == nullptr || *text == '\0')
        text = std::getenv("HTTPS_PROXY");
    if (text == nullptr || *text == '\0')
        return {};
    std::optional<ProxyUrl> url = ParseProxyUrl(text);
    if (!url) {
        com_Log("QV Warning: the system proxy setting cannot be used, no proxy is set");
        return {};
    }
    std::string spec = "host=" + url->host + ";port=" + std::to_string(url->port);
    if (!url->protocol.empty())
        spec += ";protocol=" + url->protocol;
    if (!url->user.empty()) {
        if (FitsSpecField(url->user) && FitsSpecField(url->password)) {
            spec += ";user=" + url->user + ";password=" + url->password;
        } else {
            gProxyUser = url->user;
            gProxyPassword = url->password;
        }
    }
    return spec;
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
