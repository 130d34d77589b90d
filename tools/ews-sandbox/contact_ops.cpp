// CreateItem of contacts and distribution lists.  Unlike messages they need
// no MessageDisposition, and without a SavedItemFolderId they go to the
// Contacts folder ("CreateItem operation (contact)").
#include "contact_item.hpp"
#include "item_attachments.hpp"

namespace sandbox {

void create_contact_item(OpEnv &env, ResponseWriter &w, xmlNodePtr element,
                         const std::optional<FolderInfo> &named_folder, bool folder_named,
                         const EwsError &folder_error) {
    std::optional<FolderInfo> folder = named_folder;
    if (!folder_named) folder = env.store.distinguished_folder(env.home, "contacts");
    if (!folder) {
        w.error(folder_named ? folder_error : ews_error("ErrorFolderNotFound"), "m:Items");
        return;
    }
    EwsError error;
    auto item = contact_from_element(env, element, error);
    // Attachments given with the item are checked before anything is stored.
    std::vector<NewFileAttachment> files;
    for (xmlNodePtr a : children(child(element, "Attachments"))) {
        if (!item) break;
        if (local_name(a) != "FileAttachment") {
            error = ews_error("ErrorInvalidItemForOperationCreateItemAttachment",
                              "The sandbox adds file attachments only.");
            item.reset();
        } else if (auto file = file_attachment(a, error)) {
            files.push_back(std::move(*file));
        } else {
            item.reset();
        }
    }
    if (!item) {
        w.error(error, "m:Items");
        return;
    }
    item->info.mailbox = folder->mailbox;
    item->info.folder = folder->id;
    ItemInfo made = env.store.add_item(*item);
    for (const auto &f : files) {
        StoredAttachment a;
        a.name = f.name;
        a.content_type = f.content_type;
        a.content_id = f.content_id;
        a.is_inline = f.is_inline;
        a.content = f.content;
        env.store.add_attachment(made.mailbox, made.id, a, &made);
    }
    XmlOut &out = w.begin_success();
    out.open("m:Items").open(is_list_class(made.item_class) ? "t:DistributionList" : "t:Contact");
    out.open("t:ItemId").attr("Id", item_id_of(env, made)).attr("ChangeKey", item_change_key(env, made)).close();
    out.close().close();
    w.end_message();
}

} // namespace sandbox
