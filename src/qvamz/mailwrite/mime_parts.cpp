// The parts of a built message: text and HTML bodies, inline parts,
// attachments, moved attachments, embedded messages and the single part of
// an S/MIME message.
#include <algorithm>
#include <array>
#include <cctype>
#include <memory>

#include "mailwrite/base64_writer.hpp"
#include "mailwrite/mime_message_writer.hpp"
#include "mailwrite/part_content.hpp"
#include "qv/qvcom.h"
#include "common/inline_part_types.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"
#include "common/xml_escape.hpp"

namespace qvamz::mime {
namespace {

constexpr std::size_t kExtensionMax = 260;
// The name the mail reader gives a part that has none.
constexpr std::string_view kUnnamedPartName = "Message Text";
// How much of the text after "charset=" in an HTML body is looked at.
constexpr std::size_t kHtmlCharsetScanMax = 64;



// A charset name as a header parameter may carry it: the leading run of
// the characters that charset names are made of.
std::string SafeCharset(std::string_view name)
{
    static constexpr std::string_view kExtra = "!#$%&+-^_`{}~.:";
    std::size_t n = 0;
    while (n < name.size() && (std::isalnum(static_cast<unsigned char>(name[n])) ||
                               kExtra.find(name[n]) != std::string_view::npos))
        ++n;
    return std::string(name.substr(0, n));
}

// The charset an HTML body declares in its first "charset=".
template <class Lines> std::string CharsetDeclaredInLines(Lines &lines)
{
    std::string line;
    while (lines.Next(line)) {
        std::size_t at = 0;
        for (; at < line.size(); ++at)
            if (qvcommon::StartsWithNoCase(std::string_view(line).substr(at), "charset="))
                break;
        if (at == line.size())
            continue;
        std::string_view value = std::string_view(line).substr(at + 8, kHtmlCharsetScanMax);
        if (!value.empty() && value.front() == '"')
            value.remove_prefix(1);
        if (!value.empty() && value.front() == '>')
            return {};
        for (char stop : {'"', '\'', ';'})
            value = value.substr(0, value.find(stop));
        return SafeCharset(value);
    }
    return {};
}

std::string CharsetDeclaredIn(const PartContent &html)
{
    if (html.in_memory()) {
        TextLines lines(html.bytes());
        return CharsetDeclaredInLines(lines);
    }
    if (!html.readable())
        return {};
    FileLines lines(html.stream());
    std::string charset = CharsetDeclaredInLines(lines);
    std::rewind(html.stream()); // read again from its start for the body
    return charset;
}

// The mail reader puts a line declaring the charset in front of every HTML
// body it stores.  The body goes out with its charset in the part header,
// so that line is left out again: a copied message keeps its HTML as it
// was.  The size of the line, 0 when the file does not start with it.
long ReaderMetaLineSize(const PartContent &html, std::string_view charset)
{
    if (!html.readable() || charset.empty())
        return 0;
    const std::string meta =
        "<html><META http-equiv=\"Content-Type\" content=\"text/html; charset=" +
        std::string(charset) + "\">\n";
    std::string start;
    if (html.in_memory()) {
        start = html.bytes().substr(0, meta.size());
    } else {
        start.resize(meta.size());
        start.resize(std::fread(start.data(), 1, start.size(), html.stream()));
        std::rewind(html.stream());
    }
    return start == meta ? static_cast<long>(meta.size()) : 0;
}

// The name the mail reader gives a message attached with an attachment
// disposition, which it keeps whole as a file.
bool IsAttachedMessageFile(std::string_view name)
{
    static constexpr std::string_view kName = "Message.eml";
    return name.size() == kName.size() && qvcommon::StartsWithNoCase(name, kName);
}

// Whether a part file can go out as it stands inside a MIME part: lines
// ended by CR LF, none longer than MIME allows, none that reads as a
// delimiter of an open multipart level.  `eight_bit` tells whether a byte
// above 127 occurs.
template <class BoundaryTest>
bool SendableAsItStands(std::FILE *in, BoundaryTest is_boundary, bool &eight_bit)
{
    static constexpr std::size_t kMimeLineMax = 998;
    std::string line;
    eight_bit = false;
    int c;
    while ((c = std::getc(in)) != EOF) {
        if (c == '\n') {
            if (line.empty() || line.back() != '\r' || is_boundary(line))
                return false;
            line.clear();
            continue;
        }
        if (line.size() > kMimeLineMax || (!line.empty() && line.back() == '\r'))
            return false; // a long line or a lone CR
        eight_bit = eight_bit || c >= 0x80;
        line.push_back(static_cast<char>(c));
    }
    return line.size() <= kMimeLineMax && !is_boundary(line) &&
           (line.empty() || line.back() != '\r');
}

std::string ImageContentType(std::string_view extension)
{
    auto is = [&](std::string_view e) {
        return extension.size() == e.size() && qvcommon::StartsWithNoCase(extension, e);
    };
    if (is("jpg") || is("jpeg") || is("jpe"))
        return "image/jpeg";
    if (is("gif"))
        return "image/gif";
    if (is("bmp"))
        return "image/bmp";
    if (is("png"))
        return "image/png";
    return "application/octet-stream";
}

// The type of a file attachment as its name's extension tells it, so that
// the target shows the attachment as the source did; unknown extensions
// (and types a reader would take for something else than an attachment,
// such as calendar or HTML parts) go as application/octet-stream.
std::string AttachmentContentType(std::string_view name)
{
    static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
        {"pdf", "application/pdf"},
        {"txt", "text/plain"},
        {"csv", "text/csv"},
        {"xml", "application/xml"},
        {"json", "application/json"},
        {"zip", "application/zip"},
        {"rtf", "application/rtf"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    };
    std::array<char, kExtensionMax> buffer{};
    com_ExtractFileExt(std::string(name).c_str(), buffer.data(), buffer.size());
    const std::string_view extension = buffer.data();
    for (const auto &[known, type] : kTypes)
        if (extension.size() == known.size() && qvcommon::StartsWithNoCase(extension, known))
            return std::string(type);
    return ImageContentType(extension);
}

// A Content-ID without the brackets, blanks and line breaks that would end
// it early.
std::string CleanContentId(std::string_view id)
{
    std::string out;
    for (char c : SingleLine(id))
        if (c != '<' && c != '>' && c != ' ')
            out += c;
    return out;
}

// A file name with blanks trimmed, surrounding quotes removed, trimmed again.
std::string CleanFileName(std::string_view name)
{
    std::string text = SingleLine(name);
    auto trim = [](std::string &s) {
        s.erase(0, s.find_first_not_of(' '));
        s.erase(s.find_last_not_of(' ') + 1);
    };
    trim(text);
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    trim(text);
    return text;
}

std::string PercentEncode(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

} // namespace

void MessageWriter::WriteBodies()
{
    bool wrote = false;
    if (summary_.has_html) {
        // The plain text goes with the HTML as its alternative, so that a
        // copy keeps both; further text and HTML parts are not written.
        int text = -1;
        const int html = summary_.first_html;
        for (int i = 0; i < PartCount() && text < 0; ++i) {
            const qv_part *part = PartAt(i);
            if (part && part->part_type == QV_PART_TEXT_BODY)
                text = i;
        }
        // A mixed level holds the pair in an alternative level of its own;
        // a related level already opened one.
        const bool own_level = text >= 0 && summary_.attachment && !summary_.related;
        if (own_level)
            OpenNestedLevel("alternative");
        if (text >= 0)
            WriteTextPart(text, "text/plain", "UTF-8");
        WriteHtmlBody(html);
        if (own_level)
            CloseNestedLevel();
        wrote = true;
    } else {
        for (int i = 0; i < PartCount(); ++i) {
            const qv_part *part = PartAt(i);
            if (!part)
                continue;
            if (part->part_type == QV_PART_TEXT_BODY) {
                bool pgp = Field(part->file_name) == "pgp message";
                WriteTextPart(i, pgp ? "application/pgp-encrypted" : "text/plain", "UTF-8");
                wrote = true;
            } else if (part->part_type == QV_PART_HEADERS && options_.keep_headers &&
                       !options_.own_headers) {
                WriteTextPart(i, "text/plain", SafeCharset(FallbackCharset()));
                wrote = true;
            }
        }
    }
    // A multipart level needs at least one part: an empty body stands in.
    if (!wrote && (summary_.related || !summary_.attachment))
        Put("--" + Boundary() + "\r\nContent-type: text/plain; charset=\"UTF-8\"\r\n\r\n\r\n");
}

void MessageWriter::WriteTextPart(int index, std::string_view content_type,
                                  std::string_view charset)
{
    std::string header = "Content-type: " + std::string(content_type) + "; charset=\"" +
                         std::string(charset) + "\"\r\n";
    WriteTextContent(index, header);
}

// A text part with the given type header.  Text goes as 8-bit lines unless
// a line of it would read as one of the open boundaries: then in base64.
void MessageWriter::WriteTextContent(int index, std::string_view type_header)
{
    Put("--" + Boundary() + "\r\n");
    Put(type_header);
    PartContent text = OpenPart(index);
    if (!text.readable()) {
        Put("\r\n");
        WarnUnreadable(index);
        return;
    }
    if (text.in_memory()) {
        WriteTextLines(text.bytes());
        return;
    }
    std::FILE *in = text.stream();
    bool boundary_line = false;
    bool eight_bit = false;
    SplitBodyLines(in, [&](std::string_view line) {
        boundary_line = boundary_line || LineStartsWithOpenBoundary(line);
        eight_bit = eight_bit || std::any_of(line.begin(), line.end(), [](char c) {
                        return static_cast<unsigned char>(c) >= 0x80;
                    });
    });
    std::rewind(in);
    if (boundary_line) {
        Put("Content-Transfer-Encoding: base64\r\n\r\n");
        WriteStreamBase64(out_, in, Lines());
        Put("\r\n");
        return;
    }
    Put(eight_bit ? "Content-Transfer-Encoding: 8bit\r\n\r\n" : "\r\n");
    CopyBodyLines(out_, in);
}

// WriteTextContent's text held in memory: its lines are gathered in one
// pass and written at once, unless one of them reads as a boundary.
void MessageWriter::WriteTextLines(std::string_view text)
{
    std::string lines;
    lines.reserve(text.size() + text.size() / 16 + 2);
    bool boundary_line = false;
    SplitBodyLines(text, [&](std::string_view line) {
        boundary_line = boundary_line || LineStartsWithOpenBoundary(line);
        if (!boundary_line)
            lines.append(line).append("\r\n");
    });
    if (boundary_line) {
        Put("Content-Transfer-Encoding: base64\r\n\r\n");
        Base64Writer writer(out_, Lines());
        writer.Write(text.data(), text.size());
        writer.Finish();
        Put("\r\n");
        return;
    }
    // Line ends are the only bytes the lines leave out.
    const bool eight_bit = std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80;
    });
    Put(eight_bit ? "Content-Transfer-Encoding: 8bit\r\n\r\n" : "\r\n");
    Put(lines);
}

void MessageWriter::WriteHtmlBody(int index)
{
    WriteHtmlPart(index, "");
}

// An inline text part that is not the body, with the media type its name
// stands for.  Plain text travels in the UTF-8 the reader stored; parts of
// other types keep their bytes and charset, so they go in base64.
void MessageWriter::WriteInlineText(int index)
{
    const qv_part &part = *PartAt(index);
    const std::string type = qvcommon::InlinePartMediaType(Field(part.file_name));
    std::string header = "Content-type: " + type;
    if (qvcommon::StartsWithNoCase(type, "text/")) {
        const std::string charset = SafeCharset(Field(part.charset));
        header += "; charset=\"" + (charset.empty() ? std::string("UTF-8") : charset) + "\"";
    }
    header += "\r\nContent-Disposition: inline\r\n";
    if (type == "text/plain") {
        WriteTextContent(index, header);
        return;
    }
    Put("--" + Boundary() + "\r\n" + header);
    WriteBase64Body(index);
}

void MessageWriter::WriteHtmlPart(int index, std::string_view disposition)
{
    qv_part &part = *PartAt(index);
    PartContent html = OpenPart(index);
    const long meta_size = ReaderMetaLineSize(html, Field(part.charset));
    if (Field(part.charset).empty())
        com_strncpy(part.charset, CharsetDeclaredIn(html).c_str(), kPartCharsetMax);
    if (Field(part.charset).size() == 7 &&
        qvcommon::StartsWithNoCase(Field(part.charset), "unicode"))
        part.charset[0] = '\0';
    std::string charset = SafeCharset(Field(part.charset));
    if (charset.empty()) {
        std::array<char, 64> name{};
        if (msg_.codepage != 0)
            com_iso_codepage(msg_.codepage, name.data(), name.size());
        charset = SafeCharset(name.data());
    }
    if (charset.empty())
        charset = "UTF-8";
    Put("--" + Boundary() + "\r\n");
    Put("Content-type: text/html; charset=\"" + charset + "\"\r\n");
    Put(disposition);
    WriteBase64Content(index, html, meta_size);
}

void MessageWriter::WriteInlineParts()
{
    for (int i = 0; i < PartCount(); ++i) {
        qv_part *part = PartAt(i);
        if (!part || part->part_type != QV_PART_ATTACHMENT || Field(part->content_id).empty())
            continue;
        std::array<char, kExtensionMax> extension{};
        com_ExtractFileExt(std::string(Field(part->file_name)).c_str(), extension.data(),
                           extension.size());
        std::string_view ext = extension.data();
        if (ext.size() == 3 && qvcommon::StartsWithNoCase(ext, "pdf")) {
            part->content_id[0] = '\0'; // written with the attachments instead
            continue;
        }
        if (!TakeImageSlot()) {
            part->content_id[0] = '\0'; // past the limit: written with the attachments
            continue;
        }
        Put("--" + Boundary() + "\r\n");
        Put("Content-type: " + ImageContentType(ext) + ";\r\n  name=" +
            encoder_.Parameter(CleanFileName(Field(part->file_name))) + "\r\n");
        Put("Content-ID: <" + CleanContentId(Field(part->content_id)) + ">\r\n");
        WriteBase64Body(i);
    }
}

void MessageWriter::WriteAttachmentsAndMessages()
{
    for (int i = 0; i < PartCount(); ++i) {
        const qv_part *part = PartAt(i);
        if (!part)
            continue;
        if (part->part_type == QV_PART_EMBEDDED_MSG) {
            WriteEmbeddedMessage(*part);
            continue;
        }
        std::string_view raw_name = Field(part->file_name);
        if ((raw_name.size() == 10 && qvcommon::StartsWithNoCase(raw_name, "RAWRFC.dat")) ||
            part->part_type == QV_PART_NOT_WRITTEN)
            continue;
        std::string name = CleanFileName(raw_name);
        bool no_content_id = Field(part->content_id).empty();
        if (part->part_type == QV_PART_MOVED_ATTACHMENT && !no_content_id) {
            WriteMovedAttachment(*part, name);
        } else if (part->part_type == QV_PART_ATTACHMENT && part->size > 0 && no_content_id) {
            if (IsAttachedMessageFile(raw_name) && WriteAttachedMessageFile(i))
                continue;
            WriteFileAttachment(i, name);
        } else if (part->part_type == QV_PART_INLINE_TEXT) {
            WriteInlineText(i);
        } else if (part->part_type == QV_PART_HTML_BODY && i != summary_.first_html) {
            WriteHtmlPart(i, "Content-Disposition: inline\r\n");
        }
    }
}

void MessageWriter::WriteEmbeddedMessage(const qv_part &part)
{
    if (!part.sub_message)
        return;
    if (depth_ + 1 > kMaxEmbeddedDepth) {
        com_Log("QV Warning: message \"%s\" holds messages nested deeper than %d levels; "
                "the deeper ones are left out",
                std::string(Field(msg_.subject)).c_str(), kMaxEmbeddedDepth);
        return;
    }
    Put("--" + Boundary() + "\r\nContent-type: message/rfc822\r\n\r\n");
    std::string seed = EmbeddedSeed(open_);
    MessageWriter embedded(*part.sub_message, out_, work_dir_, options_, open_, depth_ + 1);
    embedded.Write(seed);
}

// An attached message the reader kept as a file goes back as an attached
// message, byte for byte, so that the target shows it as the message it
// was.  False when its text cannot stand as it is inside this message: it
// then goes as a file.
bool MessageWriter::WriteAttachedMessageFile(int index)
{
    qvcommon::UniqueFile in(std::fopen(PartPath(index).c_str(), "rb"));
    bool eight_bit = false;
    const auto is_boundary = [this](std::string_view line) {
        return LineStartsWithOpenBoundary(line);
    };
    if (!in || !SendableAsItStands(in.get(), is_boundary, eight_bit))
        return false;
    std::rewind(in.get());
    Put("--" + Boundary() + "\r\nContent-type: message/rfc822\r\n");
    if (eight_bit)
        Put("Content-Transfer-Encoding: 8bit\r\n");
    Put("Content-Disposition: attachment\r\n\r\n");
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in.get())) > 0)
        std::fwrite(buffer, 1, got, out_);
    Put("\r\n"); // the line end the next delimiter line begins with
    return true;
}

void MessageWriter::WriteMovedAttachment(const qv_part &part, std::string_view name)
{
    std::string page_name = encoder_.Parameter(std::string(name) + ".html");
    Put("--" + Boundary() + "\r\n");
    Put("Content-type: text/html; charset=\"" + SafeCharset(FallbackCharset()) +
        "\";\r\n  name=" + page_name + "\r\nContent-Disposition: inline;\r\n  filename=" +
        page_name + "\r\n\r\n");
    std::string id = SingleLine(Field(part.content_id));
    std::string link = qvcommon::StartsWithNoCase(id, "http")
                           ? id
                           : options_.document_store_url + "/open?id=" + PercentEncode(id);
    Put("\r\n<html>\r\n");
    Put("Your attachment has been moved here: <A HREF=\"" +
        qvcommon::XmlEscaped(link, qvcommon::EscapeQuotes::kDouble) + "\">" +
        qvcommon::XmlEscaped(name, qvcommon::EscapeQuotes::kDouble) + "</A>\r\n");
    Put("</html>\r\n\r\n");
}

void MessageWriter::WriteFileAttachment(int index, std::string_view name)
{
    std::string content_type = AttachmentContentType(name);
    if (qvcommon::StartsWithNoCase(name, "smime.p7s"))
        content_type = "application/x-pkcs7-signature";
    else if (qvcommon::StartsWithNoCase(name, "smime.p7m"))
        content_type = "application/pkcs7-mime;smime-type=enveloped-data";
    Put("--" + Boundary() + "\r\n");
    // The reader's name for a part that had none is not given to the copy.
    if (name == kUnnamedPartName) {
        Put("Content-type: " + content_type + "\r\nContent-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment\r\n\r\n");
    } else {
        std::string param = encoder_.Parameter(name);
        Put("Content-type: " + content_type + ";\r\n  name=" + param + "\r\n");
        Put("Content-Transfer-Encoding: base64\r\n");
        Put("Content-Disposition: attachment;\r\n  filename=" + param + "\r\n\r\n");
    }
    PartContent content = OpenPart(index);
    if (!content.readable()) {
        WarnUnreadable(index);
        return;
    }
    content.WriteBase64(out_, Lines());
    Put("\r\n");
}

// An encrypted message: its smime.p7m part is the whole body.
void MessageWriter::WriteLonePkcs7(int index)
{
    std::string param = encoder_.Parameter(CleanFileName(Field(PartAt(index)->file_name)));
    Put("Content-Type: application/pkcs7-mime; smime-type=enveloped-data;\r\n  name=" + param +
        "\r\n");
    Put("Content-Transfer-Encoding: base64\r\n");
    Put("Content-Disposition: attachment;\r\n  filename=" + param + "\r\n\r\n");
    PartContent content = OpenPart(index);
    if (!content.readable()) {
        WarnUnreadable(index);
        return;
    }
    content.WriteBase64(out_, Lines());
}

// The end of a part's header block and its content in base64.
void MessageWriter::WriteBase64Body(int index)
{
    PartContent content = OpenPart(index);
    WriteBase64Content(index, content, 0);
}

// The same for a part already opened; `skip` bytes at its start are left
// out.
void MessageWriter::WriteBase64Content(int index, PartContent &content, long skip)
{
    if (!content.readable() || !content.Skip(skip)) {
        Put("\r\n");
        WarnUnreadable(index);
        return;
    }
    Put("Content-Transfer-Encoding: base64\r\n\r\n");
    content.WriteBase64(out_, Lines());
    Put("\r\n");
}

bool MessageWriter::LineStartsWithOpenBoundary(std::string_view line) const
{
    if (line.size() < 2 || line[0] != '-' || line[1] != '-')
        return false;
    return std::any_of(open_.begin(), open_.end(), [&](const std::string &boundary) {
        return qvcommon::StartsWithNoCase(line.substr(2), boundary);
    });
}

// Inline images past the limit are not left out: the caller writes them
// as ordinary attachments.
bool MessageWriter::TakeImageSlot()
{
    return ++images_ <= kMaxImagesPerMessage;
}

Base64Lines MessageWriter::Lines() const
{
    return options_.base64_line_breaks ? Base64Lines::kBroken72 : Base64Lines::kUnbroken;
}

void MessageWriter::WarnUnreadable(int index)
{
    com_Log("QV Warning: part %d (\"%s\") of message \"%s\" cannot be read from %s", index,
            std::string(Field(PartAt(index)->file_name)).c_str(),
            std::string(Field(msg_.subject)).c_str(), PartPath(index).c_str());
}

} // namespace qvamz::mime
