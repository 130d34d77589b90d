#include "frame/proxy.hpp"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "common/hex.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"

namespace qvamz {
namespace {

inline constexpr int kDefaultProxyPort = 8080;

struct ProxyUrl {
    std::string protocol; // "" for HTTP, else "SOCKS4" / "SOCKS5"
    std::string user, password;
    std::string host;
    int port = kDefaultProxyPort;
};

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
        url.user = qvcommon::PercentDecoded(credentials.substr(0, colon));
        if (colon != std::string_view::npos)
            url.password = qvcommon::PercentDecoded(credentials.substr(colon + 1));
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

// A credential the proxy setting can carry: ";" ends a field and "="
// could be taken for a key.
bool FitsSettingField(const std::string &text)
{
    return text.find_first_of(";=") == std::string::npos;
}

} // namespace

std::string SystemProxySetting(ProxySettings &proxy)
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
    std::string setting = "host=" + url->host + ";port=" + std::to_string(url->port);
    if (!url->protocol.empty())
        setting += ";protocol=" + url->protocol;
    if (!url->user.empty()) {
        if (FitsSettingField(url->user) && FitsSettingField(url->password)) {
            setting += ";user=" + url->user + ";password=" + url->password;
        } else {
            proxy.user = url->user;
            proxy.password = url->password;
        }
    }
    return setting;
}


void TakeProxySetting(ProxySettings &proxy, const std::string &value)
{
    if (!value.empty()) {
        assign_limited(proxy.setting, value, kDescrambledMax);
        return;
    }
    if (std::string system = SystemProxySetting(proxy); !system.empty())
        proxy.setting = system;
}

void ReadProxySetting(ProxySettings &proxy)
{
    const std::string &setting = proxy.setting;
    const std::string text = !setting.empty() && setting.find('=') == std::string::npos
                                 ? "host=" + setting
                                 : setting;
    const std::pair<std::string_view, std::string *> fields[] = {
        {"host=", &proxy.host},   {"port=", &proxy.port}, {"protocol=", &proxy.protocol},
        {"user=", &proxy.user},
    };
    const auto field_value = [&text](std::string_view key) -> std::optional<std::string_view> {
        const std::size_t at = text.find(key);
        if (at == std::string::npos)
            return std::nullopt;
        const std::size_t start = at + key.size();
        return std::string_view(text).substr(start, text.find(';', start) - start);
    };
    for (const auto &[key, value] : fields)
        if (const auto found = field_value(key))
            value->assign(*found);
    if (const auto password = field_value("password="))
        proxy.password.assign(*password);
    for (char &c : proxy.protocol)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void ApplyProxyOptions(CURL *handle, const ProxySettings &proxy)
{
    if (proxy.setting.empty()) {
        // No proxy unless the switches name one: curl must not take one
        // from the environment behind the host's back ("/NOEWSPROXY").
        curl_easy_setopt(handle, CURLOPT_PROXY, "");
        return;
    }
    if (proxy.protocol == "SOCKS4")
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4));
    else if (proxy.protocol == "SOCKS5")
        curl_easy_setopt(handle, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5));
    const std::string address = proxy.host + ":" + proxy.port;
    curl_easy_setopt(handle, CURLOPT_PROXY, address.c_str()); // curl copies option strings
    if (!proxy.user.empty()) {
        const std::string credentials = proxy.user + ":" + proxy.password.str();
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, credentials.c_str());
    }
}

} // namespace qvamz
