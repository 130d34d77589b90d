// Answers of a scripted EWS server for the contact tests: envelopes, a
// FindItem page, a list's TNEF member stream built independently of the
// reader, and a router that answers each operation.
#pragma once

#include <string>
#include <vector>

#include "qv_test_support.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"
#include "transport/response_writer.hpp"

namespace contest {

using conntest::Envelope;
using conntest::Success;

// One page of a FindItem listing: ids "C<n>" from `first`, `count` of them.
inline std::string FindItemPage(int first, int count, bool last)
{
    std::string items;
    for (int i = first; i < first + count; ++i)
        items += "<t:Contact><t:ItemId Id=\"C" + std::to_string(i) + "\" ChangeKey=\"K" +
                 std::to_string(i) + "\"/></t:Contact>";
    return Success("FindItem", "<m:RootFolder IndexedPagingOffset=\"" +
                                   std::to_string(first + count) + "\" TotalItemsInView=\"0\" "
                                   "IncludesLastItemInRange=\"" +
                                   (last ? "true" : "false") + "\"><t:Items>" + items +
                                   "</t:Items></m:RootFolder>");
}

inline std::string CreatedAnswer(const std::string &id, const std::string &change_key)
{
    return Success("CreateItem", "<m:Items><t:Contact><t:ItemId Id=\"" + id + "\" ChangeKey=\"" +
                                     change_key + "\"/></t:Contact></m:Items>");
}

using conntest::StoredForm;

struct Member {
    std::u16string name, second, address;
};

inline void PutU32(std::string &out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline std::string Utf16z(const std::u16string &text)
{
    return qvtest::utf16le(text) + std::string(2, '\0');
}

// A list's TNEF member stream in the layout the reader walks; the skipped
// blocks are filled with non-zero bytes, padding after strings with zeros.
inline std::string TnefStream(const std::u16string &list_name, const std::vector<Member> &members,
                              int declared_count = -1)
{
    std::string out = "\x78\x9F\x3E\x22";
    out.append(115, '\x01');
    const std::string name = qvtest::utf16le(list_name);
    PutU32(out, static_cast<std::uint32_t>(name.size()));
    out += name;
    out.append(3, '\0');
    out += '\x05'; // the first byte after the zeros
    out.append(27, '\x02');
    PutU32(out, static_cast<std::uint32_t>(declared_count < 0 ? members.size() : declared_count));
    out.append(28, '\x03');
    for (const Member &m : members) {
        out += Utf16z(m.name) + std::string(2, '\0'); // extra zero padding
        out += Utf16z(m.second);
        out += Utf16z(m.address);
        out.append(28, '\x04');
    }
    return out;
}

// The same stream with its members as real one-off entries: each entry's
// byte length, flags, provider UID, version and 0x8001 before its three
// strings, padded to 4 bytes (the layout a server's TNEF property has).
inline std::string TnefStreamWithEntries(const std::vector<Member> &members)
{
    std::string out = TnefStream(u"L", {});
    out.resize(out.size() - 32); // the count and the 28 bytes after it come again
    PutU32(out, static_cast<std::uint32_t>(members.size()));
    for (const Member &m : members) {
        const std::string strings = Utf16z(m.name) + Utf16z(m.second) + Utf16z(m.address);
        PutU32(out, static_cast<std::uint32_t>(24 + strings.size()));
        out.append(4, '\0');
        out += "\x81\x2B\x1F\xA4\xBE\xA3\x10\x19\x9D\x6E";
        out.append(1, '\0');
        out += "\xDD\x01\x0F\x54\x02";
        out.append(2, '\0');
        out += "\x01\x80";
        out += strings;
        out.append((4 - strings.size() % 4) % 4, '\0');
    }
    out.append(28, '\x06'); // whatever follows the last entry
    return out;
}

// A list's MIME content: headers, then the TNEF stream in base64 lines.
inline std::string ListMime(const std::string &tnef)
{
    return "From: a@b.example\r\nSubject: list\r\nContent-Type: application/ms-tnef\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n" +
           qvtest::base64_encode(tnef, 76) + "\r\n";
}

inline std::string ListAnswer(const std::string &display_name, const std::string &mime,
                              const std::string &members_xml = "")
{
    return Success("GetItem",
                   "<m:Items><t:DistributionList><t:MimeContent CharacterSet=\"UTF-8\">" +
                       qvtest::base64_encode(mime) +
                       "</t:MimeContent><t:ItemId Id=\"L1\" ChangeKey=\"LK1\"/>"
                       "<t:ItemClass>IPM.DistList</t:ItemClass><t:Subject>" +
                       display_name + "</t:Subject><t:DisplayName>" + display_name +
                       "</t:DisplayName>" + members_xml + "</t:DistributionList></m:Items>");
}

} // namespace contest
