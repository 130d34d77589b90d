// WorkMail impersonation tokens.  In token mode ("/AUTHAMZI", "/AUTHAMZI2")
// the connector never sends a mailbox password to EWS: it asks the WorkMail
// API for a short-lived bearer token (WorkMailService.AssumeImpersonationRole,
// signed with SigV4) and sends that on every EWS request, renewing it a
// minute before it runs out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

#include "transport/http_post.hpp"

namespace qvamz {

struct Session;
struct SessionState;

inline constexpr int kTokenRenewMarginSeconds = 60;
inline constexpr std::size_t kTokenAnswerMax = 9000;   // bytes of the API answer read
inline constexpr std::size_t kTokenRequestMax = 10000; // bytes of the API request body
inline constexpr std::string_view kWorkMailService = "workmail";
inline constexpr std::string_view kAssumeRoleTarget =
    "WorkMailService.AssumeImpersonationRole";
inline constexpr std::string_view kDefaultRegion = "us-east-1";

// The API endpoint of the region an EWS URL names ("us-east", "us-west",
// "eu-west"; a later match wins), "" when it names none of them.
std::string ApiEndpointForEwsUrl(std::string_view ews_url);

// The region of an endpoint such as "https://workmail.eu-west-1.amazonaws.com"
// (the text after "workmail." up to the next "."), "" when absent.
std::string RegionFromEndpoint(std::string_view endpoint);

// The host part of an endpoint URL ("https://host:port/..." -> "host:port").
std::string HostFromEndpoint(std::string_view endpoint);

// One signed AssumeImpersonationRole request.
struct SignedApiRequest {
    std::vector<std::string> header_lines; // in the order sent, Authorization last
    std::string canonical_request;
    std::string string_to_sign;
    std::string signature;
};
SignedApiRequest SignApiRequest(std::string_view endpoint, std::string_view body,
                                std::string_view region, std::string_view access_key,
                                std::string_view secret, std::int64_t unix_seconds);

// The JSON request body of AssumeImpersonationRole, ids escaped; "" when it
// would exceed kTokenRequestMax.
std::string ImpersonationRequestBody(std::string_view role_id, std::string_view organization_id);

// A token as the API hands it out.
struct ImpersonationToken {
    std::string token;  // empty when the answer held none (<= 2000 bytes)
    int expires_in = 0; // seconds
};

// "Token" and "ExpiresIn" of the API's JSON answer.
ImpersonationToken ParseTokenAnswer(std::string_view answer);

// One signed POST to the WorkMail API with the "/POSTTO" attempts, on a
// handle of its own; the answer goes to `response_path`.
PostResult DoPostAWS(Session &session, const std::string &endpoint, const std::string &body,
                     const std::string &response_path);

// Asks `endpoint` for a token for the session's role; nothing (and the
// reason logged) unless the API answered 200.
std::optional<ImpersonationToken> RequestImpersonationToken(Session &session,
                                                            const std::string &endpoint);

// True when a token is installed and `now` is past its lifetime minus
// 60 seconds.
bool TokenRenewalDue(const SessionState &state, std::int64_t now);

} // namespace qvamz
