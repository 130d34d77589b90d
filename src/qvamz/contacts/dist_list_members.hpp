// The members of a distribution list read from its GetItem answer.
//
// The list's MIME content carries its members as a TNEF stream; the walk
// below reads that stream's fixed layout:
//
//   119 bytes   header; it must begin with 78 9F (the TNEF signature)
//   4           length n of the list name, little-endian
//   n           the list name, UTF-16LE (not used)
//   ...         zero bytes, skipped up to and including the first other byte
//   27          skipped
//   4           member count, little-endian, signed
//   28          skipped
//   per member  three NUL-terminated UTF-16LE strings (display name, a
//               second name, address), each followed by any number of
//               zero bytes, then 28 bytes skipped
//
// The 28 bytes before a member's strings begin with the length of its
// entry; where that length ends exactly after the three strings, the walk
// goes on after the entry's padding instead of skipping zero bytes, so a
// next length whose first byte is zero is not mistaken for padding.
// Every read is checked against the stream's end: a short or damaged
// stream yields the members read before the damage, never more.  When the
// answer has no MIME content, or its stream is not in that form, the
// list's Members element (Mailbox Name and EmailAddress) is read instead.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "qv/record.h"

namespace qvamz::contacts {

inline constexpr std::size_t kTnefHeaderBytes = 119;
inline constexpr std::size_t kTnefSkipAfterName = 27;
inline constexpr std::size_t kTnefSkipAfterCount = 28;
inline constexpr std::size_t kTnefSkipAfterMember = 28;
inline constexpr std::size_t kMemberTextMax = 500;    // UTF-8 bytes kept of one string
inline constexpr std::size_t kMemberUnitsMax = 511;   // UTF-16 units read of one string
inline constexpr std::size_t kMemberFieldMax = 250;   // bytes stored into the record

struct ListMember {
    std::string name;
    std::string address;
};

// The members of a TNEF member stream; empty when it does not begin with
// the signature.
std::vector<ListMember> WalkTnefMembers(std::string_view stream);

// The TNEF stream inside a list's MIME text: the base64 block after the
// headers (or after the headers of an application/ms-tnef part), decoded.
std::string TnefOfMime(std::string_view mime);

// The Mailbox of every Member element of the answer text.
std::vector<ListMember> MembersElementOf(std::string_view answer_text);

// Adds the list's members to `msg` as To recipients (kind 3, no response),
// while the record has room.  Returns the number added.
int ReadDistListMembers(std::string_view answer_text, qv_message &msg);

} // namespace qvamz::contacts
