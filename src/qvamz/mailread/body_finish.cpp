// Part post-processing: decoding, the one plain-text body, names and
// charsets, and inline text shown inside an HTML message.
#include "mailread/body_finish.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

#include <unistd.h>

#include "mailread/header_text.hpp"
#include "mailread/part_bytes.hpp"
#include "mailread/parser_limits.hpp"
#include "qv/qvcom.hpp"
#include "common/inline_part_types.hpp"
#include "common/unique_file.hpp"
#include "common/xml_escape.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr int kLatin1Codepage = 28591;
// A body of this many bytes or fewer is empty when it holds line ends only.
constexpr std::uint32_t kEmptyBodyMax = 4;
constexpr const char *kUnnamed = "Message Text"; // the name of a part that has none
constexpr std::string_view kPgpPartName = "pgp message";

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

// A body that holds nothing but line ends (the part copier keeps the line
// end before a boundary with the boundary, so "OK" is two bytes of text).
bool holds_only_line_ends(const std::string &path, std::uint32_t size)
{
    if (size == 0)
        return true;
    if (size > kEmptyBodyMax)
        return false;
    qvcommon::UniqueFile f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    int c;
    while ((c = getc_unlocked(f.get())) != EOF)
        if (c != '\r' && c != '\n')
            return false;
    return true;
}

// Only the first plain-text part is the body, and only when it has no file
// name of its own: a named text part is a file, as its sender sent it.  A
// later unnamed one, and any part of a report, stays an inline text part.
void settle_text_part(qv_part *part, bool text_body_seen)
{
    if (part->part_type != QV_PART_TEXT_BODY)
        return;
    const std::string_view name = part->file_name;
    const bool unnamed = qvcommon::EqualsNoCase(name, kUnnamed);
    if (qvcommon::IsTypedInlinePartName(name))
        part->part_type = QV_PART_INLINE_TEXT;
    else if (!unnamed && name != kPgpPartName)
        part->part_type = QV_PART_ATTACHMENT;
    else if (text_body_seen)
        part->part_type = unnamed ? QV_PART_INLINE_TEXT : QV_PART_ATTACHMENT;
}

// Whether bytes read so far hold valid UTF-8 (ASCII included);
// `pending` carries the continuation bytes still due from one piece of
// a file to the next.
bool utf8_so_far(std::string_view bytes, int &pending)
{
    for (const char byte : bytes) {
        const int c = static_cast<unsigned char>(byte);
        if (pending > 0) {
            if ((c & 0xC0) != 0x80)
                return false;
            --pending;
        } else if (c >= 0xF0 && c <= 0xF4) {
            pending = 3;
        } else if (c >= 0xE0 && c <= 0xEF) {
            pending = 2;
        } else if (c >= 0xC2 && c <= 0xDF) {
            pending = 1;
        } else if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

// Whether a part holds valid UTF-8: its bytes in memory, or its file.
bool part_is_utf8(const std::string &path, const PartBytes *loaded)
{
    int pending = 0; // continuation bytes still due
    if (loaded)
        return utf8_so_far(loaded->bytes(), pending) && pending == 0;
    qvcommon::UniqueFile f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f.get())) > 0)
        if (!utf8_so_far(std::string_view(buf, got), pending))
            return false;
    return pending == 0;
}

// A part whose charset nobody declared: text that is valid UTF-8 is taken
// as such (as current mailers write it), anything else as Latin-1, the
// mail default.
template <class Loaded>
void settle_undeclared_charset(qv_part *part, const std::string &path, Loaded loaded)
{
    const int code = part->part_type;
    if (part->charset[0] != '\0' || code == QV_PART_HEADERS || code == QV_PART_EMBEDDED_MSG)
        return;
    const bool text = code == QV_PART_TEXT_BODY || code == QV_PART_INLINE_TEXT;
    const bool utf8 = text && part_is_utf8(path, loaded());
    store(part->charset, utf8 ? "UTF-8" : "ISO-8859-1");
}

std::uint32_t file_size(const std::string &path)
{
    const std::int64_t size = com_GetFileSize(path.c_str(), nullptr);
    return size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);
}

bool is_8bit_utf8(std::string_view text)
{
    bool eight_bit = false;
    for (char c : text)
        eight_bit = eight_bit || static_cast<unsigned char>(c) >= 0x80;
    return eight_bit && CharsetToUtf8(text, "utf-8") == text;
}

// Names not written as encoded words are in the part's charset; a name
// that already is UTF-8 (as modern agents send it) stays.
void decode_name(qv_part *part, const qv_message *msg)
{
    const std::string name = part->file_name;
    int codepage = 0;
    const std::string decoded = DecodeIso(name, codepage);
    if (codepage) {
        store(part->file_name, decoded);
        return;
    }
    bool ascii = true;
    for (char c : name)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii || is_8bit_utf8(name))
        return;
    if (part->charset[0])
        store(part->file_name, CharsetToUtf8(name, part->charset));
    else
        store(part->file_name,
              CodepageToUtf8(name, msg->codepage ? msg->codepage : kLatin1Codepage));
}

// True when the file was decoded (and so changed).
bool decode_base64(qv_part *part, const std::string &path, const std::string &work_dir)
{
    switch (part->part_type) {
    case 3:
    case 15: part->part_type = QV_PART_ATTACHMENT; break;
    case 6: part->part_type = QV_PART_TEXT_BODY; break;
    case 10: part->part_type = QV_PART_HTML_BODY; break;
    default: return false;
    }
    com_convert_base64(path.c_str(), work_dir.c_str());
    part->size = file_size(path);
    return true;
}

// One line of a file, at most `max` characters (the rest of a longer line
// comes as the next line).  False at the end of the file.
bool read_line(FILE *f, std::string &line, std::size_t max)
{
    line.clear();
    int c;
    while (line.size() < max && (c = getc_unlocked(f)) != EOF) {
        if (c == '\n')
            return true;
        line.push_back(static_cast<char>(c));
    }
    return !line.empty() || line.size() >= max;
}

// The same lines out of bytes in memory, from `at` on.
bool next_line(std::string_view bytes, std::size_t &at, std::string_view &line, std::size_t max)
{
    const std::string_view rest = bytes.substr(std::min(at, bytes.size()));
    const std::size_t end = rest.substr(0, max).find('\n');
    if (end != std::string_view::npos) {
        line = rest.substr(0, end);
        at += end + 1;
        return true;
    }
    line = rest.substr(0, max);
    at += line.size();
    return !line.empty();
}

// Whether a line is the meta line that names the charset; it then goes
// into the part, unless it names a charset the body cannot be in.
bool meta_line_charset(qv_part *part, std::string_view line)
{
    if ((!qvcommon::ContainsNoCase(line, "<meta http") &&
         !qvcommon::ContainsNoCase(line, "<meta charset")) ||
        !qvcommon::ContainsNoCase(line, "charset="))
        return false;
    std::string_view value = line.substr(qvcommon::FindNoCase(line, "charset=") + 8);
    value = value.substr(0, kMetaCharsetMax);
    if (!value.empty() && (value[0] == '"' || value[0] == '\''))
        value.remove_prefix(1);
    value = value.substr(0, value.find_first_of("\"'>;/ \t\r"));
    if (!value.empty() && !qvcommon::EqualsNoCase(value, "unicode") &&
        !qvcommon::EqualsNoCase(value, "utf-16"))
        store(part->charset, value);
    return true;
}

// The charset an HTML body declares in its first meta line.
void html_meta_charset(qv_part *part, const std::string &path, const PartBytes *loaded)
{
    if (loaded) {
        std::size_t at = 0;
        std::string_view line;
        while (next_line(loaded->bytes(), at, line, kHtmlMetaLineMax))
            if (meta_line_charset(part, line))
                return;
        return;
    }
    qvcommon::UniqueFile f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return;
    std::string line;
    while (read_line(f.get(), line, kHtmlMetaLineMax))
        if (meta_line_charset(part, line))
            return;
}

// A part file this small is rewritten in place from a copy in memory;
// larger ones go through "TEMPFILE.TMP" so memory stays bounded.
constexpr std::uint32_t kRewriteInMemoryMax = kPartBytesMax;

// Rewrites a small part file over itself from a copy in memory: no second
// file to create and rename.  `write` fills the file from its former bytes.
// False when the file could not be read, so the caller takes the way
// through a work file.
template <class Writer>
bool rewrite_part_in_memory(qv_part *part, const std::string &path, Writer write)
{
    qvcommon::UniqueFile file(std::fopen(path.c_str(), "r+b"));
    if (!file)
        return false;
    std::string before;
    char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file.get())) > 0)
        before.append(buf, got);
    qvcommon::UniqueFile in(fmemopen(before.data(), before.size(), "rb"));
    if (std::ferror(file.get()) || !in)
        return false;
    std::rewind(file.get());
    write(in.get(), file.get());
    const long size = std::ftell(file.get());
    std::fflush(file.get());
    // No cut when the length stays (an inode update saved).
    if (size >= 0 && (static_cast<std::size_t>(size) == before.size() ||
                      ftruncate(fileno(file.get()), size) == 0))
        part->size = static_cast<std::uint32_t>(size);
    return true;
}

// Rewrites a part file through "TEMPFILE.TMP": `write` fills the new file
// from the old.  False (and a debug line) when the work file cannot be
// created; the part then stays as it is.
template <class Writer>
bool rewrite_part(qv_part *part, const std::string &path, const std::string &work_dir, bool debug,
                  Writer write)
{
    if (part->size <= kRewriteInMemoryMax && rewrite_part_in_memory(part, path, write))
        return true;
    const std::string temp = work_dir + "TEMPFILE.TMP";
    {
        qvcommon::UniqueFile out(std::fopen(temp.c_str(), "wb"));
        if (!out) {
            QV_DEBUG_LOG(debug, "debug: cannot open %s, errno=%d", temp.c_str(), errno);
            return false;
        }
        qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
        write(in.get(), out.get());
    }
    std::remove(path.c_str());
    std::rename(temp.c_str(), path.c_str());
    part->size = file_size(path);
    return true;
}

bool copy_stream(FILE *in, FILE *out)
{
    if (!in)
        return true;
    char buf[65536];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, in)) > 0)
        std::fwrite(buf, 1, got, out);
    return true;
}

// Text too large to convert in memory: converted into "TEMPFILE.TMP",
// which then takes the place of the part file.
bool convert_through_work_file(qv_part *part, const std::string &path,
                               const std::string &work_dir, bool debug)
{
    const std::string temp = work_dir + "TEMPFILE.TMP";
    if (!qvcommon::UniqueFile(std::fopen(temp.c_str(), "wb"))) {
        QV_DEBUG_LOG(debug, "debug: cannot open %s, errno=%d", temp.c_str(), errno);
        return false;
    }
    if (!com_ConvertFileToUTF8(path.c_str(), temp.c_str(), part->charset)) {
        std::remove(temp.c_str());
        return true; // this part stays; the next ones go on
    }
    std::remove(path.c_str());
    std::rename(temp.c_str(), path.c_str());
    part->size = file_size(path);
    return true;
}

std::string html_meta_line(const qv_part *part)
{
    return std::string("<html><META http-equiv=\"Content-Type\" content=\"text/html; charset=") +
           part->charset + "\">\n";
}

// HTML keeps its bytes and gets a META line; text becomes UTF-8.  A part
// read into memory (`loaded`) is written back through its descriptor, and
// text that would convert to itself is left alone.
bool convert_charset(qv_part *part, const std::string &path, const std::string &work_dir,
                     bool debug, PartBytes *loaded)
{
    if (part->part_type == QV_PART_HTML_BODY && loaded) {
        const bool replaced = loaded->Replace(html_meta_line(part) + loaded->bytes());
        part->size = replaced ? static_cast<std::uint32_t>(loaded->bytes().size())
                              : file_size(path);
        return true;
    }
    if (part->part_type != QV_PART_HTML_BODY && loaded &&
        ConvertsToItself(loaded->bytes(), part->charset, sizeof part->charset)) {
        part->size = static_cast<std::uint32_t>(loaded->bytes().size());
        store(part->charset, "UTF-8");
        return true;
    }
    if (part->part_type == QV_PART_HTML_BODY) {
        return rewrite_part(
            part, path, work_dir, debug, [&](FILE *in, FILE *out) {
                std::fputs(html_meta_line(part).c_str(), out);
                return copy_stream(in, out);
            });
    }
    // A converter that fails leaves the file as it was; the part then
    // stays as it is, with its charset named UTF-8 as before.
    bool ok = true;
    if (part->size <= kRewriteInMemoryMax) {
        com_ConvertFileToUTF8(path.c_str(), path.c_str(), part->charset);
        part->size = file_size(path);
    } else {
        ok = convert_through_work_file(part, path, work_dir, debug);
    }
    if (ok)
        store(part->charset, "UTF-8");
    return ok;
}

// Inline text shown in an HTML message: preformatted, its markup
// characters escaped so that the text reads as it was written.
void wrap_inline_text(qv_part *part, const std::string &path, const std::string &work_dir,
                      bool debug)
{
    part->part_type = QV_PART_HTML_BODY;
    rewrite_part(part, path, work_dir, debug, [](FILE *in, FILE *out) {
        std::fputs("<HR><pre>\n", out);
        int c, last = '\n';
        while (in && (c = getc_unlocked(in)) != EOF) {
            if (c == '\r') {
                const int next = getc_unlocked(in);
                if (next != '\n' && next != EOF)
                    std::ungetc(next, in);
                c = '\n';
            }
            if (const char *entity =
                    qvcommon::EntityFor(static_cast<char>(c), qvcommon::EscapeQuotes::kNone))
                std::fputs(entity, out);
            else
                std::fputc(c, out);
            last = c;
        }
        if (last != '\n')
            std::fputc('\n', out);
        std::fputs("</pre>\n", out);
        return true;
    });
}

} // namespace

void PostProcessParts(qv_message *msg, const std::string &work_dir,
                      const ParserSettings &settings, PartBytes *kept)
{
    PartBytes own;
    PartBytes &file = kept ? *kept : own;
    bool text_body = false, html_body = false;
    for (int i = 0; i < msg->part_count; ++i) {
        qv_part *part = msg->parts[i];
        const std::string path = qvcom::part_file_path(work_dir, msg->msg_number, i);
        if ((part->part_type == QV_PART_TEXT_BODY || part->part_type == QV_PART_HTML_BODY) &&
            holds_only_line_ends(path, part->size)) {
            part->part_type = QV_PART_NOT_WRITTEN;
            continue;
        }
        settle_text_part(part, text_body);
        decode_name(part, msg);
        if (decode_base64(part, path, work_dir) && file.holds(path))
            file.Forget();
        settle_text_part(part, text_body); // a base64 text part counts like any other
        // The steps below look at the part's bytes: read once, when the
        // first of them needs them, unless an earlier step holds them.
        bool load_tried = false;
        const auto loaded = [&]() -> PartBytes * {
            if (!load_tried && !file.holds(path))
                file.Load(path);
            load_tried = true;
            return file.holds(path) ? &file : nullptr;
        };
        if (part->part_type == QV_PART_HTML_BODY && settings.html_charset_rule)
            html_meta_charset(part, path, loaded());
        settle_undeclared_charset(part, path, loaded);
        const int code = part->part_type;
        // Parts of a report and text of other types keep their bytes and
        // their charset, as files do.
        const bool keeps_bytes = code == QV_PART_INLINE_TEXT &&
                                 qvcommon::IsTypedInlinePartName(part->file_name);
        if (part->charset[0] && code != QV_PART_ATTACHMENT && code != QV_PART_EMBEDDED_MSG &&
            code != QV_PART_HEADERS && !keeps_bytes &&
            !convert_charset(part, path, work_dir, settings.debug, loaded()))
            return;
        text_body = text_body || part->part_type == QV_PART_TEXT_BODY;
        html_body = html_body || part->part_type == QV_PART_HTML_BODY;
    }
    for (int i = 0; i < msg->part_count; ++i) {
        qv_part *part = msg->parts[i];
        // Text without a content type is shown inside an HTML message.
        if (part->part_type != QV_PART_INLINE_TEXT ||
            !qvcommon::EqualsNoCase(part->file_name, "Inline.txt"))
            continue;
        const std::string path = qvcom::part_file_path(work_dir, msg->msg_number, i);
        if (html_body)
            wrap_inline_text(part, path, work_dir, settings.debug);
        part->size = file_size(path);
        break;
    }
}

} // namespace qvamz::mailread
