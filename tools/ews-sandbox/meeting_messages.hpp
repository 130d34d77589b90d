// Meetings between the sandbox's mailboxes: the invitations a calendar
// item with attendees sends, the answers (AcceptItem, TentativelyAcceptItem,
// DeclineItem) an attendee gives, and the meeting messages (requests and
// responses) that carry them, as Exchange delivers them inside one
// organisation.
//
// A meeting message is a message (MIME text, sender, recipients) that also
// carries the calendar properties of its meeting, stored as a calendar
// item's are (calendar_model.hpp): Exchange keeps the same PSETID_Appointment
// and PSETID_Meeting properties on meeting requests.  The items that belong
// together (request, attendee's copy, organizer's item) are found through
// the meeting's UID, as Exchange correlates them by global object id.
#pragma once

#include <libxml/tree.h>

#include <optional>
#include <string>

#include "calendar_model.hpp"
#include "item_render.hpp"
#include "ops_common.hpp"

namespace sandbox {

inline constexpr const char *kMeetingRequestClass = "IPM.Schedule.Meeting.Request";
inline constexpr const char *kMeetingResponsePrefix = "IPM.Schedule.Meeting.Resp.";

// IPM.Schedule.Meeting.Request and IPM.Schedule.Meeting.Resp.Pos/Tent/Neg.
bool is_meeting_message_class(const std::string &item_class);
// The element a meeting message is shown as: "t:MeetingRequest",
// "t:MeetingResponse"; "t:Message" for any other item.
const char *message_element_name(const std::string &item_class);

// After CreateItem stored the calendar item `made` (from XML or from
// MimeContent): with SendMeetingInvitations SendOnlyToAll or
// SendToAllAndSaveCopy, each attendee who is a sandbox mailbox gets a
// meeting request in the Inbox and a tentative copy of the meeting in the
// Calendar; SendToAllAndSaveCopy keeps a copy of the request in the
// organizer's Sent Items.  SendToNone sends nothing.
void send_meeting_invitations(OpEnv &env, xmlNodePtr create_item_op, const ItemInfo &made);

// AcceptItem, TentativelyAcceptItem or DeclineItem among CreateItem's Items.
bool is_meeting_response_element(xmlNodePtr element);
// One response item of CreateItem: answers the meeting request (or
// attendee's calendar item) its ReferenceItemId names; writes one
// response message.
void create_meeting_response(OpEnv &env, ResponseWriter &w, xmlNodePtr create_item_op,
                             xmlNodePtr element);

// The meeting elements of a <t:MeetingRequest> or <t:MeetingResponse>
// (MeetingMessageType and after), written after the message elements;
// `stored` may be null (it is loaded then).
void render_meeting_fields(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                           const StoredItem *stored, const ItemShape &shape);

// ---- shared by the meeting files ---------------------------------------------
// The calendar item of the meeting `uid` in the mailbox's Calendar.
std::optional<StoredItem> find_meeting_calendar_item(MailStore &store, std::int64_t mailbox,
                                                     const std::string &uid);
bool same_address(const std::string &a, const std::string &b);

} // namespace sandbox
