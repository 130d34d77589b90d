#include "transport/impersonation_token.hpp"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/curl_handles.hpp"
#include "transport/curl_options.hpp"
#include "frame/proxy.hpp"
#include "transport/http_post.hpp"
#include "transport/sigv4.hpp"
#include "common/unique_file.hpp"

namespace qvamz {
namespace {

struct RegionEndpoint {
    std::string_view marker; // looked for in the EWS URL
    std::string_view endpoint;
};
constexpr RegionEndpoint kRegionEndpoints[] = {
    {"us-east", "https://workmail.us-east-1.amazonaws.com"},
    {"us-west", "https://workmail.us-west-2.amazonaws.com"},
    {"eu-west", "https://workmail.eu-west-1.amazonaws.com"},
};

struct CJsonDeleter {
    void operator()(cJSON *json) const noexcept { cJSON_Delete(json); }
};

// The region that signs the API call: the endpoint's own, else the one the
// EWS URL names, else us-east-1 (an endpoint set with "/AMZAPI" need not
// carry a region).
std::string SigningRegion(std::string_view endpoint, std::string_view ews_url)
{
    std::string region = RegionFromEndpoint(endpoint);
    if (region.empty())
        region = RegionFromEndpoint(ApiEndpointForEwsUrl(ews_url));
    if (region.empty())
        region = kDefaultRegion;
    return region;
}

std::string ReadAnswer(const std::string &path)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    if (!file)
        return {};
    std::string text(kTokenAnswerMax, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return text;
}

void ApplyApiPostOptions(Session &session, CURL *handle, TransferFiles &files,
                         const std::string &endpoint, const std::string &body,
                         const HeaderList &headers)
{
    ApplyTransferOptions(handle, &files, session.state.http_auth, session.settings);
    curl_easy_setopt(handle, CURLOPT_URL, endpoint.c_str());
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, nullptr);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    ApplyTlsOptions(handle, session.settings, session.state.transport);
    ApplyProxyOptions(handle, session.settings.proxy);
}

} // namespace

std::string ApiEndpointForEwsUrl(std::string_view ews_url)
{
    const std::string url(ews_url);
    std::string endpoint;
    for (const RegionEndpoint &region : kRegionEndpoints) {
        if (com_stristr(url.c_str(), std::string(region.marker).c_str(), 0))
            endpoint = region.endpoint;
    }
    return endpoint;
}

std::string RegionFromEndpoint(std::string_view endpoint)
{
    const std::size_t at = endpoint.find(kWorkMailService);
    if (at == std::string_view::npos || at + kWorkMailService.size() + 1 > endpoint.size())
        return {};
    const std::string_view rest = endpoint.substr(at + kWorkMailService.size() + 1);
    return std::string(rest.substr(0, rest.find('.')));
}

std::string HostFromEndpoint(std::string_view endpoint)
{
    const std::size_t scheme = endpoint.find("://");
    if (scheme != std::string_view::npos)
        endpoint.remove_prefix(scheme + 3);
    return std::string(endpoint.substr(0, endpoint.find('/')));
}

namespace {

// `text` as a quoted JSON string, escaped by cJSON; "" when cJSON fails.
std::string JsonString(std::string_view text)
{
    const std::string value(text);
    const std::unique_ptr<cJSON, CJsonDeleter> item(cJSON_CreateString(value.c_str()));
    const std::unique_ptr<char, decltype(&cJSON_free)> printed(
        item ? cJSON_PrintUnformatted(item.get()) : nullptr, cJSON_free);
    return printed ? std::string(printed.get()) : std::string();
}

} // namespace

std::string ImpersonationRequestBody(std::string_view role_id, std::string_view organization_id)
{
    // The layout stays the one the API has always been sent; only the ids
    // go through cJSON, so a quote or backslash in one cannot end its
    // string early.
    const std::string role = JsonString(role_id), organization = JsonString(organization_id);
    if (role.empty() || organization.empty())
        return {};
    std::string body = "{\r\n\"ImpersonationRoleId\": " + role + ",\r\n\"OrganizationId\": " +
                       organization + "\r\n}\r\n";
    // A cut body would be broken JSON: an oversized one is not sent at all.
    if (body.size() > kTokenRequestMax)
        return {};
    return body;
}

SignedApiRequest SignApiRequest(std::string_view endpoint, std::string_view body,
                                std::string_view region, std::string_view access_key,
                                std::string_view secret, std::int64_t unix_seconds)
{
    const sigv4::AmzTime time = sigv4::FormatAmzTime(unix_seconds);
    const std::vector<sigv4::Header> headers = {
        {"content-type", "application/x-amz-json-1.1"},
        {"host", HostFromEndpoint(endpoint)},
        {"x-amz-date", time.timestamp},
        {"x-amz-target", std::string(kAssumeRoleTarget)},
    };
    SignedApiRequest request;
    request.canonical_request =
        sigv4::CanonicalRequest("POST", "/", "", headers, sigv4::Sha256Hex(body));
    request.string_to_sign = sigv4::StringToSign(time.timestamp, time.date, region,
                                                 kWorkMailService, request.canonical_request);
    const std::string key = sigv4::SigningKey(secret, time.date, region, kWorkMailService);
    request.signature = sigv4::Signature(key, request.string_to_sign);
    for (const sigv4::Header &header : headers)
        request.header_lines.push_back(header.first + ":" + header.second);
    std::string authorization = "Authorization: ";
    authorization.append(sigv4::kAlgorithm).append(" Credential=").append(access_key);
    authorization.append("/").append(time.date).append("/").append(region).append("/");
    authorization.append(kWorkMailService).append("/aws4_request, SignedHeaders=");
    authorization.append(sigv4::SignedHeaderNames(headers)).append(", Signature=");
    authorization.append(request.signature);
    request.header_lines.push_back(std::move(authorization));
    return request;
}

ImpersonationToken ParseTokenAnswer(std::string_view answer)
{
    ImpersonationToken parsed;
    std::unique_ptr<cJSON, CJsonDeleter> root(cJSON_ParseWithLength(answer.data(), answer.size()));
    if (!root)
        return parsed;
    const cJSON *token = cJSON_GetObjectItemCaseSensitive(root.get(), "Token");
    if (cJSON_IsString(token) && token->valuestring)
        assign_limited(parsed.token, token->valuestring, kBearerTokenMax);
    const cJSON *expires = cJSON_GetObjectItemCaseSensitive(root.get(), "ExpiresIn");
    if (cJSON_IsNumber(expires))
        parsed.expires_in = expires->valueint;
    return parsed;
}

PostResult DoPostAWS(Session &session, const std::string &endpoint, const std::string &body,
                     const std::string &response_path)
{
    PostResult result;
    CurlEasy handle(curl_easy_init());
    if (!handle) {
        com_Log("QV Error: Error in DoPostAWS curl init");
        return result;
    }
    if (session.settings.curl_debug)
        com_Log("curl debug: at DoPostAWS, url=%s, size=%ld", endpoint.c_str(),
                static_cast<long>(body.size()));
    const SignedApiRequest request =
        SignApiRequest(endpoint, body, SigningRegion(endpoint, session.state.ews_url),
                       session.state.access_key, session.state.access_secret, clock::Now());
    if (session.settings.curl_debug) {
        com_Log("curl debug: canonical_request:\n%s\n", request.canonical_request.c_str());
        com_Log("curl debug: stringToSign:\n%s\n", request.string_to_sign.c_str());
        // The signature alone authorises the call until it expires: it is
        // hidden here as in the Authorization line below.
        com_Log("curl debug: signature: ****");
        com_Log("curl debug: %s", MaskSecrets(request.header_lines.back()).c_str());
    }
    HeaderList headers;
    for (const std::string &line : request.header_lines)
        headers.append(line);

    Keepalive &keepalive = session.state.transport.keepalive;
    const int attempts = session.settings.api_attempts < 1 ? 1 : session.settings.api_attempts;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        qvcommon::UniqueFile response = qvcommon::OpenFile(response_path, "wb");
        if (!response)
            return PostResult{};
        result = PostResult{};
        TransferFiles files;
        files.response = response.get();
        files.result = &result;
        files.keepalive = &keepalive;
        files.answer_limit = MaxAnswerBytes(session.settings);
        files.curl_debug = session.settings.curl_debug != 0;
        ApplyApiPostOptions(session, handle.get(), files, endpoint, body, headers);
        BeginTransfer(keepalive);
        const CURLcode code = curl_easy_perform(handle.get());
        EndTransfer(keepalive);
        result.ok = code == CURLE_OK;
        if (result.ok)
            break;
        result.curl_error = curl_easy_strerror(code);
        // An oversized answer would come back the same: no retry.
        if (attempt == attempts || files.answer_too_large || code == CURLE_FILESIZE_EXCEEDED) {
            com_Log("QV Warning: post to %s failed: %s", endpoint.c_str(),
                    result.curl_error.c_str());
            break;
        }
        com_Log("QV Info: retrying Post (error=%d)", static_cast<int>(code));
        clock::SleepMs(session.settings.retry_delay_unit * 1000);
    }
    return result;
}

std::optional<ImpersonationToken> RequestImpersonationToken(Session &session,
                                                            const std::string &endpoint)
{
    com_Log("Attempting to obtain impersonation token for endpoint %s", endpoint.c_str());
    const std::string answer_path = session.state.work_dir + "impersonation.tmp";
    const std::string body =
        ImpersonationRequestBody(session.state.role_id, session.state.organization_id);
    if (body.empty()) {
        com_Log("QV Error: the impersonation role and organization ids are too long to send");
        return std::nullopt;
    }
    const PostResult post = DoPostAWS(session, endpoint, body, answer_path);
    // A transfer that failed after a 200 status line (cut off, too large)
    // left a partial answer: no token from it.
    if (!post.ok || post.http_status != 200) {
        com_Log("QV Error: unable to retrieve impersonation token, response is %d",
                post.http_status);
        std::remove(answer_path.c_str());
        return std::nullopt;
    }
    const std::string answer = ReadAnswer(answer_path);
    // The answer holds a live credential: it does not stay on disk.
    std::remove(answer_path.c_str());
    return ParseTokenAnswer(answer);
}

bool TokenRenewalDue(const SessionState &state, std::int64_t now)
{
    return !state.bearer_token.empty() &&
           now > state.token_time + state.token_expires_in - kTokenRenewMarginSeconds;
}

} // namespace qvamz
