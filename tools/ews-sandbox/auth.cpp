#include "auth.hpp"

#include <algorithm>
#include <cctype>

namespace sandbox {
namespace {

bool starts_with_scheme(const std::string &header, const std::string &scheme) {
    if (header.size() <= scheme.size() || header[scheme.size()] != ' ')
        return false;
    return std::equal(scheme.begin(), scheme.end(), header.begin(),
                      [](char a, char b) { return std::tolower(a) == std::tolower(b); });
}

std::string after_scheme(const std::string &header, const std::string &scheme) {
    std::string rest = header.substr(scheme.size());
    rest.erase(0, rest.find_first_not_of(' '));
    while (!rest.empty() && rest.back() == ' ')
        rest.pop_back();
    return rest;
}

std::optional<Principal> from_basic(AccountStore &accounts, const std::string &encoded) {
    const auto decoded = base64_decode(encoded);
    if (!decoded)
        return std::nullopt;
    const auto colon = decoded->find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return accounts.check_password(decoded->substr(0, colon), decoded->substr(colon + 1));
}

bool same_principal(const Principal &a, const Principal &b) {
    return a.kind == b.kind && a.name == b.name;
}

} // namespace

std::string cookie_value(const std::string &cookie_header, const std::string &name) {
    std::size_t pos = 0;
    while (pos < cookie_header.size()) {
        const std::size_t end = std::min(cookie_header.find(';', pos), cookie_header.size());
        std::string pair = cookie_header.substr(pos, end - pos);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.compare(0, name.size() + 1, name + "=") == 0)
            return pair.substr(name.size() + 1);
        pos = end + 1;
    }
    return "";
}

Authentication authenticate(AccountStore &accounts, const std::string &authorization_header,
                            const std::string &cookie_header, UnixSeconds now) {
    Authentication result;
    const std::string cookie = cookie_value(cookie_header, kSessionCookie);
    const auto session = cookie.empty() ? std::nullopt : accounts.check_session(cookie, now);

    if (authorization_header.empty()) {
        result.principal = session;
    } else if (starts_with_scheme(authorization_header, "Basic")) {
        result.principal = from_basic(accounts, after_scheme(authorization_header, "Basic"));
    } else if (starts_with_scheme(authorization_header, "Bearer")) {
        result.principal = accounts.check_token(after_scheme(authorization_header, "Bearer"), now);
    }
    if (!result.principal)
        return result;
    // Keep the session the client already holds rather than opening one per request.
    result.cookie = session && same_principal(*session, *result.principal)
                        ? cookie
                        : accounts.open_session(*result.principal, now);
    return result;
}

std::optional<std::string> settle_mailbox(const Principal &who, const RequestEnvelope &envelope) {
    if (who.kind == Principal::Kind::User) {
        if (envelope.has_impersonation)
            return std::nullopt;
        return who.name;
    }
    if (!envelope.has_impersonation || envelope.impersonated_address.empty() || !who.role ||
        !who.role->covers(envelope.impersonated_address))
        return std::nullopt;
    std::string mailbox = envelope.impersonated_address;
    std::transform(mailbox.begin(), mailbox.end(), mailbox.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return mailbox;
}

} // namespace sandbox
