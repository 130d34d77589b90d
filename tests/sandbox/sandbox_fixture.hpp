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
// process, reads its "listening" line and stops it with SIGTERM at the end,
// expecting exit status 0.  Clients are plain libcurl handles that trust the
// CA file the server printed (verification is never switched off) and keep
// cookies across requests like the connector does.
//
// Needs: GoogleTest, libcurl, and QV_SANDBOX_PATH (the
// ews-sandbox executable) defined by the build; nothing of the sandbox's own
// code.  Other test folders include it as "../sandbox/sandbox_fixture.hpp".
#pragma once

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef QV_SANDBOX_PATH
#error "QV_SANDBOX_PATH must name the ews-sandbox executable"
#endif

extern char **environ;

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
        : base_(std::move(base_url)), ca_(std::move(ca_file)), curl_(curl_easy_init()) {
        curl_easy_setopt(curl_, CURLOPT_COOKIEFILE, ""); // cookie engine on, as the connector
    }
    ~Client() {
        if (curl_)
            curl_easy_cleanup(curl_);
    }
    Client(Client &&other) noexcept
        : base_(std::move(other.base_)), ca_(std::move(other.ca_)), curl_(other.curl_),
          user_(std::move(other.user_)), password_(std::move(other.password_)),
          auth_(std::move(other.auth_)) {
        other.curl_ = nullptr;
    }
    Client(const Client &) = delete;

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
        curl_easy_setopt(curl_, CURLOPT_URL, (base_ + path).c_str());
        curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_.c_str());
        if (method == "GET") {
            curl_easy_setopt(curl_, CURLOPT_HTTPGET, 1L);
        } else {
            curl_easy_setopt(curl_, CURLOPT_POST, 1L);
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        }
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST,
                         method == "GET" || method == "POST" ? nullptr : method.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, user_.empty() ? CURLAUTH_NONE : CURLAUTH_BASIC);
        curl_easy_setopt(curl_, CURLOPT_USERNAME, user_.empty() ? nullptr : user_.c_str());
        curl_easy_setopt(curl_, CURLOPT_PASSWORD, user_.empty() ? nullptr : password_.c_str());
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, timeout_seconds);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Client::on_body);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &result);
        curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, &Client::on_header);
        curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &result);
        headers.push_back("Expect:");
        if (!auth_.empty())
            headers.push_back(auth_);
        curl_slist *list = nullptr;
        for (const auto &h : headers)
            list = curl_slist_append(list, h.c_str());
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, list);
        const auto start = std::chrono::steady_clock::now();
        result.curl = curl_easy_perform(curl_);
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &result.status);
        curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &result.connects);
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, nullptr);
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
    CURL *curl_;
    std::string user_, password_, auth_;
};

// ---------------------------------------------------------------------------
// Running the executable

// Runs `ews-sandbox ARGS...` to completion; its exit status (or -1).  The
// combined output lands in *output when given.
inline int run_sandbox_cli(const std::vector<std::string> &args, std::string *output = nullptr) {
    std::string command = std::string("'") + QV_SANDBOX_PATH + "'";
    for (const auto &a : args)
        command += " '" + a + "'";
    command += " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        text.append(buf, n);
    const int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One `ews-sandbox serve` child process.
class SandboxServer {
  public:
    // Starts `ews-sandbox serve --data DIR --port 0 EXTRA...` and waits for
    // its listening line.  Its standard error goes to DIR/server.log.
    SandboxServer(const fs::path &data_dir, const std::vector<std::string> &extra_args)
        : log_path_(data_dir / "server.log") {
        std::vector<std::string> args = {QV_SANDBOX_PATH, "serve", "--data", data_dir.string(),
                                         "--port", "0"};
        args.insert(args.end(), extra_args.begin(), extra_args.end());
        // The switch qvmigrate's SandboxServer honours as well, so that the
        // connector's tests can run against a differently behaving server.
        if (const char *more = std::getenv("QV_SANDBOX_SERVE_ARGS")) {
            std::istringstream words(more);
            for (std::string word; words >> word;)
                args.push_back(word);
        }
        int out[2];
        if (pipe(out) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start " + args[0]);
        }
        stdout_fd_ = out[0];
        read_listening_line();
    }

    ~SandboxServer() {
        if (pid_ > 0)
            stop();
        if (stdout_fd_ >= 0)
            close(stdout_fd_);
    }
    SandboxServer(const SandboxServer &) = delete;
    SandboxServer &operator=(const SandboxServer &) = delete;

    // Sends `sig` (SIGTERM by default) and waits; the exit status, or
    // 128 + signal when the process was killed, or -1 when it would not end.
    int stop(int sig = SIGTERM) {
        if (pid_ <= 0)
            return exit_status_;
        kill(pid_, sig);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return exit_status_ = -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exit_status_;
    }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    const std::string &listening_line() const { return line_; }
    int port() const { return port_; }
    const std::string &ca_file() const { return ca_; }
    std::string base_url() const { return "https://127.0.0.1:" + std::to_string(port_); }
    std::string ews_url() const { return base_url() + "/EWS/Exchange.asmx"; }
    Client client() const { return Client(base_url(), ca_); }
    // What the server wrote on standard error so far.
    std::string log() const {
        std::ifstream in(log_path_);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    void read_listening_line() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        char c;
        while (line_.empty() || line_.back() != '\n') {
            pollfd p{stdout_fd_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 100) < 0)
                throw std::runtime_error("ews-sandbox did not start: " + log());
            if (p.revents == 0)
                continue;
            if (read(stdout_fd_, &c, 1) != 1)
                throw std::runtime_error("ews-sandbox ended before listening: " + log());
            line_ += c;
        }
        line_.pop_back();
        const std::string prefix = "listening https://127.0.0.1:";
        const auto ca_at = line_.find(" ca=");
        if (line_.compare(0, prefix.size(), prefix) != 0 || ca_at == std::string::npos)
            throw std::runtime_error("unexpected first line: " + line_);
        port_ = std::stoi(line_.substr(prefix.size()));
        ca_ = line_.substr(ca_at + 4);
    }

    fs::path log_path_;
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    int exit_status_ = -1;
    std::string line_, ca_;
    int port_ = 0;
};

// ---------------------------------------------------------------------------
// The fixture

class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        data_dir = fs::temp_directory_path() /
                   ("ews-sandbox-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        fs::create_directories(data_dir);
    }

    void TearDown() override {
        if (server) {
            const std::string log = server->log();
            EXPECT_EQ(server->stop(), 0) << "server log:\n" << log;
            server.reset();
        }
        std::error_code ignored;
        if (!HasFailure())
            fs::remove_all(data_dir, ignored);
        else
            std::cerr << "kept " << data_dir << " for inspection\n";
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

    // Starts the server (once per test) with extra serve options.
    SandboxServer &start(const std::vector<std::string> &extra_args = {}) {
        server = std::make_unique<SandboxServer>(data_dir, extra_args);
        return *server;
    }

    fs::path data_dir;
    std::unique_ptr<SandboxServer> server;
};

} // namespace sandbox_test
