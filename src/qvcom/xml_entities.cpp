// xml_entities.cpp - XML escaping and unescaping of record texts in place.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/xml_escape.hpp"
#include "qv/qvcom.h"

namespace {

bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

size_t utf8_sequence_length(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

// The length to keep of `kept` when the byte after the cut is `next`: a
// cut through a UTF-8 sequence moves back to the sequence's first byte.
// Texts in single-byte code pages rarely look like a split sequence, and
// then lose at most one more character.
size_t cut_outside_sequence(const std::string &kept, unsigned char next) {
    const size_t length = kept.size();
    if (!is_continuation(next)) {
        return length;
    }
    for (size_t back = 1; back <= 3 && back <= length; ++back) {
        const auto c = static_cast<unsigned char>(kept[length - back]);
        if (!is_continuation(c)) {
            return utf8_sequence_length(c) > back ? length - back : length;
        }
    }
    return length;
}

struct NamedEntity {
    std::string_view name; // between "&" and ";"
    char value;
};

constexpr NamedEntity kNamedEntities[] = {
    {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''},
};

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

bool is_valid_code_point(uint32_t cp) {
    return cp != 0 && cp <= kMaxCodePoint && (cp < 0xD800 || cp > 0xDFFF);
}

size_t encode_utf8(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

int digit_value(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

// "&#N;" or "&#xH;" at `ref` (which starts after "&#"): the code point and
// the length of the digits and ";", or 0 when malformed or out of range.
size_t parse_numeric_reference(const char *ref, uint32_t &cp) {
    int base = 10;
    size_t pos = 0;
    if (ref[0] == 'x' || ref[0] == 'X') {
        base = 16;
        pos = 1;
    }
    const size_t first_digit = pos;
    uint32_t value = 0;
    for (int d; (d = digit_value(ref[pos], base)) >= 0; ++pos) {
        value = value * static_cast<uint32_t>(base) + static_cast<uint32_t>(d);
        if (value > kMaxCodePoint) {
            return 0;
        }
    }
    if (pos == first_digit || ref[pos] != ';' || !is_valid_code_point(value)) {
        return 0;
    }
    cp = value;
    return pos + 1;
}

// The replacement of the reference at `amp` into `out`; returns the input
// length consumed (0: not a reference we undo) and sets `written`.
size_t undo_reference(const char *amp, char *out, size_t &written) {
    if (amp[1] == '#') {
        uint32_t cp = 0;
        const size_t length = parse_numeric_reference(amp + 2, cp);
        if (length == 0) {
            return 0;
        }
        written = encode_utf8(cp, out);
        return 2 + length;
    }
    for (const auto &entity : kNamedEntities) {
        if (std::strncmp(amp + 1, entity.name.data(), entity.name.size()) == 0 &&
            amp[1 + entity.name.size()] == ';') {
            out[0] = entity.value;
            written = 1;
            return entity.name.size() + 2;
        }
    }
    return 0;
}

} // namespace

extern "C" {

QVCOM_API int com_Escape(char *text, size_t capacity, int /*mode*/) {
    if (text == nullptr || capacity == 0) {
        return 0;
    }
    try {
        const size_t limit = capacity - 1;
        std::string escaped;
        const char *p = text;
        for (; *p != '\0'; ++p) {
            const char *entity = qvcommon::EntityFor(*p);
            const size_t needed = entity != nullptr ? std::strlen(entity) : 1;
            if (escaped.size() + needed > limit) {
                break;
            }
            if (entity != nullptr) {
                escaped += entity;
            } else {
                escaped += *p;
            }
        }
        const bool complete = *p == '\0';
        const size_t length = complete
                                  ? escaped.size()
                                  : cut_outside_sequence(escaped, static_cast<unsigned char>(*p));
        std::memcpy(text, escaped.data(), length);
        text[length] = '\0';
        return complete ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

QVCOM_API void com_Unescape(char *text) {
    if (text == nullptr) {
        return;
    }
    // Every reference is at least as long as what it stands for, so the
    // write position never passes the read position.
    char *write = text;
    for (const char *read = text; *read != '\0';) {
        size_t written = 0;
        const size_t consumed = *read == '&' ? undo_reference(read, write, written) : 0;
        if (consumed > 0) {
            read += consumed;
            write += written;
        } else {
            *write++ = *read++;
        }
    }
    *write = '\0';
}

} // extern "C"
