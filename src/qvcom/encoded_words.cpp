// RFC 2047 encoded words: decoding header text to UTF-8 and encoding UTF-8
// header text for a message being written.
#include <algorithm>
#include <cstring>
#include <optional>

#include "mime_internal.hpp"
#include "common/base64.hpp"
#include "common/hex.hpp"
#include "common/text_case.hpp"

namespace qvcom::mime {
namespace {

// An encoded word longer than this is taken as plain text; real words are
// at most 75 characters, agents that ignore the limit stay far below it.
constexpr std::size_t kMaxEncodedWord = 4000;
// Bytes of UTF-8 per word written: 45 bytes make 60 base64 characters, so
// "=?UTF-8?B?...?=" stays within the 75 characters a word may have.
constexpr std::size_t kEncodeChunk = 45;

struct EncodedWord {
    std::string charset;
    std::string bytes;
    std::size_t length = 0; // characters of the word in the source text
};

std::string decode_q(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out.push_back(' ');
        } else if (c == '=' && i + 2 < text.size() && qvcommon::HexDigitValue(text[i + 1]) >= 0 &&
                   qvcommon::HexDigitValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(qvcommon::HexDigitValue(text[i + 1]) * 16 +
                                            qvcommon::HexDigitValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The encoded word "=?charset?B|Q?text?=" at the start of `text`, if any.
std::optional<EncodedWord> parse_word(std::string_view text)
{
    if (text.size() < 8 || text[0] != '=' || text[1] != '?')
        return std::nullopt;
    const std::size_t q1 = text.find('?', 2);
    if (q1 == std::string_view::npos || q1 == 2 || q1 + 3 > text.size() || text[q1 + 2] != '?')
        return std::nullopt;
    std::string_view charset = text.substr(2, q1 - 2);
    if (charset.find_first_of(" \t\r\n\"") != std::string_view::npos)
        return std::nullopt;
    const char encoding = qvcommon::AsciiLower(text[q1 + 1]);
    if (encoding != 'b' && encoding != 'q')
        return std::nullopt;
    const std::size_t payload_start = q1 + 3;
    const std::size_t end = text.find("?=", payload_start);
    if (end == std::string_view::npos || end > kMaxEncodedWord)
        return std::nullopt;
    std::string_view payload = text.substr(payload_start, end - payload_start);
    if (payload.find_first_of("\r\n") != std::string_view::npos)
        return std::nullopt;
    // RFC 2231 lets a language follow the charset: "utf-8*en".
    if (const std::size_t star = charset.find('*'); star != std::string_view::npos)
        charset = charset.substr(0, star);
    EncodedWord word;
    word.charset.assign(charset);
    word.bytes = encoding == 'b' ? qvcommon::Base64Decode(payload) : decode_q(payload);
    word.length = end + 2;
    return word;
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

// Decodes every encoded word of `text`; returns the code page of the first
// word (0 when there was none).
int decode_encoded_words(std::string_view text, std::string &out)
{
    out.clear();
    int first_codepage = 0;
    std::string group_charset, group_bytes, held_blanks;
    bool after_word = false;
    const auto flush_group = [&] {
        if (!group_bytes.empty() || !group_charset.empty())
            out += to_utf8(group_bytes, group_charset);
        group_bytes.clear();
        group_charset.clear();
    };
    for (std::size_t i = 0; i < text.size();) {
        if (auto word = parse_word(text.substr(i))) {
            if (!first_codepage) {
                first_codepage = codepage_of_charset(word->charset);
                if (!first_codepage)
                    first_codepage = 65001;
            }
            // Blanks between two encoded words are dropped; bytes of words in
            // the same charset are joined so that characters split across
            // words come out whole.
            if (!(after_word && qvcommon::EqualsNoCase(word->charset, group_charset))) {
                flush_group();
                if (!after_word)
                    out += held_blanks;
                group_charset = word->charset;
            }
            held_blanks.clear();
            group_bytes += word->bytes;
            after_word = true;
            i += word->length;
            continue;
        }
        const char c = text[i++];
        if (after_word && is_blank(c)) {
            held_blanks.push_back(c);
            continue;
        }
        flush_group();
        out += held_blanks;
        held_blanks.clear();
        after_word = false;
        out.push_back(c);
    }
    flush_group();
    out += held_blanks;
    return first_codepage;
}

namespace {

// `utf8` as encoded words of at most 75 characters, separated by blanks.
std::string encode_run(std::string_view utf8)
{
    std::string out;
    while (!utf8.empty()) {
        const std::size_t n = utf8_cut(utf8, kEncodeChunk);
        if (!out.empty())
            out.push_back(' ');
        out += "=?UTF-8?B?" + qvcommon::Base64Encode(utf8.substr(0, n)) + "?=";
        utf8.remove_prefix(n);
    }
    return out;
}

// Encodes the words of a header value that are not ASCII.  Angle addresses
// stay as they are; a quoted name keeps its quotes around the encoded words
// (every common agent reads them there, and the message writer decides on
// quoting by the quotes it finds).
std::string encode_header(std::string_view text)
{
    std::string out, run;
    const auto flush_run = [&] {
        // Trailing blanks of a run stay plain text.
        std::size_t end = run.size();
        while (end > 0 && is_blank(run[end - 1]))
            --end;
        out += encode_run(std::string_view(run).substr(0, end));
        out += run.substr(end);
        run.clear();
    };
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '<') {
            std::size_t close = text.find('>', i);
            close = close == std::string_view::npos ? text.size() : close + 1;
            flush_run();
            out += text.substr(i, close - i);
            i = close;
        } else if (c == '"') {
            std::size_t close = i + 1;
            std::string inner;
            while (close < text.size() && text[close] != '"') {
                if (text[close] == '\\' && close + 1 < text.size())
                    ++close;
                inner.push_back(text[close++]);
            }
            flush_run();
            if (is_ascii(inner))
                out += text.substr(i, std::min(close + 1, text.size()) - i);
            else
                out += '"' + encode_run(inner) + '"';
            i = std::min(close + 1, text.size());
        } else {
            std::size_t end = i;
            while (end < text.size() && !is_blank(text[end]) && text[end] != '<' &&
                   text[end] != '"')
                ++end;
            while (end < text.size() && is_blank(text[end]))
                ++end;
            const std::string_view word = text.substr(i, end - i);
            if (!is_ascii(word)) {
                run += word;
            } else if (!run.empty() &&
                       word.find_first_not_of(" \t\r\n") == std::string_view::npos) {
                run += word; // blanks between two non-ASCII words
            } else {
                flush_run();
                out += word;
            }
            i = end;
        }
    }
    flush_run();
    return out;
}

} // namespace
} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_Decode_iso(char *text, size_t capacity, int reserved)
{
    (void)reserved;
    if (!text || capacity == 0)
        return 0;
    const std::string_view in(text, strnlen(text, capacity));
    if (in.find("=?") == std::string_view::npos)
        return 0;
    std::string out;
    const int codepage = decode_encoded_words(in, out);
    if (codepage)
        copy_out(out, text, capacity);
    return codepage;
}

extern "C" QVCOM_API int com_Encode_iso(char *text, size_t capacity, int codepage, char *charset,
                                       size_t charset_size)
{
    if (charset && charset_size > 0)
        copy_out("UTF-8", charset, charset_size);
    if (!text || capacity == 0)
        return 1;
    std::string value(text, strnlen(text, capacity));
    if (!is_valid_utf8(value)) {
        std::string converted;
        const std::string decoder = decoder_for_codepage(codepage);
        if (!decoder.empty() && convert(value, decoder, "UTF-8", converted))
            value = converted;
    }
    if (is_ascii(value))
        return copy_out(value, text, capacity) ? 1 : 0;
    const std::string encoded = encode_header(value);
    if (encoded.size() < capacity) {
        std::memcpy(text, encoded.c_str(), encoded.size() + 1);
        return 1;
    }
    // Never cut inside an encoded word: keep the whole words that fit.
    std::size_t cut = encoded.rfind(' ', capacity - 1);
    cut = cut == std::string::npos ? 0 : cut;
    std::memcpy(text, encoded.data(), cut);
    text[cut] = '\0';
    return 0;
}
