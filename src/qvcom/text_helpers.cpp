// text_helpers.cpp - small in-place text operations of the C interface.
#include <cstdio>
#include <cstring>
#include <string>

#include "c_buffer.hpp"
#include "qv/qvcom.h"
#include "common/text_case.hpp"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_line_space(char c) {
    return is_blank(c) || c == '\r' || c == '\n';
}

void replace_all(char *text, char from, char to) {
    if (text == nullptr) {
        return;
    }
    for (; *text != '\0'; ++text) {
        if (*text == from) {
            *text = to;
        }
    }
}

// Characters that no file name may hold on any platform the host runs on.
bool is_forbidden_in_file_name(unsigned char c) {
    return c < 0x20 || c == 0x7f || std::strchr("\\/:*?\"<>|", c) != nullptr;
}

} // namespace

extern "C" {

QVCOM_API const char *com_stristr(const char *text, const char *needle, int /*reserved*/) {
    if (text == nullptr || needle == nullptr) {
        return nullptr;
    }
    const size_t needle_length = std::strlen(needle);
    for (const char *start = text;; ++start) {
        size_t i = 0;
        while (i < needle_length && start[i] != '\0' &&
               qvcommon::AsciiLower(start[i]) == qvcommon::AsciiLower(needle[i])) {
            ++i;
        }
        if (i == needle_length) {
            return start;
        }
        if (*start == '\0') {
            return nullptr;
        }
    }
}

QVCOM_API char *com_strncpy(char *dest, const char *src, size_t n) {
    if (dest == nullptr) {
        return nullptr;
    }
    size_t i = 0;
    for (; src != nullptr && i < n && src[i] != '\0'; ++i) {
        dest[i] = src[i];
    }
    dest[i] = '\0';
    return dest;
}

QVCOM_API void com_HexString(const void *bytes, char *out, size_t out_size, size_t n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (out == nullptr || out_size == 0) {
        return;
    }
    const auto *data = static_cast<const unsigned char *>(bytes);
    size_t pos = 0;
    for (size_t i = 0; data != nullptr && i < n && pos + 2 < out_size; ++i) {
        out[pos++] = kDigits[data[i] >> 4];
        out[pos++] = kDigits[data[i] & 0x0f];
    }
    out[pos] = '\0';
}

QVCOM_API void com_HexDump(const char *title, const void *data, size_t n) {
    constexpr size_t kBytesPerLine = 16;
    com_Log("%s (%zu bytes)", title != nullptr ? title : "", n);
    const auto *bytes = static_cast<const unsigned char *>(data);
    if (bytes == nullptr) {
        return;
    }
    for (size_t offset = 0; offset < n; offset += kBytesPerLine) {
        char hex[kBytesPerLine * 3 + 1] = {};
        char shown[kBytesPerLine + 1] = {};
        for (size_t i = 0; i < kBytesPerLine; ++i) {
            if (offset + i < n) {
                const unsigned char c = bytes[offset + i];
                std::snprintf(hex + i * 3, 4, "%02x ", c);
                shown[i] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
            } else {
                std::memcpy(hex + i * 3, "   ", 4);
            }
        }
        com_Log("%08zx  %s %s", offset, hex, shown);
    }
}

QVCOM_API void com_SlashToDelim(char *path) {
    replace_all(path, '/', '^');
}

QVCOM_API void com_DelimToSlash(char *path) {
    replace_all(path, '^', '/');
}

QVCOM_API void com_MakeValidDosName(char *name, int /*reserved*/) {
    if (name == nullptr) {
        return;
    }
    for (char *p = name; *p != '\0'; ++p) {
        if (is_forbidden_in_file_name(static_cast<unsigned char>(*p))) {
            *p = '_';
        }
    }
    // "." and ".." would name a folder, not a file.  An empty name stays
    // empty: without the buffer's capacity it cannot safely grow.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        std::memset(name, '_', std::strlen(name));
    }
}

QVCOM_API char *com_ltrim(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t skip = 0;
    while (is_blank(text[skip])) {
        ++skip;
    }
    if (skip > 0) {
        std::memmove(text, text + skip, std::strlen(text + skip) + 1);
    }
    return text;
}

QVCOM_API char *com_rtrim(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t length = std::strlen(text);
    while (length > 0 && is_line_space(text[length - 1])) {
        text[--length] = '\0';
    }
    return text;
}

QVCOM_API char *com_delspaces(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    char *write = text;
    bool pending_blank = false;
    for (const char *read = text; *read != '\0'; ++read) {
        if (is_blank(*read)) {
            pending_blank = write != text;
            continue;
        }
        if (pending_blank) {
            *write++ = ' ';
            pending_blank = false;
        }
        *write++ = *read;
    }
    *write = '\0';
    return text;
}

QVCOM_API char *com_TrimLine(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    com_rtrim(text);
    size_t skip = 0;
    while (is_line_space(text[skip])) {
        ++skip;
    }
    if (skip > 0) {
        std::memmove(text, text + skip, std::strlen(text + skip) + 1);
    }
    return text;
}

QVCOM_API char *com_Remove_Quotes(char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    com_TrimLine(text);
    const size_t length = std::strlen(text);
    if (length >= 2 && (text[0] == '"' || text[0] == '\'') && text[length - 1] == text[0]) {
        std::memmove(text, text + 1, length - 2);
        text[length - 2] = '\0';
    }
    return text;
}

} // extern "C"
