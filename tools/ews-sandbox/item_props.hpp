// Extended MAPI properties as EWS names them (ExtendedFieldURI), their
// values, and the properties Exchange keeps in the same place as an item's
// own elements: writing PR_MESSAGE_FLAGS (0x0E07) changes IsRead, reading
// PR_CLIENT_SUBMIT_TIME (0x0039) gives DateTimeSent, and so on.
#pragma once

#include <libxml/tree.h>

#include <optional>
#include <string>

#include "mail_store.hpp"
#include "ops_common.hpp"

namespace sandbox {

// A parsed ExtendedFieldURI.  `id` is the canonical identity used for
// storage (see ExtendedValue); the remaining fields remember how the
// client named the property so the answer can name it the same way.
struct PropPath {
    std::string id;
    std::string type;      // MapiPropertyType
    std::string set_attr;  // "", "DistinguishedPropertySetId" or "PropertySetId"
    std::string set_value;
    std::string key_attr;  // "PropertyTag", "PropertyId" or "PropertyName"
    std::string key_value; // tags canonical: "0x1090"
};

std::optional<PropPath> parse_prop_path(xmlNodePtr extended_field_uri, EwsError &error);
// The path of a stored property, named in canonical form (dump, answers
// without a request path).
PropPath path_of_stored(const std::string &id, const std::string &type);

bool is_array_type(const std::string &type);

// Reads <t:Value> or <t:Values> of an <t:ExtendedProperty> and checks them
// against the path's type; values come back canonical ("true", decimal
// integers, UTC times with "Z", normalised base64).
std::optional<ExtendedValue> parse_extended_property(xmlNodePtr extended_property, EwsError &error);

// The property as stored on the item (from ItemInfo for the mapped
// ones), or nullopt when the item does not have it.
std::optional<ExtendedValue> read_property(const StoredItem &item, const PropPath &path);

// Sets the property; mapped properties change ItemInfo.  Refuses
// read-only ones (size, has-attachments, last-modified) with
// ErrorInvalidPropertySet.
bool write_property(StoredItem &item, const ExtendedValue &value, EwsError &error);
// Removes it (mapped ones go back to their default).
bool delete_property(StoredItem &item, const PropPath &path, EwsError &error);

// Message properties EWS shows as elements of their own but Exchange keeps
// as MAPI properties; they are stored among the extended properties under
// those names, so an ExtendedFieldURI reaches the same value.
struct ElementProperty {
    const char *element; // "ReminderIsSet", ...
    const char *id;      // ExtendedValue::id
    const char *type;    // "Boolean" or "Integer"
};
inline constexpr ElementProperty kElementProperties[] = {
    {"ReminderIsSet", "Common:id:34051", "Boolean"},              // PidLidReminderSet
    {"ReminderMinutesBeforeStart", "Common:id:34049", "Integer"}, // PidLidReminderDelta
    {"IsReadReceiptRequested", "0x29", "Boolean"},                // PR_READ_RECEIPT_REQUESTED
    {"IsDeliveryReceiptRequested", "0x23", "Boolean"}, // PR_ORIGINATOR_DELIVERY_REPORT_REQUESTED
    {"IsResponseRequested", "0x63", "Boolean"},                   // PR_RESPONSE_REQUESTED
};
const ElementProperty *element_property(const std::string &element);
// The stored value of one of them, nullopt when the item has none.
std::optional<std::string> element_property_value(const StoredItem &item, const char *element);
// Stores the element's text (xs:boolean or xs:int) canonically; false when
// it is not a value of the property's type.
bool set_element_property(StoredItem &item, const ElementProperty &p, const std::string &text);

// A message item for the MIME text with the properties Exchange derives
// from it (subject, sender, recipients' display text, dates, importance,
// sensitivity, attachments); received, created and modified at `now`;
// flags read and unsent, as a message saved by CreateItem starts out.
StoredItem message_item_from_mime(std::string mime, UnixTime now);

// <t:ExtendedProperty><t:ExtendedFieldURI .../><t:Value>..</t:Value></t:ExtendedProperty>
void write_extended_property_xml(XmlOut &out, const PropPath &path, const ExtendedValue &value);
void write_field_uri_xml(XmlOut &out, const PropPath &path);

} // namespace sandbox
