// What each header line of a message sets.  Header names are matched as
// case-insensitive prefixes of the unfolded line.
#include "mailread/rfc822_headers.hpp"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "mailread/header_text.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/rfc822_parser.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr std::size_t kFlagCompareLength = 32; // X-Message-Flag texts are compared this far
constexpr int kYearOfNullDate = 1601;

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

void from_header(const std::string &line, qv_message *msg, MessageState &st)
{
    int codepage = 0;
    std::string value = DecodeIso(Cut(HeaderValue(line), kFromValueMax), codepage);
    // Header text holds no XML: an "&amp;" in a name is what the sender wrote.
    value = DelSpaces(value);
    std::vector<char> name(sizeof msg->from_name), address(sizeof msg->from_address);
    com_ExtractMIMEAddr(value.c_str(), name.data(), name.size(), address.data(), address.size());
    store(msg->from_name, name.data());
    store(msg->from_address, CleanAddress(address.data()));
    if (codepage)
        msg->codepage = codepage;
    st.from_seen = true;
}

void subject_header(const std::string &line, qv_message *msg, MessageState &st)
{
    int codepage = 0;
    std::string value = DecodeIso(DelSpaces(Cut(HeaderValue(line), kSubjectCopyMax)), codepage);
    if (codepage)
        msg->codepage = codepage;
    st.subject_copy = Cut(value, kSubjectCopyMax); // kept as written, entities too
    store(msg->subject, Cut(st.subject_copy, kSubjectFieldMax));
    st.subject_seen = true;
    if (st.date_seen)
        LogSubjectLine(msg, st);
}

void date_header(const std::string &line, qv_message *msg, MessageState &st)
{
    const qv_filetime before = msg->date;
    com_Parse_Mime_Date(HeaderValue(line).c_str(), msg);
    if (CivilOf(msg->date).year != kYearOfNullDate) {
        st.date_seen = true;
    } else if (st.date_seen) {
        msg->date = before; // an unreadable Resent-Date keeps the date read before
    }
    if (st.subject_seen)
        LogSubjectLine(msg, st);
}

void delivered_to_header(const std::string &line, qv_message *msg)
{
    std::string value = Cut(HeaderValue(line), kDeliveredToMax);
    const std::size_t colon = value.find(':');
    if (colon != std::string::npos) {
        const std::size_t dash = value.find('-', colon);
        if (dash != std::string::npos)
            value.erase(0, dash + 1);
    }
    store(msg->delivered_to, value);
}

void mozilla_status(const std::string &line, qv_message *msg, MessageState &st)
{
    const long long flags = LeadingNumber(Cut(HeaderValue(line), kFlagValueMax), 16);
    msg->unread = (flags & 0x1) ? 0 : 1;
    if (flags & 0x8) {
        com_Log("QV Warning: skipping deleted message");
        st.drop = true;
    }
}

void pmflags(const std::string &line, qv_message *msg)
{
    const long long flags = LeadingNumber(Cut(HeaderValue(line), kFlagValueMax), 10);
    msg->unread = (flags & (1LL << 7)) ? 0 : 1;
    msg->forwarded = (flags & (1LL << 21)) ? 1 : 0;
    msg->replied = (flags & (1LL << 20)) ? 1 : 0;
}

bool follow_up_flag(const std::string &line)
{
    for (const char *flag : {"X-Message-Flag: Assurer un suivi", "X-Message-Flag: Follow Up",
                             "X-Message-Flag: Flag for follow Up"})
        if (EqualsOverCI(line, flag, kFlagCompareLength))
            return true;
    return false;
}

void transfer_encoding(const std::string &line, MessageState &st)
{
    if (qvcommon::ContainsNoCase(line, "quoted-printable"))
        st.quoted_printable = true;
    if (qvcommon::ContainsNoCase(line, "base64")) {
        switch (st.code) {
        case 1: st.code = 6; break;
        case 9: st.code = 10; break;
        case 0: st.code = 15; break;
        default: st.code = 3; break;
        }
    }
}

// A message whose one part is of such a type is a file, not a text.
bool is_file_type(std::string_view media_type)
{
    for (std::string_view top : {"application/", "audio/", "video/", "image/", "model/", "font/"})
        if (qvcommon::StartsWithNoCase(media_type, top))
            return true;
    return false;
}

std::string charset_param(const std::string &line)
{
    const std::string text = CharsetParam(line, kLineMax).value_or("");
    std::string_view value = text;
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    if (!value.empty() && value[0] == '"') {
        const std::size_t close = value.find('"', 1);
        value = value.substr(0, close == std::string_view::npos ? value.size() : close + 1);
    } else {
        value = value.substr(0, value.find_first_of("; \t"));
    }
    return RemoveQuotes(Cut(value, kCharsetMax));
}

void content_type(const std::string &line, qv_message *msg, MessageState &st)
{
    if (auto boundary = BoundaryParam(line))
        st.boundary = *boundary;
    if (auto name = NameParam(line, kHeaderNameMax))
        st.part_name = *name;
    if (qvcommon::ContainsNoCase(line, "text/html"))
        st.code = (st.code == 3 || st.code == 6) ? 10 : 9;
    if (qvcommon::ContainsNoCase(line, "application/pdf"))
        st.code = st.code == 3 ? 15 : 0;
    if (qvcommon::ContainsNoCase(line, "ms-tnef") || qvcommon::ContainsNoCase(line, "image/"))
        st.code = st.code == 3 ? 3 : 0;
    if (qvcommon::ContainsNoCase(line, "text/calendar")) {
        st.part_name = "event.ics";
        st.code = 0;
        if (st.settings.drop_calendar_parts)
            st.drop = true;
    }
    if (qvcommon::ContainsNoCase(line, "text/x-stickynote")) {
        st.code = 1;
        st.sticky = true;
    }
    if (qvcommon::ContainsNoCase(line, "text/plain"))
        st.code = (st.code == 3 || st.code == 6) ? 6 : 1;
    if (qvcommon::ContainsNoCase(line, "message/rfc822"))
        st.embedded = true;
    if (is_file_type(HeaderValue(line)))
        st.code = (st.code == 3 || st.code == 6 || st.code == 10 || st.code == 15) ? 15 : 0;
    if (qvcommon::ContainsNoCase(line, "text/rtf"))
        st.part_name = "Message.rtf";
    if (qvcommon::ContainsNoCase(line, "multipart/digest"))
        st.digest = true;
    if (CharsetParam(line, kCharsetMax)) {
        st.charset = charset_param(line);
        st.charset_seen = true;
        store(msg->message_charset, Cut(st.charset, kStoredCharsetMax));
    }
}

// Headers that name the content of a message part; anything else is
// either none of the parser's business or a header the record holds.
bool content_header(const std::string &line, qv_message *msg, MessageState &st)
{
    if (qvcommon::StartsWithNoCase(line, "Content-Transfer-Encoding:")) {
        transfer_encoding(line, st);
    } else if (qvcommon::StartsWithNoCase(line, "Content-Disposition:") &&
               qvcommon::StartsWithNoCase(HeaderValue(line), "attachment")) {
        if (auto name = NameParam(line, kHeaderNameMax))
            st.part_name = *name;
        if (st.code == 6)
            st.code = 15;
    } else if (qvcommon::StartsWithNoCase(line, "Content-Type:")) {
        content_type(line, msg, st);
    } else if (qvcommon::StartsWithNoCase(line, "Attachment:") ||
               qvcommon::StartsWithNoCase(line, "Attachment-name:") ||
               qvcommon::StartsWithNoCase(line, "FileID:")) {
        // File stores name attachments kept beside the message this way.
        // No such folder exists here, and a header never names a file we
        // open: the line stays in the header block only.
        QV_DEBUG_LOG(st.settings.debug, "debug: attachment reference header ignored");
    } else {
        return false;
    }
    return true;
}

// The tests of the lines that are neither From: nor Subject:.
void other_header(const std::string &line, qv_message *msg, MessageState &st, ParseTree &tree)
{
    if (qvcommon::StartsWithNoCase(line, "Message-ID:")) {
        store(msg->message_id, Cut(HeaderValue(line), kMessageIdMax));
    } else if (qvcommon::StartsWithNoCase(line, "Delivered-To:")) {
        delivered_to_header(line, msg);
    } else if (qvcommon::StartsWithNoCase(line, "Received:")) {
        const std::size_t semicolon = line.rfind(';');
        if (semicolon != std::string::npos) {
            const std::size_t start = line.find_first_not_of(' ', semicolon + 1);
            st.received_date =
                start == std::string::npos ? "" : Cut(line.substr(start), kReceivedDateMax);
        }
    } else if (qvcommon::StartsWithNoCase(line, "Date:") ||
               qvcommon::StartsWithNoCase(line, "Resent-Date:") ||
               qvcommon::StartsWithNoCase(line, "Message Sent:")) {
        date_header(line, msg, st);
    } else if (qvcommon::StartsWithNoCase(line, "X-Mozilla-Status:")) {
        mozilla_status(line, msg, st);
    } else if (qvcommon::StartsWithNoCase(line, "X-PMFLAGS:")) {
        pmflags(line, msg);
    } else if (qvcommon::StartsWithNoCase(line, "Priority: urgent")) {
        msg->priority = 2;
    } else if (qvcommon::StartsWithNoCase(line, "X-Priority:")) {
        const long long level = LeadingNumber(HeaderValue(line), 10);
        if (level == 1 || level == 2)
            msg->priority = 2;
        else if (level == 4 || level == 5)
            msg->priority = 0;
    } else if (qvcommon::StartsWithNoCase(line, "Importance: High")) {
        msg->importance = 2;
    } else if (qvcommon::StartsWithNoCase(line, "Importance: Low")) {
        msg->importance = 0;
    } else if (follow_up_flag(line)) {
        msg->flag_status = 2;
    } else if (qvcommon::StartsWithNoCase(line, "To:")) {
        AddRecipients(msg, HeaderValue(line), QV_RECIP_TO, tree);
    } else if (qvcommon::StartsWithNoCase(line, "CC:") ||
               qvcommon::StartsWithNoCase(line, "Copies-to:")) {
        AddRecipients(msg, HeaderValue(line), QV_RECIP_CC, tree);
    } else if (qvcommon::StartsWithNoCase(line, "BCC:")) {
        AddRecipients(msg, HeaderValue(line), QV_RECIP_BCC, tree);
    } else {
        content_header(line, msg, st);
    }
}

} // namespace

CivilTime CivilOf(qv_filetime date)
{
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm tm{};
    if (!gmtime_r(&seconds, &tm))
        return {kYearOfNullDate, 1, 1, 0, 0};
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min};
}

void LogSubjectLine(qv_message *msg, MessageState &st)
{
    if (!st.settings.log_subjects)
        return;
    const CivilTime t = CivilOf(msg->date);
    char text[sizeof msg->subject + 64];
    std::snprintf(text, sizeof text, "RFC subject: %s; Date=%d/%d/%d %02d:%02d", msg->subject,
                  t.month, t.day, t.year, t.hour, t.minute);
    com_Log("%s", text);
    st.subject_logged = true;
    if (com_ExcludeSubject(text)) {
        com_Log("QV Info: message skipped due to /SKIPSUBS");
        st.drop = true;
    }
}

void ApplyHeaderLine(const std::string &line, qv_message *msg, MessageState &st, ParseTree &tree)
{
    if (qvcommon::StartsWithNoCase(line, "From:"))
        from_header(line, msg, st);
    else if (qvcommon::StartsWithNoCase(line, "Subject:"))
        subject_header(line, msg, st);
    else
        other_header(line, msg, st, tree);
}

} // namespace qvamz::mailread
