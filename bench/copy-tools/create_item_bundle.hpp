// The write half of bench_ews_request_loop --copy-to: turns a GetItem answer
// into the t:Message a minimal copying client sends in a CreateItem, and
// checks the CreateItem answer.  Plain string work, no I/O.
#pragma once

#include <string>
#include <string_view>

namespace bench {

// What a GetItem answer of the connector's shape holds for one message.
struct ReadMessage {
    std::string_view mime_base64; // the MimeContent text, as the server sent it
    bool is_read = false;
    std::string_view categories;          // the whole <t:Categories> element, or empty
    std::string_view extended_properties; // the <t:ExtendedProperty> elements, or empty
};

// Picks the parts of one GetItem answer; throws when it has no MimeContent.
ReadMessage ParseGetItemAnswer(std::string_view answer);

// "2026-01-05T10:21:00Z": the Date header of the base64 MIME (only the
// header block is decoded), or the current time when it has none readable,
// as the connector does.
std::string MessageDateUtc(std::string_view mime_base64);

// Appends one <t:Message> to a CreateItem's Items: the MIME passed through
// as base64, the categories and flag properties as read, the read state as
// MessageFlags and the message's date as its creation, delivery and submit
// times, as the connector writes them.  The connector's own marker
// property (the "via" comment) is left out: the target needs it not to hold
// the same message.
void AppendMessageElement(std::string &items, const ReadMessage &message);

// Throws unless the answer carries exactly `expected` CreateItemResponseMessage
// elements, each with ResponseClass="Success".
void RequireCreated(std::string_view answer, int expected);

} // namespace bench
