// AWS Signature Version 4 (HMAC-SHA256), the pure steps: canonical request,
// string to sign, signing key and signature.  impersonation_token.cpp puts
// them together for the WorkMail API call; the tests check them against
// AWS's published worked example.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qvamz::sigv4 {

inline constexpr std::string_view kAlgorithm = "AWS4-HMAC-SHA256";

// A header as it is signed: lower-case name and trimmed value.
using Header = std::pair<std::string, std::string>;

// Lower-case hexadecimal SHA-256 of `data`.
std::string Sha256Hex(std::string_view data);

// Raw HMAC-SHA256 of `data` under `key`.
std::string HmacSha256(std::string_view key, std::string_view data);

// "METHOD\nURI\nQUERY\n" + one "name:value\n" per header + "\n" + the signed
// header names joined by ";" + "\n" + the payload hash.  Headers are taken
// in the order given (callers pass them sorted by name).
std::string CanonicalRequest(std::string_view method, std::string_view uri,
                             std::string_view query, const std::vector<Header> &headers,
                             std::string_view payload_hash);

// "a;b;c" of the header names.
std::string SignedHeaderNames(const std::vector<Header> &headers);

// "AWS4-HMAC-SHA256\nTIMESTAMP\nDATE/REGION/SERVICE/aws4_request\nHASH".
std::string StringToSign(std::string_view timestamp, std::string_view date,
                         std::string_view region, std::string_view service,
                         std::string_view canonical_request);

// HMAC chain "AWS4"+secret -> date -> region -> service -> "aws4_request".
std::string SigningKey(std::string_view secret, std::string_view date, std::string_view region,
                       std::string_view service);

// Lower-case hexadecimal HMAC of the string to sign under the signing key.
std::string Signature(std::string_view signing_key, std::string_view string_to_sign);

// Lower-case hexadecimal of raw bytes.
std::string ToHex(std::string_view bytes);

// The UTC time stamp "YYYYMMDDTHHMMSSZ" and date "YYYYMMDD" of `unix_seconds`.
struct AmzTime {
    std::string timestamp;
    std::string date;
};
AmzTime FormatAmzTime(long long unix_seconds);

} // namespace qvamz::sigv4
