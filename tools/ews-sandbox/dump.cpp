// `ews-sandbox dump`: a mailbox as files, so tests can compare mailboxes.
//
//   folders.json      every folder: tree, path, class, id, counts
//   NNNNNN.eml        each item's stored MIME text, byte for byte (items without MIME text have none)
//   NNNNNN.json       its properties: flags, read state, categories,
//                     extended properties, dates, attachments
//
// Items are numbered from 000001 in folder order (as folders.json lists
// them), and by creation within a folder.
#include <cjson/cJSON.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>

#include "calendar_model.hpp"
#include "item_props.hpp"
#include "mail_store.hpp"
#include "mailbox_tools.hpp"
#include "mime_summary.hpp"

namespace sandbox {

namespace {

struct JsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;

bool write_file(const std::filesystem::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) std::cerr << "ews-sandbox dump: cannot write " << path.string() << "\n";
    return static_cast<bool>(out);
}

bool write_json(const std::filesystem::path &path, cJSON *json) {
    char *text = cJSON_Print(json);
    if (!text) return false;
    std::string s(text);
    cJSON_free(text);
    return write_file(path, s + "\n");
}

// Where a folder sits: the hierarchy it belongs to (named by the
// distinguished id of its top) and its path of display names below that.
struct FolderPlace {
    std::string tree;
    std::string path;
};

std::map<std::int64_t, FolderPlace> place_folders(const std::vector<FolderInfo> &all) {
    std::map<std::int64_t, const FolderInfo *> by_id;
    for (const auto &f : all) by_id[f.id] = &f;
    auto is_top = [](const FolderInfo &f) {
        return f.parent == 0 || f.distinguished == "msgfolderroot" ||
               f.distinguished == "archivemsgfolderroot" || f.distinguished == "publicfoldersroot";
    };
    std::map<std::int64_t, FolderPlace> places;
    for (const auto &f : all) {
        std::string path;
        const FolderInfo *cur = &f;
        for (int guard = 0; cur && !is_top(*cur) && guard < 1000; ++guard) {
            path = path.empty() ? cur->display_name : cur->display_name + "/" + path;
            auto it = by_id.find(cur->parent);
            cur = it == by_id.end() ? nullptr : it->second;
        }
        places[f.id] = {cur ? cur->distinguished : "", path};
    }
    return places;
}

cJSON *time_or_null(const std::optional<UnixTime> &t) {
    return t ? cJSON_CreateString(format_ews_time(*t).c_str()) : cJSON_CreateNull();
}

cJSON *extended_json(const ExtendedValue &v) {
    PropPath path = path_of_stored(v.id, v.type);
    cJSON *o = cJSON_CreateObject();
    if (!path.set_attr.empty()) cJSON_AddStringToObject(o, path.set_attr.c_str(), path.set_value.c_str());
    cJSON_AddStringToObject(o, path.key_attr.c_str(), path.key_value.c_str());
    cJSON_AddStringToObject(o, "PropertyType", v.type.c_str());
    if (is_array_type(v.type)) {
        cJSON *values = cJSON_AddArrayToObject(o, "values");
        for (const auto &s : v.values) cJSON_AddItemToArray(values, cJSON_CreateString(s.c_str()));
    } else {
        cJSON_AddStringToObject(o, "value", v.values.empty() ? "" : v.values.front().c_str());
    }
    return o;
}

Json item_json(MailStore &store, const StoredItem &item, const FolderPlace &place) {
    const ItemInfo &i = item.info;
    static const char *importance[] = {"Low", "Normal", "High"};
    static const char *sensitivity[] = {"Normal", "Personal", "Private", "Confidential"};
    Json j(cJSON_CreateObject());
    cJSON *o = j.get();
    cJSON_AddStringToObject(o, "tree", place.tree.c_str());
    cJSON_AddStringToObject(o, "folder", place.path.c_str());
    ObjectRef ref{IdKind::Item, i.mailbox, i.id, 0};
    cJSON_AddStringToObject(o, "id", store.ids().encode(ref).c_str());
    cJSON_AddStringToObject(o, "change_key", store.ids().change_key(ref, i.version).c_str());
    cJSON_AddStringToObject(o, "item_class", i.item_class.c_str());
    cJSON_AddStringToObject(o, "subject", i.subject.c_str());
    cJSON *from = cJSON_AddObjectToObject(o, "from");
    cJSON_AddStringToObject(from, "name", i.from_name.c_str());
    cJSON_AddStringToObject(from, "address", i.from_address.c_str());
    cJSON_AddStringToObject(o, "display_to", i.display_to.c_str());
    cJSON_AddStringToObject(o, "display_cc", i.display_cc.c_str());
    cJSON_AddStringToObject(o, "message_id", i.message_id.c_str());
    cJSON_AddItemToObject(o, "date_sent", time_or_null(i.date_sent));
    cJSON_AddItemToObject(o, "date_received", time_or_null(i.date_received));
    cJSON_AddItemToObject(o, "date_created", time_or_null(i.date_created));
    cJSON_AddItemToObject(o, "last_modified", time_or_null(i.last_modified));
    cJSON_AddNumberToObject(o, "size", static_cast<double>(i.size));
    cJSON_AddNumberToObject(o, "message_flags", static_cast<double>(i.message_flags));
    cJSON_AddBoolToObject(o, "is_read", i.is_read());
    cJSON_AddBoolToObject(o, "is_draft", (i.message_flags & 0x8) != 0);
    cJSON_AddStringToObject(o, "importance", importance[std::clamp(i.importance, 0, 2)]);
    cJSON_AddStringToObject(o, "sensitivity", sensitivity[std::clamp(i.sensitivity, 0, 3)]);
    // The two flags migrations care about most, read like any client would.
    auto integer_prop = [&](const char *tag) -> cJSON * {
        auto v = read_property(item, path_of_stored(tag, "Integer"));
        return v ? cJSON_CreateNumber(std::stod(v->values.front())) : cJSON_CreateNull();
    };
    cJSON_AddItemToObject(o, "flag_status", integer_prop("0x1090"));
    cJSON_AddItemToObject(o, "icon_index", integer_prop("0x1080"));
    cJSON *cats = cJSON_AddArrayToObject(o, "categories");
    for (const auto &c : i.categories) cJSON_AddItemToArray(cats, cJSON_CreateString(c.c_str()));
    cJSON *ext = cJSON_AddArrayToObject(o, "extended_properties");
    for (const auto &v : item.extended) cJSON_AddItemToArray(ext, extended_json(v));
    cJSON_AddBoolToObject(o, "has_attachments", i.has_attachments);
    cJSON *atts = cJSON_AddArrayToObject(o, "attachments");
    for (const auto &a : summarize_mime(item.mime).attachments) {
        cJSON *x = cJSON_CreateObject();
        cJSON_AddStringToObject(x, "name", a.name.c_str());
        cJSON_AddStringToObject(x, "content_type", a.content_type.c_str());
        cJSON_AddStringToObject(x, "content_id", a.content_id.c_str());
        cJSON_AddNumberToObject(x, "size", static_cast<double>(a.size));
        cJSON_AddBoolToObject(x, "inline", a.is_inline);
        cJSON_AddBoolToObject(x, "item", a.is_message);
        cJSON_AddItemToArray(atts, x);
    }
    // Items without MIME text keep their files in the attachment table.
    for (const auto &a : store.attachments(i.mailbox, i.id)) {
        cJSON *x = cJSON_CreateObject();
        cJSON_AddStringToObject(x, "name", a.name.c_str());
        cJSON_AddStringToObject(x, "content_type", a.content_type.c_str());
        cJSON_AddStringToObject(x, "content_id", a.content_id.c_str());
        cJSON_AddNumberToObject(x, "size", static_cast<double>(a.size));
        cJSON_AddBoolToObject(x, "inline", a.is_inline);
        cJSON_AddBoolToObject(x, "item", false);
        cJSON_AddItemToArray(atts, x);
    }
    return j;
}

} // namespace

int dump_mailbox(const std::string &data_dir, const std::string &mailbox, const std::string &out_dir) {
    try {
        auto store = MailStore::open(data_dir);
        if (!store) return 1;
        auto box = store->find_mailbox(mailbox);
        if (!box) {
            std::cerr << "ews-sandbox dump: no mailbox " << mailbox << " in " << data_dir << "\n";
            return 1;
        }
        std::error_code ec;
        std::filesystem::create_directories(out_dir, ec);
        if (ec) {
            std::cerr << "ews-sandbox dump: cannot create " << out_dir << ": " << ec.message() << "\n";
            return 1;
        }
        std::filesystem::path out(out_dir);
        auto folders = store->folders(*box);
        auto places = place_folders(folders);
        Json list(cJSON_CreateObject());
        cJSON_AddStringToObject(list.get(), "mailbox", store->mailbox_address(*box).c_str());
        cJSON *array = cJSON_AddArrayToObject(list.get(), "folders");
        int number = 0;
        bool ok = true;
        for (const auto &f : folders) {
            const FolderPlace &place = places[f.id];
            cJSON *o = cJSON_CreateObject();
            cJSON_AddStringToObject(o, "tree", place.tree.c_str());
            cJSON_AddStringToObject(o, "path", place.path.c_str());
            cJSON_AddStringToObject(o, "display_name", f.display_name.c_str());
            cJSON_AddStringToObject(o, "class", f.folder_class.c_str());
            cJSON_AddItemToObject(o, "distinguished", f.distinguished.empty()
                                                          ? cJSON_CreateNull()
                                                          : cJSON_CreateString(f.distinguished.c_str()));
            cJSON_AddStringToObject(o, "id", store->ids().encode({IdKind::Folder, f.mailbox, f.id, 0}).c_str());
            cJSON_AddNumberToObject(o, "total", static_cast<double>(f.total));
            cJSON_AddNumberToObject(o, "unread", static_cast<double>(f.unread));
            cJSON_AddNumberToObject(o, "child_folders", static_cast<double>(f.child_count));
            cJSON_AddItemToArray(array, o);
            for (const auto &info : store->items_in_folder(*box, f.id)) {
                auto item = store->load_item(*box, info.id);
                if (!item) continue;
                char base[16];
                std::snprintf(base, sizeof base, "%06d", ++number);
                // Contacts, lists, calendar items and the other kinds without MIME text
                // get no .eml: their fields are in the .json.
                if (!item->mime.empty()) ok = write_file(out / (std::string(base) + ".eml"), item->mime) && ok;
                ok = write_json(out / (std::string(base) + ".json"), item_json(*store, *item, place).get()) && ok;
            }
        }
        ok = write_json(out / "folders.json", list.get()) && ok;
        std::cout << "dumped " << folders.size() << " folders and " << number << " items of "
                  << mailbox << " to " << out_dir << "\n";
        return ok ? 0 : 1;
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox dump: " << e.what() << "\n";
        return 1;
    }
}

} // namespace sandbox
