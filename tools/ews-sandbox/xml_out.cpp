#include "xml_out.hpp"

#include "mail_codec.hpp"

namespace sandbox {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10ffff ||
        (cp >= 0xd800 && cp <= 0xdfff) || cp == 0xfffe || cp == 0xffff)
        return 0;
    return len;
}

// Plain ASCII text other than control characters passes unchanged; only
// the rare byte that needs a decision goes through utf8_sequence.
bool plain_ascii(unsigned char c) {
    return (c >= 0x20 && c < 0x80) || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

std::string xml_clean_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = i;
        while (run < text.size() && plain_ascii(static_cast<unsigned char>(text[run])))
            ++run;
        out.append(text, i, run - i);
        i = run;
        if (i == text.size())
            break;
        const std::size_t len = utf8_sequence(text, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else if (len == 1) {
            ++i; // a control character XML 1.0 cannot carry
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

std::string xml_escape(std::string_view text, bool attribute) {
    const std::string clean = xml_clean_utf8(text);
    // Characters that always need an entity; in an attribute the quote and
    // the white space an attribute value would lose as well.
    auto special = [attribute](char c) {
        switch (c) {
        case '&': case '<': case '>': case '\r': return true;
        case '"': case '\n': case '\t': return attribute;
        default: return false;
        }
    };
    std::string out;
    out.reserve(clean.size() + 16);
    std::size_t start = 0;
    for (;;) {
        std::size_t at = start;
        while (at < clean.size() && !special(clean[at]))
            ++at;
        out.append(clean, start, at - start);
        if (at == clean.size())
            break;
        switch (clean[at]) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\r': out += "&#13;"; break; // a bare CR would be read back as LF
        case '\n': out += "&#10;"; break;
        case '\t': out += "&#9;"; break;
        }
        start = at + 1;
    }
    return out;
}

void XmlOut::end_start_tag() {
    if (in_start_tag_) {
        out_ += '>';
        in_start_tag_ = false;
    }
}

XmlOut &XmlOut::open(std::string_view name) {
    end_start_tag();
    out_ += '<';
    out_ += name;
    stack_.emplace_back(name);
    in_start_tag_ = true;
    return *this;
}

XmlOut &XmlOut::attr(std::string_view name, std::string_view value) {
    if (!in_start_tag_) return *this; // attributes only belong in a start tag
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    out_ += xml_escape(value, true);
    out_ += '"';
    return *this;
}

XmlOut &XmlOut::attr(std::string_view name, std::int64_t value) {
    return attr(name, std::to_string(value));
}

XmlOut &XmlOut::text(std::string_view value) {
    end_start_tag();
    out_ += xml_escape(value);
    return *this;
}

XmlOut &XmlOut::base64_text(std::string_view bytes) {
    end_start_tag();
    base64_append(out_, bytes);
    return *this;
}

XmlOut &XmlOut::close() {
    if (stack_.empty()) return *this;
    if (in_start_tag_) {
        out_ += "/>";
        in_start_tag_ = false;
    } else {
        out_ += "</";
        out_ += stack_.back();
        out_ += '>';
    }
    stack_.pop_back();
    return *this;
}

XmlOut &XmlOut::leaf(std::string_view name, std::string_view value) {
    open(name);
    end_start_tag();
    out_ += xml_escape(value);
    out_ += "</";
    out_ += name;
    out_ += '>';
    stack_.pop_back();
    return *this;
}

XmlOut &XmlOut::leaf(std::string_view name, std::int64_t value) {
    return leaf(name, std::to_string(value));
}

XmlOut &XmlOut::leaf_bool(std::string_view name, bool value) {
    return leaf(name, value ? "true" : "false");
}

XmlOut &XmlOut::empty(std::string_view name) { return open(name).close(); }

XmlOut &XmlOut::raw(std::string_view xml) {
    end_start_tag();
    out_ += xml;
    return *this;
}

std::string XmlOut::finish() {
    while (!stack_.empty()) close();
    return std::move(out_);
}

} // namespace sandbox
