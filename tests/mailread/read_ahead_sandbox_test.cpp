// Reading a mail folder with read-ahead ("/EWSPREFETCH") against ews-sandbox
// with a simulated round trip.  Between the connector and the server sits
// a TCP relay that counts requests in flight (a connection is busy from its
// client's bytes until the server's answer starts), so overlap is observed
// on the wire, not guessed from timings.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "qv/qvcom.h"
#include "sandbox_fixture.hpp"
#include "scripted_server.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;
namespace fs = std::filesystem;

constexpr char kMailbox[] = "ahead@example.com";
constexpr char kPassword[] = "ahead-pw";
constexpr int kItems = 12;

class CountingRelay {
  public:
    explicit CountingRelay(int target_port) : target_port_(target_port)
    {
        listen_fd_ = conntest::ListenOnLoopback(32, &port_);
        acceptor_ = std::thread([this] { Accept(); });
    }
    ~CountingRelay()
    {
        stop_ = true;
        acceptor_.join();
        for (std::thread &t : pipes_)
            t.join();
        ::close(listen_fd_);
    }
    int port() const { return port_; }
    int most_busy() const { return most_busy_; }

  private:
    void Accept()
    {
        while (!stop_) {
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int client = ::accept(listen_fd_, nullptr, nullptr);
            if (client >= 0)
                pipes_.emplace_back([this, client] { Relay(client); });
        }
    }
    void MarkBusy(bool &busy, bool now)
    {
        if (busy == now)
            return;
        busy = now;
        std::lock_guard lock(mutex_);
        busy_ += now ? 1 : -1;
        most_busy_ = std::max(most_busy_.load(), busy_);
    }
    void Relay(int client)
    {
        const int server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(target_port_));
        bool busy = false;
        if (::connect(server, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
            char buffer[65536];
            while (!stop_) {
                pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(p, 2, 50) <= 0)
                    continue;
                const int from = (p[0].revents != 0) ? 0 : 1;
                const ssize_t got = ::recv(p[from].fd, buffer, sizeof buffer, 0);
                if (got <= 0 || ::send(p[1 - from].fd, buffer, static_cast<std::size_t>(got),
                                       MSG_NOSIGNAL) != got)
                    break;
                MarkBusy(busy, from == 0);
            }
        }
        MarkBusy(busy, false);
        ::close(server);
        ::close(client);
    }

    int target_port_, listen_fd_ = -1, port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    int busy_ = 0;
    std::atomic<int> most_busy_{0};
    std::thread acceptor_;
    std::list<std::thread> pipes_;
};

struct HostView {
    std::vector<std::string> subjects; // handed to OutputMsg, in order
    std::vector<int> statuses;
    int stop_after = 0; // the host asks to stop at this status (0: never)
};
HostView *gView = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int)
{
    gView->subjects.emplace_back(msg->subject);
    return 0;
}

int QV_STDCALL MsgStatus(qv_message *, char *, int status, int *, int *, int *stop)
{
    gView->statuses.push_back(status);
    if (static_cast<int>(gView->statuses.size()) == gView->stop_after)
        *stop = 1;
    return 0;
}

class ReadAheadSandbox : public sandbox_test::SandboxTest {
  protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_reset_filters();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
        add_user(kMailbox, kPassword);
        const fs::path eml = data_dir / "eml";
        fs::create_directories(eml);
        for (int n = 0; n < kItems; ++n)
            conntest::WriteFile((eml / ("m" + std::to_string(n) + ".eml")).string(),
                                "From: ann@example.org\r\nTo: ahead@example.com\r\nSubject: Item " +
                                    std::to_string(n) + "\r\nMessage-ID: <a" + std::to_string(n) +
                                    "@example.org>\r\n\r\nBody " + std::to_string(n) + "\r\n");
        cli({"seed", "--mailbox", kMailbox, "--eml-dir", eml.string(), "--folder", "Inbox"});
        start({"--latency", "100"});
        relay = std::make_unique<CountingRelay>(server->port());
    }
    void TearDown() override
    {
        LogoffSession(session, 0);
        relay.reset();
        qvcom_set_switches(nullptr);
        qvcom_reset_filters();
        SandboxTest::TearDown();
    }

    // Logs on through the relay with `switches` and reads the Inbox.
    HostView Read(const std::string &switches, int stop_after = 0)
    {
        const std::string all = switches + " /CAFILE " + server->ca_file();
        qvcom_set_switches(all.c_str());
        const std::string url = "https://127.0.0.1:" + std::to_string(relay->port()) +
                                "/EWS/Exchange.asmx";
        EXPECT_EQ(conntest::LogonAs(session, kMailbox, kPassword, url, 1), kLogonOk) << log.text();
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
        HostView view;
        view.stop_after = stop_after;
        gView = &view;
        auto msg = std::make_unique<qv_message>();
        ConvertFolderArguments args;
        args.msg = msg.get();
        args.output = &OutputMsg;
        args.status = &MsgStatus;
        args.work_dir = work.dir();
        for (int i = 0; i < static_cast<int>(session.state.folders.size()); ++i)
            if (session.state.folders[static_cast<std::size_t>(i)].display_name == "Inbox")
                args.folder_index = i;
        ConvertFolderImpl(session, args);
        com_ResetObject(msg.get());
        gView = nullptr;
        return view;
    }
    std::size_t GetItemsServed() const { return conntest::CountOf(server->log(), "GetItem 200"); }
    void InjectFault(const std::string &json)
    {
        auto client = server->client();
        const auto answer =
            client.request("POST", "/sandbox/faults", json, {"Content-Type: application/json"});
        ASSERT_EQ(answer.status, 200) << answer.body;
    }

    conntest::ScratchDir work;
    conntest::LogCapture log{work};
    conntest::FakeClock clock;
    Session session;
    std::unique_ptr<CountingRelay> relay;
};

TEST_F(ReadAheadSandbox, OneAtATimeWithPrefetchOne)
{
    const HostView view = Read("/EWSPREFETCH 1");
    EXPECT_EQ(view.subjects.size(), static_cast<std::size_t>(kItems));
    EXPECT_EQ(relay->most_busy(), 1);
}

// The first GetItem is answered last (a delay on the server), yet the host
// gets the items in listing order, the same order as without read-ahead.
TEST_F(ReadAheadSandbox, RequestsOverlapAndTheHostGetsItemsInListingOrder)
{
    const HostView sequential = Read("/EWSPREFETCH 1");
    LogoffSession(session, 0);
    InjectFault(R"([{"operation": "GetItem", "kind": "delay", "ms": 600}])");
    const HostView ahead = Read("/EWSPREFETCH 4");
    EXPECT_EQ(ahead.subjects, sequential.subjects);
    EXPECT_EQ(ahead.statuses, sequential.statuses);
    EXPECT_GE(relay->most_busy(), 2);
    EXPECT_LE(relay->most_busy(), 4);
}

TEST_F(ReadAheadSandbox, AStopAfterItemKSendsAtMostKPlusWindowGetItems)
{
    constexpr int kStopAt = 3;
    const HostView view = Read("/EWSPREFETCH 4", kStopAt);
    EXPECT_EQ(view.subjects.size(), static_cast<std::size_t>(kStopAt));
    // Requests abandoned by the reader are still served and logged a
    // round trip later: let them land before counting.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_GE(GetItemsServed(), static_cast<std::size_t>(kStopAt));
    EXPECT_LE(GetItemsServed(), static_cast<std::size_t>(kStopAt + 4));
}

TEST_F(ReadAheadSandbox, ABusyServerShrinksTheWindowAndNoItemIsLost)
{
    InjectFault(R"([{"operation": "GetItem", "kind": "response_error",
                     "response_code": "ErrorServerBusy", "count": 2}])");
    const HostView view = Read("/EWSPREFETCH 8");
    EXPECT_EQ(view.subjects.size(), static_cast<std::size_t>(kItems));
    EXPECT_TRUE(log.has("server busy, reading ahead 4 items at most")) << log.text();
    EXPECT_TRUE(log.has("server busy, reading ahead 2 items at most"));
    EXPECT_FALSE(log.has("not read"));
}

} // namespace

#endif
