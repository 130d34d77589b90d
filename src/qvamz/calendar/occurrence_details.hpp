// The subject and location of a series' moved occurrences.  The master's
// ModifiedOccurrences list gives only the times of each; a moved
// occurrence renamed or relocated on its own would be copied with the
// series' subject and location.  One GetItem of the listed occurrence ids
// fills the breakout records' subject and location.
#pragma once

#include <string>
#include <vector>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::calendar {

inline constexpr char kOccurrenceDetailsFile[] = "occurrences.xml";

// The ItemIds ("id;changekey") of the Occurrence elements inside
// ModifiedOccurrences of a master's GetItem answer, in answer order.
std::vector<std::string> ModifiedOccurrenceIds(const std::string &answer_path);

// Fills subject and location of the record's modified breakouts (kind 0,
// in the order ParseOccurrences added them) from the server.  Leaves them
// empty when the server does not answer; reading goes on.
void ReadOccurrenceDetails(Session &session, qv_message *msg, const std::string &answer_path,
                           const std::string &work_dir);

} // namespace qvamz::calendar
