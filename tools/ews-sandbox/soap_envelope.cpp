#include "soap_envelope.hpp"

#include <cstring>
#include <regex>

namespace sandbox {
namespace {

bool is_element(xmlNodePtr node, const char *ns, const char *name) {
    return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
           std::strcmp(reinterpret_cast<const char *>(node->ns->href), ns) == 0 &&
           std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

xmlNodePtr first_element(xmlNodePtr parent) {
    for (xmlNodePtr n = parent ? parent->children : nullptr; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE)
            return n;
    return nullptr;
}

xmlNodePtr child(xmlNodePtr parent, const char *ns, const char *name) {
    for (xmlNodePtr n = parent ? parent->children : nullptr; n; n = n->next)
        if (is_element(n, ns, name))
            return n;
    return nullptr;
}

std::string text_of(xmlNodePtr node) {
    xmlChar *content = xmlNodeGetContent(node);
    std::string s = content ? reinterpret_cast<const char *>(content) : "";
    xmlFree(content);
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

std::string attribute(xmlNodePtr node, const char *name) {
    xmlChar *value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar *>(name));
    std::string s = value ? reinterpret_cast<const char *>(value) : "";
    xmlFree(value);
    return s;
}

void read_header(xmlNodePtr header, RequestEnvelope &env) {
    if (xmlNodePtr version = child(header, kTypesNs, "RequestServerVersion")) {
        env.has_version = true;
        env.requested_version = attribute(version, "Version");
    }
    if (xmlNodePtr imp = child(header, kTypesNs, "ExchangeImpersonation")) {
        env.has_impersonation = true;
        xmlNodePtr sid = child(imp, kTypesNs, "ConnectingSID");
        xmlNodePtr address = child(sid, kTypesNs, "PrimarySmtpAddress");
        if (!address)
            address = child(sid, kTypesNs, "SmtpAddress");
        if (address)
            env.impersonated_address = text_of(address);
    }
}

struct ServerVersion {
    int major, minor, major_build, minor_build;
    const char *version;
};

// What an Exchange 2010 SP3 server and Exchange Online report.
ServerVersion server_version(int major) {
    if (major == 14)
        return {14, 3, 123, 4, "Exchange2010_SP2"};
    return {15, 20, 7452, 28, "V2018_01_08"};
}

} // namespace

RequestEnvelope read_envelope(xmlDocPtr doc) {
    RequestEnvelope env;
    xmlNodePtr root = doc ? xmlDocGetRootElement(doc) : nullptr;
    if (!is_element(root, kSoapNs, "Envelope"))
        return env;
    read_header(child(root, kSoapNs, "Header"), env);
    env.operation = first_element(child(root, kSoapNs, "Body"));
    if (env.operation)
        env.operation_name = reinterpret_cast<const char *>(env.operation->name);
    return env;
}

bool accepted_request_version(const std::string &version) {
    for (const char *v : {"Exchange2007_SP1", "Exchange2010", "Exchange2010_SP1", "Exchange2010_SP2"})
        if (version == v)
            return true;
    return false;
}

bool known_request_version(const std::string &version) {
    // ExchangeVersionType names ("Exchange2013_SP1") and Exchange Online's
    // dated ones ("V2018_01_08").  Clients step down through names no schema
    // lists ("Exchange2015_SP1", "Exchange2019") until one is served, which
    // works only because a server answers them as unserved versions.
    static const std::regex shape(R"((Exchange20\d\d(_SP\d)?)|(V20\d\d_\d\d_\d\d))");
    return std::regex_match(version, shape);
}

std::string xml_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string success_envelope(int major_version, const std::string &body_element) {
    const ServerVersion v = server_version(major_version);
    return std::string(R"(<?xml version="1.0" encoding="utf-8"?>)") +
           R"(<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">)" +
           "<s:Header>" +
           R"(<h:ServerVersionInfo MajorVersion=")" + std::to_string(v.major) +
           R"(" MinorVersion=")" + std::to_string(v.minor) +
           R"(" MajorBuildNumber=")" + std::to_string(v.major_build) +
           R"(" MinorBuildNumber=")" + std::to_string(v.minor_build) +
           R"(" Version=")" + v.version + R"(")" +
           R"( xmlns:h="http://schemas.microsoft.com/exchange/services/2006/types")"
           R"( xmlns="http://schemas.microsoft.com/exchange/services/2006/types")"
           R"( xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance")"
           R"( xmlns:xsd="http://www.w3.org/2001/XMLSchema"/>)" +
           "</s:Header>" +
           R"(<s:Body xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance")"
           R"( xmlns:xsd="http://www.w3.org/2001/XMLSchema">)" +
           body_element + "</s:Body></s:Envelope>";
}

std::string fault_envelope(const std::string &fault_element) {
    // A fault element made to stand alone declares s: itself; inside the
    // envelope that declaration is redundant, and Exchange does not send it.
    static const std::string standalone =
        R"(<s:Fault xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">)";
    std::string fault = fault_element;
    if (fault.compare(0, standalone.size(), standalone) == 0)
        fault = "<s:Fault>" + fault.substr(standalone.size());
    return std::string(R"(<?xml version="1.0" encoding="utf-8"?>)") +
           R"(<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"><s:Body>)" +
           fault + "</s:Body></s:Envelope>";
}

std::string exchange_fault(const std::string &response_code, const std::string &faultstring,
                           const std::string &message, const std::string &message_xml) {
    std::string fault =
        R"(<s:Fault xmlns:s="http://schemas.xmlsoap.org/soap/envelope/">)"
        R"(<faultcode xmlns:a="http://schemas.microsoft.com/exchange/services/2006/types">a:)" +
        response_code + "</faultcode>" +
        R"(<faultstring xml:lang="en-US">)" + xml_escape(faultstring) + "</faultstring>" +
        "<detail>" +
        R"(<e:ResponseCode xmlns:e="http://schemas.microsoft.com/exchange/services/2006/errors">)" +
        response_code + "</e:ResponseCode>" +
        R"(<e:Message xmlns:e="http://schemas.microsoft.com/exchange/services/2006/errors">)" +
        xml_escape(message) + "</e:Message>";
    if (!message_xml.empty())
        fault += R"(<t:MessageXml xmlns:t="http://schemas.microsoft.com/exchange/services/2006/types">)" +
                 message_xml + "</t:MessageXml>";
    return fault + "</detail></s:Fault>";
}

std::string schema_validation_fault(const std::string &violation, int line, int column) {
    return exchange_fault("ErrorSchemaValidation",
                          "The request failed schema validation: " + violation,
                          "The request failed schema validation.",
                          "<t:LineNumber>" + std::to_string(line) + "</t:LineNumber>" +
                              "<t:LinePosition>" + std::to_string(column) + "</t:LinePosition>" +
                              "<t:Violation>" + xml_escape(violation) + "</t:Violation>");
}

std::string server_busy_fault(long back_off_ms) {
    return exchange_fault("ErrorServerBusy", kServerBusyText, kServerBusyText,
                          R"(<t:Value Name="BackOffMilliseconds">)" +
                              std::to_string(back_off_ms) + "</t:Value>");
}

std::string invalid_server_version_fault() {
    return exchange_fault("ErrorInvalidServerVersion", "The specified server version is invalid.",
                          "The specified server version is invalid.");
}

std::string impersonation_denied_fault() {
    const char *text = "The account does not have permission to impersonate the requested user.";
    return exchange_fault("ErrorImpersonateUserDenied", text, text);
}

} // namespace sandbox
