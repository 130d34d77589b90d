// The fake WorkMail API: `POST /` with "X-Amz-Target:
// WorkMailService.AssumeImpersonationRole" and a JSON body naming
// OrganizationId and ImpersonationRoleId.  The call must carry a valid SigV4
// signature for service "workmail" made with the role's access key and
// secret; it answers {"Token": ..., "ExpiresIn": ...} or the JSON error of the
// AWS JSON 1.1 protocol ({"__type": ..., "message": ...}).
#pragma once

#include <string>

#include "accounts.hpp"
#include "sandbox_config.hpp"
#include "sigv4.hpp"

namespace sandbox {

struct ApiAnswer {
    int status = 200;
    std::string content_type = "application/x-amz-json-1.1";
    std::string body;
    std::string error_type; // also sent as x-amzn-ErrorType; "" on success
};

inline constexpr const char *kAssumeRoleTarget = "WorkMailService.AssumeImpersonationRole";

ApiAnswer handle_workmail_api(AccountStore &accounts, const SandboxConfig &config,
                              const sigv4::HttpRequest &request, UnixSeconds now);

} // namespace sandbox
