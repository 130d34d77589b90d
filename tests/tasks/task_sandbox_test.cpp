// Tasks through a running ews-sandbox: records written with WriteMsg into
// a mailbox and read back with ConvertFolder, field by field; the item
// limit of InitRead; the writer's answers to refused and failing requests.
// The sandbox checks every request against the EWS schema.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailread/convert_folder.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"
#include "tasks/task_writer.hpp"
#include "test_support.hpp"

namespace {

using namespace qvamz;
using qvtest::filetime_utc;

constexpr char kMailbox[] = "tasks@example.com";
constexpr char kPassword[] = "tasks-pw";

// The fields a task record carries, as the host saw them.
struct TaskView {
    std::string title, categories, notes;
    qv_filetime start = 0, due = 0, complete = 0, reminder = 0;
    int percent = 0, status = 0, importance = 0, is_private = 0, reminder_set = 0, item_type = 0;
    int recur_type = 0, recur_interval = 0, recur_days = 0, recur_range = 0, recur_count = 0;
    std::map<std::string, std::string> attachments; // name -> bytes
};

struct Host {
    std::string work_dir;
    std::vector<TaskView> tasks;
    std::vector<int> statuses;
};
Host *gHost = nullptr;

int QV_STDCALL OutputMsg(qv_message *msg, void *, char *, int)
{
    TaskView v;
    v.title = msg->title;
    v.categories = msg->categories;
    v.start = msg->start_time;
    v.due = msg->end_time;
    v.complete = msg->complete_date;
    v.reminder = msg->reminder_time;
    v.percent = msg->percent_complete;
    v.status = msg->task_status;
    v.importance = msg->importance;
    v.is_private = msg->is_private;
    v.reminder_set = msg->reminder_set;
    v.item_type = msg->item_type;
    v.recur_type = msg->recur_type;
    v.recur_interval = msg->recur_interval;
    v.recur_days = msg->recur_days;
    v.recur_range = msg->recur_range;
    v.recur_count = msg->recur_count;
    for (int i = 0; i < msg->part_count; ++i) {
        const std::string bytes =
            conntest::ReadFile(qvcom::part_file_path(gHost->work_dir, msg->msg_number, i));
        if (msg->parts[i]->part_type == QV_PART_TEXT_BODY)
            v.notes = bytes;
        else
            v.attachments[msg->parts[i]->file_name] = bytes;
    }
    gHost->tasks.push_back(v);
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
        Host host{work.dir(), {}, {}};
        gHost = &host;
        session.state.max_messages = max_items;
        const conntest::FolderRead read =
            conntest::ReadFolder(session, work.dir(), "Tasks", &OutputMsg, &MsgStatus);
        EXPECT_EQ(read.answer, 0);
        EXPECT_EQ(read.count, static_cast<int>(host.tasks.size()));
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

TEST_F(TaskSandbox, RecordsComeBackFieldByField)
{
    OpenTasksForWriting();
    std::vector<qvtest::Record> written;
    auto dated = Task("dated <&> private");
    dated->start_time = filetime_utc(2026, 3, 2);
    dated->end_time = filetime_utc(2026, 3, 20);
    dated->reminder_time = filetime_utc(2026, 3, 19, 8, 30);
    dated->is_private = 1;
    dated->importance = 2;
    dated->task_status = 2;
    dated->percent_complete = 40;
    qvtest::set_text(dated->categories, "Blue; Work");
    qvtest::add_part(*dated, work.dir(), QV_PART_TEXT_BODY, "", "notes ]]> with\r\nlines");
    qvtest::add_part(*dated, work.dir(), QV_PART_ATTACHMENT, "plan.txt", "step one\n");
    qvtest::add_part(*dated, work.dir(), QV_PART_ATTACHMENT, "second.bin", "\x01\x02\x03");
    written.push_back(std::move(dated));
    auto done = Task("completed");
    done->complete_date = filetime_utc(2026, 2, 1, 10);
    done->percent_complete = 100;
    done->task_status = 3;
    done->importance = 0;
    written.push_back(std::move(done));
    auto weekly = Task("weekly");
    weekly->start_time = filetime_utc(2026, 1, 5);
    weekly->recur_type = 5;
    weekly->recur_interval = 2;
    weekly->recur_days = 0x22;
    weekly->recur_range = 0;
    weekly->recur_count = 6;
    weekly->task_status = 5;
    written.push_back(std::move(weekly));
    written.push_back(Task("undated"));
    for (auto &msg : written)
        EXPECT_EQ(Write(*msg), kWriteStored) << msg->title << "\n" << log.text();

    std::map<std::string, TaskView> read;
    for (const TaskView &v : Read().tasks)
        read[v.title] = v;
    ASSERT_EQ(read.size(), 4u) << log.text();
    const TaskView &d = read["dated <&> private"];
    EXPECT_EQ(d.item_type, QV_ITEM_TASK);
    EXPECT_EQ(d.start, filetime_utc(2026, 3, 2));
    EXPECT_EQ(d.due, filetime_utc(2026, 3, 20));
    EXPECT_EQ(d.reminder, filetime_utc(2026, 3, 19, 8, 30));
    EXPECT_EQ(d.reminder_set, 1);
    EXPECT_EQ((std::tuple{d.is_private, d.importance, d.status, d.percent}), (std::tuple{1, 2, 2, 40}));
    EXPECT_EQ(d.categories, "Blue;Work");
    EXPECT_EQ(d.notes.find("notes ]]> with"), 0u) << d.notes;
    EXPECT_EQ(d.attachments, (std::map<std::string, std::string>{{"plan.txt", "step one\n"},
                                                                  {"second.bin", "\x01\x02\x03"}}));
    const TaskView &c = read["completed"];
    EXPECT_EQ((std::tuple{c.status, c.percent, c.importance}), (std::tuple{3, 100, 0}));
    EXPECT_EQ(c.complete, filetime_utc(2026, 2, 1, 10));
    const TaskView &w = read["weekly"];
    EXPECT_EQ((std::tuple{w.recur_type, w.recur_interval, w.recur_days, w.recur_range, w.recur_count, w.status}),
              (std::tuple{5, 2, 0x22, 0, 6, 5}));
    const TaskView &u = read["undated"];
    EXPECT_EQ((std::tuple{u.start, u.due, u.complete, u.reminder}), (std::tuple{0ull, 0ull, 0ull, 0ull}));
    EXPECT_EQ((std::tuple{u.status, u.recur_type, u.reminder_set}), (std::tuple{1, 0, 0}))
        << "a task written without a status is not started";
}

// A limit of 0 from InitRead is no limit; a positive one ends the folder.
TEST_F(TaskSandbox, ItemLimitZeroMeansNoLimit)
{
    OpenTasksForWriting();
    for (int n = 0; n < 3; ++n) {
        auto msg = Task("task " + std::to_string(n));
        ASSERT_EQ(Write(*msg), kWriteStored);
    }
    EXPECT_EQ(Read(0).tasks.size(), 3u);
    const Host limited = Read(2);
    EXPECT_EQ(limited.tasks.size(), 2u);
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
    EXPECT_TRUE(Read().tasks.empty());
}

} // namespace

#endif
