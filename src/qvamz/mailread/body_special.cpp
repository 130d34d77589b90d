// The finishing steps for particular messages: attached mbox files,
// subjects too long for the record, and sticky notes.
#include <cstring>

#include "mailread/body_finish.hpp"
#include "mailread/header_text.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/part_file.hpp"
#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr std::size_t kVNoteBodyLabel = 5; // "BODY:" before the note's text

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

std::size_t characters(std::string_view utf8)
{
    std::size_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// Breaks the text at the first blank after every run of more than
// kSubjectReflowWidth characters; the blanks at a break are dropped.
std::string reflow(std::string_view text)
{
    std::string out;
    std::size_t since_break = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' && since_break > kSubjectReflowWidth) {
            out += "\r\n";
            since_break = 0;
            while (i + 1 < text.size() && text[i + 1] == ' ')
                ++i;
            continue;
        }
        out.push_back(c);
        since_break += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return out;
}

bool write_file(const std::string &path, std::string_view text)
{
    qvcommon::UniqueFile f = OpenPartFile(path);
    return f && std::fwrite(text.data(), 1, text.size(), f.get()) == text.size();
}

// The vNote body after "BODY:" up to the line that starts the next
// property: folded lines joined, "\n" escapes turned into line ends.
void copy_vnote_body(FILE *in, FILE *out)
{
    int c;
    while ((c = std::getc(in)) != EOF) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            const int next = std::getc(in);
            if (next == 'E' || next == 'P' || next == EOF)
                return;
            continue; // a folded line: the line end and the fold blank go
        }
        if (c == '\\') {
            const int next = std::getc(in);
            if (next == 'n') {
                std::fputs("\r\n", out);
                continue;
            }
            std::fputc('\\', out);
            if (next != EOF)
                std::ungetc(next, in);
            continue;
        }
        std::fputc(c, out);
    }
}

} // namespace

void ExpandEmlParts(qv_message *msg, const std::string &work_dir, ParseTree &tree)
{
    for (int i = 0; i < msg->part_count; ++i) {
        qv_part *part = msg->parts[i];
        if (!qvcommon::ContainsNoCase(part->file_name, ".EML") ||
            part->part_type == QV_PART_EMBEDDED_MSG)
            continue;
        const std::string path = qvcom::part_file_path(work_dir, msg->msg_number, i);
        qvcommon::UniqueFile f(std::fopen(path.c_str(), "rb"));
        if (!f)
            return;
        MailInput in(f.get(), tree);
        if (ReadHeaderLine(in, nullptr, false, 0) == 1 ||
            !qvcommon::StartsWithNoCase(in.line, "From "))
            continue;
        part->part_type = QV_PART_EMBEDDED_MSG;
        qv_message *sub = com_AllocSubMsg(msg, i);
        if (sub)
            Parse_RFC822_Msg(in, sub, work_dir, "", false);
    }
}

int LongSubjectPart(qv_message *msg, const std::string &work_dir, std::string_view subject,
                    ParseTree &tree)
{
    if (characters(subject) < kLongSubjectMin)
        return 0;
    int text_part = -1;
    for (int i = 0; i < msg->part_count; ++i)
        if (msg->parts[i]->part_type == QV_PART_TEXT_BODY)
            text_part = i;
    if (text_part >= 0 && msg->parts[text_part]->size != 0)
        return 0;
    const std::string text = reflow(subject);
    qv_part *part = text_part >= 0 ? msg->parts[text_part] : AllocPart(msg, tree);
    if (!part)
        return 0;
    const int index = text_part >= 0 ? text_part : msg->part_count;
    if (!write_file(qvcom::part_file_path(work_dir, msg->msg_number, index), text))
        return 0;
    if (text_part < 0) {
        part->part_type = QV_PART_TEXT_BODY;
        store(part->file_name, "Message Text");
        msg->part_count = index + 1;
    }
    part->size = static_cast<std::uint32_t>(text.size());
    return 1;
}

void ConvertStickyNote(qv_message *msg, const std::string &work_dir)
{
    int index = -1;
    for (int i = 0; i < msg->part_count && index < 0; ++i)
        if (msg->parts[i]->part_type == QV_PART_TEXT_BODY)
            index = i;
    if (index < 0)
        return;
    const std::string path = qvcom::part_file_path(work_dir, msg->msg_number, index);
    const std::string sticky = work_dir + "sticky.tmp";
    {
        qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
        if (!in)
            return;
        ParseTree lines_only; // the note is read as lines, not parsed
        MailInput lines(in.get(), lines_only);
        if (ReadHeaderLine(lines, nullptr, false, 0) == 1 ||
            !qvcommon::StartsWithNoCase(Cut(lines.line, kStickyFirstLineMax), "BEGIN:"))
            return;
        ReadHeaderLine(lines, nullptr, false, 0); // "VERSION:..."
        lines.sync();
        for (std::size_t i = 0; i < kVNoteBodyLabel; ++i)
            std::getc(in.get());
        qvcommon::UniqueFile out(std::fopen(sticky.c_str(), "wb"));
        if (!out)
            return;
        copy_vnote_body(in.get(), out.get());
    }
    std::remove(path.c_str());
    com_fcopy(sticky.c_str(), path.c_str());
    std::remove(sticky.c_str());
    msg->parts[index]->size = static_cast<std::uint32_t>(com_GetFileSize(path.c_str(), nullptr));
    if (msg->from_name[0] == '\0')
        store(msg->from_name, "Sticky Note");
}

} // namespace qvamz::mailread
