#include "demo_mime.hpp"

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "mail_codec.hpp"

namespace sandbox::demo {

namespace {

bool plain_ascii(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c >= 0x7f) return false;
    return true;
}

std::uint32_t crc32(std::string_view data) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::uint32_t adler32(std::string_view data) {
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void put32(std::string &out, std::uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void png_chunk(std::string &out, const char *type, const std::string &data) {
    put32(out, static_cast<std::uint32_t>(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    put32(out, crc32(body));
}

std::string q_word(std::string_view bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == ' ') {
            out += '_';
        } else if (c > 0x20 && c < 0x7f && c != '=' && c != '?' && c != '_' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "=%02X", c);
            out += buf;
        }
    }
    return out;
}

} // namespace

bool try_charset(std::string_view utf8, const char *charset, std::string &out) {
    gsize written = 0;
    gchar *converted = g_convert(utf8.data(), static_cast<gssize>(utf8.size()), charset, "UTF-8",
                                 nullptr, &written, nullptr);
    if (!converted) return false;
    out.assign(converted, written);
    g_free(converted);
    return true;
}

std::string to_charset(std::string_view utf8, const char *charset) {
    std::string out;
    if (!try_charset(utf8, charset, out))
        throw std::runtime_error(std::string("demo text does not fit charset ") + charset);
    return out;
}

std::string encoded_words(std::string_view utf8, const char *charset, char encoding) {
    if (plain_ascii(utf8)) return std::string(utf8);
    // Split on UTF-8 boundaries into pieces that stay well below 75 characters
    // once encoded; stateful charsets (ISO-2022-JP) restart in each word.
    std::string out;
    std::size_t pos = 0;
    const std::size_t piece = encoding == 'B' ? 30 : 18;
    while (pos < utf8.size()) {
        std::size_t n = std::min(piece, utf8.size() - pos);
        while (pos + n < utf8.size() && (static_cast<unsigned char>(utf8[pos + n]) & 0xc0) == 0x80) ++n;
        // A piece the charset cannot hold goes out as UTF-8, labelled so:
        // a word must never carry bytes of another charset than it names.
        const char *label = charset;
        std::string bytes;
        if (!try_charset(utf8.substr(pos, n), charset, bytes)) {
            label = "UTF-8";
            bytes.assign(utf8.substr(pos, n));
        }
        if (!out.empty()) out += "\r\n ";
        out += std::string("=?") + label + "?" + encoding + "?" +
               (encoding == 'B' ? base64_encode(bytes) : q_word(bytes)) + "?=";
        pos += n;
    }
    return out;
}

std::string quoted_printable(std::string_view bytes) {
    std::string out;
    std::size_t column = 0;
    auto emit = [&](const std::string &token) {
        if (column + token.size() > 75) {
            out += "=\r\n";
            column = 0;
        }
        out += token;
        column += token.size();
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        if (c == '\n') {
            // Trailing blanks before a line end must be encoded.
            if (!out.empty() && (out.back() == ' ' || out.back() == '\t')) {
                char last = out.back();
                out.pop_back();
                char buf[4];
                std::snprintf(buf, sizeof buf, "=%02X", static_cast<unsigned char>(last));
                out += buf;
            }
            out += "\r\n";
            column = 0;
            continue;
        }
        if ((c >= 33 && c <= 126 && c != '=') || c == ' ' || c == '\t') {
            emit(std::string(1, static_cast<char>(c)));
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "=%02X", c);
            emit(buf);
        }
    }
    return out;
}

std::string tiny_png(int width, int height, unsigned char r, unsigned char g, unsigned char b) {
    std::string raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0'); // filter: none
        for (int x = 0; x < width; ++x) {
            raw.push_back(static_cast<char>(r));
            raw.push_back(static_cast<char>(g));
            raw.push_back(static_cast<char>(b));
        }
    }
    // zlib stream holding one stored deflate block (raw stays far below 64 KiB)
    std::string z = "\x78\x01";
    z.push_back('\x01');
    auto len = static_cast<std::uint16_t>(raw.size());
    z.push_back(static_cast<char>(len & 0xff));
    z.push_back(static_cast<char>(len >> 8));
    z.push_back(static_cast<char>(~len & 0xff));
    z.push_back(static_cast<char>((~len >> 8) & 0xff));
    z += raw;
    put32(z, adler32(raw));

    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    put32(ihdr, static_cast<std::uint32_t>(width));
    put32(ihdr, static_cast<std::uint32_t>(height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5); // 8 bit, RGB, deflate, no filter, no interlace
    png_chunk(png, "IHDR", ihdr);
    png_chunk(png, "IDAT", z);
    png_chunk(png, "IEND", "");
    return png;
}

std::string tiny_pdf(const std::string &title) {
    std::string text = "BT /F1 18 Tf 72 720 Td (" + title + ") Tj ET";
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        " /Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(text.size()) + " >>\nstream\n" + text + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%010zu 00000 n \n", off);
        pdf += buf;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

std::string base64_lines(std::string_view bytes) { return base64_encode(bytes, 76) + "\r\n"; }

} // namespace sandbox::demo
