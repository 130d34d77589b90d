// Text codecs the mailbox store and the operations share: base64, EWS date
// and time values, and the opaque ids and change keys handed to clients.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox {

using UnixTime = std::int64_t; // seconds since 1970-01-01 UTC

// Standard alphabet with "=" padding.  `line_length` > 0 breaks lines with
// CRLF after that many characters (MIME bodies); 0 gives one line.
std::string base64_encode(std::string_view bytes, std::size_t line_length = 0);
// The same, appended to `out`.
void base64_append(std::string &out, std::string_view bytes, std::size_t line_length = 0);

// Accepts standard base64 with or without line breaks and blanks between
// groups, as XML base64Binary does; nullopt for anything else.
std::optional<std::string> base64_decode_lenient(std::string_view text);

// "2024-03-05T14:07:09Z": the form Exchange uses for every date it sends.
std::string format_ews_time(UnixTime t);

// xs:dateTime as clients send it: "2024-03-05T14:07:09Z", with optional
// fraction and a "+hh:mm"/"-hh:mm" offset; no zone means UTC.
std::optional<UnixTime> parse_ews_time(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date (no range checks).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d);

// What an id names.  Ids carry the mailbox so that a later request by id
// reaches the right mailbox and can be refused across mailboxes.
enum class IdKind : std::uint8_t { Folder = 0x46, Item = 0x49, Attachment = 0x41 };

struct ObjectRef {
    IdKind kind = IdKind::Item;
    std::int64_t mailbox = 0;
    std::int64_t object = 0; // folder or item row
    std::uint32_t sub = 0;   // attachment: its position among the item's attachments
};

// Opaque ids: 24 bytes (kind, mailbox, object, sub, 7-byte keyed check) in
// base64, so ids look like Exchange's and a mangled id is recognised as
// malformed instead of naming some other object.
class IdCodec {
  public:
    explicit IdCodec(std::string secret) : secret_(std::move(secret)) {}
    std::string encode(const ObjectRef &ref) const;
    std::optional<ObjectRef> decode(std::string_view id) const;
    // A change key names one version of an object; every change gives a new one.
    std::string change_key(const ObjectRef &ref, std::int64_t version) const;
    // The version a change key stands for; -1 for a well-formed key made for
    // another object; nullopt when the text is no change key at all.
    std::optional<std::int64_t> change_key_version(const ObjectRef &ref,
                                                   std::string_view key) const;

  private:
    std::string check(std::string_view payload, std::size_t length) const;
    std::string secret_;
};

} // namespace sandbox
