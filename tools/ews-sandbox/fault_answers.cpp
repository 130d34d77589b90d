#include "fault_answers.hpp"

#include <cjson/cJSON.h>

#include <array>
#include <map>
#include <memory>

#include "ops_common.hpp"
#include "schema.hpp"

namespace sandbox {
namespace {

constexpr const char *kApiOperation = "AssumeImpersonationRole";

// Texts Exchange gives for the transient codes clients must retry;
// other codes take the sandbox's usual wording (ews_error).
std::string default_text(const std::string &code) {
    static const std::map<std::string, std::string> texts = {
        {"ErrorInternalServerTransientError",
         "An internal server error occurred. Try again later."},
        {"ErrorMailboxStoreUnavailable", "The mailbox database is temporarily unavailable."},
        {"ErrorTimeoutExpired", "The operation timed out. Try again later."},
        {"ErrorServerBusy", "The server cannot service this request right now. Try again later."},
    };
    const auto it = texts.find(code);
    return it != texts.end() ? it->second : ews_error(code).text;
}

// The element of an Error message its type requires even when empty.
const char *required_empty(const std::string &operation) {
    static const std::map<std::string, const char *> required = {
        {"GetItem", "m:Items"},   {"CreateItem", "m:Items"},   {"UpdateItem", "m:Items"},
        {"MoveItem", "m:Items"},  {"CopyItem", "m:Items"},     {"ArchiveItem", "m:Items"},
        {"CreateAttachment", "m:Attachments"}, {"GetAttachment", "m:Attachments"},
    };
    const auto it = required.find(operation);
    return it != required.end() ? it->second : nullptr;
}

// One response message per input: the children of the operation's list
// element (at least one message, as for operations without a list).
std::size_t input_count(xmlNodePtr operation) {
    static constexpr std::array<const char *, 8> kLists = {
        "ItemIds", "Items", "ItemChanges", "FolderIds", "ParentFolderIds", "Folders",
        "Attachments", "AttachmentIds"};
    for (xmlNodePtr list : children(operation)) {
        for (const char *name : kLists)
            if (local_name(list) == name)
                return std::max<std::size_t>(1, children(list).size());
    }
    return 1;
}

OperationResult error_messages(const std::string &operation, std::size_t messages,
                               const FaultRule &rule) {
    const EwsError error{rule.response_code,
                         rule.message_text.empty() ? default_text(rule.response_code)
                                                   : rule.message_text,
                         {}};
    ResponseWriter writer(operation);
    for (std::size_t i = 0; i < messages; ++i)
        writer.error(error, required_empty(operation));
    return writer.finish();
}

} // namespace

OperationResult response_error_operation(xmlNodePtr operation, const FaultRule &rule) {
    return error_messages(local_name(operation), input_count(operation), rule);
}

ApiAnswer response_error_api(const FaultRule &rule) {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(json.get(), "__type", rule.response_code.c_str());
    cJSON_AddStringToObject(json.get(), "message", rule.message_text.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json.get()), cJSON_free);
    ApiAnswer answer;
    answer.status = rule.status;
    answer.body = text ? text.get() : "{}";
    answer.error_type = rule.response_code;
    return answer;
}

bool check_response_error_rule(const FaultRule &rule, std::string *error) {
    if (rule.kind != FaultRule::Kind::ResponseError || rule.operation == kApiOperation)
        return true;
    const std::string operation = rule.operation == "*" ? "GetFolder" : rule.operation;
    const std::string sample = "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>" +
                               error_messages(operation, 1, rule).body_xml + "</s:Body></s:Envelope>";
    if (validate_soap(sample, nullptr))
        return true;
    *error = "a response_error answer with \"" + rule.response_code + "\" for " + operation +
             " would not be valid EWS: the code must be one of ResponseCodeType and the "
             "operation one with response messages";
    return false;
}

} // namespace sandbox
