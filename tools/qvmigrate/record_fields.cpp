// record_fields.cpp - field tables of the message record and their JSON
// form.  The record is byte-packed, so numbers are copied with memcpy
// rather than read through misaligned pointers.
#include "record_fields.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "json_util.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace {

#define QVM_FIELD(type, field, kind) \
    FieldInfo { #field, offsetof(type, field), sizeof(type::field), FieldKind::kind }

#define QVM_TEXT(field) QVM_FIELD(qv_message, field, Text)
#define QVM_I32(field) QVM_FIELD(qv_message, field, Int32)
#define QVM_TIME(field) QVM_FIELD(qv_message, field, FileTime)

const FieldInfo kMessageFields[] = {
    QVM_I32(item_type),
    QVM_TEXT(group_folder),
    QVM_TEXT(from_name),
    QVM_TEXT(from_address),
    QVM_TEXT(sent_representing),
    QVM_TEXT(subject),
    QVM_TIME(date),
    QVM_I32(priority),
    QVM_I32(unread),
    QVM_FIELD(qv_message, binary_id, Bytes),
    QVM_TEXT(message_id),
    QVM_I32(flag_status),
    QVM_I32(forwarded),
    QVM_I32(replied),
    QVM_I32(codepage),
    QVM_TEXT(uid),
    QVM_TEXT(message_charset),
    QVM_I32(date_missing),
    QVM_TEXT(first_name),
    QVM_TEXT(last_name),
    QVM_TEXT(middle_name),
    QVM_TEXT(title),
    QVM_TEXT(location),
    QVM_TEXT(department),
    QVM_TEXT(manager),
    QVM_TEXT(assistant_name),
    QVM_TEXT(business_phone),
    QVM_TEXT(home_phone),
    QVM_TEXT(other_phone),
    QVM_TEXT(business_phone2),
    QVM_TEXT(assistant_phone),
    QVM_TEXT(business_fax),
    QVM_TEXT(mobile_phone),
    QVM_TEXT(company),
    QVM_TEXT(business_street),
    QVM_TEXT(business_street2),
    QVM_TEXT(business_city),
    QVM_TEXT(business_state),
    QVM_TEXT(business_postal_code),
    QVM_TEXT(business_country),
    QVM_TEXT(email1),
    QVM_TEXT(email2),
    QVM_TEXT(email3),
    QVM_I32(contact_kind),
    QVM_TEXT(pager),
    QVM_TEXT(web_page),
    QVM_TEXT(home_street),
    QVM_TEXT(home_street2),
    QVM_TEXT(home_city),
    QVM_TEXT(home_state),
    QVM_TEXT(home_postal_code),
    QVM_TEXT(home_country),
    QVM_TEXT(categories),
    QVM_TEXT(address_book_name),
    QVM_TEXT(file_as),
    QVM_FIELD(qv_message, entry_type, UInt16),
    QVM_TIME(start_time),
    QVM_TIME(end_time),
    QVM_TIME(complete_date),
    QVM_FIELD(qv_message, is_private, UInt16),
    QVM_FIELD(qv_message, busy_status, UInt16),
    QVM_FIELD(qv_message, recur_type, Int16),
    QVM_I32(recur_interval),
    QVM_I32(recur_week_index),
    QVM_I32(recur_days),
    QVM_I32(recur_month),
    QVM_I32(recur_day_of_month),
    QVM_I32(recur_range),
    QVM_I32(recur_count),
    QVM_TIME(recur_end),
    QVM_I32(percent_complete),
    QVM_TEXT(organizer_name),
    QVM_I32(reminder_set),
    QVM_I32(reminder_minutes),
    QVM_I32(rsvp),
    QVM_I32(user_is_organizer),
    QVM_TEXT(delivered_to),
    QVM_TIME(reminder_time),
    QVM_TEXT(organizer_address),
    QVM_I32(all_day),
    QVM_I32(task_status),
    QVM_I32(importance),
    QVM_TEXT(time_zone),
    QVM_I32(folder_total),
};

const FieldInfo kPartFields[] = {
    QVM_FIELD(qv_part, file_name, Text),
    QVM_FIELD(qv_part, size, UInt32),
    QVM_FIELD(qv_part, part_type, Int32),
    QVM_FIELD(qv_part, content_id, Text),
    QVM_FIELD(qv_part, charset, Text),
};

const FieldInfo kRecipientFields[] = {
    QVM_FIELD(qv_recipient, name, Text),
    QVM_FIELD(qv_recipient, address, Text),
    QVM_FIELD(qv_recipient, kind, Int32),
    QVM_FIELD(qv_recipient, response, Int32),
};

const FieldInfo kBreakoutFields[] = {
    QVM_FIELD(qv_breakout, kind, Int32),
    QVM_FIELD(qv_breakout, original_start, FileTime),
    QVM_FIELD(qv_breakout, start, FileTime),
    QVM_FIELD(qv_breakout, end, FileTime),
    QVM_FIELD(qv_breakout, subject, Text),
    QVM_FIELD(qv_breakout, location, Text),
};

#undef QVM_TIME
#undef QVM_I32
#undef QVM_TEXT
#undef QVM_FIELD

const unsigned char *at(const void *record, const FieldInfo &field) {
    return static_cast<const unsigned char *>(record) + field.offset;
}

unsigned char *at(void *record, const FieldInfo &field) {
    return static_cast<unsigned char *>(record) + field.offset;
}

template <typename T> T load(const void *record, const FieldInfo &field) {
    T value;
    std::memcpy(&value, at(record, field), sizeof value);
    return value;
}

template <typename T> void store(void *record, const FieldInfo &field, T value) {
    std::memcpy(at(record, field), &value, sizeof value);
}

bool is_zero(const void *record, const FieldInfo &field) {
    if (field.kind == FieldKind::Text)
        return *at(record, field) == 0;
    const unsigned char *bytes = at(record, field);
    for (std::size_t i = 0; i < field.size; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

cJSON *text_to_json(const std::string &text) {
    if (is_valid_utf8(text))
        return cJSON_CreateString(text.c_str());
    cJSON *wrapped = cJSON_CreateObject();
    cJSON_AddStringToObject(wrapped, "base64", base64_encode(text).c_str());
    return wrapped;
}

cJSON *number_to_json(const void *record, const FieldInfo &field) {
    switch (field.kind) {
    case FieldKind::Int32:
        return cJSON_CreateNumber(load<std::int32_t>(record, field));
    case FieldKind::Int16:
        return cJSON_CreateNumber(load<std::int16_t>(record, field));
    case FieldKind::UInt16:
        return cJSON_CreateNumber(load<std::uint16_t>(record, field));
    case FieldKind::UInt32:
        return cJSON_CreateNumber(load<std::uint32_t>(record, field));
    default:
        return nullptr;
    }
}

cJSON *filetime_to_json(qv_filetime date) {
    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "utc", filetime_to_iso(date).c_str());
    // FILETIMEs pass 2^53, where JSON numbers stop being exact: digits.
    cJSON_AddStringToObject(object, "filetime", std::to_string(date).c_str());
    return object;
}

std::string text_from_json(void *record, const FieldInfo &field, const cJSON *value) {
    std::string text;
    if (cJSON_IsString(value)) {
        text = value->valuestring;
    } else if (const auto encoded = json_string(value, "base64")) {
        const auto decoded = base64_decode(*encoded);
        if (!decoded)
            return "not valid base64";
        text = *decoded;
    } else {
        return "expected a text";
    }
    if (text.find('\0') != std::string::npos)
        return "holds a NUL byte";
    if (text.size() >= field.size)
        return "longer than " + std::to_string(field.size - 1) + " bytes";
    unsigned char *target = at(record, field);
    std::memset(target, 0, field.size);
    std::memcpy(target, text.data(), text.size());
    return "";
}

std::string number_from_json(void *record, const FieldInfo &field, const cJSON *value) {
    auto ranged = [&](std::int64_t low, std::int64_t high) -> std::optional<std::int64_t> {
        return json_integer(value, low, high);
    };
    std::optional<std::int64_t> number;
    switch (field.kind) {
    case FieldKind::Int32:
        number = ranged(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
        if (number)
            store(record, field, static_cast<std::int32_t>(*number));
        break;
    case FieldKind::Int16:
        number = ranged(std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max());
        if (number)
            store(record, field, static_cast<std::int16_t>(*number));
        break;
    case FieldKind::UInt16:
        number = ranged(0, std::numeric_limits<std::uint16_t>::max());
        if (number)
            store(record, field, static_cast<std::uint16_t>(*number));
        break;
    case FieldKind::UInt32:
        number = ranged(0, std::numeric_limits<std::uint32_t>::max());
        if (number)
            store(record, field, static_cast<std::uint32_t>(*number));
        break;
    default:
        break;
    }
    return number ? "" : "expected a whole number that fits the field";
}

std::string filetime_from_json(void *record, const FieldInfo &field, const cJSON *value) {
    const auto digits = json_string(value, "filetime");
    const auto utc = json_string(value, "utc");
    if (!digits || !utc)
        return "expected {\"utc\": ..., \"filetime\": ...}";
    const auto ticks = parse_decimal_u64(*digits);
    if (!ticks)
        return "filetime is not a decimal number";
    // The two forms are written together; disagreement means damage.
    const auto from_text = iso_to_filetime(*utc);
    if (!from_text || *from_text != *ticks)
        return "utc \"" + *utc + "\" does not match filetime " + *digits;
    store<qv_filetime>(record, field, *ticks);
    return "";
}

std::string bytes_from_json(void *record, const FieldInfo &field, const cJSON *value) {
    if (!cJSON_IsString(value))
        return "expected base64 text";
    const auto decoded = base64_decode(value->valuestring);
    if (!decoded)
        return "not valid base64";
    if (decoded->size() != field.size)
        return "expected " + std::to_string(field.size) + " bytes";
    std::memcpy(at(record, field), decoded->data(), field.size);
    return "";
}

} // namespace

std::span<const FieldInfo> message_fields() { return kMessageFields; }
std::span<const FieldInfo> part_fields() { return kPartFields; }
std::span<const FieldInfo> recipient_fields() { return kRecipientFields; }
std::span<const FieldInfo> breakout_fields() { return kBreakoutFields; }

std::string text_field(const void *record, const FieldInfo &field) {
    const auto *bytes = reinterpret_cast<const char *>(at(record, field));
    return std::string(bytes, strnlen(bytes, field.size));
}

void fields_to_json(const void *record, std::span<const FieldInfo> fields, cJSON *object) {
    for (const FieldInfo &field : fields) {
        if (is_zero(record, field))
            continue;
        cJSON *value = nullptr;
        switch (field.kind) {
        case FieldKind::Text:
            value = text_to_json(text_field(record, field));
            break;
        case FieldKind::FileTime:
            value = filetime_to_json(load<qv_filetime>(record, field));
            break;
        case FieldKind::Bytes:
            value = cJSON_CreateString(
                base64_encode({reinterpret_cast<const char *>(at(record, field)), field.size})
                    .c_str());
            break;
        default:
            value = number_to_json(record, field);
            break;
        }
        cJSON_AddItemToObject(object, field.name, value);
    }
}

std::string fields_from_json(void *record, std::span<const FieldInfo> fields,
                             const cJSON *object) {
    for (const FieldInfo &field : fields) {
        const cJSON *value = json_member(object, field.name);
        if (value == nullptr)
            continue;
        std::string problem;
        switch (field.kind) {
        case FieldKind::Text:
            problem = text_from_json(record, field, value);
            break;
        case FieldKind::FileTime:
            problem = filetime_from_json(record, field, value);
            break;
        case FieldKind::Bytes:
            problem = bytes_from_json(record, field, value);
            break;
        default:
            problem = number_from_json(record, field, value);
            break;
        }
        if (!problem.empty())
            return std::string(field.name) + ": " + problem;
    }
    return "";
}

bool is_field_name(std::span<const FieldInfo> fields, const char *key) {
    for (const FieldInfo &field : fields) {
        if (std::string_view(field.name) == key)
            return true;
    }
    return false;
}

} // namespace qvmigrate
