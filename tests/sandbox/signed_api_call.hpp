// AssumeImpersonationRole calls to the fake WorkMail API, signed as the
// connector signs them (content-type, host, x-amz-date and x-amz-target).
// The signing steps are the sandbox's own; sigv4_test.cpp pins them to the
// worked example AWS publishes, so a wrong step cannot hide here.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "sandbox_fixture.hpp"
#include "sigv4.hpp"

namespace sandbox_test {

using ApiCall = sandbox::sigv4::HttpRequest;

inline std::string assume_role_body(const std::string &org, const std::string &role) {
    return "{\r\n\"ImpersonationRoleId\": \"" + role + "\",\r\n\"OrganizationId\": \"" + org + "\"\r\n}\r\n";
}

// POST / with `body`, signed with key/secret at `when`.
inline ApiCall sign_api_call(const std::string &host, const std::string &body, const std::string &key,
                             const std::string &secret, std::time_t when,
                             const std::string &region = "us-east-1", const std::string &service = "workmail") {
    namespace sigv4 = sandbox::sigv4;
    const std::string stamp = sigv4::format_amz_date(when), date = stamp.substr(0, 8);
    ApiCall call{"POST", "/", {}, {{"Content-Type", "application/x-amz-json-1.1"}, {"Host", host},
                                   {"X-Amz-Date", stamp}, {"X-Amz-Target", "WorkMailService.AssumeImpersonationRole"}},
                 body};
    const std::string scope = date + "/" + region + "/" + service + "/aws4_request";
    const std::string to_sign = sigv4::string_to_sign(
        stamp, scope, sigv4::canonical_request(call, {"content-type", "host", "x-amz-date", "x-amz-target"}));
    call.headers.emplace_back("Authorization", "AWS4-HMAC-SHA256 Credential=" + key + "/" + scope +
                                                   ", SignedHeaders=content-type;host;x-amz-date;x-amz-target, "
                                                   "Signature=" +
                                                   sigv4::signature(sigv4::signing_key(secret, date, region, service), to_sign));
    return call;
}

inline ApiCall sign_assume_role(const std::string &host, const std::string &org, const std::string &role,
                                const std::string &key, const std::string &secret, std::time_t when,
                                const std::string &region = "us-east-1", const std::string &service = "workmail") {
    return sign_api_call(host, assume_role_body(org, role), key, secret, when, region, service);
}

inline HttpResult send(Client &client, const ApiCall &call) {
    std::vector<std::string> headers;
    for (const auto &[name, value] : call.headers)
        headers.push_back(name + ": " + value);
    return client.request(call.method, call.path, call.body, headers);
}

// The token a correctly signed call obtains now, or "".
inline std::string obtain_token(Client &client, const std::string &org, const std::string &role,
                                const std::string &key, const std::string &secret) {
    const std::string host = client.base_url().substr(std::string("https://").size());
    client.no_credentials();
    const HttpResult r = send(client, sign_assume_role(host, org, role, key, secret, std::time(nullptr)));
    const auto at = r.body.find("\"Token\":\"");
    if (r.status != 200 || at == std::string::npos)
        return "";
    return r.body.substr(at + 9, r.body.find('"', at + 9) - at - 9);
}

} // namespace sandbox_test
