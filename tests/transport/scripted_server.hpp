// A plain-HTTP server on 127.0.0.1 that plays a script of answers, one per
// connection, and records every request it read.  Unlike a real server it
// can misbehave on purpose: drop the connection, reset it in the middle of
// an answer, send the answer in separate pieces, or send raw bytes and
// then hold the connection open until the client gives up.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace conntest {

struct ScriptedReply {
    enum class Kind { Respond, Close, Reset, Hold } kind = Kind::Respond;
    int status = 200;
    std::string body;
    std::vector<std::string> headers; // extra "Name: value" lines
    std::vector<std::size_t> pieces;  // body split points, sent with pauses
    std::function<void(int fd)> send; // Hold: writes to the socket itself
};

inline ScriptedReply Respond(int status, std::string body, std::vector<std::string> headers = {})
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.headers = std::move(headers);
    return reply;
}
inline ScriptedReply Misbehave(ScriptedReply::Kind kind)
{
    ScriptedReply reply;
    reply.kind = kind;
    return reply;
}
inline ScriptedReply Drop() { return Misbehave(ScriptedReply::Kind::Close); }
inline ScriptedReply ResetMidAnswer() { return Misbehave(ScriptedReply::Kind::Reset); }
// Sends what `send` writes, then keeps the connection until the client
// closes it (at most 20 s).
inline ScriptedReply Hold(std::function<void(int fd)> send)
{
    ScriptedReply reply = Misbehave(ScriptedReply::Kind::Hold);
    reply.send = std::move(send);
    return reply;
}

struct RecordedRequest {
    std::string head; // request line and headers
    std::string body;
};

// A listening socket on a free loopback port; throws when none can be had.
inline int ListenOnLoopback(int backlog, int *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on loopback");
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Accepts connections on `listen_fd` until `stop`, handing each to `serve`.
inline void AcceptUntil(int listen_fd, const std::atomic<bool> &stop,
                        const std::function<void(int fd)> &serve)
{
    while (!stop) {
        pollfd p{listen_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        if (const int fd = ::accept(listen_fd, nullptr, nullptr); fd >= 0)
            serve(fd);
    }
}

class ScriptedServer {
  public:
    // Answers taken when the script is empty; the default is 200, empty.
    using Fallback = std::function<ScriptedReply(const RecordedRequest &)>;

    ScriptedServer()
    {
        listen_fd_ = ListenOnLoopback(16, &port_);
        thread_ = std::thread(
            [this] { AcceptUntil(listen_fd_, stop_, [this](int fd) { Serve(fd); }); });
    }
    ~ScriptedServer()
    {
        stop_ = true;
        thread_.join();
        ::close(listen_fd_);
    }
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    void Push(ScriptedReply reply)
    {
        std::lock_guard lock(mutex_);
        script_.push_back(std::move(reply));
    }
    // Forgets the replies not yet played.
    void ClearScript()
    {
        std::lock_guard lock(mutex_);
        script_.clear();
    }
    void SetFallback(Fallback fallback)
    {
        std::lock_guard lock(mutex_);
        fallback_ = std::move(fallback);
    }
    std::vector<RecordedRequest> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::string url(const std::string &path = "/EWS/Exchange.asmx") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    static bool ReadRequest(int fd, RecordedRequest &request)
    {
        std::string data;
        char buffer[8192];
        std::size_t head_end;
        while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            data.append(buffer, static_cast<std::size_t>(got));
        }
        request.head = data.substr(0, head_end + 2);
        std::size_t length = 0;
        for (const char *name : {"Content-Length:", "content-length:"}) {
            const std::size_t at = request.head.find(name);
            if (at != std::string::npos)
                length = std::strtoul(request.head.c_str() + at + 15, nullptr, 10);
        }
        request.body = data.substr(head_end + 4);
        while (request.body.size() < length) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            request.body.append(buffer, static_cast<std::size_t>(got));
        }
        return true;
    }

    static void SendAll(int fd, const std::string &text)
    {
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }

    void HoldUntilClientCloses(int fd)
    {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buffer[4096];
        while (!stop_ && std::chrono::steady_clock::now() < give_up) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
                return;
        }
    }

    void Serve(int fd)
    {
        RecordedRequest request;
        if (!ReadRequest(fd, request)) {
            ::close(fd);
            return;
        }
        ScriptedReply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            if (!script_.empty()) {
                reply = std::move(script_.front());
                script_.pop_front();
            } else if (fallback_) {
                reply = fallback_(request);
            }
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (reply.kind == ScriptedReply::Kind::Hold) {
            reply.send(fd);
            HoldUntilClientCloses(fd);
        } else if (reply.kind == ScriptedReply::Kind::Reset) {
            SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<partial>");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else if (reply.kind == ScriptedReply::Kind::Respond) {
            std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";
            head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
            head += "Connection: close\r\n";
            for (const std::string &line : reply.headers)
                head += line + "\r\n";
            SendAll(fd, head + "\r\n");
            std::size_t from = 0;
            for (const std::size_t split : reply.pieces) {
                SendAll(fd, reply.body.substr(from, split - from));
                from = split;
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
            }
            SendAll(fd, reply.body.substr(from));
        }
        ::close(fd);
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::deque<ScriptedReply> script_;
    Fallback fallback_;
    std::vector<RecordedRequest> requests_;
    std::thread thread_;
};

// A session of user@example.com:pw whose transport posts to a scripted
// server, with a scratch working folder and the host log captured.
class ScriptedSessionTest : public SessionTest {
  protected:
    void SetUp() override { OpenTransport(session, server.url(), dir.dir()); }

    ScratchDir dir;
    LogCapture log{dir};
    ScriptedServer server;
    std::string answer = dir.file("response.xml");
};

} // namespace conntest
