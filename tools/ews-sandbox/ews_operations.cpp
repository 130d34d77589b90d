// Dispatch, request reading, id resolution and response messages shared by
// every operation.
#include "ews_operations.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <map>

#include "calendar_ops.hpp"
#include "ops_common.hpp"
#include "sqlite_stmt.hpp"

namespace sandbox {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool in_ews_namespace(xmlNodePtr n) {
    if (!n->ns || !n->ns->href) return false;
    auto href = reinterpret_cast<const char *>(n->ns->href);
    return std::strcmp(href, kMessagesNs) == 0 || std::strcmp(href, kTypesNs) == 0;
}

} // namespace

EwsError ews_error(const std::string &code, std::string text) { return {code, std::move(text), {}}; }

EwsError ews_error(const std::string &code) {
    static const std::map<std::string, std::string> texts = {
        {"ErrorAccessDenied", "Access is denied. Check credentials and try again."},
        {"ErrorNonExistentMailbox", "The SMTP address has no mailbox associated with it."},
        {"ErrorFolderNotFound", "The specified folder could not be found in the store."},
        {"ErrorItemNotFound", "The specified object was not found in the store."},
        {"ErrorParentFolderNotFound", "The parent folder could not be found."},
        {"ErrorInvalidIdMalformed", "Id is malformed."},
        {"ErrorInvalidIdEmpty", "Id must be non-empty."},
        {"ErrorInvalidChangeKey", "The change key is invalid."},
        {"ErrorCannotUseItemIdForFolderId", "Item Id cannot be used for a folder."},
        {"ErrorCannotUseFolderIdForItemId", "Folder Id cannot be used for an item."},
        {"ErrorFolderExists", "A folder with the specified name already exists."},
        {"ErrorIrresolvableConflict",
         "The send or update operation could not be performed because the change key passed in "
         "the request does not match the current change key for the item."},
        {"ErrorChangeKeyRequiredForWriteOperations",
         "When making a write request, the change key must be supplied."},
        {"ErrorMessageSizeExceeded", "The message exceeds the maximum supported size."},
        {"ErrorMimeContentInvalidBase64String", "Invalid base64 string for MIME content."},
        {"ErrorMessageDispositionRequired",
         "MessageDisposition attribute is required when creating or updating a message."},
        {"ErrorInvalidPagingMaxRows", "The specified MaxEntriesReturned value is not valid."},
        {"ErrorInvalidIndexedPagingParameters", "The indexed paging offset must not be negative."},
        {"ErrorInvalidAttachmentId", "The attachment could not be found."},
        {"ErrorInvalidIdNotAnItemAttachmentId", "The Id is not an attachment id."},
        {"ErrorInvalidExtendedProperty", "The extended property attribute combination is invalid."},
        {"ErrorInvalidExtendedPropertyValue", "The extended property value is invalid."},
        {"ErrorNoPropertyTagForCustomProperties",
         "Custom properties cannot be specified using property tags."},
        {"ErrorInvalidPropertyRequest", "Property is not valid for this object type."},
        {"ErrorInvalidPropertySet", "Set action is invalid for property."},
        {"ErrorInvalidOperation", "The operation is not valid."},
        {"ErrorDeleteDistinguishedFolder", "Distinguished folders cannot be deleted."},
        {"ErrorInternalServerError", "An internal server error occurred. The operation failed."},
    };
    auto it = texts.find(code);
    return {code, it == texts.end() ? code : it->second, {}};
}

// ---- request tree ------------------------------------------------------------

std::string local_name(xmlNodePtr node) {
    return node && node->name ? reinterpret_cast<const char *>(node->name) : "";
}

std::vector<xmlNodePtr> children(xmlNodePtr parent, const char *local) {
    std::vector<xmlNodePtr> out;
    if (!parent) return out;
    for (xmlNodePtr n = parent->children; n; n = n->next) {
        if (n->type != XML_ELEMENT_NODE || !in_ews_namespace(n)) continue;
        if (!local || local_name(n) == local) out.push_back(n);
    }
    return out;
}

xmlNodePtr child(xmlNodePtr parent, const char *local) {
    auto all = children(parent, local);
    return all.empty() ? nullptr : all.front();
}

std::optional<std::string> attribute(xmlNodePtr node, const char *name) {
    if (!node) return std::nullopt;
    xmlChar *v = xmlGetProp(node, reinterpret_cast<const xmlChar *>(name));
    if (!v) return std::nullopt;
    std::string out(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return out;
}

std::string node_text(xmlNodePtr node) {
    if (!node) return {};
    xmlChar *v = xmlNodeGetContent(node);
    if (!v) return {};
    std::string out(reinterpret_cast<const char *>(v));
    xmlFree(v);
    return out;
}

std::string_view node_text_view(xmlNodePtr node, std::string &storage) {
    xmlNodePtr only = node ? node->children : nullptr;
    if (only && !only->next && only->type == XML_TEXT_NODE && only->content)
        return reinterpret_cast<const char *>(only->content);
    storage = node_text(node);
    return storage;
}

// ---- ids -----------------------------------------------------------------------

std::string folder_id_of(const OpEnv &env, const FolderInfo &f) {
    return env.store.ids().encode({IdKind::Folder, f.mailbox, f.id, 0});
}
std::string folder_change_key(const OpEnv &env, const FolderInfo &f) {
    return env.store.ids().change_key({IdKind::Folder, f.mailbox, f.id, 0}, f.version);
}
std::string item_id_of(const OpEnv &env, const ItemInfo &i) {
    return env.store.ids().encode({IdKind::Item, i.mailbox, i.id, 0});
}
std::string item_change_key(const OpEnv &env, const ItemInfo &i) {
    return env.store.ids().change_key({IdKind::Item, i.mailbox, i.id, 0}, i.version);
}

std::optional<std::int64_t> mailbox_for(OpEnv &env, xmlNodePtr mailbox_element, EwsError &error) {
    if (!mailbox_element) return env.home;
    std::string address = node_text(child(mailbox_element, "EmailAddress"));
    while (!address.empty() && std::isspace(static_cast<unsigned char>(address.back())))
        address.pop_back();
    while (!address.empty() && std::isspace(static_cast<unsigned char>(address.front())))
        address.erase(address.begin());
    if (address.empty()) {
        error = ews_error("ErrorMissingInformationEmailAddress",
                          "The EmailAddress element of the Mailbox is missing.");
        return std::nullopt;
    }
    if (lower(address) == env.home_address) return env.home;
    if (!env.ctx.delegate_admin) {
        error = ews_error("ErrorAccessDenied");
        return std::nullopt;
    }
    if (env.ctx.mailbox_exists && !env.ctx.mailbox_exists(lower(address))) {
        error = ews_error("ErrorNonExistentMailbox");
        return std::nullopt;
    }
    return env.store.ensure_mailbox(address);
}

// The Id attribute of a FolderId or ItemId element, decoded; refuses an
// empty id, one that is not ours, and one of the other kind with the codes
// Exchange uses.
static std::optional<ObjectRef> decode_id_attribute(OpEnv &env, xmlNodePtr id_element,
                                                    IdKind want, EwsError &error) {
    std::string id = attribute(id_element, "Id").value_or("");
    if (id.empty()) {
        error = ews_error("ErrorInvalidIdEmpty");
        return std::nullopt;
    }
    auto ref = env.store.ids().decode(id);
    if (!ref || ref->kind == IdKind::Attachment) {
        error = ews_error("ErrorInvalidIdMalformed");
        return std::nullopt;
    }
    if (ref->kind != want) {
        error = ews_error(want == IdKind::Folder ? "ErrorCannotUseItemIdForFolderId"
                                                 : "ErrorCannotUseFolderIdForItemId");
        return std::nullopt;
    }
    return ref;
}

std::optional<FolderInfo> resolve_folder(OpEnv &env, xmlNodePtr id_element, EwsError &error) {
    std::string kind = local_name(id_element);
    if (kind == "DistinguishedFolderId") {
        auto mailbox = mailbox_for(env, child(id_element, "Mailbox"), error);
        if (!mailbox) return std::nullopt;
        auto f = env.store.distinguished_folder(*mailbox, attribute(id_element, "Id").value_or(""));
        if (!f) error = ews_error("ErrorFolderNotFound");
        return f;
    }
    if (kind != "FolderId") {
        error = ews_error("ErrorInvalidIdMalformed");
        return std::nullopt;
    }
    auto ref = decode_id_attribute(env, id_element, IdKind::Folder, error);
    if (!ref) return std::nullopt;
    // Exchange answers "not found" for folders the caller may not open.
    std::optional<FolderInfo> f;
    if (env.may_open(ref->mailbox)) f = env.store.folder(ref->mailbox, ref->object);
    if (!f) error = ews_error("ErrorFolderNotFound");
    return f;
}

std::optional<FolderInfo> resolve_target_folder(OpEnv &env, xmlNodePtr container, EwsError &error) {
    auto ids = children(container);
    if (ids.empty()) {
        error = ews_error("ErrorFolderNotFound");
        return std::nullopt;
    }
    return resolve_folder(env, ids.front(), error);
}

std::optional<ItemRef> resolve_item(OpEnv &env, xmlNodePtr id_element, EwsError &error) {
    std::string kind = local_name(id_element);
    if (kind == "OccurrenceItemId" || kind == "RecurringMasterItemId")
        return resolve_calendar_id(env, id_element, error);
    if (kind != "ItemId" && kind != "ParentItemId" && kind != "ReferenceItemId") {
        error = ews_error("ErrorInvalidIdMalformed", "The sandbox does not take " + kind + " here.");
        return std::nullopt;
    }
    auto ref = decode_id_attribute(env, id_element, IdKind::Item, error);
    if (!ref) return std::nullopt;
    std::optional<ItemInfo> info;
    if (env.may_open(ref->mailbox)) info = env.store.item(ref->mailbox, ref->object);
    if (!info) {
        error = ews_error("ErrorItemNotFound");
        return std::nullopt;
    }
    ItemRef found{std::move(*info), attribute(id_element, "ChangeKey")};
    found.occurrence = static_cast<int>(ref->sub); // ids of occurrences carry their index
    return found;
}

// ---- answers -------------------------------------------------------------------

ResponseWriter::ResponseWriter(std::string operation)
    : message_name_("m:" + operation + "ResponseMessage") {
    out_.open("m:" + operation + "Response")
        .attr("xmlns:m", kMessagesNs)
        .attr("xmlns:t", kTypesNs)
        .open("m:ResponseMessages");
}

XmlOut &ResponseWriter::begin_success() {
    out_.open(message_name_).attr("ResponseClass", "Success").leaf("m:ResponseCode", "NoError");
    return out_;
}

void ResponseWriter::end_message() { out_.close(); }

void ResponseWriter::error(const EwsError &e, const char *required_empty) {
    out_.open(message_name_).attr("ResponseClass", "Error");
    out_.leaf("m:MessageText", e.text).leaf("m:ResponseCode", e.code).leaf("m:DescriptiveLinkKey", 0);
    if (!e.field_uri.empty())
        out_.open("m:MessageXml").open("t:FieldURI").attr("FieldURI", e.field_uri).close().close();
    if (required_empty) out_.empty(required_empty);
    out_.close();
}

OperationResult ResponseWriter::finish() {
    OperationResult r;
    r.body_xml = out_.finish();
    return r;
}

OperationResult soap_fault(const std::string &code, const std::string &text) {
    XmlOut x;
    x.open("s:Fault").attr("xmlns:s", "http://schemas.xmlsoap.org/soap/envelope/");
    x.open("faultcode").attr("xmlns:a", kTypesNs).text("a:" + code).close();
    x.open("faultstring").attr("xml:lang", "en-US").text(text).close();
    x.open("detail");
    x.open("e:ResponseCode").attr("xmlns:e", "http://schemas.microsoft.com/exchange/services/2006/errors")
        .text(code).close();
    x.open("e:Message").attr("xmlns:e", "http://schemas.microsoft.com/exchange/services/2006/errors")
        .text(text).close();
    OperationResult r;
    r.http_status = 500;
    r.soap_fault = true;
    r.body_xml = x.finish();
    return r;
}

OperationResult run_operation(MailStore &store, const RequestContext &ctx, xmlDocPtr,
                              xmlNodePtr operation) {
    using Handler = OperationResult (*)(OpEnv &, xmlNodePtr);
    static const std::map<std::string, Handler> handlers = {
        {"GetFolder", op_get_folder},         {"FindFolder", op_find_folder},
        {"CreateFolder", op_create_folder},   {"FindItem", op_find_item},
        {"GetItem", op_get_item},             {"CreateItem", op_create_item},
        {"UpdateItem", op_update_item},       {"DeleteItem", op_delete_item},
        {"CreateAttachment", op_create_attachment}, {"GetAttachment", op_get_attachment},
        {"MoveItem", op_move_item},           {"CopyItem", op_copy_item},
        {"DeleteFolder", op_delete_folder},
    };
    try {
        if (!operation || operation->type != XML_ELEMENT_NODE || !in_ews_namespace(operation))
            return soap_fault("ErrorInvalidRequest", "The request is invalid.");
        auto it = handlers.find(local_name(operation));
        if (it == handlers.end())
            return soap_fault("ErrorInvalidRequest",
                              "The operation " + local_name(operation) +
                                  " is not served by this server.");
        static const SandboxConfig defaults;
        OpEnv env{store, ctx, ctx.config ? *ctx.config : defaults, 0, lower(ctx.mailbox)};
        if (env.home_address.empty())
            return soap_fault("ErrorMissingEmailAddress",
                              "The request names no mailbox to work on.");
        env.home = store.ensure_mailbox(env.home_address);
        return it->second(env, operation);
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox: " << local_name(operation) << " failed: " << e.what() << "\n";
        return soap_fault("ErrorInternalServerError",
                          "An internal server error occurred. The operation failed.");
    }
}

} // namespace sandbox
