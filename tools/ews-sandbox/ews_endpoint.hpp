// `POST /EWS/Exchange.asmx`: everything between the HTTP layer and the
// operations.  In order: authentication (HTTP 401 when it fails), schema
// validation (ErrorSchemaValidation), the RequestServerVersion check
// (ErrorInvalidServerVersion), the impersonation check
// (ErrorImpersonateUserDenied), then the operation, whose answer is wrapped
// in Exchange's envelope.  Faults travel with HTTP 500 as Exchange sends them.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "accounts.hpp"
#include "fault_injection.hpp"
#include "sandbox_config.hpp"
#include "schema.hpp"
#include "soap_envelope.hpp"

namespace sandbox {

class MailStore;

struct HttpAnswer {
    int status = 200;
    std::string content_type = "text/xml; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // Set-Cookie, WWW-Authenticate
    std::string principal; // for the server log; "" when unauthenticated
};

// A request body read once: the document (nullptr when not well-formed),
// the parser's complaint, and the envelope's parts.
struct ParsedRequest {
    XmlDoc doc;
    XmlProblem problem;
    RequestEnvelope envelope;
};
ParsedRequest parse_request(const std::string &body);

struct EwsServices {
    const SandboxConfig &config;
    AccountStore &accounts;
    MailStore &store;
    const SchemaValidator &schema;
    std::function<UnixSeconds()> clock;
};

// `response_error`, when given, replaces the operation's answer once the
// request has passed every check (an injected fault, fault_answers.hpp).
HttpAnswer handle_ews(EwsServices &services, const std::string &authorization,
                      const std::string &cookie_header, ParsedRequest &request,
                      const FaultRule *response_error = nullptr);

// An answer carrying the SOAP document, laid out as the config asks.
HttpAnswer soap_answer(const SandboxConfig &config, int status, std::string document);

} // namespace sandbox
