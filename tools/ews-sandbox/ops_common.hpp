// What the operation files share: reading the request tree, writing the
// answer's response messages, and turning the ids of a request into store
// rows with the permission checks Exchange makes.
#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ews_operations.hpp"
#include "mail_store.hpp"
#include "mime_build.hpp"
#include "xml_out.hpp"

namespace sandbox {

inline constexpr const char *kMessagesNs = "http://schemas.microsoft.com/exchange/services/2006/messages";
inline constexpr const char *kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";

// One failed response message: ResponseCode and MessageText.
struct EwsError {
    std::string code;
    std::string text;
    std::string field_uri; // MessageXml <t:FieldURI FieldURI=.../> when not empty
};

// Exchange's wording for the codes the sandbox gives.
EwsError ews_error(const std::string &code);
EwsError ews_error(const std::string &code, std::string text);

// ---- request tree ----------------------------------------------------------
// Element children by local name in the EWS namespaces (the schema check
// in front has fixed their order and namespaces already).
xmlNodePtr child(xmlNodePtr parent, const char *local);
std::vector<xmlNodePtr> children(xmlNodePtr parent, const char *local = nullptr);
std::string local_name(xmlNodePtr node);
std::optional<std::string> attribute(xmlNodePtr node, const char *name);
std::string node_text(xmlNodePtr node);
// The same without a copy when the element holds a single text node (a
// MimeContent of 30 KB); else node_text's copy, kept in `storage`.
std::string_view node_text_view(xmlNodePtr node, std::string &storage);

// ---- the context of one request ---------------------------------------------
struct OpEnv {
    MailStore &store;
    const RequestContext &ctx;
    const SandboxConfig &config;
    std::int64_t home = 0; // the mailbox the request works on by default
    std::string home_address;

    bool may_open(std::int64_t mailbox) const { return mailbox == home || ctx.delegate_admin; }
};

// The mailbox a DistinguishedFolderId's <t:Mailbox> names: the request's
// own, or another one for delegate administrators (ErrorAccessDenied for
// others, ErrorNonExistentMailbox for addresses that are no user).
std::optional<std::int64_t> mailbox_for(OpEnv &env, xmlNodePtr mailbox_element, EwsError &error);

// A t:FolderId or t:DistinguishedFolderId element.
std::optional<FolderInfo> resolve_folder(OpEnv &env, xmlNodePtr id_element, EwsError &error);
// The first folder id element below a container such as ParentFolderIds.
std::optional<FolderInfo> resolve_target_folder(OpEnv &env, xmlNodePtr container, EwsError &error);

struct ItemRef {
    ItemInfo info;
    std::optional<std::string> change_key; // as the request gave it
    int occurrence = 0; // calendar: 1-based occurrence of the series the id names, 0 the item
};
// A t:ItemId element.
std::optional<ItemRef> resolve_item(OpEnv &env, xmlNodePtr id_element, EwsError &error);

std::string folder_id_of(const OpEnv &env, const FolderInfo &f);
std::string folder_change_key(const OpEnv &env, const FolderInfo &f);
std::string item_id_of(const OpEnv &env, const ItemInfo &i);
std::string item_change_key(const OpEnv &env, const ItemInfo &i);

// ---- the answer -------------------------------------------------------------
// <m:XxxResponse xmlns:m xmlns:t><m:ResponseMessages> ... one response
// message per input ... </m:ResponseMessages></m:XxxResponse>
class ResponseWriter {
  public:
    explicit ResponseWriter(std::string operation);
    // Opens a Success message with its NoError code; write its content
    // into out() and call end_message().
    XmlOut &begin_success();
    void end_message();
    // A whole Error message; `required_empty` names the element the
    // message type requires even when empty ("m:Items", "m:Attachments").
    void error(const EwsError &e, const char *required_empty = nullptr);
    XmlOut &out() { return out_; }
    OperationResult finish();

  private:
    std::string message_name_;
    XmlOut out_;
};

// The attachment a <t:FileAttachment> of CreateAttachment or CreateItem
// describes; a name is required.
std::optional<NewFileAttachment> file_attachment(xmlNodePtr file_attachment, EwsError &error);

// Answers for requests the sandbox cannot serve at all.
OperationResult soap_fault(const std::string &code, const std::string &text);

// ---- the operations ------------------------------------------------------------
OperationResult op_get_folder(OpEnv &env, xmlNodePtr op);
OperationResult op_find_folder(OpEnv &env, xmlNodePtr op);
OperationResult op_create_folder(OpEnv &env, xmlNodePtr op);
OperationResult op_find_item(OpEnv &env, xmlNodePtr op);
OperationResult op_get_item(OpEnv &env, xmlNodePtr op);
OperationResult op_create_item(OpEnv &env, xmlNodePtr op);
OperationResult op_update_item(OpEnv &env, xmlNodePtr op);
OperationResult op_delete_item(OpEnv &env, xmlNodePtr op);
OperationResult op_move_item(OpEnv &env, xmlNodePtr op);
OperationResult op_copy_item(OpEnv &env, xmlNodePtr op);
OperationResult op_delete_folder(OpEnv &env, xmlNodePtr op);
OperationResult op_create_attachment(OpEnv &env, xmlNodePtr op);
OperationResult op_get_attachment(OpEnv &env, xmlNodePtr op);

} // namespace sandbox
