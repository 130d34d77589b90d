#include "sigv4.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace sandbox::sigv4 {
namespace {

constexpr const char *kAlgorithm = "AWS4-HMAC-SHA256";
constexpr const char *kTerminator = "aws4_request";

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string &s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// Header values are trimmed and runs of blanks become one blank.
std::string canonical_value(const std::string &value) {
    std::string out;
    bool blank = false;
    for (char c : trim(value)) {
        const bool is_blank = c == ' ' || c == '\t';
        if (is_blank && blank)
            continue;
        out += is_blank ? ' ' : c;
        blank = is_blank;
    }
    return out;
}

// RFC 3986 percent-encoding; unreserved characters stay, '/' stays when asked.
std::string uri_encode(const std::string &text, bool keep_slash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' ||
            (keep_slash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0f];
        }
    }
    return out;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t pos; (pos = s.find(sep, start)) != std::string::npos; start = pos + 1)
        out.push_back(s.substr(start, pos - start));
    out.push_back(s.substr(start));
    return out;
}

std::optional<std::string> header_value(const HttpRequest &request, const std::string &name) {
    std::optional<std::string> joined;
    for (const auto &[key, value] : request.headers) {
        if (lower(key) != name)
            continue;
        joined = joined ? *joined + "," + canonical_value(value) : canonical_value(value);
    }
    return joined;
}

bool is_hex_digest(const std::string &s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

std::optional<Authorization> parse_authorization(const std::string &header) {
    const std::string prefix = std::string(kAlgorithm) + " ";
    if (header.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    Authorization auth;
    bool have_credential = false, have_signed = false, have_signature = false;
    for (const std::string &raw : split(header.substr(prefix.size()), ',')) {
        const std::string part = trim(raw);
        const auto eq = part.find('=');
        if (eq == std::string::npos)
            return std::nullopt;
        const std::string name = part.substr(0, eq), value = part.substr(eq + 1);
        if (name == "Credential") {
            const auto scope = split(value, '/');
            if (scope.size() != 5 || scope[4] != kTerminator ||
                std::any_of(scope.begin(), scope.end(), [](auto &s) { return s.empty(); }))
                return std::nullopt;
            auth.access_key = scope[0];
            auth.date = scope[1];
            auth.region = scope[2];
            auth.service = scope[3];
            have_credential = true;
        } else if (name == "SignedHeaders") {
            auth.signed_headers = split(value, ';');
            have_signed = !value.empty();
        } else if (name == "Signature") {
            auth.signature = value;
            have_signature = is_hex_digest(value);
        } else {
            return std::nullopt;
        }
    }
    if (!have_credential || !have_signed || !have_signature)
        return std::nullopt;
    return auth;
}

std::string canonical_request(const HttpRequest &request,
                              const std::vector<std::string> &signed_headers) {
    std::string out = request.method + "\n";
    out += request.path.empty() ? "/" : uri_encode(request.path, true);
    out += "\n";

    std::vector<std::pair<std::string, std::string>> query;
    for (const auto &[name, value] : request.query)
        query.emplace_back(uri_encode(name, false), uri_encode(value, false));
    std::sort(query.begin(), query.end());
    for (std::size_t i = 0; i < query.size(); ++i)
        out += (i ? "&" : "") + query[i].first + "=" + query[i].second;
    out += "\n";

    for (const std::string &name : signed_headers)
        out += name + ":" + header_value(request, name).value_or("") + "\n";
    out += "\n";
    for (std::size_t i = 0; i < signed_headers.size(); ++i)
        out += (i ? ";" : "") + signed_headers[i];
    out += "\n" + sha256_hex(request.body);
    return out;
}

std::string string_to_sign(const std::string &amz_date, const std::string &scope,
                           const std::string &canonical) {
    return std::string(kAlgorithm) + "\n" + amz_date + "\n" + scope + "\n" + sha256_hex(canonical);
}

std::string signing_key(const std::string &secret, const std::string &date,
                        const std::string &region, const std::string &service) {
    const std::string k_date = hmac_sha256_raw("AWS4" + secret, date);
    const std::string k_region = hmac_sha256_raw(k_date, region);
    const std::string k_service = hmac_sha256_raw(k_region, service);
    return hmac_sha256_raw(k_service, kTerminator);
}

std::string signature(const std::string &key, const std::string &to_sign) {
    return to_hex(hmac_sha256_raw(key, to_sign));
}

std::optional<UnixSeconds> parse_amz_date(const std::string &text) {
    if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z')
        return std::nullopt;
    for (std::size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14})
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return std::nullopt;
    std::tm tm{};
    tm.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(text.substr(4, 2)) - 1;
    tm.tm_mday = std::stoi(text.substr(6, 2));
    tm.tm_hour = std::stoi(text.substr(9, 2));
    tm.tm_min = std::stoi(text.substr(11, 2));
    tm.tm_sec = std::stoi(text.substr(13, 2));
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        return std::nullopt;
    return static_cast<UnixSeconds>(timegm(&tm));
}

std::string format_amz_date(UnixSeconds t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

Result check_form(const HttpRequest &request, const std::string &service) {
    const auto header = header_value(request, "authorization");
    if (!header)
        return Result{Verdict::Missing, {}, "Missing Authentication Token"};
    const auto auth = parse_authorization(*header);
    if (!auth)
        return Result{Verdict::Malformed, {},
                      "Authorization header requires 'Credential', 'Signature' and "
                      "'SignedHeaders' parameters in the AWS4-HMAC-SHA256 form."};
    if (auth->service != service)
        return Result{Verdict::WrongService, *auth,
                      "Credential should be scoped to correct service: '" + service + "'."};
    const auto &names = auth->signed_headers;
    for (const char *required : {"host", "x-amz-date"})
        if (std::find(names.begin(), names.end(), required) == names.end())
            return Result{Verdict::Malformed, *auth,
                          std::string("Signed headers must include '") + required + "'."};
    for (const std::string &name : names)
        if (name != lower(name) || !header_value(request, name))
            return Result{Verdict::Malformed, *auth,
                          "Signed header '" + name + "' is missing or not in lower case."};
    return Result{Verdict::Valid, *auth, ""};
}

Result verify_with_secret(const HttpRequest &request, const Authorization &auth,
                          const std::string &secret, UnixSeconds now, int skew_seconds) {
    const std::string amz_date = header_value(request, "x-amz-date").value_or("");
    const auto when = parse_amz_date(amz_date);
    if (!when)
        return Result{Verdict::Malformed, auth, "X-Amz-Date must be in the form YYYYMMDD'T'HHMMSS'Z'."};
    if (amz_date.compare(0, 8, auth.date) != 0)
        return Result{Verdict::BadSignature, auth,
                      "Date in Credential scope does not match YYYYMMDD from X-Amz-Date."};
    const std::string minutes = std::to_string(skew_seconds / 60) + " min.)";
    if (*when < now - skew_seconds)
        return Result{Verdict::Expired, auth,
                      "Signature expired: " + amz_date + " is now earlier than " +
                          format_amz_date(now - skew_seconds) + " (" + format_amz_date(now) +
                          " - " + minutes};
    if (*when > now + skew_seconds)
        return Result{Verdict::Expired, auth,
                      "Signature not yet current: " + amz_date + " is still later than " +
                          format_amz_date(now + skew_seconds) + " (" + format_amz_date(now) +
                          " + " + minutes};

    const std::string scope =
        auth.date + "/" + auth.region + "/" + auth.service + "/" + kTerminator;
    const std::string expected =
        signature(signing_key(secret, auth.date, auth.region, auth.service),
                  string_to_sign(amz_date, scope, canonical_request(request, auth.signed_headers)));
    if (!constant_time_equal(expected, auth.signature))
        return Result{Verdict::BadSignature, auth,
                      "The request signature we calculated does not match the signature you "
                      "provided. Check your AWS Secret Access Key and signing method. Consult "
                      "the service documentation for details."};
    return Result{Verdict::Valid, auth, ""};
}

} // namespace sandbox::sigv4
