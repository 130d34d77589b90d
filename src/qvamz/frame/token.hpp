// Token mode at logon and while the session runs: the impersonation token
// the WorkMail API hands out goes into the session (bearer_token,
// token_expires_in, token_time) and into the EWS header list that every
// post sends.
#pragma once

namespace qvamz {

struct Session;

// Longest pause between two renewal attempts after refusals.
inline constexpr int kTokenRetryDelayMaxSeconds = 30;

// Finds the API endpoint (the "/AMZAPI" one, else the one the EWS URL's
// region names), obtains a token and installs it.  Failures (an answer
// without a token included) are logged and leave the previous token in
// place; the result says whether a new token was installed.
bool InstallImpersonationToken(Session &session);

// The refresh check readers and writers make before each page or item: a
// new token a minute before the current one runs out.  A refused renewal
// does not restart the old token's lifetime: the next check asks again,
// after a pause that doubles with each refusal (1, 2, 4 ... 30 s).
void RenewTokenIfDue(Session &session);

// The pause after `failures` refusals in a row.
int TokenRetryDelaySeconds(int failures);

} // namespace qvamz
