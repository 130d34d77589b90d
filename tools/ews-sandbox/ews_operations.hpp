// The EWS operations of the sandbox, called by the HTTP front end once a
// request is authenticated and has passed schema validation.
//
// The front end (server.cpp) owns HTTP, TLS, authentication, the SOAP
// envelope and faults; the operations own the mailbox store and build the
// content of <s:Body>.
#pragma once

#include <libxml/tree.h>

#include <functional>
#include <string>

#include "sandbox_config.hpp"

namespace sandbox {

class MailStore; // mail_store.hpp

// Who is asking and for which mailbox.
struct RequestContext {
    std::string principal;       // authenticated user, or the role's access key
    std::string mailbox;         // mailbox the request works on by default: the user's own,
                                 // or the one named in ExchangeImpersonation
    bool delegate_admin = false; // may name other mailboxes inside DistinguishedFolderId
    bool impersonating = false;  // authenticated with a bearer token + ExchangeImpersonation
    std::string requested_version; // RequestServerVersion/@Version, "" when absent
    const SandboxConfig *config = nullptr;
    // Whether an address names a mailbox user; a delegate administrator
    // naming any other address gets ErrorNonExistentMailbox.  Empty: every
    // address counts as a user (the store then creates the mailbox).
    std::function<bool(const std::string &address)> mailbox_exists;
};

// What goes back to the client.
struct OperationResult {
    int http_status = 200;
    // The single element that goes inside <s:Body>: either an
    // m:<Operation>Response element (with xmlns declarations for m: and t:)
    // or, when soap_fault is true, a complete s:Fault element.
    std::string body_xml;
    bool soap_fault = false;
};

// Runs the operation whose element (a child of soap:Body, in the EWS
// messages namespace) is `operation`.  Unknown operations answer a SOAP
// fault as Exchange does.  Never throws.
OperationResult run_operation(MailStore &store, const RequestContext &ctx, xmlDocPtr doc,
                              xmlNodePtr operation);

} // namespace sandbox
