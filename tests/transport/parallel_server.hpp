// A plain-HTTP keep-alive server on 127.0.0.1 with a thread per connection,
// for the read-ahead tests: it counts TCP connections and the requests it
// holds at once, and can hold answers back until enough requests are in
// or until other answers have gone out, so that overlap and out-of-order
// answers happen by construction, not by timing.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scripted_server.hpp"

namespace conntest {

class ParallelServer {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        int after_answers = 0; // held until this many other answers went out
    };
    using Handler = std::function<Reply(const std::string &request_body)>;

    explicit ParallelServer(Handler handler) : handler_(std::move(handler))
    {
        listen_fd_ = ListenOnLoopback(64, &port_);
        acceptor_ = std::thread([this] {
            AcceptUntil(listen_fd_, stop_, [this](int fd) {
                ++accepted_;
                connections_.emplace_back([this, fd] { Serve(fd); });
            });
        });
    }
    ~ParallelServer()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread &t : connections_)
            t.join();
        ::close(listen_fd_);
    }
    ParallelServer(const ParallelServer &) = delete;
    ParallelServer &operator=(const ParallelServer &) = delete;

    // The next `count` requests are answered only once `count` are held
    // at the same time (or after a generous bound, so a broken client
    // fails the test instead of hanging it).
    void HoldFirst(int count)
    {
        std::lock_guard lock(mutex_);
        hold_last_ = requests_ + count;
        hold_count_ = count;
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
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/EWS/Exchange.asmx"; }

  private:
    static constexpr auto kHoldBound = std::chrono::seconds(10);

    // One request: false when the peer closed or the server stops.
    bool Read(int fd, std::string &pending, std::string &body)
    {
        char buffer[16384];
        for (;;) {
            const std::size_t head_end = pending.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                const std::size_t at = pending.find("Content-Length:");
                const std::size_t length =
                    at < head_end ? std::strtoul(pending.c_str() + at + 15, nullptr, 10) : 0;
                if (pending.size() >= head_end + 4 + length) {
                    body = pending.substr(head_end + 4, length);
                    pending.erase(0, head_end + 4 + length);
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

    void Serve(int fd)
    {
        std::string pending, body;
        while (Read(fd, pending, body)) {
            const Reply reply = handler_(body);
            {
                std::unique_lock lock(mutex_);
                ++requests_;
                ++at_once_;
                most_at_once_ = std::max(most_at_once_, at_once_);
                const bool held = requests_ <= hold_last_;
                changed_.notify_all();
                changed_.wait_for(lock, kHoldBound, [&] {
                    return (!held || at_once_ >= hold_count_ || released_) &&
                           static_cast<int>(answered_.size()) >= reply.after_answers;
                });
                if (held)
                    released_ = true;
                --at_once_;
                answered_.push_back(body);
                changed_.notify_all();
            }
            const std::string answer = "HTTP/1.1 " + std::to_string(reply.status) +
                                       " Status\r\nContent-Length: " +
                                       std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        ::close(fd);
    }

    Handler handler_;
    int listen_fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int hold_last_ = 0, hold_count_ = 0, requests_ = 0, at_once_ = 0, most_at_once_ = 0;
    bool released_ = false;
    std::vector<std::string> answered_;
    std::thread acceptor_;
    std::list<std::thread> connections_; // touched by the acceptor only until it is joined
};

} // namespace conntest
