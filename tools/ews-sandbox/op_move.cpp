// MoveItem and CopyItem.  As on Exchange, an item placed in a folder is a
// new item with a new id; after a move the old id names nothing.
#include "ops_common.hpp"

namespace sandbox {

namespace {

using Place = StoreStatus (MailStore::*)(std::int64_t, std::int64_t, const FolderInfo &, ItemInfo *);

OperationResult place_items(OpEnv &env, xmlNodePtr op, const char *operation, Place place) {
    ResponseWriter w(operation);
    EwsError target_error;
    auto target = resolve_target_folder(env, child(op, "ToFolderId"), target_error);
    if (!target && target_error.code == "ErrorFolderNotFound")
        target_error = ews_error("ErrorToFolderNotFound",
                                 "The destination folder could not be found.");
    // Exchange 2010 SP1 and later answer the new ids unless asked not to.
    const bool return_ids = node_text(child(op, "ReturnNewItemIds")) != "false";
    for (xmlNodePtr id : children(child(op, "ItemIds"))) {
        EwsError error;
        auto ref = resolve_item(env, id, error);
        if (ref && ref->occurrence) { // one occurrence cannot leave its series
            error = ews_error("ErrorCalendarCannotMoveOrCopyOccurrence",
                              "An occurrence of a recurring series cannot be moved or copied.");
            ref.reset();
        }
        if (ref && !target) error = target_error;
        if (!ref || !target) {
            w.error(error, "m:Items");
            continue;
        }
        ItemInfo placed;
        if ((env.store.*place)(ref->info.mailbox, ref->info.id, *target, &placed) != StoreStatus::Ok) {
            w.error(ews_error("ErrorItemNotFound"), "m:Items");
            continue;
        }
        XmlOut &out = w.begin_success();
        out.open("m:Items");
        if (return_ids) {
            out.open("t:Message");
            out.open("t:ItemId").attr("Id", item_id_of(env, placed))
                .attr("ChangeKey", item_change_key(env, placed)).close();
            out.close();
        }
        out.close();
        w.end_message();
    }
    return w.finish();
}

} // namespace

OperationResult op_move_item(OpEnv &env, xmlNodePtr op) {
    return place_items(env, op, "MoveItem", &MailStore::move_item);
}

OperationResult op_copy_item(OpEnv &env, xmlNodePtr op) {
    return place_items(env, op, "CopyItem", &MailStore::copy_item);
}

} // namespace sandbox
