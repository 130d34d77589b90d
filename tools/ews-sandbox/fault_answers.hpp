// The answers of `response_error` fault rules: a well-formed answer that
// reports failure inside it, as a struggling Exchange or WorkMail does.
#pragma once

#include <libxml/tree.h>

#include <string>

#include "ews_operations.hpp"
#include "fault_injection.hpp"
#include "workmail_api.hpp"

namespace sandbox {

// The operation's response (m:<Operation>Response) with one Error response
// message per input element of the request (ItemIds, Items, FolderIds, ...),
// each carrying the rule's ResponseCode and MessageText and the empty
// element its message type requires.  HTTP 200.
OperationResult response_error_operation(xmlNodePtr operation, const FaultRule &rule);

// The WorkMail API's error: the rule's status, {"__type", "message"} and
// x-amzn-ErrorType.
ApiAnswer response_error_api(const FaultRule &rule);

// Whether the rule's answer would be valid against the schema: the code is
// one of ResponseCodeType and the operation has response messages.  Rules
// for the WorkMail API are always fine.  On failure *error says which.
bool check_response_error_rule(const FaultRule &rule, std::string *error);

} // namespace sandbox
