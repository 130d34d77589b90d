#include "frame/token.hpp"

#include <curl/curl.h>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/http_post.hpp"
#include "transport/impersonation_token.hpp"

namespace qvamz {

void InstallImpersonationToken(Session &session)
{
    SessionState &state = session.state;
    if (state.api_endpoint.empty())
        state.api_endpoint = ApiEndpointForEwsUrl(state.ews_url);
    if (state.api_endpoint.empty()) {
        com_Log("QV Error: cannot locate Workmail endpoint");
        return;
    }
    const std::optional<ImpersonationToken> token =
        RequestImpersonationToken(session, state.api_endpoint);
    if (!token)
        return;
    state.bearer_token = token->token;
    state.token_expires_in = token->expires_in;
    com_Log("Workmail token expires in %d seconds", state.token_expires_in);

    HeaderList headers;
    AppendStandardHeaders(headers, session.settings.send_expect != 0);
    headers.append("Authorization: Bearer " + state.bearer_token.str());
    state.transport.headers = std::move(headers);
    state.http_auth = static_cast<int>(CURLAUTH_BEARER);
    state.token_time = clock::Now();
}

void RenewTokenIfDue(Session &session)
{
    const std::int64_t now = clock::Now();
    if (!TokenRenewalDue(session.state, now))
        return;
    com_Log("QV Info: AWS token expired, obtaining new one");
    InstallImpersonationToken(session);
    session.state.token_time = now;
}

} // namespace qvamz
