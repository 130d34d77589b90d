// GetFolder, FindFolder and CreateFolder.
#include <algorithm>
#include <map>

#include "find_query.hpp"
#include "item_props.hpp"
#include "ops_common.hpp"

namespace sandbox {

namespace {

struct FolderShape {
    bool parent = false, folder_class = false, name = false, total = false, children = false,
         unread = false, rights = false;
    std::vector<PropPath> extended;
};

std::optional<FolderShape> parse_folder_shape(xmlNodePtr node, EwsError &error) {
    FolderShape s;
    std::string base = node_text(child(node, "BaseShape"));
    if (base == "Default" || base == "AllProperties")
        s.name = s.total = s.children = s.unread = true;
    if (base == "AllProperties") s.parent = s.folder_class = s.rights = true;
    static const std::map<std::string, bool FolderShape::*> uris = {
        {"folder:ParentFolderId", &FolderShape::parent}, {"folder:FolderClass", &FolderShape::folder_class},
        {"folder:DisplayName", &FolderShape::name},      {"folder:TotalCount", &FolderShape::total},
        {"folder:ChildFolderCount", &FolderShape::children}, {"folder:UnreadCount", &FolderShape::unread},
        {"folder:EffectiveRights", &FolderShape::rights}};
    for (xmlNodePtr p : children(child(node, "AdditionalProperties"))) {
        if (local_name(p) == "ExtendedFieldURI") {
            auto path = parse_prop_path(p, error);
            if (!path) return std::nullopt;
            s.extended.push_back(std::move(*path));
            continue;
        }
        std::string uri = attribute(p, "FieldURI").value_or("");
        if (uri.rfind("folder:", 0) != 0) {
            error = ews_error("ErrorInvalidPropertyRequest");
            error.field_uri = uri;
            return std::nullopt;
        }
        if (auto it = uris.find(uri); it != uris.end()) s.*(it->second) = true;
    }
    return s;
}

// Exchange gives typed folders their own element.
std::string folder_element(const FolderInfo &f) {
    auto starts = [&](const char *p) { return f.folder_class.rfind(p, 0) == 0; };
    if (starts("IPF.Appointment")) return "t:CalendarFolder";
    if (starts("IPF.Contact")) return "t:ContactsFolder";
    if (starts("IPF.Task")) return "t:TasksFolder";
    return "t:Folder";
}

std::optional<ExtendedValue> folder_property(const FolderInfo &f, const PropPath &p) {
    auto value = [&](std::string v) { return ExtendedValue{p.id, p.type, {std::move(v)}}; };
    if (p.id == "0x3001" && p.type == "String") return value(f.display_name);
    if (p.id == "0x3613" && p.type == "String" && !f.folder_class.empty()) return value(f.folder_class);
    if (p.id == "0x3602" && p.type == "Integer") return value(std::to_string(f.total));
    if (p.id == "0x3603" && p.type == "Integer") return value(std::to_string(f.unread));
    if (p.id == "0x360a" && p.type == "Boolean") return value(f.child_count ? "true" : "false");
    if (p.id == "0xe08" && (p.type == "Integer" || p.type == "Long"))
        return value(std::to_string(f.total_size));
    return std::nullopt;
}

void render_folder(XmlOut &out, const OpEnv &env, const FolderInfo &f, const FolderShape &s) {
    std::string element = folder_element(f);
    out.open(element);
    out.open("t:FolderId").attr("Id", folder_id_of(env, f)).attr("ChangeKey", folder_change_key(env, f)).close();
    if (s.parent && f.parent) {
        FolderInfo parent;
        if (auto p = env.store.folder(f.mailbox, f.parent)) parent = *p;
        out.open("t:ParentFolderId").attr("Id", folder_id_of(env, parent))
            .attr("ChangeKey", folder_change_key(env, parent)).close();
    }
    if (s.folder_class && !f.folder_class.empty()) out.leaf("t:FolderClass", f.folder_class);
    if (s.name) out.leaf("t:DisplayName", f.display_name);
    if (s.total) out.leaf("t:TotalCount", f.total);
    if (s.children) out.leaf("t:ChildFolderCount", f.child_count);
    for (const auto &p : s.extended)
        if (auto v = folder_property(f, p)) write_extended_property_xml(out, p, *v);
    if (s.rights) {
        out.open("t:EffectiveRights");
        out.leaf_bool("t:CreateAssociated", true).leaf_bool("t:CreateContents", true);
        out.leaf_bool("t:CreateHierarchy", true).leaf_bool("t:Delete", true);
        out.leaf_bool("t:Modify", true).leaf_bool("t:Read", true).leaf_bool("t:ViewPrivateItems", true);
        out.close();
    }
    // UnreadCount belongs to FolderType; calendar and contacts folders have none.
    if (s.unread && (element == "t:Folder" || element == "t:TasksFolder")) out.leaf("t:UnreadCount", f.unread);
    out.close();
}

bool in_public_tree(const std::vector<FolderInfo> &all, const FolderInfo &f) {
    std::int64_t id = f.id;
    for (int guard = 0; id && guard < 1000; ++guard) {
        auto it = std::find_if(all.begin(), all.end(), [&](const FolderInfo &x) { return x.id == id; });
        if (it == all.end()) return false;
        if (it->distinguished == "publicfoldersroot") return true;
        id = it->parent;
    }
    return false;
}

// Children in creation order; deep: every descendant, parents first.
void collect(const std::vector<FolderInfo> &all, std::int64_t parent, bool deep,
             std::vector<FolderInfo> &out) {
    for (const auto &f : all) {
        if (f.parent != parent || f.id == parent) continue;
        out.push_back(f);
        if (deep) collect(all, f.id, true, out);
    }
}

FieldResolver<FolderInfo> folder_fields() {
    return [](xmlNodePtr path) -> std::optional<FieldAccess<FolderInfo>> {
        using K = Scalar::Kind;
        std::string uri = attribute(path, "FieldURI").value_or("");
        auto text = [](std::string FolderInfo::*m) {
            return FieldAccess<FolderInfo>{K::Text, false, [m](const FolderInfo &f) {
                                               return std::optional<Scalar>(Scalar{K::Text, 0, f.*m});
                                           }};
        };
        auto number = [](std::int64_t FolderInfo::*m) {
            return FieldAccess<FolderInfo>{K::Integer, false, [m](const FolderInfo &f) {
                                               return std::optional<Scalar>(Scalar{K::Integer, f.*m, {}});
                                           }};
        };
        if (uri == "folder:DisplayName") return text(&FolderInfo::display_name);
        if (uri == "folder:FolderClass") return text(&FolderInfo::folder_class);
        if (uri == "folder:TotalCount") return number(&FolderInfo::total);
        if (uri == "folder:ChildFolderCount") return number(&FolderInfo::child_count);
        if (uri == "folder:UnreadCount") return number(&FolderInfo::unread);
        return std::nullopt;
    };
}

} // namespace

OperationResult op_get_folder(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("GetFolder");
    EwsError error;
    auto shape = parse_folder_shape(child(op, "FolderShape"), error);
    for (xmlNodePtr id : children(child(op, "FolderIds"))) {
        std::optional<FolderInfo> f;
        if (shape) f = resolve_folder(env, id, error);
        if (!f) {
            w.error(error);
            continue;
        }
        w.begin_success().open("m:Folders");
        render_folder(w.out(), env, *f, *shape);
        w.out().close();
        w.end_message();
    }
    return w.finish();
}

OperationResult op_find_folder(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("FindFolder");
    EwsError error;
    std::string traversal = attribute(op, "Traversal").value_or("Shallow");
    auto shape = parse_folder_shape(child(op, "FolderShape"), error);
    std::optional<PageRequest> page;
    if (shape) page = parse_page_view(child(op, "IndexedPageFolderView"), error);
    if (page && child(op, "FractionalPageFolderView")) {
        page.reset();
        error = ews_error("ErrorInvalidOperation", "The sandbox pages folders by index only.");
    }
    bool ok = static_cast<bool>(page);
    RowFilter<FolderInfo> filter;
    if (ok) filter = parse_restriction<FolderInfo>(child(op, "Restriction"), folder_fields(), error, ok);
    for (xmlNodePtr id : children(child(op, "ParentFolderIds"))) {
        std::optional<FolderInfo> parent;
        if (ok) parent = resolve_folder(env, id, error);
        if (!parent) {
            w.error(error);
            continue;
        }
        auto all = env.store.folders(parent->mailbox);
        if (traversal == "Deep" && in_public_tree(all, *parent)) {
            w.error(ews_error("ErrorInvalidOperation",
                              "Deep traversal queries cannot be performed on public folders."));
            continue;
        }
        std::vector<FolderInfo> found;
        if (traversal != "SoftDeleted") collect(all, parent->id, traversal == "Deep", found);
        if (filter)
            found.erase(std::remove_if(found.begin(), found.end(),
                                       [&](const FolderInfo &f) { return !filter(f); }),
                        found.end());
        PageWindow win = page_window(found.size(), *page, env.config.max_page_entries);
        XmlOut &out = w.begin_success();
        out.open("m:RootFolder");
        write_paging_attributes(out, *page, win, found.size());
        out.open("t:Folders");
        for (std::size_t i = win.begin; i < win.end; ++i) render_folder(out, env, found[i], *shape);
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

OperationResult op_create_folder(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("CreateFolder");
    EwsError parent_error;
    auto parent = resolve_target_folder(env, child(op, "ParentFolderId"), parent_error);
    if (!parent && parent_error.code == "ErrorFolderNotFound")
        parent_error = ews_error("ErrorParentFolderNotFound");
    static const std::map<std::string, std::string> typed = {
        {"CalendarFolder", "IPF.Appointment"}, {"ContactsFolder", "IPF.Contact"},
        {"TasksFolder", "IPF.Task"}};
    for (xmlNodePtr f : children(child(op, "Folders"))) {
        if (!parent) {
            w.error(parent_error);
            continue;
        }
        std::string kind = local_name(f);
        std::string name = node_text(child(f, "DisplayName"));
        std::string folder_class = child(f, "FolderClass") ? node_text(child(f, "FolderClass")) : "";
        if (kind == "SearchFolder") {
            w.error(ews_error("ErrorInvalidFolderTypeForOperation",
                              "The sandbox does not create search folders."));
            continue;
        }
        if (auto it = typed.find(kind); it != typed.end()) {
            if (!folder_class.empty()) {
                w.error(ews_error("ErrorNoFolderClassOverride",
                                  "FolderClass cannot be set on a typed folder."));
                continue;
            }
            folder_class = it->second;
        }
        if (folder_class.empty()) folder_class = "IPF.Note";
        if (name.empty()) {
            w.error(ews_error("ErrorRequiredPropertyMissing", "The folder needs a DisplayName."));
            continue;
        }
        FolderInfo made;
        StoreStatus st = env.store.create_folder(parent->mailbox, parent->id, name, folder_class, &made);
        if (st == StoreStatus::Exists) {
            w.error(ews_error("ErrorFolderExists"));
            continue;
        }
        if (st != StoreStatus::Ok) {
            w.error(ews_error("ErrorParentFolderNotFound"));
            continue;
        }
        XmlOut &out = w.begin_success();
        out.open("m:Folders").open(folder_element(made));
        out.open("t:FolderId").attr("Id", folder_id_of(env, made))
            .attr("ChangeKey", folder_change_key(env, made)).close();
        out.close().close();
        w.end_message();
    }
    return w.finish();
}

// HardDelete removes the folder with everything below it; SoftDelete moves
// it to Recoverable Items/Deletions and MoveToDeletedItems below Deleted
// Items (from there, to Deletions), as DeleteItem does with items.
OperationResult op_delete_folder(OpEnv &env, xmlNodePtr op) {
    ResponseWriter w("DeleteFolder");
    const std::string type = attribute(op, "DeleteType").value_or("");
    for (xmlNodePtr id : children(child(op, "FolderIds"))) {
        EwsError error;
        auto folder = resolve_folder(env, id, error);
        if (!folder) {
            w.error(error);
            continue;
        }
        if (!folder->distinguished.empty() || folder->parent == 0) {
            w.error(ews_error("ErrorDeleteDistinguishedFolder"));
            continue;
        }
        StoreStatus st = StoreStatus::NotFound;
        if (type == "HardDelete") {
            st = env.store.delete_folder(folder->mailbox, folder->id);
        } else {
            auto deleted = env.store.distinguished_folder(folder->mailbox, "deleteditems");
            const bool to_dumpster = type == "SoftDelete" || !deleted || deleted->id == folder->parent;
            auto target = to_dumpster
                              ? env.store.distinguished_folder(folder->mailbox, "recoverableitemsdeletions")
                              : deleted;
            if (target) st = env.store.move_folder(folder->mailbox, folder->id, target->id);
        }
        if (st != StoreStatus::Ok) {
            w.error(ews_error("ErrorFolderNotFound"));
            continue;
        }
        w.begin_success();
        w.end_message();
    }
    return w.finish();
}

} // namespace sandbox
