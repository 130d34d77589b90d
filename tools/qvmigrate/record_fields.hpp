// record_fields.hpp - the message record's scalar fields by name, so the
// archive can write and read every one of them without a hand-written line
// per field.
//
// Left out on purpose: the sub-record arrays and their counts (the archive
// writes the sub-records themselves) and msg_number, which is the host's
// run number naming part files, not item data.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <span>
#include <string>

#include "qv/record.h"

namespace qvmigrate {

enum class FieldKind { Text, Int32, Int16, UInt16, UInt32, FileTime, Bytes };

struct FieldInfo {
    const char *name;
    std::size_t offset;
    std::size_t size; // bytes of the field (capacity of a text, NUL included)
    FieldKind kind;
};

std::span<const FieldInfo> message_fields();
std::span<const FieldInfo> part_fields();      // sub_message is not among them
std::span<const FieldInfo> recipient_fields();
std::span<const FieldInfo> breakout_fields();  // the two file fields are not among them

// Adds every field that is not empty or zero to `object`.  Texts that are
// not UTF-8 become {"base64": ...}; FILETIMEs {"utc": ..., "filetime": ...};
// byte fields base64 text.
void fields_to_json(const void *record, std::span<const FieldInfo> fields, cJSON *object);

// Sets the fields present in `object`; the others are left as they are.
// Returns "" or the reason a value was refused ("subject: longer than 527
// bytes").
std::string fields_from_json(void *record, std::span<const FieldInfo> fields,
                             const cJSON *object);

// A text field's value: text up to the first NUL, within the capacity.
std::string text_field(const void *record, const FieldInfo &field);

// True when `key` names one of `fields`.
bool is_field_name(std::span<const FieldInfo> fields, const char *key);

} // namespace qvmigrate
