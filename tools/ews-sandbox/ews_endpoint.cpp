#include "ews_endpoint.hpp"

#include <exception>

#include "auth.hpp"
#include "ews_operations.hpp"
#include "fault_answers.hpp"
#include "xml_pretty.hpp"

namespace sandbox {
namespace {

constexpr int kFaultStatus = 500;

HttpAnswer unauthorized() {
    HttpAnswer answer;
    answer.status = 401;
    answer.content_type = "text/plain";
    answer.headers.emplace_back("WWW-Authenticate", R"(Basic realm="127.0.0.1")");
    answer.headers.emplace_back("WWW-Authenticate", "Bearer");
    return answer;
}

OperationResult run_guarded(MailStore &store, const RequestContext &ctx, ParsedRequest &request) {
    try {
        return run_operation(store, ctx, request.doc.get(), request.envelope.operation);
    } catch (const std::exception &e) {
        OperationResult failed;
        failed.http_status = kFaultStatus;
        failed.soap_fault = true;
        failed.body_xml = exchange_fault("ErrorInternalServerError",
                                         "An internal server error occurred. The operation failed.",
                                         e.what());
        return failed;
    }
}

} // namespace

ParsedRequest parse_request(const std::string &body) {
    ParsedRequest request;
    request.doc.reset(parse_xml(body, &request.problem));
    request.envelope = read_envelope(request.doc.get());
    return request;
}

HttpAnswer soap_answer(const SandboxConfig &config, int status, std::string document) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = config.pretty ? pretty_xml(document) : std::move(document);
    return answer;
}

HttpAnswer handle_ews(EwsServices &services, const std::string &authorization,
                      const std::string &cookie_header, ParsedRequest &request,
                      const FaultRule *response_error) {
    const SandboxConfig &config = services.config;
    const Authentication auth =
        authenticate(services.accounts, authorization, cookie_header, services.clock());
    if (!auth.principal)
        return unauthorized();
    const Principal &who = *auth.principal;

    HttpAnswer answer = [&]() -> HttpAnswer {
        const RequestEnvelope &envelope = request.envelope;
        // Checked before validation: the newest version names are not in
        // the schema copy, yet a server answers them as versions it does
        // not serve, not as invalid documents.
        const bool unserved_version = envelope.has_version &&
                                      !accepted_request_version(envelope.requested_version);
        if (unserved_version && known_request_version(envelope.requested_version))
            return soap_answer(config, kFaultStatus, fault_envelope(invalid_server_version_fault()));
        XmlProblem &problem = request.problem;
        if (!request.doc || !services.schema.validate(request.doc.get(), &problem))
            return soap_answer(config, kFaultStatus,
                               fault_envelope(schema_validation_fault(problem.message, problem.line,
                                                                      problem.column)));
        if (unserved_version)
            return soap_answer(config, kFaultStatus, fault_envelope(invalid_server_version_fault()));
        const auto mailbox = settle_mailbox(who, envelope);
        if (!mailbox)
            return soap_answer(config, kFaultStatus, fault_envelope(impersonation_denied_fault()));

        RequestContext ctx;
        ctx.principal = who.name;
        ctx.mailbox = *mailbox;
        ctx.delegate_admin = who.kind == Principal::Kind::User && who.delegate_admin;
        ctx.impersonating = who.kind == Principal::Kind::Role;
        ctx.requested_version = envelope.requested_version;
        ctx.config = &config;
        ctx.mailbox_exists = [&accounts = services.accounts](const std::string &address) {
            return accounts.user_exists(address);
        };
        const OperationResult result =
            response_error ? response_error_operation(envelope.operation, *response_error)
                           : run_guarded(services.store, ctx, request);
        return soap_answer(config, result.http_status,
                           result.soap_fault ? fault_envelope(result.body_xml)
                                             : success_envelope(config.major_version, result.body_xml));
    }();
    answer.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + auth.cookie +
                                                  "; Path=/; Secure; HttpOnly");
    answer.principal = who.name;
    return answer;
}

} // namespace sandbox
