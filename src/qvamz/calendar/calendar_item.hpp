// One calendar item from its GetItem answer into the message record:
// subject, place, times, flags, body, recurrence and exceptions, the
// organizer and the attendees as recipients.
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::calendar {

inline constexpr std::size_t kTextFieldMax = 250;   // subject, location, names, addresses
inline constexpr std::size_t kUidMax = 127;
inline constexpr std::size_t kGlobalIdValueMax = 128; // base64 characters of the meeting id
inline constexpr std::size_t kBodyTextMax = 16383;
inline constexpr std::size_t kTimeZoneFieldMax = 135;
inline constexpr std::size_t kStatusWordMax = 60;

// Recipient responses.
inline constexpr int kResponseNone = 0;
inline constexpr int kResponseAccepted = 1;
inline constexpr int kResponseDeclined = 2;
inline constexpr int kResponseTentative = 3;

// What the item reader needs of the session.
struct ItemContext {
    std::string work_dir;      // where the body part file goes
    std::string mailbox_user;  // the logon mailbox, to know the user's own meetings
    Session *session = nullptr; // fetches the item's file attachments; none without
};

// Fills `msg` from the GetItem answer at `answer_path` (one tag per line).
// False when the file cannot be read; the record is then left as it was.
bool ParseCalendarItem(const std::string &answer_path, qv_message *msg,
                       const ItemContext &context);

// The attendees of RequiredAttendees (`required`) or OptionalAttendees as
// recipients of kind 3 or 11.  An attendee who is the organizer (same
// name or same address, letter case ignored) becomes the organizer
// recipient (kind 31, accepted) instead.
void ParseAttendees(bool required, const char *item_text, qv_message *msg,
                    const ItemContext &context);

// Appends one recipient; a full list (5000) drops it silently.  An
// organizer (kind 31) whose address is the logon mailbox (letter case
// ignored) marks the record
// as the user's own meeting.
void AddRecipient(qv_message *msg, int kind, std::string_view name, std::string_view address,
                  int response, const ItemContext &context);

// The response number of a ResponseType word (Accept 1, Decline 2,
// Tentative 3, anything else 0).
int ResponseNumber(std::string_view word);

// The busy_status number of a LegacyFreeBusyStatus word (Free 0,
// Tentative 1, OOF 3, anything else 2).
int BusyStatusNumber(std::string_view word);

} // namespace qvamz::calendar
