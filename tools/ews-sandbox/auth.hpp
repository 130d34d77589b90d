// Who is calling, and for which mailbox.
//
// Credentials, in the order they are tried:
//   Authorization: Basic   a mailbox user or delegate administrator
//   Authorization: Bearer  a token issued by the fake WorkMail API (role)
//   session cookie alone   the principal it was issued to, with the
//                          impersonation grant of a role session
// Anything else is HTTP 401.  After the envelope is read, the mailbox is
// settled: a role must name, with ExchangeImpersonation, a mailbox it covers;
// a user must not impersonate at all.  Exchange answers both refusals with
// the ErrorImpersonateUserDenied fault.
#pragma once

#include <optional>
#include <string>

#include "accounts.hpp"
#include "soap_envelope.hpp"

namespace sandbox {

inline constexpr const char *kSessionCookie = "EwsSandboxSession";

struct Authentication {
    std::optional<Principal> principal; // nullopt: answer 401
    std::string cookie;                 // session to set on the answer
};

Authentication authenticate(AccountStore &accounts, const std::string &authorization_header,
                            const std::string &cookie_header, UnixSeconds now);

// The mailbox the request works on, or nullopt when impersonation is denied.
std::optional<std::string> settle_mailbox(const Principal &who, const RequestEnvelope &envelope);

// The value of one cookie in a Cookie header, "" when absent.
std::string cookie_value(const std::string &cookie_header, const std::string &name);

} // namespace sandbox
