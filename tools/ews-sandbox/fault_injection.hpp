// Misbehaviours queued per operation, for testing how clients cope with a
// struggling server.  Rules come from `serve --faults FILE` and from the
// loopback-only control endpoint (POST /sandbox/faults), both as JSON:
//
//   {"operation": "GetItem", "kind": "http_status", "status": 503, "count": 2}
//
// or an array of such objects.  Kinds and their members:
//   http_status      status (400..599): that status with a short text body
//   soap_fault       faultstring, optional response_code (default
//                    ErrorInternalServerError): HTTP 500 and a SOAP fault
//   server_busy      back_off_ms (default 5000): Exchange's ErrorServerBusy fault
//   empty_503        HTTP 503 with an empty body
//   drop_connection  the connection is closed after the request was read
//   delay            ms: the answer is held back, then served normally
//   response_error   response_code, optional message_text: HTTP 200 and a
//                    valid answer whose response messages all carry
//                    ResponseClass="Error" with that code (EWS); for the
//                    WorkMail API, an AWS JSON error of that __type with
//                    optional status (default 400)
// "operation" is an EWS operation name, "AssumeImpersonationRole" for the
// WorkMail API, or "*" for any; "count" (default 1) is how many matching
// requests the rule applies to; "after" (default 0) lets that many matching
// requests pass untouched first, so that the second page or the eleventh
// item fails.  A waiting rule counts every matching request, whichever rule
// serves it.  Rules are tried in the order they were added.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sandbox {

struct FaultRule {
    enum class Kind { HttpStatus, SoapFault, ServerBusy, Empty503, DropConnection, Delay, ResponseError };
    std::string operation = "*";
    Kind kind = Kind::HttpStatus;
    int status = 500;
    std::string faultstring;
    std::string response_code = "ErrorInternalServerError";
    long back_off_ms = 5000;
    long delay_ms = 0;
    std::string message_text; // response_error; "" = the usual text of the code
    int count = 1;
    int after = 0; // matching requests still to let through before the rule applies
};

// Parses one rule or an array of rules.  On error returns nullopt and sets
// *error to a sentence naming the problem.
std::optional<std::vector<FaultRule>> parse_fault_rules(const std::string &json,
                                                        std::string *error);
std::string describe_fault_rules(const std::vector<FaultRule> &rules); // JSON array

class FaultInjector {
  public:
    void add(const std::vector<FaultRule> &rules);
    void clear();
    // The first rule matching `operation` with uses left; uses one of them.
    std::optional<FaultRule> take(const std::string &operation);
    std::vector<FaultRule> pending() const;

  private:
    mutable std::mutex mutex_;
    std::vector<FaultRule> rules_;
};

} // namespace sandbox
