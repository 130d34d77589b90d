// Parse_RFC822_Msg: the header block, the settled charset and date, and
// the body as one part or handed to the MIME part parser.
#include "mailread/rfc822_parser.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <optional>
#include <utility>
#include <unistd.h>
#include <vector>

#include "frame/session.hpp"
#include "mailread/address_groups.hpp"
#include "mailread/body_finish.hpp"
#include "mailread/header_text.hpp"
#include "mailread/mime_parser.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/part_file.hpp"
#include "mailread/rfc822_headers.hpp"
#include "mailread/uudecode.hpp"
#include "qv/qvcom.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr std::size_t kMboxPrefixLength = 5; // "From "
constexpr int kLatestPlausibleYear = 2100;

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

// Raises the nesting level for one embedded message and lowers it again
// however the parse ends.
class NestingLevel {
  public:
    explicit NestingLevel(ParseTree &tree) : tree_(tree) { ++tree_.nesting; }
    ~NestingLevel() { --tree_.nesting; }
    NestingLevel(const NestingLevel &) = delete;
    NestingLevel &operator=(const NestingLevel &) = delete;
    bool too_deep() const { return tree_.nesting > tree_.settings.max_nesting; }

  private:
    ParseTree &tree_;
};

bool has_month_name(std::string_view text)
{
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (const char *month : kMonths)
        if (qvcommon::ContainsNoCase(text, month))
            return true;
    return false;
}

// Header texts not written as encoded words are in the message charset.
// Text that already is 8-bit UTF-8 stays as it is (agents write raw UTF-8
// headers whatever the body's charset), and a UTF-16 or UTF-32 charset
// only ever describes a body.
std::string header_text_to_utf8(std::string_view text, const std::string &charset, int codepage)
{
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    const bool wide =
        codepage == 1200 || codepage == 1201 || codepage == 12000 || codepage == 12001;
    std::string out(text);
    if (wide || (!ascii && CharsetToUtf8(text, "utf-8") == text))
        return out;
    return CharsetToUtf8(text, charset);
}

class MessageParser {
  public:
    MessageParser(MailInput &in, qv_message *msg, const std::string &work_dir,
                  std::string_view enclosing, bool outermost)
        : in_(in), msg_(msg), work_dir_(work_dir), enclosing_(enclosing), outermost_(outermost)
    {
        st_.settings = in.tree().settings;
    }

    int Run();

  private:
    std::optional<int> HeaderPart();
    bool CopyRawMessage();
    void ReadHeaders();
    void SettleCharset();
    void DateFallback();
    int MultipartBody();
    int SinglePartBody();
    int EmbeddedMessageBody();
    void FinishParts(bool sticky_before_subject);
    std::string PartPath(int index) const
    {
        return qvcom::part_file_path(work_dir_, msg_->msg_number, index);
    }

    MailInput &in_;
    qv_message *msg_;
    const std::string &work_dir_;
    std::string enclosing_;
    bool outermost_;
    MessageState st_;
    bool body_charset_known_ = false;
    bool body_only_ = false; // the text starts with no header line
    qvcommon::UniqueFile header_file_;
    std::string BodyCharset() const { return body_charset_known_ ? st_.charset : std::string(); }
};

// Part 0, the header block; an answer when the parse ends here.
std::optional<int> MessageParser::HeaderPart()
{
    msg_->part_count = 0;
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part)
        return kParseOk;
    part->part_type = QV_PART_HEADERS;
    store(part->file_name, "Internet Headers.txt");
    msg_->part_count = 1;
    header_file_ = OpenPartFile(PartPath(0));
    if (!header_file_) {
        com_Log("QV Error: Unable to open msg part");
        return kParseDrop;
    }
    return std::nullopt;
}

// /D81: the message exactly as received, for a target that takes it whole.
bool MessageParser::CopyRawMessage()
{
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part)
        return false;
    part->part_type = QV_PART_ATTACHMENT;
    store(part->file_name, "RAWRFC.dat");
    const int index = msg_->part_count++;
    const std::string path = PartPath(index);
    // The copy starts where the message does (leading blank lines were
    // skipped), and reading goes on from there.
    const std::int64_t start = in_.tell();
    {
        qvcommon::UniqueFile out = OpenPartFile(path);
        if (!out)
            return false;
        for (std::string_view ahead; !(ahead = in_.buffered()).empty(); in_.skip(ahead.size()))
            std::fwrite(ahead.data(), 1, ahead.size(), out.get());
    }
    in_.seek(start);
    part->size = static_cast<std::uint32_t>(com_GetFileSize(path.c_str(), nullptr));
    return true;
}

void MessageParser::ReadHeaders()
{
    FILE *copy = header_file_.get();
    for (;;) {
        const std::int64_t line_start = in_.tell();
        const long copy_start = std::ftell(copy);
        if (ReadHeaderLine(in_, copy, true, 0) == 1)
            return;
        const std::string &line = in_.line;
        if (line.empty())
            return;
        // Text without any header at all is all body (it still is a message).
        if (st_.header_lines == 0 && !IsHeaderFieldLine(line))
            body_only_ = true;
        if (qvcommon::StartsWithNoCase(line, "<!DOCTYPE html>") ||
            qvcommon::StartsWithNoCase(line, "<b>") || !IsHeaderFieldLine(line)) {
            // A body without a blank line before it: the line is the body's.
            in_.seek(line_start);
            std::fseek(copy, copy_start, SEEK_SET); // the file ends there
            return;
        }
        if (st_.header_lines++ == 0)
            st_.first_line = Cut(line, kFirstLineMax);
        ApplyHeaderLine(line, msg_, st_, in_.tree());
        if (st_.drop)
            return;
    }
}

void MessageParser::SettleCharset()
{
    // Neither a charset parameter nor an encoded word said what the body
    // is in: its parts are read as they come (see PostProcessParts).
    body_charset_known_ = st_.charset_seen || msg_->codepage != 0;
    if (!st_.charset_seen && msg_->codepage != 0) {
        char name[64];
        if (com_iso_codepage(msg_->codepage, name, sizeof name))
            st_.charset = name;
    }
    if (msg_->codepage != 0)
        return;
    if (st_.charset.empty())
        st_.charset = "ISO-8859-1";
    msg_->codepage = com_iso_codepage(0, st_.charset.data(), st_.charset.size() + 1);
    const auto convert = [&](auto &field) {
        store(field, header_text_to_utf8(field, st_.charset, msg_->codepage));
    };
    convert(msg_->from_name);
    convert(msg_->from_address);
    convert(msg_->subject);
    st_.subject_copy = header_text_to_utf8(st_.subject_copy, st_.charset, msg_->codepage);
    for (int i = 0; i < msg_->recipient_count; ++i) {
        convert(msg_->recipients[i]->name);
        convert(msg_->recipients[i]->address);
    }
}

void MessageParser::DateFallback()
{
    if (st_.date_seen || CivilOf(msg_->date).year != 1601)
        return;
    std::string line = st_.first_line.size() > kMboxPrefixLength
                           ? st_.first_line.substr(kMboxPrefixLength)
                           : std::string();
    if (!line.empty() && line[0] == ' ')
        line.erase(0, 1);
    std::string work = line;
    if (!st_.from_seen) { // "From sender date": the date follows the sender
        const std::size_t space = line.find(' ');
        work = space == std::string::npos ? std::string() : line.substr(space + 1);
    }
    if (!has_month_name(work))
        work = st_.received_date;
    bool usable = false;
    if (has_month_name(work)) {
        com_Parse_Mime_Date(work.c_str(), msg_);
        const CivilTime t = CivilOf(msg_->date);
        usable = t.year != 1601 && t.year <= kLatestPlausibleYear && t.day <= 31 && t.month <= 12;
    }
    if (!usable) {
        msg_->date = com_FileTimeNow();
        msg_->date_missing = 1;
    }
}

void MessageParser::FinishParts(bool sticky_before_subject)
{
    // The text body read for its uuencoded blocks is the one the charset
    // steps then look at.
    PartBytes kept;
    ExtractUuencodedFiles(msg_, work_dir_, in_.tree(), &kept);
    PostProcessParts(msg_, work_dir_, st_.settings, &kept);
    ExpandEmlParts(msg_, work_dir_, in_.tree());
    if (sticky_before_subject && st_.sticky)
        ConvertStickyNote(msg_, work_dir_);
    LongSubjectPart(msg_, work_dir_, st_.subject_copy, in_.tree());
    if (!sticky_before_subject && st_.sticky)
        ConvertStickyNote(msg_, work_dir_);
}

int MessageParser::MultipartBody()
{
    std::string boundary = RTrim(st_.boundary);
    const std::int64_t body_start = in_.tell();
    switch (SkipPreamble(in_, boundary, {enclosing_})) {
    case PreambleEnd::kClosing: // a multipart without parts
        LongSubjectPart(msg_, work_dir_, st_.subject_copy, in_.tree());
        return kParseOk;
    case PreambleEnd::kNotFound:
        // The boundary never comes: the whole body is one part.
        in_.seek(body_start);
        st_.code = QV_PART_TEXT_BODY;
        return SinglePartBody();
    case PreambleEnd::kBoundary:
        break;
    }
    if (ParseMimeParts(msg_, boundary, enclosing_, work_dir_, in_, st_.digest, BodyCharset()) ==
        kParseRefused)
        return kParseRefused;
    FinishParts(false);
    if (msg_->message_charset[0] == '\0')
        store(msg_->message_charset, Cut(st_.charset, kStoredCharsetMax));
    return kParseOk;
}

int MessageParser::SinglePartBody()
{
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part)
        return kParseOk;
    part->part_type = st_.code;
    store(part->file_name, Cut(st_.part_name, kPartNameMax));
    store(part->charset, Cut(BodyCharset(), kStoredCharsetMax));
    const int index = msg_->part_count;
    qvcommon::UniqueFile out = OpenPartFile(PartPath(index));
    if (!out) {
        com_Log("QV Error: Unable to open msg part");
        return kParseDrop;
    }
    std::uint64_t count = 0;
    const bool decode = DecodedWhileCopied(st_.code);
    CopyPartBody(in_, out.get(), enclosing_, "", st_.code, st_.quoted_printable, st_.charset, count,
                 0, decode);
    if (decode) {
        part->part_type = QV_PART_ATTACHMENT;
        count = static_cast<std::uint64_t>(std::max(0L, std::ftell(out.get())));
    }
    out.reset();
    part->size = static_cast<std::uint32_t>(count);
    msg_->part_count = index + 1;
    FinishParts(true);
    return kParseOk;
}

int MessageParser::EmbeddedMessageBody()
{
    qv_part *part = AllocPart(msg_, in_.tree());
    if (!part)
        return kParseOk;
    part->part_type = QV_PART_EMBEDDED_MSG;
    store(part->file_name, Cut(st_.part_name, kPartNameMax));
    const int index = msg_->part_count;
    qv_message *sub = com_AllocSubMsg(msg_, index);
    msg_->part_count = index + 1;
    if (!sub)
        return kParseOk;
    // The wrapped message ends where this one does.
    Parse_RFC822_Msg(in_, sub, work_dir_, enclosing_, false);
    return kParseOk;
}

int MessageParser::Run()
{
    if (outermost_) {
        // A message of its own starts the tree afresh; the settings stay.
        const ParserSettings settings = in_.tree().settings;
        in_.tree() = ParseTree{};
        in_.tree().settings = settings;
        while (in_.peek() == '\r' || in_.peek() == '\n')
            in_.get();
    }
    if (const std::optional<int> early = HeaderPart())
        return *early;
    if (outermost_ && st_.settings.raw_passthrough)
        CopyRawMessage();
    msg_->priority = 1;
    // Without an Importance header the message is of normal importance
    // (a zero would be written back as "Importance: Low").
    msg_->importance = 1;

    ReadHeaders();
    SettleCharset();
    // The writer's position is where the file ends once it is closed.
    const long header_size = std::ftell(header_file_.get());
    const bool header_written = std::fclose(header_file_.release()) == 0 && header_size >= 0;
    msg_->parts[0]->size = static_cast<std::uint32_t>(
        header_written ? header_size : com_GetFileSize(PartPath(0).c_str(), nullptr));
    if (st_.drop)
        return kParseDrop;
    if (st_.header_lines == 0 && !body_only_) {
        com_Deallocate_All(msg_, work_dir_.c_str());
        return kParseDrop;
    }
    if (!st_.date_seen || !st_.from_seen)
        DateFallback();
    if (!st_.subject_logged && st_.settings.log_subjects) {
        LogSubjectLine(msg_, st_);
        if (st_.drop)
            return kParseDrop;
    }
    if (st_.embedded)
        return EmbeddedMessageBody();
    return st_.boundary.empty() ? SinglePartBody() : MultipartBody();
}

} // namespace

std::string CleanAddress(std::string address)
{
    // Addresses may hold UTF-8 (RFC 6532): only control characters go, and
    // comments ("pete(his account)@host") outside quoted strings.
    std::string kept;
    bool quoted = false;
    int comment = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const char c = address[i];
        if (c == '\\' && i + 1 < address.size() && (quoted || comment > 0)) {
            if (!comment)
                kept.append(address, i, 2);
            ++i;
            continue;
        }
        if (!quoted && c == '(') {
            ++comment;
            continue;
        }
        if (comment > 0) {
            comment -= c == ')' ? 1 : 0;
            continue;
        }
        quoted = c == '"' ? !quoted : quoted;
        if (static_cast<unsigned char>(c) >= ' ' && c != 127)
            kept.push_back(c);
    }
    if (!kept.empty() && kept[0] == '"' && kept.find('@') != std::string::npos) {
        const std::size_t pair = kept.find("\".");
        if (pair != std::string::npos)
            kept.resize(pair + 1);
    }
    return RemoveQuotes(kept);
}

qv_part *AllocPart(qv_message *msg, ParseTree &tree)
{
    if (tree.parts_allocated >= tree.settings.max_parts) {
        if (!tree.budget_logged)
            com_Log("QV Warning: message holds too many parts; the rest is left out");
        tree.budget_logged = true;
        return nullptr;
    }
    qv_part *part = com_AllocPart(msg);
    if (part)
        ++tree.parts_allocated;
    return part;
}

namespace {

// Adds one recipient record, within the record's and the tree's budgets.
void add_recipient(qv_message *msg, int kind, std::string_view name, std::string_view address,
                   ParseTree &tree)
{
    if (msg->recipient_count >= QV_MAX_RECIPIENTS ||
        tree.recipients_allocated >= tree.settings.max_recipients)
        return;
    if (qv_recipient *r = com_AllocRecip(msg)) {
        r->kind = kind;
        store(r->name, Cut(name, kRecipientTextMax));
        store(r->address, Cut(address, kRecipientTextMax));
        ++msg->recipient_count;
        ++tree.recipients_allocated;
    }
}

// Display name and address of one mailbox (or of a group's phrase); a
// non-zero code page of its encoded words goes to the record.
std::pair<std::string, std::string> split_mailbox(qv_message *msg, std::string_view text)
{
    std::vector<char> name(kRecipientTextMax * 2 + 1), address(kRecipientTextMax * 2 + 1);
    int codepage = 0;
    const std::string decoded = DecodeIso(Cut(text, kMailboxTextMax), codepage); // no entities
    com_ExtractMIMEAddr(decoded.c_str(), name.data(), name.size(), address.data(), address.size());
    if (codepage && msg->codepage == 0)
        msg->codepage = codepage;
    std::string addr = address.data();
    if (addr == "()")
        addr.clear();
    return {name.data(), CleanAddress(addr)};
}

} // namespace

void AddRecipients(qv_message *msg, std::string_view value, int kind, ParseTree &tree)
{
    const std::vector<AddressEntry> entries = SplitAddressList(value);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const AddressEntry &entry = entries[i];
        if (entry.kind == AddressEntry::Kind::kGroupEnd) {
            add_recipient(msg, kind, kGroupEndName, "", tree);
            continue;
        }
        auto [name, address] = split_mailbox(msg, entry.text);
        if (entry.kind == AddressEntry::Kind::kMailbox) {
            if (!name.empty() || !address.empty())
                add_recipient(msg, kind, name, address, tree);
            continue;
        }
        // A group: its phrase is its name (a one-word phrase reads as an address).
        const std::string group = name.empty() ? address : name;
        const bool empty = i + 1 < entries.size() && entries[i + 1].kind == AddressEntry::Kind::kGroupEnd;
        add_recipient(msg, kind, empty ? EmptyGroupName(group) : GroupStartName(group), "", tree);
        if (empty)
            ++i;
    }
}

int Parse_RFC822_Msg(MailInput &in, qv_message *msg, const std::string &work_dir,
                     std::string_view enclosing, bool outermost)
{
    if (!msg) {
        QV_DEBUG_LOG(in.tree().settings.debug, "debug: in Parse_RFC822_Msg, mdat is NULL!");
        return kParseRefused;
    }
    if (outermost)
        return MessageParser(in, msg, work_dir, enclosing, true).Run();
    NestingLevel level(in.tree());
    if (level.too_deep()) {
        com_Log("QV Warning: too many nested messages in RFC-822 data");
        return kParseRefused;
    }
    return MessageParser(in, msg, work_dir, enclosing, false).Run();
}

int Parse_RFC822_Msg(FILE *in, qv_message *msg, const char *work_dir, const char *enclosing,
                     int outermost, const ParserSettings &settings)
{
    if (!in) {
        return kParseRefused;
    }
    ParseTree tree;
    tree.settings = settings;
    MailInput input(in, tree);
    const std::string dir = work_dir ? work_dir : "";
    const int result =
        Parse_RFC822_Msg(input, msg, dir, enclosing ? enclosing : "", outermost != 0);
    input.sync();
    return result;
}

ParserSettings ParserSettings::FromSession(const Session &session)
{
    const SessionSettings &s = session.settings;
    ParserSettings settings;
    settings.debug = s.debug != 0;
    settings.drop_calendar_parts = s.drop_calendar_parts != 0;
    settings.raw_passthrough = s.raw_passthrough != 0;
    settings.log_subjects = s.log_subjects != 0;
    settings.html_charset_rule = s.html_charset_rule != 0;
    return settings;
}

} // namespace qvamz::mailread
