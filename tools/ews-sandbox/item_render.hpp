// Items as EWS answers show them: ItemShape parsing (base shape,
// IncludeMimeContent, BodyType, AdditionalProperties) and the <t:Message>
// element with its children in the schema's order.
#pragma once

#include <libxml/tree.h>

#include <bitset>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "item_props.hpp"
#include "mime_summary.hpp"
#include "ops_common.hpp"

namespace sandbox {

// The item elements the sandbox writes, in the order of the schema's
// ItemType and MessageType sequences (ExtendedProperty goes between
// HasAttachments and Culture).
enum class Field {
    MimeContent, ItemId, ParentFolderId, ItemClass, Subject, Sensitivity, Body, Attachments,
    DateTimeReceived, Size, Categories, Importance, InReplyTo, IsSubmitted, IsDraft, IsFromMe,
    IsResend, IsUnmodified, InternetMessageHeaders, DateTimeSent, DateTimeCreated,
    ResponseObjects, ReminderDueBy, ReminderIsSet, ReminderMinutesBeforeStart, DisplayCc, DisplayTo,
    HasAttachments, Culture, EffectiveRights, LastModifiedTime, IsAssociated, ConversationId,
    Sender, ToRecipients, CcRecipients, BccRecipients, IsReadReceiptRequested,
    IsDeliveryReceiptRequested, ConversationTopic, From, InternetMessageId, IsRead,
    IsResponseRequested, References, ReplyTo, ReceivedBy, ReceivedRepresenting,
    Count
};

struct ItemShape {
    std::bitset<static_cast<std::size_t>(Field::Count)> fields;
    std::vector<PropPath> extended;
    std::string body_type = "Best"; // Best, HTML, Text
    bool for_find = false;          // FindItem: no MIME-derived elements
    std::string base;               // IdOnly, Default or AllProperties
    // AdditionalProperties of other item kinds ("contacts:GivenName", ...),
    // for their own renderers.
    std::vector<std::string> other_kind_uris;
    // Requests of Exchange 2007's version: the first calendar: property of
    // the shape, which only calendar items and calendar folders may be
    // asked for (empty when there is none, or from 2010 on).
    std::string calendar_only_uri;

    bool has(Field f) const { return fields.test(static_cast<std::size_t>(f)); }
    // Whether rendering needs the MIME text and extended properties.
    bool needs_stored_item() const;
};

// <ItemShape>, for GetItem or (for_find) FindItem.  From Exchange 2010 on a
// shape may name the properties of every item kind (one GetItem may fetch
// messages, meetings, contacts and tasks); a message simply has none of the
// others.  Requests for Exchange 2007 (`requested_version` "Exchange2007*"
// or "") get ErrorInvalidPropertyRequest for them, as Exchange answers.
std::optional<ItemShape> parse_item_shape(xmlNodePtr shape, bool for_find,
                                          const std::string &requested_version, EwsError &error);

// Which Field a FieldURI names; nullopt for properties the sandbox does
// not show.  `applies` is false for fields of other item kinds
// (calendar:, contacts:, task:, ...).
std::optional<Field> field_for_uri(const std::string &uri, bool &applies);

// Writes <t:Message>...</t:Message>.  `stored` must be given when the
// shape needs_stored_item().
// ItemId, ParentFolderId, ItemClass, Subject and Sensitivity as the shape
// asks for them: the first elements of every item kind, in schema order.
// `id` and `subject` are the item's own, or an occurrence's.
void write_item_identity(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                         const ItemShape &shape, const std::string &id,
                         const std::string &subject);
void render_item(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored,
                 const ItemShape &shape);

// The <t:FileAttachment>/<t:ItemAttachment> summary of GetItem.
void render_attachment_summary(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                               const MimeAttachment &a, std::size_t index);

// A t:Mailbox; NAME_ONLY leaves out the address and routing type, as FindItem
// answers do for From.
void write_mailbox(XmlOut &out, const std::string &name, const std::string &address,
                   bool name_only = false);

std::string html_to_text(const std::string &html);
std::string text_to_html(const std::string &text);

} // namespace sandbox
