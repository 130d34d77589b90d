// Helpers shared by the plug-in tests: the shared fixtures under their
// names here, a fresh session, a clock that does not wait, and
// the EWS schema check (libxml2 against soap-envelope.xsd).
#pragma once

#include <gtest/gtest.h>
#include <libxml/xmlschemas.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"
#include "transport/clock.hpp"
#include "transport/http_post.hpp"
#include "transport/response_writer.hpp"

namespace conntest {

namespace fs = std::filesystem;

// The shared fixtures under the names these tests use.
inline constexpr auto &ReadFile = qvtest::read_file;
inline constexpr auto &WriteFile = qvtest::write_file;
inline constexpr auto &CountOf = qvtest::count_of;
// A fresh folder removed afterwards; dir() is the folder with a separator,
// as the connector wants a working directory.
class ScratchDir : public qvtest::TempDir {
  public:
    std::string dir() const { return prefix(); }
};
using LogCapture = qvtest::LogCapture;

// An answer as stored under tests/data (one tag or value per line) in the
// one-line form a server sends; the transport reformats it back the same.
inline std::string ServerForm(const std::string &path)
{
    std::string raw;
    for (const char c : ReadFile(path))
        if (c != '\r' && c != '\n')
            raw += c;
    return raw;
}

// An answer in the form the transport stores it (one tag or text a line).
inline std::string StoredForm(const std::string &answer)
{
    std::string out;
    qvamz::TagLineFormatter().Feed(answer, out);
    return out;
}

using ScopedEnv = qvtest::ScopedEnv;

// A SOAP answer of `operation` as a server sends it, around `messages`
// (its response messages), with an optional SOAP header.
inline std::string Envelope(const std::string &operation, const std::string &messages,
                            const std::string &header = "")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">" +
           header + "<s:Body><m:" + operation +
           "Response xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
           "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
           "<m:ResponseMessages>" +
           messages + "</m:ResponseMessages></m:" + operation + "Response></s:Body></s:Envelope>";
}

// One response message: its class, a message text when one is given, its
// code, then `inside`.
inline std::string ResponseMessage(const std::string &operation, const std::string &response_class,
                                   const std::string &code, const std::string &inside,
                                   const std::string &text = "")
{
    return "<m:" + operation + "ResponseMessage ResponseClass=\"" + response_class + "\">" +
           (text.empty() ? "" : "<m:MessageText>" + text + "</m:MessageText>") +
           "<m:ResponseCode>" + code + "</m:ResponseCode>" + inside + "</m:" + operation +
           "ResponseMessage>";
}

inline std::string Success(const std::string &operation, const std::string &inside)
{
    return Envelope(operation, ResponseMessage(operation, "Success", "NoError", inside));
}

// Time that moves only when the test says so, and sleeps that are recorded
// instead of waited.
struct FakeClock {
    std::int64_t now = 1700000000;
    std::int64_t step = 0; // added after every reading
    std::vector<int> sleeps;
    qvamz::clock::ScopedOverride override_{[this] {
                                               const std::int64_t t = now;
                                               now += step;
                                               return t;
                                           },
                                           [this](int ms) { sleeps.push_back(ms); }};
};

// Logon of a first call with the given credentials against `url`.
inline int LogonAs(qvamz::Session &session, const std::string &user, const std::string &password,
                   const std::string &url, int is_source)
{
    return qvamz::LogonSession(session, {.user = user.c_str(), .password = password.c_str(),
                                         .server = url.c_str(), .first_logon = 1,
                                         .is_source = is_source});
}

// Opens the session's transport to `url` as user@example.com:pw, with
// `work_dir` as its working folder.
inline void OpenTransport(qvamz::Session &session, const std::string &url,
                          const std::string &work_dir)
{
    session.state.work_dir = work_dir;
    session.state.ews_url = url;
    session.state.mailbox = "user@example.com";
    session.state.password = "pw";
    ASSERT_TRUE(qvamz::OpenSessionTransport(session.state.transport));
    qvamz::AppendStandardHeaders(session.state.transport.headers, true);
    qvamz::SetupSessionHandle(session);
}

// Every test gets a fresh session: the load-time state.
class SessionTest : public ::testing::Test {
  protected:
    qvamz::Session session;
};

namespace detail {
inline void CollectSchemaError(void *findings, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    static_cast<std::string *>(findings)->append(text);
}
} // namespace detail

// True when the file is a SOAP envelope the EWS schema accepts (as the
// server checks requests); libxml2's findings land in *findings.
inline bool ValidatesAgainstSchema(const std::string &path, std::string *findings = nullptr)
{
    // soap-envelope.xsd pulls in the EWS messages and types: parse it once.
    static xmlSchemaPtr schema = [] {
        const std::string xsd = std::string(QV_SCHEMA_DIR) + "/soap-envelope.xsd";
        xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(xsd.c_str());
        xmlSchemaPtr parsed = parser ? xmlSchemaParse(parser) : nullptr;
        xmlSchemaFreeParserCtxt(parser);
        return parsed;
    }();
    std::string errors;
    if (!schema) {
        errors = "the schema in " QV_SCHEMA_DIR " cannot be read";
    } else {
        xmlSchemaValidCtxtPtr check = xmlSchemaNewValidCtxt(schema);
        xmlSchemaSetValidErrors(check, detail::CollectSchemaError, detail::CollectSchemaError,
                                &errors);
        if (xmlSchemaValidateFile(check, path.c_str(), 0) != 0 && errors.empty())
            errors = "not valid";
        xmlSchemaFreeValidCtxt(check);
    }
    if (findings)
        *findings = errors;
    return errors.empty();
}

// The same check on a request body held in memory.
inline bool TextValidatesAgainstSchema(const std::string &xml, std::string *findings = nullptr)
{
    const fs::path path =
        fs::temp_directory_path() / ("qv-schema-check-" + std::to_string(::getpid()) + ".xml");
    WriteFile(path.string(), xml);
    const bool valid = ValidatesAgainstSchema(path.string(), findings);
    fs::remove(path);
    return valid;
}

} // namespace conntest
