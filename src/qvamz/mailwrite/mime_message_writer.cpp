// One message of the MIME builder: raw pass-through, the part summary, the
// header block and the multipart levels.  The parts themselves are written
// by mime_parts.cpp.
#include "mailwrite/mime_message_writer.hpp"
#include "common/unique_file.hpp"
#include "mailwrite/part_content.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <memory>

#include "qv/qvcom.h"
#include "common/text_case.hpp"

namespace qvamz::mime {
namespace {

constexpr int kMaxRecipientsWritten = QV_MAX_RECIPIENTS;
constexpr std::size_t kCharsetNameMax = 64;


bool IsInlineImageName(std::string_view name)
{
    for (std::string_view ext : {".jpeg", ".jpg", ".gif", ".bmp", ".png"})
        if (qvcommon::ContainsNoCase(name, ext))
            return true;
    return false;
}

bool Clashes(std::string_view a, std::string_view b)
{
    return qvcommon::StartsWithNoCase(a, b) || qvcommon::StartsWithNoCase(b, a);
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// Groups travel as recipients without an address: "Team:" opens one,
// ";" closes it, "Team:;" is an empty one.
enum class GroupMark { kNone, kStart, kEnd, kEmpty };
GroupMark GroupMarkOf(const qv_recipient &r, std::string &group)
{
    const std::string_view name = Field(r.name);
    if (!Field(r.address).empty() || name.empty())
        return GroupMark::kNone;
    if (name == ";")
        return GroupMark::kEnd;
    if (name.size() > 2 && name.ends_with(":;")) {
        group = name.substr(0, name.size() - 2);
        return GroupMark::kEmpty;
    }
    if (name.size() > 1 && name.back() == ':') {
        group = name.substr(0, name.size() - 1);
        return GroupMark::kStart;
    }
    return GroupMark::kNone;
}

} // namespace

std::string EmbeddedSeed(const std::vector<std::string> &open_boundaries)
{
    for (int k = 1;; ++k) {
        std::string prefix = kEmbeddedBoundaryPrefix;
        if (k > 1)
            prefix += "-" + std::to_string(k);
        bool clash = false;
        for (int n = 2; n <= 4 && !clash; ++n) // outer, related, alternative
            for (const std::string &open : open_boundaries)
                clash = clash || Clashes(prefix + "/" + std::to_string(n), open);
        if (!clash)
            return prefix + "/1";
    }
}

MessageWriter::MessageWriter(qv_message &msg, std::FILE *out, const std::string &work_dir,
                             const MimeBuildOptions &options,
                             std::vector<std::string> &open_boundaries, int depth)
    : msg_(msg), out_(out), work_dir_(work_dir),
      folder_(work_dir), options_(options), open_(open_boundaries),
      open_at_start_(open_boundaries.size()), depth_(depth), encoder_(msg.codepage)
{
}

void MessageWriter::Write(std::string_view seed)
{
    if (options_.raw_passthrough && WriteRawPassthrough())
        return;

    std::size_t slash = seed.find('/');
    prefix_ = std::string(seed.substr(0, slash));
    int seed_number = 0;
    if (slash != std::string_view::npos)
        std::from_chars(seed.data() + slash + 1, seed.data() + seed.size(), seed_number);
    number_ = seed_number + 1;

    Summarize();
    WriteHeaderBlock();
    if (summary_.lone_pkcs7 >= 0) {
        WriteLonePkcs7(summary_.lone_pkcs7);
    } else if (summary_.empty) {
        Put("Content-Type: text/plain; charset=\"UTF-8\"\r\n\r\n");
    } else {
        open_.push_back(BoundaryNumbered(0));
        Put("Content-Type: multipart/" + std::string(summary_.Subtype()) + ";boundary=\"" +
            Boundary() + "\"\r\n");
        Put("\r\nThis is a multi-part message in MIME format.\r\n\r\n");
        if (summary_.related) {
            OpenNestedLevel("related");
            OpenNestedLevel("alternative");
        }
        WriteBodies();
        if (summary_.related)
            CloseNestedLevel(); // alternative
        WriteInlineParts();
        if (summary_.related)
            CloseNestedLevel(); // related
        WriteAttachmentsAndMessages();
        Put("--" + Boundary() + "--\r\n");
        open_.resize(open_at_start_);
    }
    DeletePartFiles();
    ReportLeftOut();
}

// The source's own message text, as received, stands for the whole build.
bool MessageWriter::WriteRawPassthrough()
{
    for (int i = 0; i < PartCount(); ++i) {
        const qv_part *part = PartAt(i);
        if (!part || part->part_type != QV_PART_ATTACHMENT ||
            Field(part->file_name) != "RAWRFC.dat")
            continue;
        qvcommon::UniqueFile in(std::fopen(PartPath(i).c_str(), "rb"));
        if (!in)
            return false;
        std::array<char, 65536> buffer;
        std::size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0)
            std::fwrite(buffer.data(), 1, got, out_);
        return true;
    }
    return false;
}

void MessageWriter::Summarize()
{
    summary_ = PartSummary{};
    int pkcs7_index = -1;
    int content_parts = 0;
    int bodies = 0;
    for (int i = 0; i < PartCount(); ++i) {
        const qv_part *part = PartAt(i);
        if (!part)
            continue;
        std::string_view name = Field(part->file_name);
        switch (part->part_type) {
        case QV_PART_HTML_BODY:
            if (summary_.has_html)
                summary_.attachment = true; // a further HTML part goes inline
            else
                summary_.first_html = i;
            summary_.has_html = true;
            break;
        case QV_PART_ATTACHMENT:
            if (!Field(part->content_id).empty() && IsInlineImageName(name))
                summary_.related = true;
            else
                summary_.attachment = true;
            break;
        case QV_PART_EMBEDDED_MSG:
            summary_.related = true;
            break;
        case QV_PART_MOVED_ATTACHMENT: // their link pages must not stand as alternatives
        case QV_PART_INLINE_TEXT:      // of the body: they go to the mixed level
            summary_.attachment = true;
            break;
        default:
            break;
        }
        bodies += part->part_type == QV_PART_TEXT_BODY || part->part_type == QV_PART_HTML_BODY;
        switch (part->part_type) {
        case QV_PART_ATTACHMENT: case QV_PART_TEXT_BODY: case QV_PART_HTML_BODY:
        case QV_PART_INLINE_TEXT: case QV_PART_EMBEDDED_MSG: case QV_PART_MOVED_ATTACHMENT:
            ++content_parts;
            break;
        default:
            break;
        }
        if (qvcommon::ContainsNoCase(name, "smime.p7m")) {
            summary_.pkcs7 = true;
            if (part->part_type == QV_PART_ATTACHMENT)
                pkcs7_index = i;
        }
    }
    // An encrypted message read from a source is its headers and the
    // smime.p7m part: it is written back as an S/MIME message.
    if (pkcs7_index >= 0 && content_parts == 1)
        summary_.lone_pkcs7 = pkcs7_index;
    // A message without body or attachment stays one plain part; the
    // Internet headers written as a text part count as content.
    const bool header_text = options_.keep_headers && !options_.own_headers;
    summary_.empty = content_parts == 0 && !header_text;
    // Without a body there is nothing for a related level to hold as its
    // root: images and messages go straight into the mixed level, and no
    // empty text part is made up for them.
    if (!bodies && !header_text && summary_.related) {
        summary_.related = false;
        summary_.attachment = true;
    }
}

void MessageWriter::WriteHeaderBlock()
{
    if (options_.own_headers && options_.keep_headers) {
        for (int i = 0; i < PartCount(); ++i) {
            const qv_part *part = PartAt(i);
            if (part && part->part_type == QV_PART_HEADERS) {
                if (WriteOwnHeaders(out_, PartPath(i))) {
                    encoder_.Encode(""); // learns the charset name for text parts
                    return;
                }
                break; // unreadable: generate the headers instead
            }
        }
    }
    WriteGeneratedHeaders();
}

void MessageWriter::WriteGeneratedHeaders()
{
    std::string from_name(Field(msg_.from_name));
    std::string_view represented = Field(msg_.sent_representing);
    if (!represented.empty())
        from_name = std::string(TrimBlanks(from_name + " (" + std::string(represented) + ")"));
    std::string sender = MailboxValue(from_name, Field(msg_.from_address), encoder_);
    if (!sender.empty()) {
        Put(FoldHeader("From", sender));
        Put(FoldHeader("Sender", sender));
    }
    if (!represented.empty()) {
        std::string original = MailboxValue(represented, "", encoder_);
        if (!original.empty())
            Put(FoldHeader("Original-Sender", original));
    }
    WriteRecipients();
    if (msg_.priority == 0)
        Put("Priority: Low\r\nX-Priority: 5\r\n");
    else if (msg_.priority == 2)
        Put("Priority: Urgent\r\nX-Priority: 1\r\n");
    if (msg_.importance == 2)
        Put("Importance: High\r\n");
    else if (msg_.importance == 0)
        Put("Importance: Low\r\n");
    if (msg_.unread == 0)
        Put("X-Mozilla-Status: 0001\r\n");
    Put(FoldHeader("Subject", encoder_.Encode(Field(msg_.subject))));
    Put("MIME-Version: 1.0\r\n");
    std::string message_id(TrimBlanks(SingleLine(Field(msg_.message_id))));
    if (!message_id.empty())
        Put("Message-ID: " +
            (message_id.find('<') != std::string::npos ? message_id : "<" + message_id + ">") +
            "\r\n");
    for (int i = 0; i < PartCount(); ++i) {
        const qv_part *part = PartAt(i);
        if (part && part->part_type == QV_PART_HEADERS) {
            WriteThreadHeaders(out_, PartPath(i), options_.part_in_memory_max);
            break;
        }
    }
    WriteDateHeader();
}

// One header line per recipient; a group (see GroupMark) goes on one line
// with its members: "To: Team: a <a@x>, b <b@x>;".
void MessageWriter::WriteRecipients()
{
    const int recipients = std::clamp(msg_.recipient_count, 0, kMaxRecipientsWritten);
    for (int i = 0; i < recipients; ++i) {
        const qv_recipient *r = msg_.recipients[i];
        if (!r)
            continue;
        const char *label = r->kind == QV_RECIP_CC ? "cc" : r->kind == QV_RECIP_BCC ? "bcc" : "To";
        std::string group;
        switch (GroupMarkOf(*r, group)) {
        case GroupMark::kEnd: // a stray end: nothing to close
            continue;
        case GroupMark::kEmpty:
            Put(FoldHeader(label, encoder_.Phrase(group) + ":;"));
            continue;
        case GroupMark::kStart: {
            std::string members;
            for (; i + 1 < recipients && msg_.recipients[i + 1] &&
                   msg_.recipients[i + 1]->kind == r->kind;
                 ++i) {
                const qv_recipient &member = *msg_.recipients[i + 1];
                std::string ignored;
                const GroupMark mark = GroupMarkOf(member, ignored);
                if (mark == GroupMark::kEnd)
                    ++i;
                if (mark != GroupMark::kNone)
                    break;
                std::string value = MailboxValue(Field(member.name), Field(member.address), encoder_);
                if (!value.empty())
                    members += (members.empty() ? " " : ", ") + value;
            }
            Put(FoldHeader(label, encoder_.Phrase(group) + ":" + members + ";"));
            continue;
        }
        case GroupMark::kNone:
            break;
        }
        std::string value = MailboxValue(Field(r->name), Field(r->address), encoder_);
        if (!value.empty())
            Put(FoldHeader(label, value));
    }
}

// The record's date (UTC) shown in the session's local time with its
// offset; the current time when the record has none.
void MessageWriter::WriteDateHeader()
{
    qv_filetime date = msg_.date;
    if (com_DateIsNull(date))
        date = options_.now ? options_.now() : com_FileTimeNow();
    Put("Date: " + DateValue(date, options_.utc_offset_text) + "\r\n");
}

void MessageWriter::OpenNestedLevel(std::string_view subtype)
{
    Put("--" + Boundary() + "\r\n");
    ++level_;
    open_.push_back(BoundaryNumbered(level_));
    Put("Content-type: multipart/" + std::string(subtype) + "; boundary=\"" + Boundary() +
        "\"\r\n\r\n");
}

// Every part ends with the line end that the next delimiter line begins
// with; one more would become part of a text body.
void MessageWriter::CloseNestedLevel()
{
    Put("--" + Boundary() + "--\r\n\r\n");
    open_.pop_back();
    --level_;
}

void MessageWriter::Put(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), out_);
}

std::string MessageWriter::BoundaryNumbered(int level) const
{
    return prefix_ + "/" + std::to_string(number_ + level);
}

// The character set named for header-block text and moved-attachment
// pages: the one the header encoding used, else the record's code page's.
std::string MessageWriter::FallbackCharset() const
{
    if (!encoder_.charset().empty())
        return encoder_.charset();
    std::array<char, kCharsetNameMax> name{};
    if (msg_.codepage != 0)
        com_iso_codepage(msg_.codepage, name.data(), name.size());
    return name[0] != '\0' ? std::string(name.data()) : std::string("UTF-8");
}

void MessageWriter::DeletePartFiles()
{
    for (int i = 0; i < PartCount(); ++i)
        folder_.Remove(PartPath(i));
}

void MessageWriter::ReportLeftOut()
{
    if (images_left_out_ > 0)
        com_Log("QV Warning: %d images of message \"%s\" were left out (at most %d per message)",
                images_left_out_, std::string(Field(msg_.subject)).c_str(), kMaxImagesPerMessage);
}

qv_part *MessageWriter::PartAt(int index) const
{
    return msg_.parts[index];
}

int MessageWriter::PartCount() const
{
    return std::clamp(msg_.part_count, 0, QV_MAX_PARTS);
}

std::string MessageWriter::PartPath(int index) const
{
    return PartFilePath(work_dir_, msg_.msg_number, index);
}

PartContent MessageWriter::OpenPart(int index) const
{
    return PartContent::Open(PartPath(index), options_.part_in_memory_max, &folder_);
}

} // namespace qvamz::mime
