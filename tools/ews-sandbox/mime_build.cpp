#include "mime_build.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "crypto_util.hpp"

namespace sandbox {

namespace {

constexpr std::size_t kEncodedWordChunk = 45; // 45 bytes -> 60 base64 chars + 12 of "=?UTF-8?B??="

bool plain_ascii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
}

// Chunks end on UTF-8 sequence boundaries so each encoded word decodes alone.
std::vector<std::string_view> utf8_chunks(std::string_view s, std::size_t max_bytes) {
    std::vector<std::string_view> out;
    while (!s.empty()) {
        std::size_t n = std::min(max_bytes, s.size());
        while (n < s.size() && n > 0 && (static_cast<unsigned char>(s[n]) & 0xc0) == 0x80) --n;
        if (n == 0) n = std::min(max_bytes, s.size());
        out.push_back(s.substr(0, n));
        s.remove_prefix(n);
    }
    return out;
}

struct HeaderField {
    std::string name;  // as written
    std::string lines; // the whole field with its folded lines and line ends
};

// The header block split into fields; `body_start` is where the body
// begins (after the empty line), or the text size when there is none.
std::vector<HeaderField> split_header(std::string_view mime, std::size_t &body_start) {
    std::vector<HeaderField> fields;
    std::size_t pos = 0;
    body_start = mime.size();
    while (pos < mime.size()) {
        std::size_t eol = mime.find('\n', pos);
        std::size_t next = eol == std::string_view::npos ? mime.size() : eol + 1;
        std::string_view line = mime.substr(pos, next - pos);
        if (line == "\n" || line == "\r\n") {
            body_start = next;
            break;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            fields.back().lines += line;
        } else {
            std::size_t colon = line.find(':');
            fields.push_back({std::string(line.substr(0, colon == std::string_view::npos ? 0 : colon)),
                              std::string(line)});
        }
        pos = next;
    }
    return fields;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool is_content_field(std::string_view name) {
    return name.size() > 8 && iequals(name.substr(0, 8), "Content-");
}

std::string percent_encode(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string attachment_part(const NewFileAttachment &a, const std::string &eol) {
    std::string type = a.content_type.empty() ? "application/octet-stream" : a.content_type;
    std::string name_param, filename_param;
    if (plain_ascii(a.name) && a.name.find_first_of("\"\\") == std::string::npos) {
        name_param = "name=\"" + a.name + "\"";
        filename_param = "filename=\"" + a.name + "\"";
    } else {
        name_param = "name=\"" + encode_header_text(a.name) + "\"";
        filename_param = "filename*=UTF-8''" + percent_encode(a.name);
    }
    std::string part = "Content-Type: " + type + ";" + eol + "\t" + name_param + eol;
    part += "Content-Disposition: " + std::string(a.is_inline ? "inline" : "attachment") + ";" +
            eol + "\t" + filename_param + eol;
    if (!a.content_id.empty()) part += "Content-ID: <" + a.content_id + ">" + eol;
    part += "Content-Transfer-Encoding: base64" + eol + eol;
    std::string b64 = base64_encode(a.content, 76);
    if (eol != "\r\n") {
        std::string lf;
        for (char c : b64)
            if (c != '\r') lf += c;
        b64 = lf;
    }
    return part + b64 + eol;
}

// The boundary of the top-level multipart/mixed, or "" when the message
// is not one.
std::string mixed_boundary(std::string_view mime) {
    auto headers = top_headers(mime);
    for (auto &[name, value] : headers) {
        if (!iequals(name, "Content-Type")) continue;
        std::string v = value;
        std::string low = v;
        std::transform(low.begin(), low.end(), low.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (low.rfind("multipart/mixed", 0) != 0) return "";
        std::size_t b = low.find("boundary=");
        if (b == std::string::npos) return "";
        std::string rest = v.substr(b + 9);
        if (!rest.empty() && rest[0] == '"') {
            std::size_t end = rest.find('"', 1);
            return end == std::string::npos ? "" : rest.substr(1, end - 1);
        }
        std::size_t end = rest.find_first_of("; \t");
        return rest.substr(0, end);
    }
    return "";
}

} // namespace

std::string rfc5322_date(UnixTime t, int offset_minutes) {
    static const char *days[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
    static const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    UnixTime local = t + offset_minutes * 60;
    std::string iso = format_ews_time(local); // YYYY-MM-DDTHH:MM:SSZ
    std::int64_t day_number = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    int weekday = static_cast<int>(((day_number % 7) + 7) % 7);
    int month = std::stoi(iso.substr(5, 2));
    char buf[64];
    int off = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    std::snprintf(buf, sizeof buf, "%s, %s %s %s %s %c%02d%02d", days[weekday],
                  iso.substr(8, 2).c_str(), months[month - 1], iso.substr(0, 4).c_str(),
                  iso.substr(11, 8).c_str(), offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

std::string encode_header_text(std::string_view utf8) {
    if (plain_ascii(utf8)) return std::string(utf8);
    std::string out;
    for (auto chunk : utf8_chunks(utf8, kEncodedWordChunk)) {
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64_encode(chunk) + "?=";
    }
    return out;
}

std::string format_address(const MailAddress &a) {
    if (a.name.empty()) return a.address;
    std::string name;
    if (plain_ascii(a.name)) {
        bool special = a.name.find_first_of("()<>[]:;@\\,.\"") != std::string::npos;
        if (special) {
            name = "\"";
            for (char c : a.name) {
                if (c == '"' || c == '\\') name += '\\';
                name += c;
            }
            name += "\"";
        } else {
            name = a.name;
        }
    } else {
        name = encode_header_text(a.name);
    }
    return name + " <" + a.address + ">";
}

std::string append_attachment(std::string_view mime, const NewFileAttachment &attachment) {
    std::size_t body_start = 0;
    auto fields = split_header(mime, body_start);
    std::string eol = mime.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    std::string part = attachment_part(attachment, eol);

    std::string boundary = mixed_boundary(mime);
    if (!boundary.empty()) {
        std::string closing = "--" + boundary + "--";
        std::size_t at = mime.rfind(closing);
        if (at != std::string_view::npos && at >= body_start &&
            (at == 0 || mime[at - 1] == '\n')) {
            std::string out(mime.substr(0, at));
            out += "--" + boundary + eol + part;
            out += mime.substr(at);
            return out;
        }
    }
    // Wrap: the old content headers and body become the first part.
    std::string new_boundary = "=_sandbox_" + sha256_hex(mime).substr(0, 24);
    std::string top, inner;
    for (const auto &f : fields) {
        if (is_content_field(f.name)) inner += f.lines;
        else if (!iequals(f.name, "MIME-Version")) top += f.lines;
    }
    if (inner.empty()) inner = "Content-Type: text/plain; charset=us-ascii" + eol;
    std::string out = top;
    out += "MIME-Version: 1.0" + eol;
    out += "Content-Type: multipart/mixed;" + eol + "\tboundary=\"" + new_boundary + "\"" + eol;
    out += eol;
    out += "--" + new_boundary + eol + inner + eol;
    out += mime.substr(std::min(body_start, mime.size()));
    out += eol; // belongs to the delimiter: the old body keeps its last line end
    out += "--" + new_boundary + eol + part;
    out += "--" + new_boundary + "--" + eol;
    return out;
}

std::string build_mime(const SimpleMessage &m) {
    const std::string eol = "\r\n";
    std::string out;
    if (m.from) out += "From: " + format_address(*m.from) + eol;
    auto list = [&](const char *name, const std::vector<MailAddress> &addrs) {
        if (addrs.empty()) return;
        out += name;
        out += ": ";
        for (std::size_t i = 0; i < addrs.size(); ++i)
            out += (i ? "," + eol + " " : "") + format_address(addrs[i]);
        out += eol;
    };
    list("To", m.to);
    list("Cc", m.cc);
    list("Bcc", m.bcc);
    out += "Subject: " + encode_header_text(m.subject) + eol;
    out += "Date: " + rfc5322_date(m.date) + eol;
    if (!m.message_id.empty()) out += "Message-ID: " + m.message_id + eol;
    out += "MIME-Version: 1.0" + eol;
    out += std::string("Content-Type: ") + (m.body_is_html ? "text/html" : "text/plain") +
           "; charset=\"utf-8\"" + eol;
    out += "Content-Transfer-Encoding: base64" + eol + eol;
    out += base64_encode(m.body, 76) + eol;
    return out;
}

} // namespace sandbox
