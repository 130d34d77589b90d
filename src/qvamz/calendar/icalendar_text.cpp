#include "calendar/icalendar_text.hpp"

#include <vector>

#include "common/xml_request_text.hpp"
#include "qv/qvcom.h"

namespace qvamz::calendar {

namespace {

constexpr int kUtf8CodePage = 65001;

// Control characters RFC 5545 keeps out of every value (tab aside); CR
// and LF are handled by the callers.
bool is_control(unsigned char c) {
    return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Valid UTF-8 without the control characters.
std::string clean(std::string_view text) {
    std::string out;
    for (char c : qvcommon::XmlRequestText(text)) {
        if (!is_control(static_cast<unsigned char>(c))) {
            out += c;
        }
    }
    return out;
}

} // namespace

std::string EscapeText(std::string_view text) {
    const std::string valid = clean(text);
    std::string out;
    out.reserve(valid.size() + valid.size() / 8);
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const char c = valid[i];
        switch (c) {
        case '\\':
        case ';':
        case ',':
            out += '\\';
            out += c;
            break;
        case '\r':
            if (i + 1 < valid.size() && valid[i + 1] == '\n') {
                ++i;
            }
            out += "\\n";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string ParamValue(std::string_view text) {
    std::string out;
    bool needs_quotes = false;
    for (char c : clean(text)) {
        if (c == '\r' || c == '\n') {
            continue;
        }
        if (c == ':' || c == ';' || c == ',') {
            needs_quotes = true;
        }
        out += c == '"' ? '\'' : c;
    }
    return needs_quotes ? '"' + out + '"' : out;
}

std::string UriValue(std::string_view text) {
    std::string out;
    for (char c : clean(text)) {
        if (c != '\r' && c != '\n') {
            out += c;
        }
    }
    return out;
}

std::string FoldLine(std::string_view line) {
    std::string out;
    out.reserve(line.size() + line.size() / 24 + 2);
    std::size_t room = kContentLineOctets;
    while (line.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && is_continuation(static_cast<unsigned char>(line[cut]))) {
            --cut;
        }
        if (cut == 0) {
            cut = room; // not UTF-8 at all: cut where the line is full
        }
        out.append(line.substr(0, cut));
        out += "\r\n ";
        line.remove_prefix(cut);
        room = kContentLineOctets - 1; // the leading space counts
    }
    out.append(line);
    out += "\r\n";
    return out;
}

std::string RecordTextUtf8(std::string_view text, int codepage) {
    text = text.substr(0, text.find('\0'));
    if (codepage == kUtf8CodePage) {
        return std::string(text);
    }
    // Room for every byte to become a three-byte character.
    std::vector<char> buffer(text.size() * 3 + 1, '\0');
    text.copy(buffer.data(), text.size());
    const bool converted =
        codepage == 0 ? com_CharsetToUTF8("", buffer.data(), buffer.size()) != 0
                      : com_CodepageToWindows(buffer.data(), buffer.size(), codepage,
                                              kUtf8CodePage) != 0;
    return converted ? std::string(buffer.data()) : std::string(text);
}

} // namespace qvamz::calendar
