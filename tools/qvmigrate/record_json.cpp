// record_json.cpp - record <-> JSON, recursively through embedded messages.
#include "record_json.hpp"

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "json_util.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "record_fields.hpp"

namespace qvmigrate {

namespace {

namespace fs = std::filesystem;

// What each breakout file field is called in archive file names.
struct BreakoutFile {
    const char *field;
    const char *suffix;
    std::size_t offset;
    std::size_t size;
};
const BreakoutFile kBreakoutFiles[] = {
    {"description_file", "description", offsetof(qv_breakout, description_file),
     sizeof(qv_breakout::description_file)},
    {"attendee_file", "attendees", offsetof(qv_breakout, attendee_file),
     sizeof(qv_breakout::attendee_file)},
};

std::string indexed_name(const std::string &base, const char *tag, int index) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%s%03d", tag, index);
    return base + suffix;
}

cJSON *stored_file_to_json(const StoredFile &file) {
    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "name", file.name.c_str());
    cJSON_AddNumberToObject(object, "bytes", static_cast<double>(file.bytes));
    cJSON_AddStringToObject(object, "sha256", file.sha256.c_str());
    return object;
}

// The file object must name exactly the file the writer would have made.
std::string stored_file_from_json(const cJSON *object, const std::string &expected_name,
                                  StoredFile &file) {
    const auto name = json_string(object, "name");
    const auto bytes = json_integer(object, "bytes", 0, (std::int64_t{1} << 53));
    const auto sha256 = json_string(object, "sha256");
    if (!name || !bytes || !sha256)
        return "expected {\"name\", \"bytes\", \"sha256\"}";
    if (*name != expected_name)
        return "names \"" + *name + "\", expected \"" + expected_name + "\"";
    if (sha256->size() != 64 || sha256->find_first_not_of("0123456789abcdef") != std::string::npos)
        return "sha256 is not 64 lower-case hex digits";
    file = {*name, static_cast<std::uint64_t>(*bytes), *sha256};
    return "";
}

// Every key of an object must be one the writer makes: anything else is
// damage or a format this reader does not know.
std::string unknown_key(const cJSON *object, std::span<const FieldInfo> fields,
                        std::initializer_list<std::string_view> extra) {
    for (const cJSON *item = object->child; item != nullptr; item = item->next) {
        if (is_field_name(fields, item->string))
            continue;
        bool known = false;
        for (std::string_view key : extra)
            known = known || key == item->string;
        if (!known)
            return std::string("unknown key \"") + item->string + "\"";
    }
    return "";
}

void breakouts_to_json(const qv_message &msg, const std::string &base, FileStore &store,
                       cJSON *object) {
    cJSON *list = cJSON_AddArrayToObject(object, "breakouts");
    for (int i = 0; i < msg.breakout_count; ++i) {
        const qv_breakout *breakout = msg.breakouts[i];
        cJSON *item = cJSON_CreateObject();
        cJSON_AddItemToArray(list, item);
        if (breakout == nullptr)
            continue;
        fields_to_json(breakout, breakout_fields(), item);
        for (const BreakoutFile &file : kBreakoutFiles) {
            const char *raw = reinterpret_cast<const char *>(breakout) + file.offset;
            const std::string path(raw, strnlen(raw, file.size));
            if (path.empty())
                continue;
            const auto stored =
                store.put(path, indexed_name(base, "b", i) + "." + file.suffix);
            if (!stored) { // the file is gone: keep the text the reader gave
                cJSON_AddStringToObject(item, file.field, path.c_str());
                continue;
            }
            cJSON *entry = cJSON_AddObjectToObject(item, file.field);
            cJSON_AddStringToObject(entry, "path", path.c_str());
            cJSON_AddItemToObject(entry, "file", stored_file_to_json(*stored));
        }
    }
}

void parts_to_json(const qv_message &msg, const std::string &work_dir, const std::string &base,
                   FileStore &store, int depth, cJSON *object);

void message_to_json_at(const qv_message &msg, const std::string &work_dir,
                        const std::string &base, FileStore &store, int depth, cJSON *object) {
    if (depth > kMaxEmbeddedDepth)
        throw std::runtime_error("embedded messages nest deeper than " +
                                 std::to_string(kMaxEmbeddedDepth) + " levels");
    fields_to_json(&msg, message_fields(), object);
    parts_to_json(msg, work_dir, base, store, depth, object);
    cJSON *recipients = cJSON_AddArrayToObject(object, "recipients");
    for (int i = 0; i < msg.recipient_count; ++i) {
        cJSON *item = cJSON_CreateObject();
        if (msg.recipients[i] != nullptr)
            fields_to_json(msg.recipients[i], recipient_fields(), item);
        cJSON_AddItemToArray(recipients, item);
    }
    breakouts_to_json(msg, base, store, object);
}

void parts_to_json(const qv_message &msg, const std::string &work_dir, const std::string &base,
                   FileStore &store, int depth, cJSON *object) {
    cJSON *parts = cJSON_AddArrayToObject(object, "parts");
    for (int i = 0; i < msg.part_count; ++i) {
        const qv_part *part = msg.parts[i];
        cJSON *item = cJSON_CreateObject();
        cJSON_AddItemToArray(parts, item);
        if (part == nullptr)
            continue;
        fields_to_json(part, part_fields(), item);
        const std::string name = indexed_name(base, "p", i);
        if (const auto stored =
                store.put(qvcom::part_file_path(work_dir, msg.msg_number, i), name))
            cJSON_AddItemToObject(item, "file", stored_file_to_json(*stored));
        if (part->part_type == QV_PART_EMBEDDED_MSG && part->sub_message != nullptr) {
            cJSON *sub = cJSON_AddObjectToObject(item, "sub_message");
            message_to_json_at(*part->sub_message, work_dir, name, store, depth + 1, sub);
        }
    }
}

// ---------------------------------------------------------------- reading

struct Reader {
    const std::string &work_dir;
    FileSource &source;

    std::string message(const cJSON *object, qv_message &msg, const std::string &base,
                        int depth);
    std::string part(const cJSON *object, qv_message &msg, int index, const std::string &base,
                     int depth);
    std::string breakout(const cJSON *object, qv_breakout &breakout, int index,
                         const std::string &base, int msg_number);
};

std::string at_index(const char *list, int index, const std::string &problem) {
    return std::string(list) + "[" + std::to_string(index) + "]" +
           (problem.starts_with("[") || problem.starts_with(".") ? "" : ": ") + problem;
}

const cJSON *array_member(const cJSON *object, const char *key, int capacity,
                          std::string &problem) {
    const cJSON *list = json_member(object, key);
    if (list == nullptr)
        return nullptr;
    if (!cJSON_IsArray(list))
        problem = std::string(key) + ": expected a list";
    else if (cJSON_GetArraySize(list) > capacity)
        problem = std::string(key) + ": more than " + std::to_string(capacity) + " entries";
    return list;
}

std::string Reader::message(const cJSON *object, qv_message &msg, const std::string &base,
                            int depth) {
    if (!cJSON_IsObject(object))
        return "expected an object";
    if (depth > kMaxEmbeddedDepth)
        return "embedded messages nest deeper than " + std::to_string(kMaxEmbeddedDepth);
    std::string problem = unknown_key(object, message_fields(), {"parts", "recipients", "breakouts"});
    if (problem.empty())
        problem = fields_from_json(&msg, message_fields(), object);
    if (!problem.empty())
        return problem;

    const cJSON *parts = array_member(object, "parts", QV_MAX_PARTS, problem);
    const cJSON *recipients = array_member(object, "recipients", QV_MAX_RECIPIENTS, problem);
    const cJSON *breakouts = array_member(object, "breakouts", QV_MAX_BREAKOUTS, problem);
    if (!problem.empty())
        return problem;

    int index = 0;
    for (const cJSON *item = parts ? parts->child : nullptr; item; item = item->next, ++index) {
        problem = part(item, msg, index, base, depth);
        if (!problem.empty())
            return at_index("parts", index, problem);
    }
    index = 0;
    for (const cJSON *item = recipients ? recipients->child : nullptr; item;
         item = item->next, ++index) {
        qv_recipient *recipient = com_AllocRecip(&msg);
        if (recipient == nullptr)
            return at_index("recipients", index, "no room for another recipient");
        problem = cJSON_IsObject(item) ? unknown_key(item, recipient_fields(), {})
                                       : "expected an object";
        if (problem.empty())
            problem = fields_from_json(recipient, recipient_fields(), item);
        if (!problem.empty())
            return at_index("recipients", index, problem);
        ++msg.recipient_count;
    }
    index = 0;
    for (const cJSON *item = breakouts ? breakouts->child : nullptr; item;
         item = item->next, ++index) {
        qv_breakout *entry = com_AllocBreakout(&msg);
        if (entry == nullptr)
            return at_index("breakouts", index, "no room for another breakout");
        problem = breakout(item, *entry, index, base, msg.msg_number);
        if (!problem.empty())
            return at_index("breakouts", index, problem);
        ++msg.breakout_count;
    }
    return "";
}

std::string Reader::part(const cJSON *object, qv_message &msg, int index,
                         const std::string &base, int depth) {
    if (!cJSON_IsObject(object))
        return "expected an object";
    qv_part *part = com_AllocPart(&msg);
    if (part == nullptr)
        return "no room for another part";
    std::string problem = unknown_key(object, part_fields(), {"file", "sub_message"});
    if (problem.empty())
        problem = fields_from_json(part, part_fields(), object);
    if (!problem.empty())
        return problem;
    const std::string name = indexed_name(base, "p", index);
    if (const cJSON *file = json_member(object, "file")) {
        StoredFile stored;
        problem = stored_file_from_json(file, name, stored);
        if (problem.empty())
            problem = source.fetch(stored, qvcom::part_file_path(work_dir, msg.msg_number, index));
        if (!problem.empty())
            return "file: " + problem;
    }
    if (const cJSON *sub = json_member(object, "sub_message")) {
        if (part->part_type != QV_PART_EMBEDDED_MSG)
            return "sub_message: only parts of type 14 hold one";
        qv_message *embedded = com_AllocSubMsg(&msg, index);
        if (embedded == nullptr)
            return "sub_message: no memory for an embedded message";
        problem = message(sub, *embedded, name, depth + 1);
        if (!problem.empty())
            return ".sub_message." + problem;
    }
    ++msg.part_count;
    return "";
}

std::string Reader::breakout(const cJSON *object, qv_breakout &breakout, int index,
                             const std::string &base, int msg_number) {
    if (!cJSON_IsObject(object))
        return "expected an object";
    std::string problem = unknown_key(object, breakout_fields(), {"description_file", "attendee_file"});
    if (problem.empty())
        problem = fields_from_json(&breakout, breakout_fields(), object);
    if (!problem.empty())
        return problem;
    for (const BreakoutFile &file : kBreakoutFiles) {
        const cJSON *value = json_member(object, file.field);
        if (value == nullptr)
            continue;
        std::string path;
        if (cJSON_IsString(value)) {
            path = value->valuestring;
        } else {
            StoredFile stored;
            const std::string name = indexed_name(base, "b", index) + "." + file.suffix;
            problem = stored_file_from_json(json_member(value, "file"), name, stored);
            char local[64];
            std::snprintf(local, sizeof local, "BRK%03d%02d.%s", msg_number, index, file.suffix);
            path = work_dir + local;
            if (problem.empty())
                problem = source.fetch(stored, path);
        }
        if (problem.empty() && path.size() >= file.size)
            problem = "path longer than " + std::to_string(file.size - 1) + " bytes";
        if (!problem.empty())
            return std::string(file.field) + ": " + problem;
        std::memcpy(reinterpret_cast<char *>(&breakout) + file.offset, path.c_str(),
                    path.size() + 1);
    }
    return "";
}

} // namespace

void message_to_json(const qv_message &msg, const std::string &work_dir,
                     const std::string &base_name, FileStore &store, cJSON *object) {
    message_to_json_at(msg, work_dir, base_name, store, 0, object);
}

std::string message_from_json(const cJSON *object, qv_message &msg, const std::string &work_dir,
                              const std::string &base_name, FileSource &source) {
    Reader reader{work_dir, source};
    return reader.message(object, msg, base_name, 0);
}

} // namespace qvmigrate
