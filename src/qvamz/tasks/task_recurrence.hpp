// A task's recurrence between the EWS <t:Recurrence> element and the
// record's recur_* fields.  The six recurring patterns and the three
// ranges map onto the record; regenerating patterns (the next task is due
// a while after the previous one is completed) have no place in the
// record, so the reader describes them in a note appended to the body.
#pragma once

#include <string>

#include "qv/record.h"

namespace qvamz::tasks {

// What the reader found in a task answer's <t:Recurrence>.
struct RecurrenceFound {
    bool present = false;    // the answer has a pattern
    bool regenerating = false;
    std::string period_word; // "daily", "weekly", "monthly", "yearly": for the note
};

// Fills recur_type and the other recur_* fields from the <t:Recurrence>
// element of `answer` (a GetItem answer, one tag or value per line).  A
// regenerating pattern leaves the record's fields alone.
RecurrenceFound ReadTaskRecurrence(const char *answer, qv_message *msg);

// The <t:Recurrence> element for the record's recur_* fields, "" when
// recur_type names no pattern.  The range starts on the task's start date
// (else its due date, else `today`).
std::string TaskRecurrenceElement(const qv_message &msg, qv_filetime today);

// The note appended to the body of a task whose recurrence the record
// cannot carry.
std::string RecurrenceNote(const std::string &period_word);

} // namespace qvamz::tasks
