#include "server.hpp"

#include <cjson/cJSON.h>
#include <httplib.h>
#include <malloc.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "accounts.hpp"
#include "ews_endpoint.hpp"
#include "fault_answers.hpp"
#include "fault_injection.hpp"
#include "mail_store.hpp"
#include "private_files.hpp"
#include "tls_files.hpp"
#include "workmail_api.hpp"

namespace sandbox {
namespace {

constexpr const char *kEwsPath = "/ews/exchange.asmx"; // IIS matches paths without case
constexpr const char *kFaultsPath = "/sandbox/faults";
constexpr const char *kApiOperation = "AssumeImpersonationRole";
constexpr int kReadTimeoutSeconds = 30;
// Idle connections are kept this long.  A stopping server waits for them,
// so it stays short; clients reconnect transparently.
constexpr int kKeepAliveSeconds = 2;
// A connection serves this many requests before it is closed: a reading
// client keeps one connection for a whole mailbox, as against a real server.
constexpr std::size_t kKeepAliveMaxRequests = 1000000;
// Blocks up to this size come from the heap rather than from mappings of
// their own (see serve()).
constexpr int kKeptAllocationBytes = 64 << 20;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

void log_line(const std::string &text) {
    static std::mutex mutex;
    // One write per line: std::cerr flushes after every insertion.
    const std::string line = "ews-sandbox: " + text + "\n";
    std::lock_guard lock(mutex);
    std::cerr << line;
}

bool from_loopback(const httplib::Request &req) {
    return req.remote_addr == "127.0.0.1" || req.remote_addr == "::1";
}

// The body is moved, not copied (set_content would copy it): answers
// carrying MIME content are tens of kilobytes.
void send(httplib::Response &res, HttpAnswer &&answer) {
    res.status = answer.status;
    for (const auto &[name, value] : answer.headers)
        res.set_header(name, value);
    res.body = std::move(answer.body);
    res.headers.erase("Content-Type");
    res.set_header("Content-Type", answer.content_type);
}

// Closes the connection under the request without an answer.  The write of
// the (unused) response that follows fails quietly; SIGPIPE is ignored.
void drop_connection(const httplib::Request &req) {
    const int fd = req.ssl ? SSL_get_fd(req.ssl) : -1;
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

std::string json_error(const std::string &message) {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> json(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(json.get(), "error", message.c_str());
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(json.get()), cJSON_free);
    return text ? text.get() : "{}";
}

std::string status_text(int status) {
    switch (status) {
    case 401: return "401 Unauthorized";
    case 413: return "413 Request Entity Too Large";
    case 500: return "500 Internal Server Error";
    case 503: return "503 Service Unavailable";
    case 504: return "504 Gateway Timeout";
    case 507: return "507 Insufficient Storage";
    default: return std::to_string(status) + " Error";
    }
}

// Rules as the control endpoint and --faults take them: parsed, and each
// response_error answer known to be valid EWS before it is queued.
std::optional<std::vector<FaultRule>> parse_checked_rules(const std::string &json, std::string *error) {
    auto rules = parse_fault_rules(json, error);
    if (!rules)
        return std::nullopt;
    for (const auto &rule : *rules)
        if (!check_response_error_rule(rule, error))
            return std::nullopt;
    return rules;
}

class Sandbox {
  public:
    Sandbox(const SandboxConfig &config, AccountStore &accounts, MailStore &store,
            const SchemaValidator &schema, FaultInjector &faults)
        : config_(config), accounts_(accounts), faults_(faults),
          ews_{config, accounts, store, schema, system_unix_now} {}

    void route(httplib::Server &server) {
        server.Post(".*", [this](const httplib::Request &req, httplib::Response &res) {
            const std::string path = lower(req.path);
            if (path == kEwsPath)
                ews(req, res);
            else if (path == "/")
                workmail(req, res);
            else if (path == kFaultsPath)
                control(req, res);
            else
                res.status = 404;
        });
        server.Get(kFaultsPath, [this](const httplib::Request &req, httplib::Response &res) {
            control(req, res);
        });
        server.Delete(kFaultsPath, [this](const httplib::Request &req, httplib::Response &res) {
            control(req, res);
        });
    }

  private:
    // True when an injected fault replaced the answer (a delay does not;
    // response errors are answered by the endpoints themselves).
    bool inject(const std::optional<FaultRule> &rule, const std::string &operation,
                const httplib::Request &req, httplib::Response &res) {
        if (!rule)
            return false;
        using Kind = FaultRule::Kind;
        switch (rule->kind) {
        case Kind::ResponseError:
            return false;
        case Kind::Delay:
            std::this_thread::sleep_for(std::chrono::milliseconds(rule->delay_ms));
            return false;
        case Kind::HttpStatus: {
            HttpAnswer answer;
            answer.status = rule->status;
            answer.content_type = "text/plain";
            answer.body = status_text(rule->status) + "\n";
            if (rule->status == 401)
                answer.headers.emplace_back("WWW-Authenticate", R"(Basic realm="127.0.0.1")");
            send(res, std::move(answer));
            break;
        }
        case Kind::SoapFault:
            send(res, soap_answer(config_, 500,
                                  fault_envelope(exchange_fault(rule->response_code,
                                                                rule->faultstring,
                                                                rule->faultstring))));
            break;
        case Kind::ServerBusy:
            send(res, soap_answer(config_, 500, fault_envelope(server_busy_fault(rule->back_off_ms))));
            break;
        case Kind::Empty503:
            res.status = 503;
            res.set_content("", "text/plain");
            break;
        case Kind::DropConnection:
            drop_connection(req);
            res.status = 500;
            break;
        }
        log_line(operation + " -> injected fault " + std::to_string(res.status));
        return true;
    }

    // --latency: each worker waits for its own connection only, so
    // concurrent requests are delayed side by side, as over a long link.
    void simulate_latency() const {
        if (config_.latency_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(config_.latency_ms));
    }

    void ews(const httplib::Request &req, httplib::Response &res) {
        simulate_latency();
        ParsedRequest parsed = parse_request(req.body);
        const std::string operation = parsed.envelope.operation_name;
        const auto rule = faults_.take(operation);
        if (inject(rule, operation, req, res))
            return;
        const bool response_error = rule && rule->kind == FaultRule::Kind::ResponseError;
        HttpAnswer answer = handle_ews(ews_, req.get_header_value("Authorization"),
                                       req.get_header_value("Cookie"), parsed,
                                       response_error ? &*rule : nullptr);
        const int status = answer.status;
        const std::string principal = std::move(answer.principal);
        send(res, std::move(answer));
        log_line((operation.empty() ? std::string("(no operation)") : operation) + " " +
                 std::to_string(status) + " " +
                 (principal.empty() ? "unauthenticated" : principal) +
                 (response_error ? " (injected " + rule->response_code + ")" : ""));
    }

    void workmail(const httplib::Request &req, httplib::Response &res) {
        simulate_latency();
        const auto rule = faults_.take(kApiOperation);
        if (inject(rule, kApiOperation, req, res))
            return;
        sigv4::HttpRequest request{req.method, req.path, {}, {}, req.body};
        for (const auto &[name, value] : req.params)
            request.query.emplace_back(name, value);
        for (const auto &[name, value] : req.headers)
            request.headers.emplace_back(name, value);
        const bool response_error = rule && rule->kind == FaultRule::Kind::ResponseError;
        const ApiAnswer answer = response_error
                                     ? response_error_api(*rule)
                                     : handle_workmail_api(accounts_, config_, request, system_unix_now());
        res.status = answer.status;
        if (!answer.error_type.empty())
            res.set_header("x-amzn-ErrorType", answer.error_type);
        res.set_content(answer.body, answer.content_type);
        log_line(std::string(kApiOperation) + " " + std::to_string(answer.status) +
                 (answer.error_type.empty() ? "" : " " + answer.error_type));
    }

    void control(const httplib::Request &req, httplib::Response &res) {
        if (!from_loopback(req)) {
            res.status = 403;
            return;
        }
        if (req.method == "POST") {
            std::string error;
            const auto rules = parse_checked_rules(req.body, &error);
            if (!rules) {
                res.status = 400;
                res.set_content(json_error(error), "application/json");
                return;
            }
            faults_.add(*rules);
        } else if (req.method == "DELETE") {
            faults_.clear();
        }
        res.set_content(describe_fault_rules(faults_.pending()), "application/json");
    }

    const SandboxConfig &config_;
    AccountStore &accounts_;
    FaultInjector &faults_;
    EwsServices ews_;
};

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits for SIGTERM or SIGINT (blocked in every thread) and stops the server.
class SignalWaiter {
  public:
    SignalWaiter(httplib::Server &server, const sigset_t &signals)
        : thread_([this, &server, signals] {
              const timespec tick{0, 100 * 1000 * 1000};
              while (!done_) {
                  const int sig = sigtimedwait(&signals, nullptr, &tick);
                  if (sig != SIGTERM && sig != SIGINT)
                      continue;
                  // stop() only works once the server runs; it may still be starting.
                  while (!done_ && !server.is_running())
                      std::this_thread::sleep_for(std::chrono::milliseconds(10));
                  if (!done_)
                      server.stop();
                  return;
              }
          }) {}
    ~SignalWaiter() {
        done_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace

int serve(const SandboxConfig &config) {
    std::unique_ptr<AccountStore> accounts;
    std::unique_ptr<MailStore> store;
    FaultInjector faults;
    TlsFiles tls;
    const SchemaValidator *schema = nullptr;
    try {
        ensure_private_dir(config.data_dir);
        tls = ensure_tls_files(config.data_dir);
        accounts = AccountStore::open(config.data_dir);
        std::string error;
        schema = shared_schema(config.schema_dir, &error);
        if (!schema)
            throw std::runtime_error(error);
        if (!config.faults_file.empty()) {
            const auto rules = parse_checked_rules(read_text_file(config.faults_file), &error);
            if (!rules)
                throw std::runtime_error(config.faults_file + ": " + error);
            faults.add(*rules);
        }
        store = MailStore::open(config.data_dir);
        if (!store)
            throw std::runtime_error("cannot open the mail store in " + config.data_dir);
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox: " << e.what() << std::endl;
        return 1;
    }

    // A CreateItem of 50 messages is a body of over a megabyte, parsed into
    // a tree as large, all freed again after the answer.  Left to malloc's
    // defaults each of those blocks is mapped and unmapped per request and
    // every fresh page faults; they stay in the heap for the next request.
    mallopt(M_MMAP_THRESHOLD, kKeptAllocationBytes);
    mallopt(M_TRIM_THRESHOLD, 2 * kKeptAllocationBytes);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr); // the worker threads inherit this

    httplib::SSLServer server(tls.server_cert.c_str(), tls.server_key.c_str());
    if (!server.is_valid()) {
        std::cerr << "ews-sandbox: cannot load the server certificate " << tls.server_cert << std::endl;
        return 1;
    }
    const std::size_t threads = static_cast<std::size_t>(std::max(1, config.worker_threads));
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_payload_max_length(config.max_request_bytes);
    server.set_read_timeout(kReadTimeoutSeconds, 0);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_keep_alive_max_count(kKeepAliveMaxRequests);
    // Answers go out at once instead of waiting for the client's delayed
    // ACK (40 ms a request on Linux).  Accepted sockets inherit the option
    // from the listening socket.
    server.set_tcp_nodelay(true);
    // httplib's default adds SO_REUSEPORT, which would let a second server
    // share a fixed port silently; a taken port must be an error.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    Sandbox sandbox(config, *accounts, *store, *schema, faults);
    sandbox.route(server);

    const int port = config.port == 0 ? server.bind_to_any_port("127.0.0.1")
                                      : (server.bind_to_port("127.0.0.1", config.port) ? config.port : -1);
    if (port <= 0) {
        std::cerr << "ews-sandbox: cannot listen on 127.0.0.1:" << config.port << std::endl;
        return 1;
    }
    SignalWaiter waiter(server, signals);
    std::printf("listening https://127.0.0.1:%d/EWS/Exchange.asmx ca=%s\n", port,
                std::filesystem::absolute(tls.ca_cert).c_str());
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}

} // namespace sandbox
