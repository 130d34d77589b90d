// A plain-HTTP server on 127.0.0.1, a thread per connection, that plays a
// script of answers and records every request it read.  Unlike a real
// server it can misbehave on purpose: drop the connection, reset it in the
// middle of an answer, send the answer in separate pieces, or send raw
// bytes and then hold the connection open until the client gives up.  For
// the read-ahead tests it keeps a connection when the reply says so, counts
// connections and the requests it holds at once, and holds answers back
// until enough requests are in or other answers have gone out, so that
// overlap and out-of-order answers happen by construction, not by timing.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <list>
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
    std::string body{};
    std::vector<std::string> headers{}; // extra "Name: value" lines
    std::vector<std::size_t> pieces{};  // body split points, sent with pauses
    std::function<void(int fd)> send{}; // Hold: writes to the socket itself
    bool keep_alive = false;            // Respond: the connection serves the next request
    int after_answers = 0;              // held until this many other answers went out
};

inline ScriptedReply Respond(int status, std::string body, std::vector<std::string> headers = {})
{
    return {.status = status, .body = std::move(body), .headers = std::move(headers)};
}
inline ScriptedReply Drop() { return {.kind = ScriptedReply::Kind::Close}; }
inline ScriptedReply ResetMidAnswer() { return {.kind = ScriptedReply::Kind::Reset}; }
// Sends what `send` writes, then keeps the connection until the client
// closes it (at most 20 s).
inline ScriptedReply Hold(std::function<void(int fd)> send)
{
    return {.kind = ScriptedReply::Kind::Hold, .send = std::move(send)};
}

struct RecordedRequest {
    std::string head; // request line and headers
    std::string body;
};

class ScriptedServer {
  public:
    // Answers taken when the script is empty; the default is 200, empty.
    using Fallback = std::function<ScriptedReply(const RecordedRequest &)>;

    // Listens on a free loopback port; throws when none can be had.
    ScriptedServer()
    {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listen_fd_ < 0 ||
            ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::listen(listen_fd_, 64) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            if (listen_fd_ >= 0)
                ::close(listen_fd_);
            throw std::runtime_error("cannot listen on loopback");
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { AcceptUntilStopped(); });
    }
    ~ScriptedServer()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread &t : connections_)
            t.join();
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
    // The next `count` requests are answered only once `count` are held
    // at the same time (or after a generous bound, so a broken client
    // fails the test instead of hanging it).
    void HoldFirst(int count)
    {
        std::lock_guard lock(mutex_);
        hold_last_ = static_cast<int>(requests_.size()) + count;
        hold_count_ = count;
    }
    std::vector<RecordedRequest> requests() const
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return accepted_; }
    int most_at_once() const
    {
        std::lock_guard lock(mutex_);
        return most_at_once_;
    }
    std::vector<std::string> answer_order() const // request bodies, in answer order
    {
        std::lock_guard lock(mutex_);
        return answered_;
    }
    std::string url(const std::string &path = "/EWS/Exchange.asmx") const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    static constexpr auto kHoldBound = std::chrono::seconds(10);

    void AcceptUntilStopped()
    {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            if (const int fd = ::accept(listen_fd_, nullptr, nullptr); fd >= 0) {
                ++accepted_;
                connections_.emplace_back([this, fd] { Serve(fd); });
            }
        }
    }

    static std::size_t ContentLength(const std::string &head)
    {
        for (const char *name : {"Content-Length:", "content-length:"})
            if (const std::size_t at = head.find(name); at != std::string::npos)
                return std::strtoul(head.c_str() + at + 15, nullptr, 10);
        return 0;
    }

    // The next request on the connection, `pending` holding what was read
    // past it: false when the peer closed or the server stops.
    bool ReadRequest(int fd, std::string &pending, RecordedRequest &request) const
    {
        char buffer[16384];
        for (;;) {
            if (const std::size_t end = pending.find("\r\n\r\n"); end != std::string::npos) {
                request.head = pending.substr(0, end + 2);
                const std::size_t length = ContentLength(request.head);
                if (pending.size() >= end + 4 + length) {
                    request.body = pending.substr(end + 4, length);
                    pending.erase(0, end + 4 + length);
                    return true;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (stop_)
                return false;
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                return false;
            pending.append(buffer, static_cast<std::size_t>(got));
        }
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

    // Records the request, takes its reply (the script's next, else the
    // fallback's) and waits until the reply may go out.
    ScriptedReply NextReply(const RecordedRequest &request)
    {
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        ScriptedReply reply;
        if (!script_.empty()) {
            reply = std::move(script_.front());
            script_.pop_front();
        } else if (fallback_) {
            reply = fallback_(request);
        }
        most_at_once_ = std::max(most_at_once_, ++at_once_);
        const bool held = static_cast<int>(requests_.size()) <= hold_last_;
        changed_.notify_all();
        changed_.wait_for(lock, kHoldBound, [&] {
            return (!held || at_once_ >= hold_count_ || released_) &&
                   static_cast<int>(answered_.size()) >= reply.after_answers;
        });
        released_ = released_ || held;
        --at_once_;
        answered_.push_back(request.body);
        changed_.notify_all();
        return reply;
    }

    // Plays the reply; true when the connection stays for another request.
    bool Play(int fd, const ScriptedReply &reply)
    {
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
            head += reply.keep_alive ? "" : "Connection: close\r\n";
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
            return reply.keep_alive;
        }
        return false;
    }

    void Serve(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string pending;
        RecordedRequest request;
        while (ReadRequest(fd, pending, request) && Play(fd, NextReply(request))) {
        }
        ::close(fd);
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<ScriptedReply> script_;
    Fallback fallback_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::string> answered_;
    int hold_last_ = 0, hold_count_ = 0, at_once_ = 0, most_at_once_ = 0;
    bool released_ = false;
    std::thread acceptor_;
    std::list<std::thread> connections_; // touched by the acceptor only until it is joined
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
