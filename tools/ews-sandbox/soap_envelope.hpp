// Reading EWS request envelopes and writing answers the way Exchange
// serializes them: "s:" envelope, an "h:ServerVersionInfo" header, the
// operation's "m:" response in the body, and SOAP 1.1 faults with
// faultcode "a:<ResponseCode>" and the detail Exchange adds.
#pragma once

#include <libxml/tree.h>

#include <string>

namespace sandbox {

inline constexpr const char *kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char *kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";
inline constexpr const char *kMessagesNs =
    "http://schemas.microsoft.com/exchange/services/2006/messages";
inline constexpr const char *kErrorsNs = "http://schemas.microsoft.com/exchange/services/2006/errors";

// What the front end needs from a (schema-valid) request envelope.
struct RequestEnvelope {
    xmlNodePtr operation = nullptr;   // the single child of soap:Body
    std::string operation_name;       // its local name, e.g. "FindItem"
    bool has_version = false;
    std::string requested_version;    // RequestServerVersion/@Version
    bool has_impersonation = false;
    std::string impersonated_address; // ConnectingSID/PrimarySmtpAddress or SmtpAddress
};

// Reads the envelope of a parsed document.  Works on documents that have
// not been validated (the operation name then serves fault injection only).
RequestEnvelope read_envelope(xmlDocPtr doc);

// The versions WorkMail accepts in RequestServerVersion.
bool accepted_request_version(const std::string &version);

// Whether `version` has the form of an EWS schema version name
// ("Exchange2010_SP2", "V2018_01_08"), listed in our schema copy or not.
// Such a name the server does not serve is answered with
// ErrorInvalidServerVersion, as Exchange does; anything else fails schema
// validation.
bool known_request_version(const std::string &version);

// Complete answer documents (XML declaration included), compact form.
std::string success_envelope(int major_version, const std::string &body_element);
std::string fault_envelope(const std::string &fault_element);

// An s:Fault element as Exchange writes it.  `message_xml` is placed inside
// t:MessageXml when not empty.
std::string exchange_fault(const std::string &response_code, const std::string &faultstring,
                           const std::string &message, const std::string &message_xml = "");

// The faults the front end itself answers (each with HTTP status 500).
std::string schema_validation_fault(const std::string &violation, int line, int column);
std::string server_busy_fault(long back_off_ms);
std::string invalid_server_version_fault();
std::string impersonation_denied_fault();

inline constexpr const char *kServerBusyText =
    "The server cannot service this request right now. Try again later.";

std::string xml_escape(const std::string &text);

} // namespace sandbox
