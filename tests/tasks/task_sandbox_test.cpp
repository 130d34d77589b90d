// Tasks through a running ews-sandbox: the item limit of InitRead and the
// writer's answers to refused and failing requests.  (The fields of tasks
// written and read back: the end-to-end copy of the demo mailbox.)
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"
#include "tasks/task_writer.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;

constexpr char kMailbox[] = "tasks@example.com";
constexpr char kPassword[] = "tasks-pw";

struct Host {
    std::vector<std::string> titles;
    std::vector<int> statuses;
};
Host *gHost = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int)
{
    gHost->titles.push_back(msg->title);
    return 0;
}

int QV_STDCALL MsgStatus(qv_message *, char *, int status, int *, int *, int *)
{
    gHost->statuses.push_back(status);
    return 0;
}

class TaskSandbox : public conntest::ConnectorSandboxTest {
  protected:
    TaskSandbox() : ConnectorSandboxTest(kMailbox, kPassword) {}
    void SetUp() override
    {
        ConnectorSandboxTest::SetUp();
        clock.now = std::time(nullptr);
    }
    int Write(qv_message &msg)
    {
        msg.item_type = QV_ITEM_TASK;
        return WriteMsgImpl(session, &msg, work.dir().c_str());
    }
    void OpenTasksForWriting()
    {
        StartAndLogon("", 0);
        qvtest::Record folder = qvtest::new_record(0);
        qvtest::set_text(folder->group_folder, "root");
        ASSERT_EQ(InitWriteImpl(session, folder.get(), "Tasks", kFolderTypeTasks), 0) << log.text();
    }
    Host Read(int max_items = 0)
    {
        StartAndLogon();
        GetFolderNamesImpl(session, [](char *) QV_STDCALL { return 0; });
        Host host;
        gHost = &host;
        session.state.max_messages = max_items;
        const conntest::FolderRead read =
            conntest::ReadFolder(session, work.dir(), "Tasks", &OutputMsg, &MsgStatus);
        EXPECT_EQ(read.answer, 0);
        EXPECT_EQ(read.count, static_cast<int>(host.titles.size()));
        gHost = nullptr;
        return host;
    }
    qvtest::Record Task(const std::string &title)
    {
        qvtest::Record msg = qvtest::new_record(++numbers_);
        qvtest::set_text(msg->title, title);
        msg->importance = 1;
        return msg;
    }

    int numbers_ = 0;
};

// A limit of 0 from InitRead is no limit; a positive one ends the folder.
TEST_F(TaskSandbox, ItemLimitZeroMeansNoLimit)
{
    OpenTasksForWriting();
    for (int n = 0; n < 3; ++n) {
        auto msg = Task("task " + std::to_string(n));
        ASSERT_EQ(Write(*msg), kWriteStored);
    }
    EXPECT_EQ(Read(0).titles.size(), 3u);
    const Host limited = Read(2);
    EXPECT_EQ(limited.titles.size(), 2u);
    EXPECT_EQ(limited.statuses, (std::vector<int>{0, 0}));
}

TEST_F(TaskSandbox, RefusedAndFailingRequestsLoseTheTask)
{
    OpenTasksForWriting();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 503, "count": 9})");
    auto failing = Task("failing");
    EXPECT_EQ(Write(*failing), kWriteLost);
    EXPECT_EQ(clock.sleeps, (std::vector<int>{2000, 3000, 4000}));
    server->client().request("DELETE", "/sandbox/faults", "");

    clock.sleeps.clear();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 400})");
    auto refused = Task("refused");
    EXPECT_EQ(Write(*refused), kWriteLost);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(log.count("QV Warning: unable to create task"), 2u);

    // A request file that cannot be made loses the task too.
    auto nowhere = Task("nowhere");
    EXPECT_EQ(tasks::WriteTask(session, *nowhere, work.dir() + "missing/"), kWriteLost);
    EXPECT_TRUE(Read().titles.empty());
}

} // namespace

#endif
