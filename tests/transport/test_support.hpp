// Helpers shared by the plug-in tests: a scratch folder,
// the host log read back, a fresh session, a clock that does not wait, and
// the EWS schema check (libxml2 against soap-envelope.xsd).
#pragma once

#include <gtest/gtest.h>
#include <libxml/xmlschemas.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/http_post.hpp"

namespace conntest {

namespace fs = std::filesystem;

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

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

inline std::size_t CountOf(const std::string &text, const std::string &needle)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

// A fresh folder under the temp directory, removed afterwards.
class ScratchDir {
  public:
    ScratchDir()
    {
        std::random_device random;
        path_ = fs::temp_directory_path() /
                ("qvamz-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    std::string file(const std::string &name) const { return (path_ / name).string(); }
    // The folder as the connector wants a working directory: with a separator.
    std::string dir() const { return path_.string() + "/"; }

  private:
    fs::path path_;
};

// The host log, pointed at a file for the lifetime of the object.
class LogCapture {
  public:
    explicit LogCapture(const ScratchDir &dir) : path_(dir.file("host.log"))
    {
        qvcom_set_log_file(path_.c_str());
    }
    ~LogCapture() { qvcom_set_log_file(nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const { return ReadFile(path_); }
    std::size_t count(const std::string &needle) const { return CountOf(text(), needle); }
    bool has(const std::string &needle) const { return count(needle) > 0; }

  private:
    std::string path_;
};

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
    qvamz::LogonArguments args;
    args.user = user.c_str();
    args.password = password.c_str();
    args.server = url.c_str();
    args.first_logon = 1;
    args.is_source = is_source;
    return qvamz::LogonSession(session, args);
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

} // namespace conntest
