#include "frame/token.hpp"

#include <curl/curl.h>

#include <algorithm>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"

namespace qvamz {

bool InstallImpersonationToken(Session &session)
{
    SessionState &state = session.state;
    if (state.api_endpoint.empty())
        state.api_endpoint = ApiEndpointForEwsUrl(state.ews_url);
    if (state.api_endpoint.empty()) {
        com_Log("QV Error: cannot locate Workmail endpoint");
        return false;
    }
    const std::optional<ImpersonationToken> token =
        RequestImpersonationToken(session, state.api_endpoint);
    if (!token)
        return false;
    com_Log("Workmail token expires in %d seconds", token->expires_in);
    if (token->token.empty()) {
        // An empty bearer line fails every request and ends renewal for good.
        com_Log("QV Error: the impersonation token answer holds no token");
        return false;
    }
    state.bearer_token = token->token;
    state.token_expires_in = token->expires_in;

    HeaderList headers;
    AppendStandardHeaders(headers, session.settings.send_expect != 0);
    headers.append("Authorization: Bearer " + state.bearer_token.str());
    state.transport.headers = std::move(headers);
    state.http_auth = static_cast<int>(CURLAUTH_BEARER);
    state.token_time = clock::Now();
    return true;
}

int TokenRetryDelaySeconds(int failures)
{
    int delay = 1;
    for (int i = 1; i < failures && delay < kTokenRetryDelayMaxSeconds; ++i)
        delay *= 2;
    return std::min(delay, kTokenRetryDelayMaxSeconds);
}

void RenewTokenIfDue(Session &session)
{
    SessionState &state = session.state;
    const std::int64_t now = clock::Now();
    if (!TokenRenewalDue(state, now) || now < state.token_retry_at)
        return;
    com_Log("QV Info: AWS token expired, obtaining new one");
    if (InstallImpersonationToken(session)) {
        state.token_time = now;
        state.token_failures = 0;
        state.token_retry_at = 0;
        return;
    }
    ++state.token_failures;
    const int delay = TokenRetryDelaySeconds(state.token_failures);
    state.token_retry_at = now + delay;
    com_Log("QV Warning: impersonation token not renewed (%d refusals in a row), next attempt "
            "in %d s",
            state.token_failures, delay);
}

} // namespace qvamz
