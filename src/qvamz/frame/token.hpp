// Token mode at logon and while the session runs: the impersonation token
// the WorkMail API hands out goes into the session (bearer_token,
// token_expires_in, token_time) and into the EWS header list that every
// post sends.
#pragma once

namespace qvamz {

struct Session;

// Finds the API endpoint (the "/AMZAPI" one, else the one the EWS URL's
// region names), obtains a token and installs it.  Failures are logged and
// leave the previous token in place.
void InstallImpersonationToken(Session &session);

// The refresh check readers and writers make before each page or item: a
// new token a minute before the current one runs out.
void RenewTokenIfDue(Session &session);

} // namespace qvamz
