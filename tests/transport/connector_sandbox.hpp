// A connector session against a running ews-sandbox, set up as a host sets
// it up: work and base folders, the host log captured, a clock that does
// not wait, and one mailbox of the test's own.
#pragma once

#ifdef QV_SANDBOX_PATH

#include <string>
#include <vector>

#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "qv_test_support.hpp"
#include "sandbox_fixture.hpp"
#include "test_support.hpp"

namespace conntest {

// Reads the folder shown as `display_name` through ConvertFolder, as the
// host does, handing records and statuses to the given callbacks.
struct FolderRead {
    int answer = -1; // ConvertFolder's
    int count = -1;  // records handed to `output`
};
inline FolderRead ReadFolder(qvamz::Session &session, const std::string &work_dir,
                      const std::string &display_name, qv_output_fn output, qv_status_fn status,
                      int msg_number = 11)
{
    qvtest::Record msg = qvtest::new_record(msg_number);
    FolderRead read;
    int size = -1;
    qvamz::ConvertFolderArguments args;
    args.msg = msg.get();
    args.output = output;
    args.status = status;
    args.work_dir = work_dir;
    args.out_count = &read.count;
    args.out_size = &size;
    for (std::size_t i = 0; i < session.state.folders.size(); ++i)
        if (session.state.folders[i].display_name == display_name)
            args.folder_index = static_cast<int>(i);
    read.answer = qvamz::ConvertFolderImpl(session, args);
    return read;
}

class ConnectorSandboxTest : public sandbox_test::SandboxTest {
  protected:
    ConnectorSandboxTest(std::string mailbox, std::string password)
        : mailbox_(std::move(mailbox)), password_(std::move(password))
    {
    }
    void SetUp() override
    {
        SandboxTest::SetUp();
        qvcom_reset_filters();
        qvcom_set_directory(QVCOM_DIR_WORK, work.dir().c_str());
        qvcom_set_directory(QVCOM_DIR_BASE, work.dir().c_str());
        add_user(mailbox_, password_);
    }
    void TearDown() override
    {
        qvamz::LogoffSession(session, 0);
        qvcom_set_switches(nullptr);
        qvcom_reset_filters();
        qvcom_set_loss_handler(nullptr, nullptr);
        SandboxTest::TearDown();
    }

    // Starts the server (once, with `serve` options) and logs on with
    // `switches`; "%API%" in them stands for the sandbox's API address.
    void StartAndLogon(const std::string &switches = "", int is_source = 1,
                       const std::vector<std::string> &serve = {})
    {
        if (!server)
            start(serve);
        qvamz::LogoffSession(session, 0);
        std::string all = switches + " /CAFILE " + server->ca_file();
        if (const std::size_t at = all.find("%API%"); at != std::string::npos)
            all.replace(at, 5, server->base_url());
        qvcom_set_switches(all.c_str());
        ASSERT_EQ(LogonAs(session, mailbox_, password_, server->ews_url(), is_source),
                  qvamz::kLogonOk)
            << log.text();
    }
    // A fault rule of the sandbox (see its /sandbox/faults).
    void InjectFault(const std::string &json)
    {
        auto client = server->client();
        const auto answer =
            client.request("POST", "/sandbox/faults", json, {"Content-Type: application/json"});
        ASSERT_EQ(answer.status, 200) << answer.body;
    }
    // The index of a folder in the session's table, by internal path.
    int FolderIndex(const std::string &internal_path)
    {
        for (std::size_t i = 0; i < session.state.folders.size(); ++i)
            if (session.state.folders[i].internal_path == internal_path)
                return static_cast<int>(i);
        ADD_FAILURE() << "no folder " << internal_path;
        return -1;
    }

    ScratchDir work;
    LogCapture log{work};
    FakeClock clock;
    qvamz::Session session;

  private:
    std::string mailbox_, password_;
};

} // namespace conntest

#endif // QV_SANDBOX_PATH
