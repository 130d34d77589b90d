// The <t:Message> element of a CreateItem bundle: the message's MIME text
// in base64, its categories and the MAPI properties that MIME cannot carry
// (read state, flags, icon, importance, sticky-note class, times).
#pragma once

#include <cstdio>
#include <string>

#include "qv/record.h"

namespace qvamz {

inline constexpr char kViaComment[] = "via QV";
inline constexpr char kStickyNoteClass[] = "IPM.StickyNote";
inline constexpr int kRepliedIcon = 261;
inline constexpr int kForwardedIcon = 262;
inline constexpr int kFlaggedStatusMax = 2;
inline constexpr int kFollowUpIcon = 6;

// "<t:Categories>" with one String per ";"-separated name (leading blanks
// dropped, characters XML forbids left out); "" when there is none.  Used
// by every item kind's writer.
std::string CategoriesXml(std::string_view categories);

// "2026-12-06T15:04:05Z": a FILETIME as the UTC text EWS takes.
std::string EwsDateText(qv_filetime utc);

// Categories and extended properties of the element, in the order the
// server expects.  Clamps the record's flag_status to 2.  `date` is the
// message time written as creation, delivery and submit time.
std::string MessagePropertiesXml(qv_message &msg, bool sticky_note, qv_filetime date);

// Writes the whole element to `bundle`, the MIME text read from `mime_text`
// (from its current position).  False when reading or writing failed.
bool WriteMessageElement(std::FILE *bundle, std::FILE *mime_text, qv_message &msg,
                         bool sticky_note, qv_filetime date);

} // namespace qvamz
