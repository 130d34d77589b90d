#include "workmail_api.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace sandbox {
namespace {

constexpr const char *kService = "workmail";

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string print_json(const cJSON *json) {
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json), cJSON_free);
    return text ? text.get() : "{}";
}

ApiAnswer error(int status, const std::string &type, const std::string &message) {
    JsonPtr json(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(json.get(), "__type", type.c_str());
    cJSON_AddStringToObject(json.get(), "message", message.c_str());
    ApiAnswer answer;
    answer.status = status;
    answer.body = print_json(json.get());
    answer.error_type = type;
    return answer;
}

std::string header(const sigv4::HttpRequest &request, const std::string &name) {
    for (const auto &[key, value] : request.headers)
        if (key.size() == name.size() &&
            std::equal(key.begin(), key.end(), name.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return value;
    return "";
}

ApiAnswer signature_error(const sigv4::Result &result) {
    using sigv4::Verdict;
    switch (result.verdict) {
    case Verdict::Missing:
        return error(403, "MissingAuthenticationTokenException", result.detail);
    case Verdict::Malformed:
        return error(400, "IncompleteSignatureException", result.detail);
    case Verdict::UnknownKey:
        return error(403, "UnrecognizedClientException", result.detail);
    default:
        return error(403, "InvalidSignatureException", result.detail);
    }
}

// A string member, or an error answer naming the broken constraint.
const char *string_member(const cJSON *body, const char *name, const char *field,
                          ApiAnswer *failure) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(body, name);
    if (!cJSON_IsString(item)) {
        *failure = error(400, "InvalidParameterException",
                         std::string("1 validation error detected: Value at '") + field +
                             "' failed to satisfy constraint: Member must not be null");
        return nullptr;
    }
    return item->valuestring;
}

} // namespace

ApiAnswer handle_workmail_api(AccountStore &accounts, const SandboxConfig &config,
                              const sigv4::HttpRequest &request, UnixSeconds now) {
    if (header(request, "X-Amz-Target") != kAssumeRoleTarget)
        return error(400, "UnknownOperationException", "");

    const sigv4::Result signed_by = sigv4::verify(
        request, kService, now, config.clock_skew_seconds,
        [&accounts](const std::string &key) -> std::optional<std::string> {
            const auto role = accounts.find_role_by_key(key);
            return role ? std::optional<std::string>(role->secret) : std::nullopt;
        });
    if (signed_by.verdict != sigv4::Verdict::Valid)
        return signature_error(signed_by);

    JsonPtr body(cJSON_ParseWithLength(request.body.data(), request.body.size()), cJSON_Delete);
    if (!cJSON_IsObject(body.get()))
        return error(400, "SerializationException", "The request body is not a JSON object.");
    ApiAnswer failure;
    const char *org = string_member(body.get(), "OrganizationId", "organizationId", &failure);
    if (!org)
        return failure;
    const char *role_id =
        string_member(body.get(), "ImpersonationRoleId", "impersonationRoleId", &failure);
    if (!role_id)
        return failure;
    if (!valid_organization_id(org))
        return error(400, "InvalidParameterException",
                     "1 validation error detected: Value at 'organizationId' failed to satisfy "
                     "constraint: Member must satisfy regular expression pattern: ^m-[0-9a-f]{32}$");
    if (!valid_role_id(role_id))
        return error(400, "InvalidParameterException",
                     "1 validation error detected: Value at 'impersonationRoleId' failed to "
                     "satisfy constraint: Member must satisfy regular expression pattern: "
                     "[a-zA-Z0-9_-]+");
    if (!accounts.organization_exists(org))
        return error(400, "OrganizationNotFoundException",
                     std::string("Organization ") + org + " does not exist.");
    // A role is visible only to its own key, as if other keys had no rights on it.
    const auto role = accounts.find_role(org, role_id);
    if (!role || role->access_key != signed_by.auth.access_key)
        return error(400, "ResourceNotFoundException",
                     std::string("Impersonation role ") + role_id + " not found.");

    const IssuedToken token = accounts.issue_token(*role, config.token_lifetime_seconds, now);
    JsonPtr json(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(json.get(), "Token", token.token.c_str());
    cJSON_AddNumberToObject(json.get(), "ExpiresIn", static_cast<double>(token.expires_in));
    ApiAnswer answer;
    answer.body = print_json(json.get());
    return answer;
}

} // namespace sandbox
