#include "fault_injection.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>

namespace sandbox {
namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

constexpr long kMaxDelayMs = 10 * 60 * 1000;

struct KindName {
    FaultRule::Kind kind;
    const char *name;
};
constexpr KindName kKinds[] = {
    {FaultRule::Kind::HttpStatus, "http_status"},   {FaultRule::Kind::SoapFault, "soap_fault"},
    {FaultRule::Kind::ServerBusy, "server_busy"},   {FaultRule::Kind::Empty503, "empty_503"},
    {FaultRule::Kind::DropConnection, "drop_connection"}, {FaultRule::Kind::Delay, "delay"},
    {FaultRule::Kind::ResponseError, "response_error"},
};

const char *kind_name(FaultRule::Kind kind) {
    for (const auto &k : kKinds)
        if (k.kind == kind)
            return k.name;
    return "?";
}

// Reads an optional whole number member within [low, high].
bool read_number(const cJSON *obj, const char *name, long low, long high, long *out,
                 std::string *error) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item)
        return true;
    const double v = item->valuedouble;
    if (!cJSON_IsNumber(item) || !(v >= static_cast<double>(low) && v <= static_cast<double>(high)) ||
        v != std::floor(v)) {
        *error = std::string("\"") + name + "\" must be a whole number from " +
                 std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    *out = static_cast<long>(v);
    return true;
}

bool read_string(const cJSON *obj, const char *name, std::string *out, std::string *error) {
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!item)
        return true;
    if (!cJSON_IsString(item) || !item->valuestring[0]) {
        *error = std::string("\"") + name + "\" must be a non-empty string";
        return false;
    }
    *out = item->valuestring;
    return true;
}

// EWS codes and AWS error types alike: ASCII letters and digits.
bool valid_response_code(const std::string &code) {
    if (code.empty() || code.size() > 128 || !std::isalpha(static_cast<unsigned char>(code[0])))
        return false;
    return std::all_of(code.begin(), code.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::optional<FaultRule> parse_rule(const cJSON *obj, std::string *error) {
    if (!cJSON_IsObject(obj)) {
        *error = "a fault rule must be a JSON object";
        return std::nullopt;
    }
    FaultRule rule;
    std::string kind;
    if (!read_string(obj, "kind", &kind, error) || !read_string(obj, "operation", &rule.operation, error) ||
        !read_string(obj, "faultstring", &rule.faultstring, error) ||
        !read_string(obj, "response_code", &rule.response_code, error) ||
        !read_string(obj, "message_text", &rule.message_text, error))
        return std::nullopt;
    const KindName *found = nullptr;
    for (const auto &k : kKinds)
        if (kind == k.name)
            found = &k;
    if (!found) {
        *error = "\"kind\" must be one of http_status, soap_fault, server_busy, empty_503, "
                 "drop_connection, delay, response_error";
        return std::nullopt;
    }
    rule.kind = found->kind;
    long status = -1, count = 1, after = 0;
    if (!read_number(obj, "status", 400, 599, &status, error) ||
        !read_number(obj, "count", 1, 1000000, &count, error) ||
        !read_number(obj, "after", 0, 1000000, &after, error) ||
        !read_number(obj, "back_off_ms", 0, kMaxDelayMs, &rule.back_off_ms, error) ||
        !read_number(obj, "ms", 0, kMaxDelayMs, &rule.delay_ms, error))
        return std::nullopt;
    rule.count = static_cast<int>(count);
    rule.after = static_cast<int>(after);
    if (rule.kind == FaultRule::Kind::ResponseError) {
        if (!cJSON_GetObjectItemCaseSensitive(obj, "response_code")) {
            *error = "a response_error rule needs \"response_code\"";
            return std::nullopt;
        }
        if (!valid_response_code(rule.response_code)) {
            *error = "\"response_code\" must be a name of letters and digits, such as ErrorItemNotFound";
            return std::nullopt;
        }
        rule.status = status < 0 ? 400 : static_cast<int>(status);
    }
    if (rule.kind == FaultRule::Kind::HttpStatus) {
        if (status < 0) {
            *error = "an http_status rule needs \"status\"";
            return std::nullopt;
        }
        rule.status = static_cast<int>(status);
    }
    if (rule.kind == FaultRule::Kind::SoapFault && rule.faultstring.empty()) {
        *error = "a soap_fault rule needs \"faultstring\"";
        return std::nullopt;
    }
    if (rule.kind == FaultRule::Kind::Delay && !cJSON_GetObjectItemCaseSensitive(obj, "ms")) {
        *error = "a delay rule needs \"ms\"";
        return std::nullopt;
    }
    return rule;
}

} // namespace

std::optional<std::vector<FaultRule>> parse_fault_rules(const std::string &json,
                                                        std::string *error) {
    JsonPtr root(cJSON_ParseWithLength(json.data(), json.size()), cJSON_Delete);
    if (!root) {
        *error = "the fault rules are not valid JSON";
        return std::nullopt;
    }
    std::vector<FaultRule> rules;
    if (cJSON_IsArray(root.get())) {
        const cJSON *item = nullptr;
        cJSON_ArrayForEach(item, root.get()) {
            auto rule = parse_rule(item, error);
            if (!rule)
                return std::nullopt;
            rules.push_back(*rule);
        }
    } else {
        auto rule = parse_rule(root.get(), error);
        if (!rule)
            return std::nullopt;
        rules.push_back(*rule);
    }
    return rules;
}

std::string describe_fault_rules(const std::vector<FaultRule> &rules) {
    JsonPtr array(cJSON_CreateArray(), cJSON_Delete);
    for (const auto &r : rules) {
        cJSON *obj = cJSON_CreateObject();
        cJSON_AddStringToObject(obj, "operation", r.operation.c_str());
        cJSON_AddStringToObject(obj, "kind", kind_name(r.kind));
        cJSON_AddNumberToObject(obj, "count", r.count);
        if (r.after > 0)
            cJSON_AddNumberToObject(obj, "after", r.after);
        if (r.kind == FaultRule::Kind::HttpStatus)
            cJSON_AddNumberToObject(obj, "status", r.status);
        if (r.kind == FaultRule::Kind::SoapFault) {
            cJSON_AddStringToObject(obj, "faultstring", r.faultstring.c_str());
            cJSON_AddStringToObject(obj, "response_code", r.response_code.c_str());
        }
        if (r.kind == FaultRule::Kind::ServerBusy)
            cJSON_AddNumberToObject(obj, "back_off_ms", static_cast<double>(r.back_off_ms));
        if (r.kind == FaultRule::Kind::ResponseError) {
            cJSON_AddStringToObject(obj, "response_code", r.response_code.c_str());
            if (!r.message_text.empty())
                cJSON_AddStringToObject(obj, "message_text", r.message_text.c_str());
            cJSON_AddNumberToObject(obj, "status", r.status);
        }
        if (r.kind == FaultRule::Kind::Delay)
            cJSON_AddNumberToObject(obj, "ms", static_cast<double>(r.delay_ms));
        cJSON_AddItemToArray(array.get(), obj);
    }
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(array.get()), cJSON_free);
    return text ? text.get() : "[]";
}

void FaultInjector::add(const std::vector<FaultRule> &rules) {
    std::lock_guard lock(mutex_);
    rules_.insert(rules_.end(), rules.begin(), rules.end());
}

void FaultInjector::clear() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

std::optional<FaultRule> FaultInjector::take(const std::string &operation) {
    std::lock_guard lock(mutex_);
    auto chosen = rules_.end();
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->operation != "*" && it->operation != operation)
            continue;
        if (it->after > 0)
            --it->after; // counts the request even when an earlier rule serves it
        else if (chosen == rules_.end())
            chosen = it;
    }
    if (chosen == rules_.end())
        return std::nullopt;
    FaultRule rule = *chosen;
    if (--chosen->count <= 0)
        rules_.erase(chosen);
    return rule;
}

std::vector<FaultRule> FaultInjector::pending() const {
    std::lock_guard lock(mutex_);
    return rules_;
}

} // namespace sandbox
