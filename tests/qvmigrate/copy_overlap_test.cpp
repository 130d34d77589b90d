// The overlapped copy: its channel's messages, the same target as a copy
// run one side after the other, and its two ways to end early (the write
// side dying, the export failing part-way, a stop heard by one side) with
// every item written, counted failed or left for the next run.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <thread>

#include "connector_session.hpp"
#include "copy_channel.hpp"
#include "copy_overlap.hpp"
#include "fake_job.hpp"
#include "batch_state.hpp"
#include "host_environment.hpp"
#include "import_feed.hpp"
#include "record_archive.hpp"
#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

TEST(CopyChannel, MessagesSurviveTheLineTheyTravelOn) {
    ArchiveFolder folder;
    folder.number = 3;
    folder.path = "Inbox/Zoë\nline";
    folder.internal_path = "Inbox^Zoë\nline";
    folder.folder_type = 2;
    folder.source_total = 41;
    const std::string begin = folder_begin_line(folder);
    ASSERT_EQ(begin.find('\n'), std::string::npos);
    const ChannelMessage message = split_message(begin);
    ASSERT_EQ(message.keyword, "begin");
    const auto back = parse_folder_begin(message.rest);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->path, folder.path);
    EXPECT_EQ(back->internal_path, folder.internal_path);
    EXPECT_EQ(back->number, 3);
    EXPECT_EQ(back->folder_type, 2);
    EXPECT_EQ(back->source_total, 41);

    FolderCounts row;
    row.path = "Tasks";
    row.kind = "tasks";
    row.source_total = 9;
    row.migrated = 5;
    row.duplicates = 1;
    row.outside_dates = 1;
    row.skipped = 1;
    row.failed = 1;
    row.notes = {"one\ttwo", "three\nfour"};
    row.failed_items = {{"Grüße \"x\"", "2026-01-02T03:04:05Z", "refused"}};
    const std::string line = folder_row_line(row);
    ASSERT_EQ(line.find('\n'), std::string::npos);
    const auto parsed = parse_folder_row(split_message(line).rest);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->path, "Tasks");
    EXPECT_EQ(parsed->migrated, 5);
    EXPECT_EQ(parsed->failed, 1);
    EXPECT_EQ(parsed->notes, row.notes);
    ASSERT_EQ(parsed->failed_items.size(), 1u);
    EXPECT_EQ(parsed->failed_items[0].subject, "Grüße \"x\"");
    EXPECT_EQ(parsed->failed_items[0].reason, "refused");

    const auto settled = parse_settled(split_message(settled_line({2, 7, row})).rest);
    ASSERT_TRUE(settled);
    EXPECT_EQ(settled->folder, 2);
    EXPECT_EQ(settled->items, 7);
    EXPECT_EQ(settled->counts.duplicates, 1);
    EXPECT_EQ(settled->counts.failed, 1);
    for (const char *bad : {"2 7 1 1 1 1", "2 7 1 1 1 1 1 x", "0 1 1 0 0 0 0", "2 -1 0 0 0 0 0"})
        EXPECT_FALSE(parse_settled(bad)) << bad;
}

// Both sides send more than a socket holds at the same time: neither may
// wait for the other for ever, and nothing is lost or reordered.
TEST(CopyChannel, BothSidesSendingAtOnceNeitherStallsNorLoses) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    LineChannel left(fds[0]), right(fds[1]);
    constexpr int kLines = 20000;
    const std::string padding(100, 'p');
    auto talk = [&](LineChannel &channel, std::vector<std::string> &heard) {
        for (int i = 0; i < kLines; ++i)
            ASSERT_TRUE(channel.send(std::to_string(i) + " " + padding));
        while (static_cast<int>(heard.size()) < kLines) {
            if (auto line = channel.receive(-1))
                heard.push_back(*line);
            else if (channel.closed())
                break;
        }
    };
    std::vector<std::string> heard_left, heard_right;
    std::thread other([&] { talk(right, heard_right); });
    talk(left, heard_left);
    other.join();
    ASSERT_EQ(heard_left.size(), static_cast<size_t>(kLines));
    ASSERT_EQ(heard_right.size(), static_cast<size_t>(kLines));
    for (int i : {0, 1, kLines / 2, kLines - 1}) {
        EXPECT_EQ(heard_left[i], std::to_string(i) + " " + padding);
        EXPECT_EQ(heard_right[i], std::to_string(i) + " " + padding);
    }
}

long folder_count(const JsonParse &summary, const std::string &path, const char *key) {
    for (const cJSON *f = json_member(summary.root.get(), "folders")->child; f; f = f->next) {
        if (json_string(f, "path") == path)
            return static_cast<long>(json_integer(f, key, 0, 1'000'000).value_or(-1));
    }
    return -1;
}

// The stand-in connector's target stores what it acknowledged in
// written.txt and, with /FAKEDIEAFTER, ends its process as a kill would.
class CopyOverlapFake : public FakeJobTest {};

TEST_F(CopyOverlapFake, WriteSideDyingCountsWhatItDidNotAcknowledgeAndARerunWritesTheRest) {
    const ToolRun died = run({"copy"}, {side("from-", "alice@fake"), side("to-", "bob@fake"),
                                        store_switch("to-", "/D251 2 /FAKEDIEAFTER 3")});
    EXPECT_EQ(died.status, 1) << died.err << died.out;
    const JsonParse summary = parse_json(died.out);
    ASSERT_TRUE(summary.root) << died.out;
    EXPECT_NE(json_string(summary.root.get(), "error").value_or("").find("write side ended"),
              std::string::npos) << died.out;
    // Contacts (1) and Inbox's first bundle (2) were acknowledged; Inbox's
    // third item was in WriteMsg when the process ended.
    EXPECT_EQ(written().size(), 3u);
    EXPECT_EQ(total(died, "migrated"), 3);
    EXPECT_EQ(total(died, "failed"), 3);
    EXPECT_EQ(folder_count(summary, "Inbox", "migrated"), 2);
    EXPECT_EQ(folder_count(summary, "Inbox", "failed"), 1);
    EXPECT_EQ(folder_count(summary, "Inbox/Projects", "failed"), 2);

    const ToolRun rerun = run({"copy"}, {side("from-", "alice@fake"), side("to-", "bob@fake"),
                                         store_switch("to-", "/D251 2")});
    ASSERT_EQ(rerun.status, 0) << rerun.err << rerun.out;
    EXPECT_EQ(total(rerun, "migrated"), 3);
    EXPECT_EQ(total(rerun, "duplicates"), 3);
    std::vector<std::string> subjects; // the third field of each line
    for (const std::string &line : written()) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 3; ++i)
            std::getline(fields, field, '\t');
        subjects.push_back(field);
    }
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"Grüße 1", "Old 3", "Plan A", "Plan B",
                                                  "Report 2", "Zoë Martin"}));
}

TEST_F(CopyOverlapFake, TargetLogonFailureEndsTheCopyBeforeAFolderIsRead) {
    const ToolRun refused = run({"copy"}, {side("from-", "alice@fake"),
                                           {"--to-server", "fake://server", "--to-user", "bob@fake",
                                            "--to-password-env", "WRONG_PW"},
                                           store_switch("to-")});
    EXPECT_EQ(refused.status, 3) << refused.err;
    EXPECT_NE(refused.err.find("invalid user name or password"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(store / "written.txt"));
}

// The export step is the test's own: it stages items with a real archive
// writer and fails where the test says.
class CopyOverlapExport : public FakeJobTest {
  protected:
    JobSummary stage_then(ExportObserver &observer, bool fail_before_anything) {
        if (fail_before_anything)
            throw LogonFailed("QV Error: the source refused the logon", 1);
        ArchiveWriter writer(stage, "alice@fake");
        writer.set_listener(&observer);
        writer.begin_folder("Inbox", "Inbox", 0, 2);
        add_item(writer, "first");
        add_item(writer, "second");
        FolderCounts inbox;
        inbox.path = "Inbox";
        inbox.kind = "mail";
        inbox.source_total = 2;
        inbox.migrated = 2;
        observer.folder_read(inbox);
        writer.begin_folder("Later", "Later", 0, 5);
        add_item(writer, "third");
        throw ArchiveError("0002/000002.json: No space left on device");
    }

    void add_item(ArchiveWriter &writer, const char *subject) {
        const std::string work = temp.prefix();
        Record record = new_record(5);
        set_text(record->subject, subject);
        add_part(*record, work, QV_PART_TEXT_BODY, "", "body text");
        writer.write_item(*record, work);
        com_Deallocate_All(record.get(), work.c_str());
    }

    CopyHalves copy(bool fail_before_anything, const char *password = "bob-pw") {
        return copy_with([&](ExportObserver &observer) {
            return stage_then(observer, fail_before_anything);
        }, "", password);
    }

    // The stand-in target bob@fake, with `switches` after its store's.
    Connection target(const std::string &switches) const {
        Connection to;
        to.server = "fake://server";
        to.user = "bob@fake";
        to.auth.extra_switches = "/FAKESTORE \"" + store.string() + "\" " + switches;
        return to;
    }
    static JobSettings fake_settings() {
        JobSettings settings;
        settings.plugin = QV_FAKE_PLUGIN_PATH;
        return settings;
    }
    static Credentials password(const char *text) {
        Credentials credentials;
        credentials.password = Secret(text);
        return credentials;
    }

    CopyHalves copy_with(const ExportStep &step, const std::string &switches,
                         const char *password_text = "bob-pw") {
        HostEnvironment env(state.string(), (temp.path() / "copy.log").string());
        return run_overlapped_copy(env, fake_settings(), "alice@fake", target(switches),
                                   password(password_text), stage, false, step);
    }

    static bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

    fs::path stage = temp.path() / "stage";
};

TEST_F(CopyOverlapExport, ExportFailingPartWayStillWritesWhatItStaged) {
    const CopyHalves halves = copy(false);
    EXPECT_TRUE(no_child_left());
    EXPECT_EQ(halves.read.error, "archive refused: 0002/000002.json: No space left on device");
    ASSERT_EQ(halves.read.folders.size(), 2u);
    EXPECT_EQ(halves.read.folders[1].path, "Later");
    EXPECT_EQ(halves.read.folders[1].migrated, 1);
    EXPECT_FALSE(halves.read.folders[1].notes.empty());
    ASSERT_EQ(halves.written.folders.size(), 2u);
    EXPECT_EQ(halves.written.folders[0].migrated, 2);
    EXPECT_EQ(halves.written.folders[1].migrated, 1);
    EXPECT_EQ(halves.written.folders[1].failed, 0);
    EXPECT_EQ(written().size(), 3u);
}

TEST_F(CopyOverlapExport, FailuresBeforeAnythingIsStagedAreThrownAsBefore) {
    EXPECT_THROW(copy(true), LogonFailed);
    EXPECT_TRUE(no_child_left());
    // The target refusing the logon stops the export at its first folder.
    fs::remove_all(stage);
    EXPECT_THROW(copy(false, "wrong"), LogonFailed);
    EXPECT_TRUE(no_child_left());
    EXPECT_FALSE(fs::exists(store / "written.txt"));
    EXPECT_FALSE(fs::exists(stage / "0002"));
}

TEST_F(CopyOverlapExport, WriteSideDyingWhileItemsAreStagedStopsTheReadingAndCountsThem) {
    int staged = 0;
    const CopyHalves halves = copy_with(
        [&](ExportObserver &observer) {
            ArchiveWriter writer(stage, "alice@fake");
            writer.set_listener(&observer);
            writer.begin_folder("Inbox", "Inbox", 0, 0);
            for (; staged < 5000 && observer.keep_reading(); ++staged)
                add_item(writer, ("item " + std::to_string(staged)).c_str());
            writer.finish();
            return JobSummary{};
        },
        "/D251 1 /FAKEDIEAFTER 1"); // ends its process at the second item
    EXPECT_TRUE(no_child_left());
    EXPECT_LT(staged, 5000) << "the read side never noticed the write side was gone";
    EXPECT_NE(halves.written.error.find("write side ended unexpectedly (it ended with status 9)"),
              std::string::npos) << halves.written.error;
    ASSERT_EQ(halves.written.folders.size(), 1u);
    EXPECT_EQ(halves.written.folders[0].migrated, 1);
    EXPECT_EQ(halves.written.folders[0].failed, staged - 1);
    EXPECT_EQ(written().size(), 1u);
}

// A stop that reaches only the read side, after it has read everything,
// comes to the write side through its feed.  The write side must end as it
// would on its own Ctrl-C: the job is not a success and the batch state
// keeps the pair to be run again.
class StopAfterFirstItem : public ImportFeed {
  public:
    explicit StopAfterFirstItem(const fs::path &stage) : reader_(stage) {}
    std::string mailbox() const override { return "alice@fake"; }
    const ArchiveReader &reader() const override { return reader_; }
    std::optional<ArchiveFolder> next_folder() override {
        if (given_)
            return std::nullopt;
        given_ = true;
        return reader_.manifest().folders.front();
    }
    bool has_item(const ArchiveFolder &folder, int sequence) override {
        if (sequence > 1)
            stop_ = "interrupted";
        return stop_.empty() && sequence <= folder.items;
    }
    std::string stopped() const override { return stop_; }

  private:
    ArchiveReader reader_;
    bool given_ = false;
    std::string stop_;
};

TEST_F(CopyOverlapExport, StopHeardOnlyFromTheReadSideLeavesThePairUnfinished) {
    {
        ArchiveWriter writer(stage, "alice@fake");
        writer.begin_folder("Inbox", "Inbox", 0, 3);
        for (const char *subject : {"one", "two", "three"})
            add_item(writer, subject);
        writer.finish();
    }
    HostEnvironment env(state.string(), (temp.path() / "write.log").string());
    StopAfterFirstItem feed(stage);
    const JobSummary summary =
        run_import_feed(env, fake_settings(), target("/D251 1"), password("bob-pw"), feed);
    EXPECT_EQ(summary.error, "interrupted");
    EXPECT_EQ(summary.exit_status, kExitItemsFailed);
    ASSERT_EQ(summary.folders.size(), 1u);
    EXPECT_EQ(summary.folders[0].migrated, 1);
    EXPECT_EQ(summary.folders[0].failed, 0);
    EXPECT_EQ(written().size(), 1u);

    BatchState batch(temp.path() / "batch.sqlite");
    batch.add_plan({{2, "alice@fake", "bob@fake", {}}});
    batch.mark_running("alice@fake", "bob@fake");
    batch.record_run("alice@fake", "bob@fake", summary, 1);
    const MailboxRecord record = batch.mailbox("alice@fake", "bob@fake");
    EXPECT_EQ(record.status, MailboxStatus::Failed);
    EXPECT_EQ(record.error, "interrupted");
    ASSERT_EQ(record.folders.size(), 1u);
    EXPECT_EQ(record.folders[0].status, "interrupted");
}

// The real connector against ews-sandbox: a mailbox of every kind (mail
// with attachments and embedded messages, contacts, calendar, tasks)
// copied both ways gives the same target.
constexpr const char *kAlice = "alice@example.com";
constexpr const char *kBob = "bob@example.com";
constexpr const char *kCarol = "carol@example.com";
constexpr const char *kDave = "dave@example.com";
constexpr const char *kPassword = "Pw-overlap 1";

class CopyOverlapSandbox : public SandboxSuite<CopyOverlapSandbox> {
  protected:
    static void SetUpTestSuite() {
        open([] {
            for (const char *box : {kAlice, kBob, kCarol, kDave})
                add_user(box, kPassword);
            sandbox({"seed", "--mailbox", kAlice, "--demo"});
            start_server();
        });
    }

    ToolRun copy_into(const std::string &target, const std::vector<std::string> &extra) {
        return run_qvmigrate(join({{"copy", "--json"}, side("from-", kAlice, "A_PW"),
                                   side("to-", target, "T_PW"), common(), extra}),
                             {env("A_PW", kPassword), env("T_PW", kPassword)}, scratch);
    }
};

TEST_F(CopyOverlapSandbox, OverlappedCopyGivesTheSameTargetAsOneAfterTheOther) {
    const ToolRun sequential = copy_into(kBob, {"--no-overlap"});
    ASSERT_EQ(sequential.status, 0) << sequential.err << sequential.out;
    const fs::path stage = scratch / "stage";
    const ToolRun overlapped = copy_into(kCarol, {"--stage", stage.string()});
    ASSERT_EQ(overlapped.status, 0) << overlapped.err << overlapped.out;
    for (const char *key : {"source_total", "migrated", "duplicates", "skipped", "failed"})
        EXPECT_EQ(total(overlapped, key), total(sequential, key)) << key;
    EXPECT_GT(total(overlapped, "migrated"), 10);

    const MailboxDump source = dump(kAlice, "alice");
    const MailboxDump one_after_the_other = dump(kBob, "bob");
    const MailboxDump at_once = dump(kCarol, "carol");
    EXPECT_EQ(at_once.items.size(), one_after_the_other.items.size());
    const CheckOutcome same = compare_dumps(one_after_the_other, at_once);
    EXPECT_TRUE(same.passed) << ::testing::PrintToString(same.differences);
    const CheckOutcome whole = compare_dumps(source, at_once);
    EXPECT_TRUE(whole.passed) << ::testing::PrintToString(whole.differences);

    // Without --stage the write side takes each item out of the stage
    // instead of copying it: the same target, and no stage left behind.
    const ToolRun taken = copy_into(kDave, {});
    ASSERT_EQ(taken.status, 0) << taken.err << taken.out;
    const CheckOutcome same_taken = compare_dumps(one_after_the_other, dump(kDave, "dave"));
    EXPECT_TRUE(same_taken.passed) << ::testing::PrintToString(same_taken.differences);
    for (const auto &entry : fs::directory_iterator(scratch / "state"))
        EXPECT_FALSE(entry.path().filename().string().starts_with("stage-")) << entry.path();

    // The kept stage is a whole archive, as a copy one after the other leaves it.
    ArchiveReader reader(stage);
    EXPECT_NO_THROW(reader.verify());
    int staged = 0;
    for (const ArchiveFolder &folder : reader.manifest().folders)
        staged += folder.items;
    EXPECT_EQ(staged, total(overlapped, "migrated"));
}

} // namespace
} // namespace qvmigrate
