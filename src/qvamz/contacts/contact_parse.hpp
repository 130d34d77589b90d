// One contact or distribution list from its GetItem answer into the
// message record: the contact's properties field by field, its notes (the
// text body) as the record's text part, its file attachments as parts; a
// list's display name and members.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::contacts {

inline constexpr std::size_t kContactFieldMax = 250; // bytes of one record field
// Notes longer than this are cut (at a character boundary): a generous
// bound that keeps one answer's notes in memory.
inline constexpr std::size_t kNotesMax = 1 << 20;
inline constexpr std::string_view kDistListClass = "IPM.DistList";

// Fills `msg` from a GetItem answer held in `answer_text`, without the
// attachments.  1 when the record is ready, 0 when the item is to be
// skipped (a contact without a display name).
int ParseContactText(std::string_view answer_text, qv_message &msg, const std::string &work_dir);

// ContactParse: reads the answer file, fills `msg` and, for a contact,
// downloads its attachments.  1 ready, 0 skip (also when the answer cannot
// be read).
int ContactParse(Session &session, const std::string &answer_path, qv_message &msg,
                 const std::string &work_dir);

} // namespace qvamz::contacts
