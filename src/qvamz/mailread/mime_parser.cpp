// ParseMimeParts: the headers of each part decide its type code, name,
// content id and charset; its body goes to a part file or recurses.
#include "mailread/mime_parser.hpp"

#include <cerrno>
#include <cstring>

#include "mailread/header_text.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/part_file.hpp"
#include "mailread/rfc822_parser.hpp"
#include "mailread/uudecode.hpp"
#include "qv/qvcom.hpp"
#include "common/inline_part_types.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr int kNextPart = -2; // internal: go on with the next part
constexpr const char *kDefaultName = "Message Text";

struct PartState {
    explicit PartState(std::string_view message_charset)
        : charset(Cut(message_charset, kPartCharsetMax))
    {
    }
    int code = -1; // not known yet
    std::string name = kDefaultName;
    std::string content_id;
    std::string charset;
    std::string inner_boundary;
    bool quoted_printable = false;
    bool binary = false;
    bool uuencoded = false;
    bool related = false;
    bool attachment = false;
    bool calendar = false;
    bool embedded = false;
    bool digest = false;       // the inner multipart is a multipart/digest
    bool typed = false;        // a Content-Type line was seen
    std::int64_t declared_size = 0;
};

// Opens one multipart level and closes it again however the parse ends.
class MultipartLevel {
  public:
    explicit MultipartLevel(ParseTree &tree) : tree_(tree) { ++tree_.multipart_depth; }
    ~MultipartLevel() { --tree_.multipart_depth; }
    MultipartLevel(const MultipartLevel &) = delete;
    MultipartLevel &operator=(const MultipartLevel &) = delete;

  private:
    ParseTree &tree_;
};

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

void media_type_names(const std::string &line, const qv_message *msg, PartState &p)
{
    if (qvcommon::ContainsNoCase(line, "application/pdf")) {
        if (p.name == kDefaultName)
            p.name = qvcommon::ContainsNoCase(msg->subject, ".pdf") ? msg->subject
                                                                    : "embedded_document.pdf";
        if (qvcommon::StartsWithNoCase(p.name, "Fwd: "))
            p.name.erase(0, 5);
        else if (qvcommon::StartsWithNoCase(p.name, "Re: "))
            p.name.erase(0, 4);
    }
    if (qvcommon::ContainsNoCase(line, "image")) {
        p.code = p.code == 3 ? 3 : 0;
        if (p.name == kDefaultName) {
            if (qvcommon::ContainsNoCase(line, "image/jpeg") ||
                qvcommon::ContainsNoCase(line, "image/jpg"))
                p.name = "embedded image.jpg";
            else if (qvcommon::ContainsNoCase(line, "image/gif"))
                p.name = "embedded image.gif";
            else if (qvcommon::ContainsNoCase(line, "image/png"))
                p.name = "embedded image.png";
        }
    }
    if (qvcommon::ContainsNoCase(line, "audio")) {
        p.code = p.code == 3 ? 3 : 0;
        if (p.name == kDefaultName && qvcommon::ContainsNoCase(line, "audio/mpeg"))
            p.name = "embedded mpeg.mpg";
    }
    if (qvcommon::StartsWithNoCase(p.name, "data:image/png"))
        p.name = "image.png";
}

void content_type(const std::string &line, const qv_message *msg, ParseTree &tree, PartState &p)
{
    if (auto boundary = BoundaryParam(line))
        p.inner_boundary = *boundary;
    if (auto name = NameParam(line, kPartNameMax))
        p.name = *name;
    if (qvcommon::ContainsNoCase(line, "multipart/related"))
        p.related = true;
    if (qvcommon::ContainsNoCase(line, "text/html"))
        p.code = p.code == 3 ? 10 : 9;
    media_type_names(line, msg, p);
    if (qvcommon::ContainsNoCase(line, "application"))
        p.code = p.code == 3 ? 3 : 0;
    if (qvcommon::ContainsNoCase(line, "pgp-encrypted")) {
        p.name = "pgp message";
        p.code = p.code == 3 ? 6 : 1;
    }
    if (qvcommon::ContainsNoCase(line, "text/plain"))
        p.code = p.code == 3 ? 6 : p.code == 0 ? 0 : 1;
    if (qvcommon::ContainsNoCase(line, "text/calendar")) {
        p.name =
            msg->subject[0] ? Cut(std::string(msg->subject) + ".ics", kPartNameMax) : "event.ics";
        p.calendar = true;
        p.code = 0;
    }
    // Report parts and text of other types keep their types: their names
    // say which.
    if (const std::string typed = qvcommon::InlinePartName(MediaTypeOf(line)); !typed.empty()) {
        p.code = p.code == 3 ? 6 : 1;
        if (p.name == kDefaultName)
            p.name = typed;
    }
    if (qvcommon::ContainsNoCase(line, "multipart/digest"))
        p.digest = true;
    if (qvcommon::ContainsNoCase(line, "text/enriched"))
        p.code = 1;
    if (qvcommon::ContainsNoCase(line, "message/rfc822") &&
        tree.embedded_messages < tree.settings.max_embedded_messages)
        p.embedded = true;
    if (qvcommon::ContainsNoCase(line, "text/rtf"))
        p.name = "Message.rtf";
    if (auto charset = CharsetParam(line, kPartCharsetMax))
        p.charset = RemoveQuotes(*charset);
    if (p.code == 9 && !p.inner_boundary.empty() && !p.related)
        p.inner_boundary.clear();
}

void disposition(const std::string &line, PartState &p)
{
    if (qvcommon::ContainsNoCase(line, "attachment")) {
        p.code = (p.code == 3 || p.code == 6 || p.code == 10) ? 3 : 0;
        p.attachment = true;
    }
    if (auto name = NameParam(line, kPartNameMax))
        p.name = *name;
    if (auto size = TextAfter(line, "size=", ";", kFlagValueMax))
        p.declared_size = LeadingNumber(RemoveQuotes(*size), 10);
    if (qvcommon::ContainsNoCase(line, "inline")) {
        if (p.code == -1) {
            p.name = "Inline.txt";
            p.code = QV_PART_INLINE_TEXT;
        } else if (p.code == 1 && !qvcommon::ContainsNoCase(p.name, ".txt") &&
                   !qvcommon::ContainsNoCase(p.name, kDefaultName)) {
            p.code = 0;
        }
    } else if (p.code == -1) {
        p.code = 0;
    }
}

void part_header(const std::string &line, const qv_message *msg, ParseTree &tree, PartState &p)
{
    if (qvcommon::StartsWithNoCase(line, "Content-Type:")) {
        p.typed = true;
        content_type(line, msg, tree, p);
    }
    if (qvcommon::ContainsNoCase(line, "Content-ID:"))
        p.content_id = ContentIdOf(line);
    if (qvcommon::StartsWithNoCase(line, "Content-Disposition:"))
        disposition(line, p);
    if (qvcommon::StartsWithNoCase(line, "Content-Transfer-Encoding:")) {
        if (qvcommon::ContainsNoCase(line, "quoted-printable"))
            p.quoted_printable = true;
        if (qvcommon::ContainsNoCase(line, "binary"))
            p.binary = true;
        if (qvcommon::ContainsNoCase(line, "uuencode") || qvcommon::ContainsNoCase(line, "x-uue"))
            p.uuencoded = true;
        if (qvcommon::ContainsNoCase(line, "base64"))
            p.code = p.code == 1 ? 6 : p.code == 9 ? 10 : 3;
    }
}

class PartReader {
  public:
    PartReader(qv_message *msg, std::string_view boundary, std::string_view enclosing,
               const std::string &work_dir, MailInput &in)
        : msg_(msg), boundary_(boundary), enclosing_(enclosing), work_dir_(work_dir), in_(in)
    {
    }

    // Reads the body of the part whose headers are in `p`.
    int Body(PartState &p);

  private:
    int Embedded(PartState &p);
    int Leaf(PartState &p);
    int SkipLeaf(PartState &p);
    // kPartsClosed when the last body copied below this level read this
    // multipart's closing line, else kNextPart.
    int AfterNested() const
    {
        return in_.last_delimiter == boundary_ && in_.last_delimiter_closing ? kPartsClosed
                                                                             : kNextPart;
    }

    qv_message *msg_;
    std::string boundary_, enclosing_;
    const std::string &work_dir_;
    MailInput &in_;
};

int PartReader::Embedded(PartState &p)
{
    ++in_.tree().embedded_messages;
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part) {
        QV_DEBUG_LOG(in_.tree().settings.debug, "debug: com_AllocPart is false!");
        return kParseRefused;
    }
    part->part_type = QV_PART_EMBEDDED_MSG;
    store(part->file_name, p.name);
    const int index = msg_->part_count;
    qv_message *sub = com_AllocSubMsg(msg_, index);
    if (!sub)
        return kParseRefused;
    msg_->part_count = index + 1;
    in_.last_delimiter.clear();
    if (Parse_RFC822_Msg(in_, sub, work_dir_, boundary_, false) == kParseRefused)
        return kParseRefused;
    return AfterNested();
}

// A part that cannot be stored (the record is full) is read past, so the
// parts after it stay where they belong.
int PartReader::SkipLeaf(PartState &p)
{
    std::uint64_t count = 0;
    const int result = CopyPartBody(in_, nullptr, boundary_, enclosing_, p.code, false, p.charset,
                                    count, p.binary ? p.declared_size : 0);
    return result == kBodyAtClosing ? kPartsClosed : kNextPart;
}

// A text part with a file name of its own is a file and keeps its bytes;
// a part of a typed inline kind is never the body.
void settle_text_code(PartState &p)
{
    if (p.code != QV_PART_TEXT_BODY && p.code != 6)
        return;
    const bool base64 = p.code == 6;
    if (qvcommon::IsTypedInlinePartName(p.name)) {
        if (!base64)
            p.code = QV_PART_INLINE_TEXT;
    } else if (p.name != kDefaultName && p.name != "Inline.txt" && p.name != "pgp message") {
        p.code = base64 ? 3 : QV_PART_ATTACHMENT;
    }
}

int PartReader::Leaf(PartState &p)
{
    if (p.code == -1)
        p.code = QV_PART_TEXT_BODY;
    settle_text_code(p);
    if (msg_->part_count >= QV_MAX_PARTS ||
        in_.tree().parts_allocated >= in_.tree().settings.max_parts)
        return SkipLeaf(p);
    const int index = msg_->part_count;
    const std::string path = qvcom::part_file_path(work_dir_, msg_->msg_number, index);
    qvcommon::UniqueFile out = OpenPartFile(path);
    if (!out) {
        com_Log("ParseMimeParts, Cannot open %s, errno=%d", path.c_str(), errno);
        return kParseRefused;
    }
    std::uint64_t count = 0;
    const bool decode = DecodedWhileCopied(p.code) && !p.uuencoded;
    const int result =
        CopyPartBody(in_, out.get(), boundary_, enclosing_, p.code, p.quoted_printable, p.charset,
                     count, p.binary ? p.declared_size : 0, decode);
    const long decoded = std::ftell(out.get());
    out.reset();
    const int next = result == kBodyAtClosing ? kPartsClosed : kNextPart;
    // An empty part, or a calendar part the job leaves out, is not added;
    // its file goes too, and the next part takes its number.
    if (count == 0 || (p.calendar && in_.tree().settings.drop_calendar_parts)) {
        std::remove(path.c_str());
        return next;
    }
    if (p.uuencoded) {
        std::string uu_name;
        if (DecodeUuencodedPart(path, work_dir_, uu_name)) {
            count = static_cast<std::uint64_t>(com_GetFileSize(path.c_str(), nullptr));
            if (p.name == kDefaultName && !uu_name.empty())
                p.name = uu_name;
        }
    }
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part) {
        std::remove(path.c_str());
        return kPartsClosedAtHeader;
    }
    part->part_type = decode ? QV_PART_ATTACHMENT : p.code;
    store(part->file_name, Cut(p.name, kPartNameMax));
    const bool keep_id = !p.attachment || qvcommon::ContainsNoCase(p.content_id, "@zimbra");
    store(part->content_id, keep_id ? p.content_id : "");
    store(part->charset, Cut(p.charset, kStoredCharsetMax));
    if (decode)
        count = decoded > 0 ? static_cast<std::uint64_t>(decoded) : 0;
    part->size = count > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(count);
    msg_->part_count = index + 1;
    return next;
}

int PartReader::Body(PartState &p)
{
    if (p.embedded && p.attachment) { // an attached message is kept as a file
        p.name = "Message.eml";
        p.embedded = false;
    }
    if (p.inner_boundary.empty() && p.embedded)
        return Embedded(p);
    if (!p.inner_boundary.empty()) {
        if (in_.tree().multipart_depth >= in_.tree().settings.max_multipart_depth) {
            com_Log("QV Warning: multipart nested too deeply, kept as an attachment");
            if (p.code == -1)
                p.code = QV_PART_ATTACHMENT;
            return Leaf(p);
        }
        const std::int64_t start = in_.tell();
        switch (SkipPreamble(in_, p.inner_boundary, {boundary_, enclosing_})) {
        case PreambleEnd::kBoundary: {
            in_.last_delimiter.clear();
            const int r = ParseMimeParts(msg_, p.inner_boundary, boundary_, work_dir_, in_,
                                         p.digest, p.charset);
            return r == kParseRefused ? kParseRefused : AfterNested();
        }
        case PreambleEnd::kClosing:
            return kNextPart;
        case PreambleEnd::kNotFound: // its boundary never comes: one leaf
            in_.seek(start);
            break;
        }
    }
    return Leaf(p);
}

} // namespace

bool IsHeaderFieldLine(std::string_view line)
{
    if (qvcommon::StartsWithNoCase(line, "From ") ||
        qvcommon::StartsWithNoCase(line, "Message Sent:"))
        return true;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (static_cast<unsigned char>(line[i]) <= ' ' || static_cast<unsigned char>(line[i]) >= 127)
            return false;
    return true;
}

int ParseMimeParts(qv_message *msg, std::string_view boundary, std::string_view enclosing,
                   const std::string &work_dir, MailInput &in, bool digest,
                   std::string_view charset)
{
    MultipartLevel level(in.tree());
    PartReader reader(msg, boundary, enclosing, work_dir, in);
    for (;;) {
        PartState part(charset);
        std::int64_t line_start = in.tell();
        if (ReadHeaderLine(in, nullptr, true, 0) == 1)
            return kPartsInputEnded;
        while (!in.line.empty()) {
            if (MatchBoundary(in.line, boundary) == Delimiter::kClosing)
                return kPartsClosedAtHeader;
            if (!IsHeaderFieldLine(in.line)) {
                // Content right after the headers, without the blank line:
                // the line is the body's first.
                in.seek(line_start);
                break;
            }
            part_header(in.line, msg, in.tree(), part);
            line_start = in.tell();
            if (ReadHeaderLine(in, nullptr, true, 0) == 1)
                return kPartsInputEnded;
        }
        if (digest && !part.typed &&
            in.tree().embedded_messages < in.tree().settings.max_embedded_messages)
            part.embedded = true; // the default type of a digest's parts
        const int result = reader.Body(part);
        if (result != kNextPart)
            return result;
    }
}

} // namespace qvamz::mailread
