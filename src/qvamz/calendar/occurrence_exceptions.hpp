// The moved and deleted occurrences of a series just created: the server
// numbers a series' occurrences 1, 2, 3 ... (InstanceIndex); they are asked
// for in batches, the ones whose start equals a breakout's original start
// are deleted (kind 1) or moved (kind 0), and every breakout that could not
// be applied is reported: an occurrence the source deleted that stays, or
// one it moved that stays put, would be a wrong entry in the calendar.
#pragma once

#include <string>
#include <vector>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::calendar {

inline constexpr int kOccurrenceBatch = 50;     // OccurrenceItemIds per GetItem
inline constexpr int kOccurrenceIndexMax = 36500; // the longest series a record can write

inline constexpr char kOccurrenceRequestFile[] = "getitem-in.xml";
inline constexpr char kOccurrenceAnswerFile[] = "getitem-out.xml";
inline constexpr char kDeletesFile[] = "deletes.xml";
inline constexpr char kModsFile[] = "mods.xml";

// One GetItemResponseMessage of an occurrence batch, in request order.
struct OccurrenceAnswer {
    bool ok = false;       // ResponseClass Success (or Warning) with an item
    std::string code;      // ResponseCode of an error
    std::string id, change_key;
    qv_filetime start = 0; // 0 when the answer had none
    std::string subject, location; // when the answer had them
};

// The answers of an occurrence GetItem answer file; empty when it cannot
// be read.  Errors (ErrorItemNotFound, out of range ...) never pass for
// occurrences.
std::vector<OccurrenceAnswer> ReadOccurrenceAnswers(const std::string &answer_path);

// The GetItem body for occurrences first .. first + count - 1.
std::string OccurrenceBatchBody(const std::string &master_id, int first, int count);

// The ItemChange that moves an occurrence to the breakout's start and end
// (and gives it the breakout's subject and location when it has them).
std::string MoveOccurrenceXml(const OccurrenceAnswer &occurrence, const qv_breakout &breakout);

// Applies the record's breakouts to the series `master_id`.  Returns the
// number of breakouts that could not be applied (logged; the caller
// reports the item lost).
int WriteOccurrenceExceptions(Session &session, const qv_message &msg, const std::string &work_dir,
                              const std::string &master_id);

} // namespace qvamz::calendar
