// The calendar half of CreateItem, GetItem, UpdateItem, DeleteItem and
// FindItem, reached from the operations' dispatch points.  Each function
// writes one whole response message.
#pragma once

#include <libxml/tree.h>

#include "calendar_render.hpp"
#include "ops_common.hpp"

namespace sandbox {

// CreateItem of one <t:CalendarItem> (`op` is the CreateItem element).
void create_calendar_item(OpEnv &env, ResponseWriter &w, xmlNodePtr op, xmlNodePtr element);

// Stores a new calendar item, built from XML elements or from iCalendar,
// in the folder `item.info` names: a missing UID is made, the item is
// settled (all-day spans, a series' first occurrence, the meeting flag and
// display lists) and added.  Every calendar item CreateItem makes passes
// through here; nullopt with `error` when the item cannot be stored.
std::optional<ItemInfo> store_calendar_item(OpEnv &env, StoredItem &item, CalendarData &data, EwsError &error);

// GetItem of a calendar item or one of its occurrences.
void get_calendar_item(OpEnv &env, ResponseWriter &w, const ItemRef &ref, const ItemShape &shape);

// UpdateItem of a calendar item; changing an occurrence makes it an
// exception of its master.
void update_calendar_item(OpEnv &env, ResponseWriter &w, xmlNodePtr op, xmlNodePtr change,
                          const ItemRef &ref);

// DeleteItem of a calendar item: an occurrence becomes a deleted
// occurrence of its master; false when the item is not the calendar's to
// handle (a single item or a master is deleted as any item is).
bool delete_calendar_occurrence(OpEnv &env, ResponseWriter &w, xmlNodePtr op, const ItemRef &ref);
// ErrorSendMeetingCancellationsRequired when a calendar item is deleted
// without SendMeetingCancellations.
bool check_calendar_delete(xmlNodePtr op, const ItemRef &ref, EwsError &error);

// FindItem with a <CalendarView>.
OperationResult find_calendar_view(OpEnv &env, xmlNodePtr op);

// OccurrenceItemId and RecurringMasterItemId elements, and item ids that
// name an occurrence.
std::optional<ItemRef> resolve_calendar_id(OpEnv &env, xmlNodePtr id_element, EwsError &error);

} // namespace sandbox
