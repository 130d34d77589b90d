// The proxy: its setting comes from "/PROXY" (possibly scrambled), else
// from the environment (https_proxy, HTTPS_PROXY), and "/NOEWSPROXY"
// drops it; logon reads the setting's fields, and every post gets them as
// curl options.  Nothing here takes a proxy from anywhere else: curl must
// not pick one up behind the host's back.
#pragma once

#include <curl/curl.h>

#include <string>

namespace qvamz {

struct ProxySettings;

// "/PROXY" with its (descrambled) value: a non-empty value becomes the
// setting; an empty one takes the system's proxy, when there is one.
void TakeProxySetting(ProxySettings &proxy, const std::string &value);

// Proxy of the environment (https_proxy, then HTTPS_PROXY) as a setting
// "host=...;port=...[;protocol=...][;user=...;password=...]"; "" when none
// is set or it cannot be read.  Credentials the setting cannot carry (";"
// or "=") go straight into proxy.user / proxy.password.
std::string SystemProxySetting(ProxySettings &proxy);

// Reads "host=", "port=", "protocol=", "user=", "password=" of the setting
// into the proxy's fields (a missing key leaves its field); a setting
// without "=" is a bare host.  The protocol is made upper case.
void ReadProxySetting(ProxySettings &proxy);

// The proxy options of one post: the configured proxy, or explicitly none.
void ApplyProxyOptions(CURL *handle, const ProxySettings &proxy);

} // namespace qvamz
