// Task items (item class IPM.Task).  A task is stored like a message: its
// body and file attachments live in a MIME text (so CreateAttachment and
// GetAttachment serve tasks unchanged), and its own fields are MAPI named
// properties of PSETID_Task and PSETID_Common among the extended
// properties, under their real ids, so an ExtendedFieldURI reaches them.
//
// Exchange keeps Status, PercentComplete and CompleteDate consistent: the
// last of them a request sets decides the other two (CompleteDate and
// PercentComplete 100 mean Completed; any other status clears the date).
#pragma once

#include <libxml/tree.h>

#include <optional>
#include <string>
#include <vector>

#include "item_render.hpp"
#include "ops_common.hpp"

namespace sandbox {

bool is_task(const ItemInfo &info);

// CreateItem's <t:Task>: writes one response message (the new ItemId, or
// the error) into `w`.  `folder` is the SavedItemFolderId's folder when the
// request named one (nullopt: the mailbox's Tasks folder).
void create_task(OpEnv &env, ResponseWriter &w, xmlNodePtr task, bool folder_named,
                 const std::optional<FolderInfo> &folder, const EwsError &folder_error);

// The stored task a <t:Task> element describes, made at `when` by `owner`;
// nullopt with `error` when an element cannot be stored.
std::optional<StoredItem> task_from_element(const std::string &owner, std::size_t max_bytes, UnixTime when,
                                            xmlNodePtr task, EwsError &error);

// `seed --demo`: the demo tasks (dated, undated, in progress, completed,
// recurring, regenerating, private with a reminder, with an attachment)
// into the mailbox's Tasks folder (task_demo.cpp).  Returns their number.
int seed_demo_tasks(MailStore &store, std::int64_t mailbox, const std::string &owner);

// One SetItemField / AppendToItemField / DeleteItemField of UpdateItem on a
// task; false with `error` when it cannot be applied.
bool apply_task_update(StoredItem &item, xmlNodePtr change, EwsError &error);

// <t:Task>...</t:Task> with the ItemType and TaskType elements the shape
// asks for, in schema order.
void render_task(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored,
                 const ItemShape &shape);

// ---- recurrence (task_recurrence.cpp) ----------------------------------------
// A task recurrence as stored: the pattern and range elements with their
// children's texts in request order (the schema check fixed that order).
struct TaskRecurrence {
    struct Element {
        std::string name;
        std::vector<std::pair<std::string, std::string>> children;
    };
    Element pattern, range;
};

// Reads <t:Recurrence>; refuses intervals below 1, day numbers outside the
// month, months outside 1..12, occurrence counts below 1 and ranges that
// end before they start.
std::optional<TaskRecurrence> parse_task_recurrence(xmlNodePtr recurrence, EwsError &error);
std::string encode_task_recurrence(const TaskRecurrence &r);
std::optional<TaskRecurrence> decode_task_recurrence(const std::string &text);
void write_task_recurrence(XmlOut &out, const TaskRecurrence &r);

} // namespace sandbox
