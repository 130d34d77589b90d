// mime_digest.cpp - a small MIME walker for comparing messages.  Bodies are
// chosen the way mail programs choose them: the first text/plain and
// text/html leaves that are not attachments; every other leaf is a file
// attachment and every message/rfc822 part an embedded message.
#include "mime_digest.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "qv/qvcom.h"
#include "text_codec.hpp"

namespace qvmigrate {

namespace {

constexpr int kMaxDepth = 32;

struct Part {
    std::map<std::string, std::string> headers; // lower-case names, unfolded
    std::string_view body;
};

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

Part split_part(std::string_view text) {
    Part part;
    size_t pos = 0;
    std::string name, value;
    auto flush = [&] {
        if (!name.empty() && !part.headers.contains(name))
            part.headers[name] = trim(value);
        name.clear();
        value.clear();
    };
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = end + 1;
        if (line.empty())
            break;
        if (line.front() == ' ' || line.front() == '\t') {
            value += " " + trim(line);
            continue;
        }
        flush();
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        name = lower(trim(line.substr(0, colon)));
        value = std::string(line.substr(colon + 1));
    }
    flush();
    part.body = pos < text.size() ? text.substr(pos) : std::string_view();
    return part;
}

// The value of `param` in a header like Content-Type ("text/plain;
// charset=\"utf-8\"").
std::string header_param(const std::string &header, const std::string &param) {
    const std::string lowered = lower(header);
    size_t pos = 0;
    while ((pos = lowered.find(param + "=", pos)) != std::string::npos) {
        const bool starts = pos == 0 || lowered[pos - 1] == ';' || lowered[pos - 1] == ' ' ||
                            lowered[pos - 1] == '\t';
        pos += param.size() + 1;
        if (!starts)
            continue;
        if (pos < header.size() && header[pos] == '"') {
            const size_t close = header.find('"', pos + 1);
            return header.substr(pos + 1, close == std::string::npos ? std::string::npos : close - pos - 1);
        }
        const size_t end = header.find_first_of("; \t", pos);
        return header.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }
    return "";
}

std::string media_type(const Part &part) {
    const auto it = part.headers.find("content-type");
    if (it == part.headers.end())
        return "text/plain";
    return lower(trim(it->second.substr(0, it->second.find(';'))));
}

std::string header(const Part &part, const char *name) {
    const auto it = part.headers.find(name);
    return it == part.headers.end() ? "" : it->second;
}

std::string decoded_body(const Part &part) {
    const std::string encoding = lower(trim(header(part, "content-transfer-encoding")));
    if (encoding == "base64")
        return decode_base64_lenient(part.body);
    if (encoding == "quoted-printable")
        return decode_quoted_printable(part.body);
    return std::string(part.body);
}

std::string to_utf8(std::string text, const std::string &charset) {
    // Room for the widest growth (a single byte becoming four).
    std::string buffer = text;
    buffer.resize(text.size() * 4 + 16, '\0');
    com_CharsetToUTF8(charset.c_str(), buffer.data(), buffer.size());
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

std::string even_out_text(const std::string &text) {
    std::string out;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        out += line + "\n";
        pos = end + 1;
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// What a reader sees of an HTML body: the text between the tags, with the
// common entities undone.  Writers may add a <meta> charset tag or wrap
// the body anew; neither changes this.
std::string visible_html_text(const std::string &html) {
    std::string text;
    bool in_tag = false;
    for (char c : html) {
        if (c == '<')
            in_tag = true;
        else if (c == '>' && in_tag) {
            in_tag = false;
            text += ' ';
        } else if (!in_tag)
            text += c;
    }
    static const std::pair<const char *, const char *> kEntities[] = {
        {"&nbsp;", " "}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
    for (const auto &[entity, plain] : kEntities) {
        for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at))
            text.replace(at, std::strlen(entity), plain), at += std::strlen(plain);
    }
    return text;
}

std::string collapse_blanks(const std::string &text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

void walk(const Part &part, MimeDigest &digest, int depth) {
    if (depth > kMaxDepth)
        return;
    const std::string type = media_type(part);
    if (type.starts_with("multipart/")) {
        const std::string boundary = header_param(header(part, "content-type"), "boundary");
        if (boundary.empty())
            return;
        const std::string delimiter = "--" + boundary;
        size_t pos = part.body.find(delimiter);
        while (pos != std::string_view::npos) {
            size_t start = part.body.find('\n', pos);
            if (start == std::string_view::npos ||
                part.body.substr(pos + delimiter.size(), 2) == "--")
                break;
            ++start;
            size_t next = part.body.find("\n" + delimiter, start);
            const size_t end = next == std::string_view::npos ? part.body.size() : next;
            walk(split_part(part.body.substr(start, end - start)), digest, depth + 1);
            pos = next == std::string_view::npos ? next : next + 1;
        }
        return;
    }
    if (type == "message/rfc822") {
        ++digest.embedded_messages;
        return;
    }
    const std::string disposition = lower(header(part, "content-disposition"));
    const bool named = !header_param(header(part, "content-type"), "name").empty() ||
                       disposition.find("filename") != std::string::npos;
    const bool attachment = disposition.starts_with("attachment") || named;
    const std::string charset = header_param(header(part, "content-type"), "charset");
    if (!attachment && type == "text/plain" && !digest.text) {
        digest.text = even_out_text(to_utf8(decoded_body(part), charset));
        return;
    }
    if (!attachment && type == "text/html" && !digest.html) {
        digest.html = collapse_blanks(visible_html_text(to_utf8(decoded_body(part), charset)));
        return;
    }
    digest.attachment_sha256.push_back(sha256_hex(decoded_body(part)));
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

} // namespace

std::string decode_quoted_printable(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '=') {
            out += c;
            continue;
        }
        if (i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r')) {
            i += text[i + 1] == '\r' && i + 2 < text.size() && text[i + 2] == '\n' ? 2 : 1;
            continue; // soft line break
        }
        const int high = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            out += c;
            continue;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string decode_base64_lenient(std::string_view text) {
    std::string clean;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/')
            clean += c;
        else if (c == '=')
            break;
    }
    while (clean.size() % 4 != 0) {
        if (clean.size() % 4 == 1) { // a lone character carries no byte
            clean.pop_back();
            continue;
        }
        clean += '=';
    }
    return base64_decode(clean).value_or("");
}

MimeDigest digest_mime(std::string_view message) {
    MimeDigest digest;
    walk(split_part(message), digest, 0);
    std::sort(digest.attachment_sha256.begin(), digest.attachment_sha256.end());
    return digest;
}

} // namespace qvmigrate
