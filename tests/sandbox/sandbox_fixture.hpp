// Test fixture for everything that talks to a running ews-sandbox.
//
//   class MyTest : public sandbox_test::SandboxTest {};
//   TEST_F(MyTest, Works) {
//       add_user("alice@example.com", "pw");
//       auto &server = start();                      // ews-sandbox serve --port 0
//       auto client = server.client().basic("alice@example.com", "pw");
//       auto answer = client.ews(soap_request("<m:GetFolder>...</m:GetFolder>"));
//       EXPECT_EQ(answer.status, 200);
//   }                                                // SIGTERM, exit status 0 checked
//
// SandboxTest gives each test a fresh data folder, runs the ews-sandbox
// command line (user add, role add, seed), starts the server as a child
// process (qvmigrate's SandboxServer) and stops it with SIGTERM at the end,
// expecting exit status 0.  Clients are plain libcurl handles that trust the
// CA file the server printed (verification is never switched off) and keep
// cookies across requests like the connector does.
//
// Needs: GoogleTest, libcurl, qv_test_support, qvmigrate_core and
// QV_SANDBOX_PATH (the ews-sandbox executable) defined by the build; nothing
// of the sandbox's own code.  Other test folders include it as "../sandbox/sandbox_fixture.hpp".
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "qv_test_support.hpp"
#include "sandbox_process.hpp"

#ifndef QV_SANDBOX_PATH
#error "QV_SANDBOX_PATH must name the ews-sandbox executable"
#endif

namespace sandbox_test {

namespace fs = std::filesystem;

inline constexpr const char *kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char *kTypesNs = "http://schemas.microsoft.com/exchange/services/2006/types";
inline constexpr const char *kMessagesNs =
    "http://schemas.microsoft.com/exchange/services/2006/messages";

// ---------------------------------------------------------------------------
// Requests

// A SOAP 1.1 request envelope with prefixes soap:, t: (types) and m:
// (messages) declared on the envelope.  `header` goes inside soap:Header
// (the header is left out when empty), `operation` inside soap:Body.
inline std::string soap_request(const std::string &operation, const std::string &header = "") {
    std::string xml = std::string(R"(<?xml version="1.0" encoding="utf-8"?>)") + "\n" +
                      "<soap:Envelope xmlns:soap=\"" + kSoapNs + "\" xmlns:t=\"" + kTypesNs +
                      "\" xmlns:m=\"" + kMessagesNs + "\">\n";
    if (!header.empty())
        xml += "<soap:Header>" + header + "</soap:Header>\n";
    return xml + "<soap:Body>\n" + operation + "\n</soap:Body>\n</soap:Envelope>\n";
}

inline std::string version_header(const std::string &version) {
    return "<t:RequestServerVersion Version=\"" + version + "\"/>";
}

inline std::string impersonation_header(const std::string &mailbox) {
    return "<t:ExchangeImpersonation><t:ConnectingSID><t:PrimarySmtpAddress>" + mailbox +
           "</t:PrimarySmtpAddress></t:ConnectingSID></t:ExchangeImpersonation>";
}

// GetFolder for a distinguished folder; with `mailbox`, the folder of that
// mailbox (how a delegate administrator names another mailbox).
inline std::string get_folder(const std::string &folder = "root", const std::string &mailbox = "") {
    const std::string owner =
        mailbox.empty() ? "" : "<t:Mailbox><t:EmailAddress>" + mailbox + "</t:EmailAddress></t:Mailbox>";
    return "<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
           "<m:FolderIds><t:DistinguishedFolderId Id=\"" + folder + "\">" + owner +
           "</t:DistinguishedFolderId></m:FolderIds></m:GetFolder>";
}

// ---------------------------------------------------------------------------
// Answers

struct HttpResult {
    CURLcode curl = CURLE_OK;  // transport outcome
    long status = 0;           // 0 when no answer came
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case
    double seconds = 0;
    long connects = 0;         // new connections this request needed (0: one kept alive)

    // The first value of a header (name in any case), "" when absent.
    std::string header(std::string name) const {
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        for (const auto &[k, v] : headers)
            if (k == name)
                return v;
        return "";
    }
    bool contains(const std::string &text) const { return body.find(text) != std::string::npos; }
    // The ResponseCode of an EWS fault (faultcode without "a:") or "".
    std::string fault_code() const {
        const auto start = body.find(":Error", body.find("<faultcode"));
        if (body.find("<faultcode") == std::string::npos || start == std::string::npos)
            return "";
        return body.substr(start + 1, body.find('<', start) - start - 1);
    }
};

// ---------------------------------------------------------------------------
// A libcurl client

class Client {
  public:
    Client(std::string base_url, std::string ca_file)
        : base_(std::move(base_url)), ca_(std::move(ca_file)),
          handle_(curl_easy_init(), curl_easy_cleanup) {
        curl_easy_setopt(handle_.get(), CURLOPT_COOKIEFILE, ""); // cookie engine on, as the connector
    }

    // Credentials for the following requests (replacing earlier ones).
    Client &basic(const std::string &user, const std::string &password) & {
        user_ = user;
        password_ = password;
        auth_.clear();
        return *this;
    }
    Client &bearer(const std::string &token) & {
        user_.clear();
        auth_ = "Authorization: Bearer " + token;
        return *this;
    }
    // No credentials: only the cookies collected so far go out.
    Client &no_credentials() & {
        user_.clear();
        auth_.clear();
        return *this;
    }
    // The same on a temporary, for `auto c = server.client().basic(u, p);`.
    Client &&basic(const std::string &user, const std::string &password) && {
        return std::move(basic(user, password));
    }

    HttpResult ews(const std::string &envelope) {
        return request("POST", "/EWS/Exchange.asmx", envelope, {"Content-Type: text/xml; charset=utf-8"});
    }

    HttpResult request(const std::string &method, const std::string &path, const std::string &body,
                       std::vector<std::string> headers = {}, long timeout_seconds = 60) {
        HttpResult result;
        CURL *const curl = handle_.get();
        curl_easy_setopt(curl, CURLOPT_URL, (base_ + path).c_str());
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_.c_str());
        if (method == "GET") {
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        }
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST,
                         method == "GET" || method == "POST" ? nullptr : method.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, user_.empty() ? CURLAUTH_NONE : CURLAUTH_BASIC);
        curl_easy_setopt(curl, CURLOPT_USERNAME, user_.empty() ? nullptr : user_.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, user_.empty() ? nullptr : password_.c_str());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout_seconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Client::on_body);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &Client::on_header);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result);
        headers.push_back("Expect:");
        if (!auth_.empty())
            headers.push_back(auth_);
        curl_slist *list = nullptr;
        for (const auto &h : headers)
            list = curl_slist_append(list, h.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
        const auto start = std::chrono::steady_clock::now();
        result.curl = curl_easy_perform(curl);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
        curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &result.connects);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(list);
        return result;
    }

    const std::string &base_url() const { return base_; }

  private:
    static std::size_t on_body(char *data, std::size_t size, std::size_t n, void *user) {
        static_cast<HttpResult *>(user)->body.append(data, size * n);
        return size * n;
    }
    static std::size_t on_header(char *data, std::size_t size, std::size_t n, void *user) {
        std::string line(data, size * n);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon), value = line.substr(colon + 1);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            value.erase(0, value.find_first_not_of(' '));
            while (!value.empty() && (value.back() == '\r' || value.back() == '\n'))
                value.pop_back();
            static_cast<HttpResult *>(user)->headers.emplace_back(name, value);
        }
        return size * n;
    }

    std::string base_, ca_;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle_;
    std::string user_, password_, auth_;
};

// ---------------------------------------------------------------------------
// Running the executable (through qvmigrate's runner, which the demo uses too)

// Runs `ews-sandbox ARGS...` to completion; its exit status (or -1).  The
// combined output lands in *output when given.
inline int run_sandbox_cli(std::vector<std::string> args, std::string *output = nullptr) {
    args.insert(args.begin(), QV_SANDBOX_PATH);
    const qvmigrate::CommandResult result = qvmigrate::run_command(args, std::chrono::seconds(300));
    if (output)
        *output = result.output;
    return result.status;
}

// One `ews-sandbox serve --data DIR --port 0 EXTRA...` child process; its
// output goes to DIR/server.log.
class SandboxServer : public qvmigrate::SandboxServer {
  public:
    SandboxServer(const fs::path &data_dir, const std::vector<std::string> &extra_args)
        : qvmigrate::SandboxServer(QV_SANDBOX_PATH, data_dir, data_dir / "server.log",
                                   std::chrono::seconds(60), extra_args),
          log_path_(data_dir / "server.log") {}

    int port() const { return std::stoi(where().url.substr(where().url.rfind(':') + 1)); }
    const std::string &ca_file() const { return where().ca_file; }
    std::string base_url() const { return "https://127.0.0.1:" + std::to_string(port()); }
    const std::string &ews_url() const { return where().url; }
    Client client() const { return Client(base_url(), ca_file()); }
    // What the server wrote so far.
    std::string log() const { return qvtest::read_file(log_path_); }

  private:
    fs::path log_path_;
};

// ---------------------------------------------------------------------------
// The fixture

class SandboxTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (server) {
            const std::string log = server->log();
            EXPECT_EQ(server->stop(), 0) << "server log:\n" << log;
            server.reset();
        }
    }

    // `ews-sandbox ARGS... --data DATA_DIR`, expecting exit status 0.
    void cli(std::vector<std::string> args) {
        args.push_back("--data");
        args.push_back(data_dir.string());
        std::string output;
        ASSERT_EQ(run_sandbox_cli(args, &output), 0) << output;
    }
    void add_user(const std::string &mailbox, const std::string &password, bool delegate_admin = false) {
        std::vector<std::string> args = {"user", "add", "--mailbox", mailbox, "--password", password};
        if (delegate_admin)
            args.push_back("--delegate-admin");
        cli(args);
    }
    void add_role(const std::string &org, const std::string &role, const std::string &key,
                  const std::string &secret, const std::string &mailboxes) {
        cli({"role", "add", "--org", org, "--role", role, "--access-key", key, "--secret", secret,
             "--mailboxes", mailboxes});
    }

    // Starts the server with extra serve options, after stopping the one
    // started before (their log file is the same).
    SandboxServer &start(const std::vector<std::string> &extra_args = {}) {
        server.reset();
        server = std::make_unique<SandboxServer>(data_dir, extra_args);
        return *server;
    }

    qvtest::TempDir temp;
    fs::path data_dir = temp.path();
    std::unique_ptr<SandboxServer> server;
};

} // namespace sandbox_test
