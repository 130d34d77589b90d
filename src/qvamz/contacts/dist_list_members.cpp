// Distribution list members (see dist_list_members.hpp).
#include "contacts/dist_list_members.hpp"

#include <cstdint>

#include "common/base64.hpp"
#include "common/text_case.hpp"
#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "qv/qvcom.h"

namespace qvamz::contacts {
namespace {

constexpr unsigned char kSignature[2] = {0x78, 0x9F};
constexpr std::string_view kMimeContentOpen = "<t:MimeContent";
constexpr std::string_view kTnefType = "application/ms-tnef";

// A cursor over the stream that never reads past its end.
class StreamReader {
  public:
    explicit StreamReader(std::string_view data) : data_(data) {}

    bool Skip(std::size_t n)
    {
        if (n > data_.size() - at_)
            return false;
        at_ += n;
        return true;
    }
    bool ReadU32(std::uint32_t &value)
    {
        if (data_.size() - at_ < 4)
            return false;
        value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(data_[at_ + i]);
        at_ += 4;
        return true;
    }
    // Skips zero bytes, then the first other byte as well.
    bool SkipZerosAndOneMore()
    {
        while (at_ < data_.size() && data_[at_] == '\0')
            ++at_;
        return Skip(1);
    }
    std::size_t position() const { return at_; }
    std::size_t size() const { return data_.size(); }
    // Moves to `position` (never past the end).
    bool MoveTo(std::size_t position)
    {
        if (position > data_.size())
            return false;
        at_ = position;
        return true;
    }
    // The little-endian number at `position`, 0 when it does not fit.
    std::uint32_t PeekU32(std::size_t position) const
    {
        if (position > data_.size() || data_.size() - position < 4)
            return 0;
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(data_[position + i]);
        return value;
    }
    void SkipZeros()
    {
        while (at_ < data_.size() && data_[at_] == '\0')
            ++at_;
    }
    // A NUL-terminated UTF-16LE string as UTF-8; false when the stream
    // ends before its terminator.
    bool ReadUtf16z(std::string &out)
    {
        std::u16string units;
        for (;;) {
            if (data_.size() - at_ < 2)
                return false;
            const char16_t unit = static_cast<char16_t>(
                static_cast<unsigned char>(data_[at_]) |
                (static_cast<unsigned char>(data_[at_ + 1]) << 8));
            at_ += 2;
            if (unit == 0)
                break;
            if (units.size() < kMemberUnitsMax)
                units += unit;
        }
        out = Utf8Of(units);
        return true;
    }

  private:
    static std::string Utf8Of(const std::u16string &units)
    {
        std::string out;
        for (std::size_t i = 0; i < units.size(); ++i) {
            std::uint32_t c = units[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                units[i + 1] <= 0xDFFF)
                c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
            else if (c >= 0xD800 && c <= 0xDFFF)
                continue; // a lone surrogate stands for no character
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return std::string(qvcommon::Utf8Prefix(out, kMemberTextMax));
    }

    std::string_view data_;
    std::size_t at_ = 0;
};

// Start of the body after the header block that begins at `from`.
std::size_t BodyStart(std::string_view mime, std::size_t from)
{
    const std::size_t crlf = mime.find("\r\n\r\n", from);
    const std::size_t lf = mime.find("\n\n", from);
    if (crlf != std::string_view::npos && (lf == std::string_view::npos || crlf < lf))
        return crlf + 4;
    return lf == std::string_view::npos ? std::string_view::npos : lf + 2;
}

// The base64 block at `from`: its lines up to the next empty line, decoded.
std::string DecodeBlock(std::string_view mime, std::size_t from)
{
    if (from == std::string_view::npos)
        return {};
    std::size_t end = mime.find("\n\r\n", from);
    const std::size_t lf_end = mime.find("\n\n", from);
    if (end == std::string_view::npos || (lf_end != std::string_view::npos && lf_end < end))
        end = lf_end;
    return qvcommon::Base64Decode(mime.substr(from, end == std::string_view::npos
                                                        ? std::string_view::npos
                                                        : end - from));
}

bool HasSignature(std::string_view stream)
{
    return stream.size() >= 2 && static_cast<unsigned char>(stream[0]) == kSignature[0] &&
           static_cast<unsigned char>(stream[1]) == kSignature[1];
}

// The base64 text of the answer's MimeContent element, "" when none.
std::string_view MimeContentText(std::string_view answer)
{
    const std::size_t at = answer.find(kMimeContentOpen);
    if (at == std::string_view::npos)
        return {};
    const std::size_t start = answer.find('>', at);
    if (start == std::string_view::npos)
        return {};
    const std::size_t end = answer.find('<', start + 1);
    return answer.substr(start + 1,
                         end == std::string_view::npos ? std::string_view::npos : end - start - 1);
}

void AddMembers(const std::vector<ListMember> &members, qv_message &msg, int &added)
{
    for (const ListMember &member : members) {
        if (msg.recipient_count >= QV_MAX_RECIPIENTS)
            return;
        qv_recipient *recipient = com_AllocRecip(&msg);
        if (!recipient)
            return;
        qvcommon::CopyToField(recipient->name, member.name, kMemberFieldMax);
        qvcommon::CopyToField(recipient->address, member.address, kMemberFieldMax);
        recipient->kind = QV_RECIP_TO;
        recipient->response = 0;
        ++msg.recipient_count;
        ++added;
    }
}

} // namespace

std::vector<ListMember> WalkTnefMembers(std::string_view stream)
{
    std::vector<ListMember> members;
    if (!HasSignature(stream))
        return members;
    StreamReader reader(stream);
    std::uint32_t name_length = 0, count = 0;
    if (!reader.Skip(kTnefHeaderBytes) || !reader.ReadU32(name_length) ||
        !reader.Skip(name_length) || !reader.SkipZerosAndOneMore() ||
        !reader.Skip(kTnefSkipAfterName) || !reader.ReadU32(count) ||
        !reader.Skip(kTnefSkipAfterCount))
        return members;
    const auto signed_count = static_cast<std::int32_t>(count);
    for (std::int32_t i = 0; i < signed_count && members.size() < QV_MAX_RECIPIENTS; ++i) {
        // The 28 bytes before a member's strings begin with the byte length
        // of its entry (the strings included), padded to 4 bytes.
        const std::size_t entry_at = reader.position() - kTnefSkipAfterMember;
        const std::uint32_t entry_length = reader.PeekU32(entry_at);
        ListMember member;
        std::string second_name;
        if (!reader.ReadUtf16z(member.name))
            break;
        reader.SkipZeros();
        if (!reader.ReadUtf16z(second_name))
            break;
        reader.SkipZeros();
        if (!reader.ReadUtf16z(member.address))
            break;
        members.push_back(std::move(member));
        // Where the entry's length ends exactly after the strings, the next
        // entry starts after its padding: zero bytes at the start of the
        // next length (a length that is a multiple of 256) are then not
        // taken for padding.  Otherwise zero bytes are skipped.
        const std::size_t entry_end = entry_at + 4 + entry_length;
        if (entry_length >= kTnefSkipAfterMember - 4 && reader.position() == entry_end)
            reader.MoveTo(entry_end + (4 - entry_length % 4) % 4);
        else
            reader.SkipZeros();
        if (!reader.Skip(kTnefSkipAfterMember))
            break;
    }
    return members;
}

std::string TnefOfMime(std::string_view mime)
{
    std::string stream = DecodeBlock(mime, BodyStart(mime, 0));
    if (HasSignature(stream))
        return stream;
    // A multipart message: the body of its TNEF part.
    const std::size_t part = qvcommon::FindNoCase(mime, kTnefType);
    if (part == std::string_view::npos)
        return {};
    stream = DecodeBlock(mime, BodyStart(mime, part));
    return HasSignature(stream) ? stream : std::string();
}

std::vector<ListMember> MembersElementOf(std::string_view answer_text)
{
    std::vector<ListMember> members;
    const std::size_t list_at = answer_text.find("<t:Members>");
    if (list_at == std::string_view::npos)
        return members;
    const std::size_t list_end = answer_text.find("</t:Members>", list_at);
    const std::string_view list = answer_text.substr(list_at, list_end - list_at);
    std::size_t from = 0;
    for (std::size_t at = list.find("<t:Member"); at != std::string_view::npos;
         at = list.find("<t:Member", from)) {
        if (list.compare(at, 10, "<t:Members") == 0) {
            from = at + 10;
            continue;
        }
        const std::size_t end = list.find("</t:Member>", at);
        const std::string member_text(list.substr(at, end == std::string_view::npos
                                                          ? std::string_view::npos
                                                          : end - at));
        from = end == std::string_view::npos ? list.size() : end;
        ListMember member;
        GetElementValue(member_text.c_str(), "Name", member.name, kMemberTextMax);
        GetElementValue(member_text.c_str(), "EmailAddress", member.address, kMemberTextMax);
        if (!member.name.empty() || !member.address.empty())
            members.push_back(std::move(member));
    }
    return members;
}

int ReadDistListMembers(std::string_view answer_text, qv_message &msg)
{
    int added = 0;
    std::vector<ListMember> members;
    const std::string_view mime_base64 = MimeContentText(answer_text);
    if (!mime_base64.empty())
        members = WalkTnefMembers(TnefOfMime(qvcommon::Base64Decode(mime_base64)));
    if (members.empty())
        members = MembersElementOf(answer_text);
    AddMembers(members, msg, added);
    return added;
}

} // namespace qvamz::contacts
