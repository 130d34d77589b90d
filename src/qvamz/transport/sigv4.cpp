#include "transport/sigv4.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <ctime>

namespace qvamz::sigv4 {

std::string ToHex(std::string_view bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

std::string Sha256Hex(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return ToHex(std::string_view(reinterpret_cast<const char *>(digest), length));
}

std::string HmacSha256(std::string_view key, std::string_view data)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.data()), data.size(), mac, &length);
    return std::string(reinterpret_cast<const char *>(mac), length);
}

std::string SignedHeaderNames(const std::vector<Header> &headers)
{
    std::string names;
    for (const Header &header : headers) {
        if (!names.empty())
            names += ';';
        names += header.first;
    }
    return names;
}

std::string CanonicalRequest(std::string_view method, std::string_view uri,
                             std::string_view query, const std::vector<Header> &headers,
                             std::string_view payload_hash)
{
    std::string text;
    text.append(method).append("\n").append(uri).append("\n").append(query).append("\n");
    for (const Header &header : headers)
        text.append(header.first).append(":").append(header.second).append("\n");
    text.append("\n").append(SignedHeaderNames(headers)).append("\n").append(payload_hash);
    return text;
}

std::string StringToSign(std::string_view timestamp, std::string_view date,
                         std::string_view region, std::string_view service,
                         std::string_view canonical_request)
{
    std::string text(kAlgorithm);
    text.append("\n").append(timestamp).append("\n");
    text.append(date).append("/").append(region).append("/").append(service);
    text.append("/aws4_request\n");
    text.append(Sha256Hex(canonical_request));
    return text;
}

std::string SigningKey(std::string_view secret, std::string_view date, std::string_view region,
                       std::string_view service)
{
    const std::string date_key = HmacSha256("AWS4" + std::string(secret), date);
    const std::string region_key = HmacSha256(date_key, region);
    const std::string service_key = HmacSha256(region_key, service);
    return HmacSha256(service_key, "aws4_request");
}

std::string Signature(std::string_view signing_key, std::string_view string_to_sign)
{
    return ToHex(HmacSha256(signing_key, string_to_sign));
}

AmzTime FormatAmzTime(long long unix_seconds)
{
    const std::time_t time = static_cast<std::time_t>(unix_seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char stamp[96];
    char date[64];
    std::snprintf(stamp, sizeof stamp, "%d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    std::snprintf(date, sizeof date, "%d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday);
    return AmzTime{stamp, date};
}

} // namespace qvamz::sigv4
