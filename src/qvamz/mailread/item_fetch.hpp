// The fetching half of the mail folder reader: one item with GetItem,
// including its MIME content and the properties that only EWS knows (read
// state, categories, follow-up flag, replied/forwarded icon).
#pragma once

#include <string>
#include <string_view>

#include "qv/record.h"
#include "transport/http_post.hpp"

namespace qvamz {
struct Session;
}

namespace qvamz::mailread {

inline constexpr std::string_view kGetItemAnswerFile = "message.xml";
inline constexpr std::string_view kMimeContentFile = "message.eml";
inline constexpr std::size_t kEwsItemIdMax = 1000;     // EWS item id kept per item
inline constexpr std::size_t kItemLineMax = 8000;      // bytes of one answer line read
inline constexpr std::size_t kPropertyTextMax = 4096;  // answer bytes read after the ItemId
inline constexpr std::size_t kExtendedValueMax = 250;  // bytes of an extended property value

// PR_FLAG_STATUS and PR_ICON_INDEX values the reader understands.
inline constexpr int kFlagStatusComplete = 1;
inline constexpr int kFlagStatusFlagged = 2;
inline constexpr std::string_view kIconReplied = "261";
inline constexpr std::string_view kIconForwarded = "262";

// The AdditionalProperties of GetItem.  IsRead is left out where the
// server does not know it (`with_is_read` false).
std::string GetItemProperties(bool with_is_read);

// Whether IsRead may be asked for: not on servers of version 8 or lower
// in the folder named exactly "Notes".
bool AskForIsRead(int server_major_version, std::string_view folder_name);

// The inside of the GetItem request for one item.
std::string GetItemBody(std::string_view properties, std::string_view item_id,
                        std::string_view change_key);

// What became of one GetItem.
enum class FetchOutcome {
    kFetched,  // the answer is in `answer_path`
    kGone,     // the server no longer has the item (ErrorItemNotFound)
    kNotRead,  // every attempt failed, or the server refused the item
};

// Sends GetItem.  A failed post and an answer with a transient error code
// (ErrorServerBusy, ErrorMailboxStoreUnavailable, ...) are repeated up to
// the item attempts of "/POSTTO" with a growing pause (attempt x the retry
// delay unit).  After the last failure the reason is logged.
FetchOutcome FetchItem(Session &session, const std::string &body, const std::string &answer_path);
// The same with the answer kept in `answer` (memory while it is small).
FetchOutcome FetchItem(Session &session, const std::string &body, AnswerBuffer &answer);

// What the GetItem answer says besides the MIME content.
struct ItemDetails {
    std::string ews_item_id;      // Id of the first <t:ItemId line
    bool meeting_request = false; // a <t:MeetingRequest element came before it
};

// Reads the ItemId, the meeting-request mark, the categories and the flags
// (flag_status, replied, forwarded) of a GetItem answer into `details` and
// `msg`.  False when the answer cannot be opened.
bool ReadItemDetails(const std::string &answer_path, qv_message *msg, ItemDetails &details);

// The flags of `text` (the answer after the ItemId): 0x1090 "2" sets
// flag_status to 2; 0x1080 "261" sets replied, "262" forwarded.  Flags are
// only ever set here, never cleared.
void ApplyExtendedFlags(const char *text, qv_message *msg);

} // namespace qvamz::mailread
