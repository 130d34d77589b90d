// json_util.hpp - owning cJSON handles and the few typed look-ups the
// archive and the dump reader need.
#pragma once

#include <cjson/cJSON.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace qvmigrate {

struct JsonDeleter {
    void operator()(cJSON *json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Parses text; on failure names the byte where parsing stopped.
struct JsonParse {
    JsonPtr root;
    std::string error; // "not valid JSON near byte 123"
};
JsonParse parse_json(const std::string &text);

// Printed form with two-space indentation and a final line feed.
std::string print_json(const cJSON *json);
// Printed on one line, no line feed: for messages between processes.
std::string print_json_line(const cJSON *json);

// The member `key` of an object when it has the wanted type.
inline const cJSON *json_member(const cJSON *object, const char *key) {
    return cJSON_IsObject(object) ? cJSON_GetObjectItemCaseSensitive(object, key) : nullptr;
}

inline std::optional<std::string> json_string(const cJSON *object, const char *key) {
    const cJSON *item = json_member(object, key);
    if (!cJSON_IsString(item) || item->valuestring == nullptr)
        return std::nullopt;
    return std::string(item->valuestring);
}

// An integral number within [low, high].
inline std::optional<std::int64_t> json_integer(const cJSON *item, std::int64_t low,
                                                std::int64_t high) {
    if (!cJSON_IsNumber(item))
        return std::nullopt;
    const double value = item->valuedouble;
    if (!std::isfinite(value) || std::floor(value) != value || value < static_cast<double>(low) ||
        value > static_cast<double>(high))
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

inline std::optional<std::int64_t> json_integer(const cJSON *object, const char *key,
                                                std::int64_t low, std::int64_t high) {
    return json_integer(json_member(object, key), low, high);
}

inline std::optional<bool> json_bool(const cJSON *object, const char *key) {
    const cJSON *item = json_member(object, key);
    if (!cJSON_IsBool(item))
        return std::nullopt;
    return cJSON_IsTrue(item) != 0;
}

// Whole file as text; nothing when it cannot be read.
std::optional<std::string> read_text_file(const std::filesystem::path &path);

// Writes `text` to a temporary file beside `path` and renames it over
// `path`, so a reader never sees half a file.  Throws on failure.
void write_file_atomically(const std::filesystem::path &path, const std::string &text);

} // namespace qvmigrate
