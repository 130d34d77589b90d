// Meeting responses mode (/D207), the reading half: a meeting request
// found while an attendee's mailbox is read is answered on the attendee's
// behalf with the answer the organizer's calendar recorded for them.
// WriteCals appends that record to the meeting's text body as
//
//     ------ Attendee Responses ------
//     ann@example.com (Accepted)
//     bob@example.com (No response)
//
// and sends the invitations; the request arrives with that body, so the
// attendee's own line says which of AcceptItem, TentativelyAcceptItem or
// DeclineItem to send.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "qv/qvcom.h"

namespace qvamz {
struct Session;
}

namespace qvamz::calendar {

inline constexpr std::string_view kResponsesHeader = "------ Attendee Responses";
inline constexpr std::string_view kResponseRequestFile = "invres.xml";
inline constexpr std::string_view kResponseAnswerFile = "resres.xml";
inline constexpr std::size_t kAnswerWordMax = 200;

// The answer word of `mailbox`'s line in the responses block of `body`:
// the first line after the header that holds exactly that address (any
// letter case) followed by a blank, its text between "(" and ")".
// nullopt without a header, without such a line or without the brackets.
// A longer address that merely starts with the mailbox's is another
// person's line.
std::optional<std::string> FindOwnAnswer(std::FILE *body, std::string_view mailbox);

// "AcceptItem", "DeclineItem" or "TentativelyAcceptItem" for the words
// "Accepted", "Declined", "Tentative" (exact case); empty for any other
// word, "No response" included.
std::string_view ResponseOperation(std::string_view answer_word);

// The CreateItem body that answers the request `item_id` with `operation`.
std::string ResponseRequestBody(std::string_view operation, std::string_view item_id);

// Answers the meeting request `item_id` (read into `msg`, its part files
// in `work_dir`) for the session's mailbox.  Returns true when a response
// request was sent, whatever the server made of it (a refusal is logged);
// false when there was nothing to send.
bool SendMeetingResponse(Session &session, const qv_message &msg, const std::string &work_dir,
                         const std::string &item_id);

} // namespace qvamz::calendar
