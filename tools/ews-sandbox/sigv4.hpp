// AWS Signature Version 4, verifying side (header authorization,
// "AWS4-HMAC-SHA256").  Built from AWS's description of the signing process:
// canonical request, string to sign, signing key derived from the secret,
// date, region and service, and the hex HMAC-SHA256 signature.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crypto_util.hpp"

namespace sandbox::sigv4 {

// A request as it arrived.  Header names in any case; a name may repeat.
struct HttpRequest {
    std::string method;
    std::string path;  // decoded path, e.g. "/"
    std::vector<std::pair<std::string, std::string>> query;   // decoded name, value
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// The parts of "Authorization: AWS4-HMAC-SHA256 Credential=KEY/DATE/REGION/
// SERVICE/aws4_request, SignedHeaders=a;b, Signature=HEX".
struct Authorization {
    std::string access_key, date, region, service;
    std::vector<std::string> signed_headers; // lower case, in the given order
    std::string signature;
};

std::optional<Authorization> parse_authorization(const std::string &header);

std::string canonical_request(const HttpRequest &request,
                              const std::vector<std::string> &signed_headers);
std::string string_to_sign(const std::string &amz_date, const std::string &scope,
                           const std::string &canonical);
std::string signing_key(const std::string &secret, const std::string &date,
                        const std::string &region, const std::string &service);
std::string signature(const std::string &key, const std::string &to_sign);

// "20150830T123600Z" -> seconds since 1970, nullopt when malformed.
std::optional<UnixSeconds> parse_amz_date(const std::string &text);
std::string format_amz_date(UnixSeconds t);

enum class Verdict {
    Valid,
    Missing,          // no Authorization header
    Malformed,        // not a well-formed SigV4 authorization
    UnknownKey,       // the access key is not known
    WrongService,     // credential scope names another service
    Expired,          // X-Amz-Date outside the allowed skew
    BadSignature,     // the signature does not match
};

struct Result {
    Verdict verdict = Verdict::Missing;
    Authorization auth;
    std::string detail; // text for the error answer
};

// Verifies `request` for `service`.  `secret_for` maps an access key to its
// secret (nullopt when unknown).  The signed host header is taken as the
// client sent it.  A request dated more than `skew_seconds` away from `now`
// is refused as expired.
template <typename SecretLookup>
Result verify(const HttpRequest &request, const std::string &service, UnixSeconds now,
              int skew_seconds, SecretLookup secret_for);

// Non-template core of verify(), for a known secret.
Result verify_with_secret(const HttpRequest &request, const Authorization &auth,
                          const std::string &secret, UnixSeconds now, int skew_seconds);
Result check_form(const HttpRequest &request, const std::string &service);

template <typename SecretLookup>
Result verify(const HttpRequest &request, const std::string &service, UnixSeconds now,
              int skew_seconds, SecretLookup secret_for) {
    Result form = check_form(request, service);
    if (form.verdict != Verdict::Valid)
        return form;
    const std::optional<std::string> secret = secret_for(form.auth.access_key);
    if (!secret)
        return Result{Verdict::UnknownKey, form.auth,
                      "The security token included in the request is invalid."};
    return verify_with_secret(request, form.auth, *secret, now, skew_seconds);
}

} // namespace sandbox::sigv4
