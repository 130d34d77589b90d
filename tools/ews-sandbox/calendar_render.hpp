// The <t:CalendarItem> element of GetItem and FindItem answers, for a
// single item, a recurring master, or one occurrence of a series (plain or
// an exception), with its children in the schema's order.
#pragma once

#include <optional>
#include <string>

#include "calendar_model.hpp"
#include "calendar_recur.hpp"
#include "item_render.hpp"

namespace sandbox {

// One occurrence of a series as it is shown: its place and, for an
// exception, what was changed.
struct OccurrenceView {
    SeriesInstance place;
    const ModifiedOccurrence *modified = nullptr; // nullptr: a plain occurrence
};

// Finds occurrence `index` (1-based) of the series; the error is
// ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange beyond its end and
// ErrorCalendarOccurrenceIsDeletedFromRecurrence for a removed one.
std::optional<OccurrenceView> occurrence_at(const CalendarData &series, int index, EwsError &error);

// The id of occurrence `index` of the master (0: the master itself).
std::string occurrence_id(const OpEnv &env, const ItemInfo &master, int index);

// Writes the item; `occurrence` selects one occurrence of a series.
// `stored` may be null (it is loaded then).
// RequiredAttendees, OptionalAttendees or Resources; nothing when LIST is empty.
// A calendar item shows when each attendee last answered; a meeting message
// does not.
void write_attendees(XmlOut &out, const char *element, const std::vector<Attendee> &list,
                     bool with_response_times);

void render_calendar_item(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                          const StoredItem *stored, const ItemShape &shape,
                          const OccurrenceView *occurrence = nullptr);

} // namespace sandbox
