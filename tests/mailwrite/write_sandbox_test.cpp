// Target folders and message bundles against a running ews-sandbox: what
// the mailbox holds afterwards (read back with the sandbox's dump), the
// requests made, and the answers to injected faults.  The sandbox checks
// every request against the EWS schema and refuses what does not validate.
#ifdef QV_SANDBOX_PATH

#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <optional>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/target_folders.hpp"
#include "mailwrite_test_support.hpp"
#include "qv_test_support.hpp"
#include "connector_sandbox.hpp"
#include "test_support.hpp"

namespace mwtest {
namespace {

using namespace qvamz;

constexpr char kMailbox[] = "writer@example.com";
constexpr char kPassword[] = "writer-pw";

// A dumped mailbox: folder paths ("/" between levels) with their ids, and
// the items of each folder.
struct DumpedItem {
    std::string subject, item_class, mime;
};
struct Dump {
    std::map<std::string, std::string> folder_ids;         // path -> id
    std::map<std::string, std::vector<DumpedItem>> items;  // folder path -> items (none: no entry)
    std::vector<std::string> Subjects(const std::string &folder) const
    {
        std::vector<std::string> out;
        if (auto it = items.find(folder); it != items.end())
            for (const DumpedItem &item : it->second)
                out.push_back(item.subject);
        return out;
    }
};
using Strings = std::vector<std::string>;
using Losses = std::vector<std::pair<int, int>>; // kind, count of each loss report
using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

std::string Text(const cJSON *object, const char *name)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

class WriteSandbox : public conntest::ConnectorSandboxTest {
  protected:
    WriteSandbox() : ConnectorSandboxTest(kMailbox, kPassword) {}
    void SetUp() override
    {
        ConnectorSandboxTest::SetUp();
        qvcom_set_loss_handler(
            [](int kind, int count, void *losses) {
                static_cast<Losses *>(losses)->emplace_back(kind, count);
            },
            &losses);
        clock.now = std::time(nullptr); // the API checks signature dates
    }
    // Starts the server and logs on as the target session.
    void StartAndLogon(const std::string &switches = "", std::vector<std::string> serve = {})
    {
        ConnectorSandboxTest::StartAndLogon(switches, 0, serve);
    }
    int InitWrite(const std::string &folder, int kind = 0, const std::string &group = "root")
    {
        Record msg = NewRecord(0);
        set_text(msg->group_folder, group);
        return InitWriteImpl(session, msg.get(), folder.c_str(), kind);
    }
    // A mail record with a text body and an attachment of `attachment` bytes.
    Record Mail(const std::string &subject, std::size_t attachment = 100)
    {
        Record msg = NewRecord(++numbers_);
        set_text(msg->subject, subject);
        set_text(msg->from_name, "Ann");
        set_text(msg->from_address, "ann@example.org");
        AddRecipient(*msg, "Bob", "bob@example.org");
        msg->date = com_UnixToFileTime(1767261600 + numbers_);
        AddPart(*msg, work.dir(), QV_PART_TEXT_BODY, "Message Text",
                "Text of " + subject + "\n");
        AddPart(*msg, work.dir(), QV_PART_ATTACHMENT, "data.bin",
                qvtest::sample_bytes(attachment, static_cast<std::uint32_t>(numbers_)));
        return msg;
    }
    int Write(qv_message &msg) { return WriteMsgImpl(session, &msg, work.dir().c_str()); }
    int CreateItemRequests() const { return Count("debug: AMZ: CreateItem\n"); }
    bool Logged(const std::string &needle) const { return log.has(needle); }
    int Count(const std::string &needle) const { return static_cast<int>(log.count(needle)); }
    // The id the session's folder table holds for an internal path.
    std::optional<std::string> KnownFolder(const std::string &internal_path) const
    {
        for (const FolderEntry &entry : session.state.folders)
            if (entry.internal_path == internal_path)
                return entry.folder_id;
        return std::nullopt;
    }

    Dump DumpMailbox()
    {
        std::filesystem::path out = data_dir / "dump";
        std::filesystem::remove_all(out);
        cli({"dump", "--mailbox", kMailbox, "--out", out.string()});
        Dump dump;
        Json folders(cJSON_Parse(ReadFile((out / "folders.json").string()).c_str()), cJSON_Delete);
        const cJSON *folder;
        cJSON_ArrayForEach(folder, cJSON_GetObjectItemCaseSensitive(folders.get(), "folders"))
            if (Text(folder, "tree") == "msgfolderroot")
                dump.folder_ids[Text(folder, "path")] = Text(folder, "id");
        for (int n = 1;; ++n) {
            char name[16];
            std::snprintf(name, sizeof name, "%06d", n);
            std::filesystem::path props = out / (std::string(name) + ".json");
            if (!std::filesystem::exists(props))
                break;
            Json json(cJSON_Parse(ReadFile(props.string()).c_str()), cJSON_Delete);
            dump.items[Text(json.get(), "folder")].push_back(
                {Text(json.get(), "subject"), Text(json.get(), "item_class"),
                 ReadFile((out / (std::string(name) + ".eml")).string())});
        }
        return dump;
    }

    Losses losses;

  private:
    int numbers_ = 0;
};

TEST_F(WriteSandbox, FoldersAreCreatedTopDownAndRemembered)
{
    StartAndLogon("/DEBUG /CURLDEBUG");
    ASSERT_EQ(InitWrite("Projects^2019^Q1"), 0) << log.text();
    EXPECT_EQ(Count("debug: CreateFolder, "), 3);
    Dump dump = DumpMailbox();
    ASSERT_EQ(dump.folder_ids.count("Projects/2019/Q1"), 1u);
    EXPECT_EQ(session.state.target_folder_id, dump.folder_ids["Projects/2019/Q1"]);
    for (const auto &[path, shown] : {std::pair{"Projects", "Projects"},
                                      {"Projects^2019", "Projects/2019"},
                                      {"Projects^2019^Q1", "Projects/2019/Q1"}})
        EXPECT_EQ(KnownFolder(path), dump.folder_ids.at(shown)) << path;

    // Known now: no request.  A sibling below a known parent: one.
    ASSERT_EQ(InitWrite("projects^2019^q1"), 0);
    EXPECT_EQ(Count("debug: CreateFolder, "), 3);
    EXPECT_TRUE(Logged("debug: existing folder found"));
    ASSERT_EQ(InitWrite("Projects^2019^Q2"), 0);
    EXPECT_EQ(Count("debug: CreateFolder, "), 4);
    EXPECT_EQ(CloseWriteImpl(session, 0), 0); // nothing written: nothing sent
    EXPECT_EQ(CreateItemRequests(), 0);
}

TEST_F(WriteSandbox, ExistingParentsSuppressedLevelsGroupAndKindFolders)
{
    StartAndLogon("/DEBUG");
    ASSERT_EQ(InitWrite("Inbox^Receipts"), 0);
    EXPECT_EQ(Count("debug: CreateFolder, "), 1);

    session.settings.path_level = 1; // "/D49 1"
    ASSERT_EQ(InitWrite("Old Store^Inbox^Projects"), 0);
    session.settings.path_level = 5; // more levels than the path has: searched whole
    ASSERT_EQ(InitWrite("Top^Level"), 0);
    session.settings.path_level = 0;

    ASSERT_EQ(InitWrite("Inbox", 0, "Archive"), 0);
    std::string archive_inbox = session.state.target_folder_id;
    ASSERT_EQ(InitWrite("Inbox", 0, "ROOT"), 0);

    Dump dump = DumpMailbox();
    EXPECT_EQ(session.state.target_folder_id, dump.folder_ids["Inbox"]);
    EXPECT_EQ(archive_inbox, dump.folder_ids["Archive/Inbox"]);
    for (const char *path : {"Inbox/Receipts", "Inbox/Projects", "Top/Level", "Archive/Inbox"})
        EXPECT_EQ(dump.folder_ids.count(path), 1u) << path;
    EXPECT_EQ(dump.folder_ids.count("Old Store"), 0u);
    EXPECT_TRUE(Logged("Suppressing 1 levels of folder hierarchy: Inbox^Projects"));

    // Contacts and calendar kinds go to the session's folders of that kind.
    ASSERT_EQ(InitWrite("anything", 1), 0); // contacts: the session's contacts folder
    dump = DumpMailbox();
    EXPECT_EQ(session.state.target_folder_id, dump.folder_ids[session.state.contacts_folder]);
    ASSERT_EQ(InitWrite("anything", 2), 0);
    EXPECT_EQ(session.state.target_folder_id, dump.folder_ids[session.state.calendar_folder]);
    session.settings.keep_host_folder_names = 1; // "/D219"
    ASSERT_EQ(InitWrite("Shared Calendar", 2), 0);
    EXPECT_EQ(DumpMailbox().folder_ids.count("Shared Calendar"), 1u);
    EXPECT_EQ(CloseWriteImpl(session, 0), 0);

    EXPECT_EQ(InitWrite("x", 9), 1);
    EXPECT_TRUE(Logged("QV Warning: cannot create folder \"x\""));
    Record msg = Mail("nowhere");
    EXPECT_EQ(Write(*msg), kWriteNoTarget);
    EXPECT_TRUE(Logged("QV Warning: no target folder found"));
}

// Every message alone by default; with /D251 5 five go in one request.
TEST_F(WriteSandbox, EveryMessageAloneByDefaultOrFiveInABundle)
{
    StartAndLogon("/CURLDEBUG");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    for (const char *subject : {"one", "two", "three"}) {
        Record msg = Mail(subject);
        EXPECT_EQ(Write(*msg), kWriteStored) << log.text();
    }
    EXPECT_EQ(CreateItemRequests(), 3);
    Dump dump = DumpMailbox();
    ASSERT_EQ(dump.Subjects("Inbox"), (Strings{"one", "two", "three"}));
    EXPECT_TRUE(dump.items["Inbox"][1].mime.find("Text of two") != std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(work.file(kBundleFileName)));
    EXPECT_FALSE(std::filesystem::exists(work.file(kMimeWorkFileName)));

    StartAndLogon("/CURLDEBUG /D251 5");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    for (int i = 1; i <= 5; ++i) {
        Record msg = Mail("bundled " + std::to_string(i));
        EXPECT_EQ(Write(*msg), kWriteStored);
        EXPECT_EQ(CreateItemRequests(), i == 5 ? 4 : 3) << i;
    }
    Record sixth = Mail("bundled 6");
    EXPECT_EQ(Write(*sixth), kWriteStored);
    EXPECT_EQ(CloseWriteImpl(session, 1), 0); // keep: nothing sent
    EXPECT_EQ(CreateItemRequests(), 4);
    EXPECT_EQ(CloseWriteImpl(session, 0), 0);
    EXPECT_EQ(CreateItemRequests(), 5);
    Strings expected = {"one", "two", "three"};
    for (int i = 1; i <= 6; ++i)
        expected.push_back("bundled " + std::to_string(i));
    EXPECT_EQ(DumpMailbox().Subjects("Inbox"), expected);
    EXPECT_TRUE(losses.empty());
}

TEST_F(WriteSandbox, SizeEstimateSplitsTheBundle)
{
    StartAndLogon("/CURLDEBUG /DEBUG /D251 5");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    // The estimate of one such message, measured on a copy.
    Record probe = Mail("probe", 3000);
    std::string probe_path = work.file("probe.eml");
    std::FILE *out = std::fopen(probe_path.c_str(), "wb");
    BuildMime(*probe, out, kBundleBoundarySeed, work.dir(),
              MimeBuildOptions::FromSession(session));
    std::uint32_t estimate = static_cast<std::uint32_t>(std::ftell(out)) / 3 * 4;
    std::fclose(out);
    session.state.bundle.bytes_max = estimate * 5 / 2; // two fit, the third does not

    const Strings subjects = {"first", "second", "third", "fourth"};
    for (const std::string &subject : subjects) {
        Record msg = Mail(subject, 3000);
        EXPECT_EQ(Write(*msg), kWriteStored);
    }
    EXPECT_EQ(CreateItemRequests(), 1); // the first two, when the third came
    EXPECT_TRUE(Logged("debug: maximum bundle size reached at message count=2"));
    EXPECT_EQ(CloseWriteImpl(session, 0), 0);
    EXPECT_EQ(CreateItemRequests(), 2);
    EXPECT_EQ(DumpMailbox().Subjects("Inbox"), subjects);

    // A message larger than the limit on its own is sent alone at once,
    // not refused.
    session.state.bundle.bytes_max = 10;
    Record huge = Mail("huge");
    EXPECT_EQ(Write(*huge), kWriteStored);
    EXPECT_EQ(CreateItemRequests(), 3);
    EXPECT_EQ(session.state.bundle.count, 0);
    EXPECT_FALSE(Logged("QV Warning: unable to send message because it is too large"));
    EXPECT_EQ(DumpMailbox().items["Inbox"].back().subject, "huge");
    EXPECT_TRUE(losses.empty());
}

TEST_F(WriteSandbox, ServerErrorsAreRetriedClientErrorsAreNot)
{
    StartAndLogon();
    ASSERT_EQ(InitWrite("Inbox"), 0);
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 500, "count": 2})");
    Record retried = Mail("retried");
    EXPECT_EQ(Write(*retried), kWriteStored) << log.text();
    EXPECT_EQ(Count("QV Info: retrying message (retried)"), 2);
    EXPECT_EQ(clock.sleeps, (std::vector<int>{2000, 3000}));

    clock.sleeps.clear();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 500, "count": 9})");
    Record failed = Mail("failed");
    EXPECT_EQ(Write(*failed), kWriteLost);
    EXPECT_EQ(clock.sleeps, (std::vector<int>{2000, 3000, 4000}));
    EXPECT_TRUE(Logged("QV Warning: unable to send message, HTTP error 500"));
    auto client = server->client();
    client.request("DELETE", "/sandbox/faults", "");

    clock.sleeps.clear();
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 400})");
    Record refused = Mail("refused");
    EXPECT_EQ(Write(*refused), kWriteLost);
    EXPECT_TRUE(clock.sleeps.empty());
    EXPECT_EQ(Count("QV Info: retrying message (refused)"), 0);
    EXPECT_TRUE(Logged("QV Warning: unable to send message, HTTP error 400"));

    EXPECT_EQ(losses, (Losses{{kLossKindMail, 1}, {kLossKindMail, 1}}));
    EXPECT_EQ(DumpMailbox().Subjects("Inbox"), Strings{"retried"});
}

TEST_F(WriteSandbox, TooLargeAnswersNameTheSize)
{
    StartAndLogon("/D251 2");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 413})");
    Record a = Mail("a"), b = Mail("b");
    EXPECT_EQ(Write(*a), kWriteStored);
    EXPECT_EQ(Write(*b), kWriteLost);
    EXPECT_TRUE(clock.sleeps.empty());
    InjectFault(R"({"operation": "CreateItem", "kind": "http_status", "status": 507, "count": 4})");
    Record c = Mail("c"), d = Mail("d");
    EXPECT_EQ(Write(*c), kWriteStored);
    EXPECT_EQ(Write(*d), kWriteLost);
    EXPECT_EQ(clock.sleeps.size(), 3u); // 507 is a server error: retried first
    EXPECT_EQ(Count("QV Warning: unable to send message because it is too large"), 2);
    EXPECT_EQ(losses, (Losses{{kLossKindMail, 2}, {kLossKindMail, 2}}));
    EXPECT_TRUE(DumpMailbox().items.empty());
}

// Alone in its request, a refused message is answered lost: the host must
// not count it stored.  Inside a bundle the request as a whole succeeds;
// the refusal is reported as a loss.
TEST_F(WriteSandbox, MessageRefusedAloneOrInsideASuccessfulBundle)
{
    StartAndLogon("", {"--max-message-bytes", "20000"});
    ASSERT_EQ(InitWrite("Inbox"), 0);
    Record big = Mail("too big", 30000), small = Mail("small");
    EXPECT_EQ(Write(*big), kWriteLost);
    EXPECT_EQ(Write(*small), kWriteStored);
    EXPECT_EQ(losses, (Losses{{kLossKindMail, 1}}));

    StartAndLogon("/D251 3");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    const std::string refusal = "QV Warning: message \"too big\" was not stored: ErrorMessageSizeExceeded";
    const int refusals = Count(refusal);
    Record small1 = Mail("small one"), big2 = Mail("too big", 30000), small2 = Mail("small two");
    EXPECT_EQ(Write(*small1), kWriteStored);
    EXPECT_EQ(Write(*big2), kWriteStored);
    EXPECT_EQ(Write(*small2), kWriteStored);
    EXPECT_EQ(Count(refusal), refusals + 1) << log.text();
    EXPECT_EQ(losses, (Losses{{kLossKindMail, 1}, {kLossKindMail, 1}}));
    EXPECT_EQ(DumpMailbox().Subjects("Inbox"), (Strings{"small", "small one", "small two"}));
}

// ErrorFolderExists: the folder is there (made since logon), so it is the
// target.  Any other refusal leaves no target: no mail in the parent, no
// later level under a wrong path.
TEST_F(WriteSandbox, FolderCreationRefusedOrAlreadyThere)
{
    StartAndLogon("/DEBUG");
    ASSERT_EQ(InitWrite("Projects^Sub"), 0);
    const std::string made = session.state.target_folder_id;
    std::erase_if(session.state.folders,
                  [](const FolderEntry &e) { return e.internal_path == "Projects^Sub"; });
    ASSERT_EQ(InitWrite("Projects^Sub"), 0) << log.text();
    EXPECT_EQ(session.state.target_folder_id, made);
    EXPECT_TRUE(Logged("QV Info: folder \"Projects^Sub\" exists already, it is used"));

    InjectFault(R"({"operation": "CreateFolder", "kind": "response_error",)"
                R"( "response_code": "ErrorAccessDenied", "after": 1})");
    EXPECT_EQ(InitWrite("Top^Middle^Leaf"), 1);
    EXPECT_TRUE(session.state.target_folder_id.empty());
    EXPECT_TRUE(Logged("QV Warning: unable to create folder \"Top^Middle\" (ErrorAccessDenied)"));
    EXPECT_EQ(KnownFolder("Top^Leaf"), std::nullopt);
    EXPECT_EQ(KnownFolder("Top^Middle"), std::nullopt);
    Record msg = Mail("nowhere");
    EXPECT_EQ(Write(*msg), kWriteNoTarget);
    EXPECT_EQ(losses, (Losses{{kLossKindMail, 1}}));
    Dump dump = DumpMailbox();
    EXPECT_EQ(dump.folder_ids.count("Top"), 1u);
    EXPECT_EQ(dump.folder_ids.count("Top/Leaf"), 0u);
    EXPECT_TRUE(dump.items.empty());
}

TEST_F(WriteSandbox, OtherItemKindsLostWorkFilesAndStickyNotes)
{
    StartAndLogon();
    ASSERT_EQ(InitWrite("Inbox"), 0);
    // Contacts, tasks and calendar items have writers of their own.
    Record skipped = Mail("skipped");
    skipped->item_type = QV_ITEM_SKIP;
    EXPECT_EQ(Write(*skipped), kWriteStored);
    Record odd = Mail("odd kind");
    odd->item_type = 5; // written as mail
    EXPECT_EQ(Write(*odd), kWriteStored);
    EXPECT_FALSE(Logged("QV Warning: "));

    Record lost = Mail("lost");
    EXPECT_EQ(WriteMsgImpl(session, lost.get(), "/nonexistent/qv-work/"), kWriteLost);
    EXPECT_TRUE(Logged("QV Warning: message \"lost\" lost"));
    EXPECT_EQ(losses, (Losses{{kLossKindMail, 1}}));

    // The Notes folder (the name's case counts) makes mail sticky notes;
    // mail properties are the message element's test and the copy's end
    // to end.
    EXPECT_FALSE(session.state.sticky_note_mode);
    ASSERT_EQ(InitWrite("notes"), 0);
    EXPECT_FALSE(session.state.sticky_note_mode);
    ASSERT_EQ(InitWrite("Notes"), 0);
    EXPECT_TRUE(session.state.sticky_note_mode);
    Record note = Mail("a note");
    EXPECT_EQ(Write(*note), kWriteStored);
    Dump dump = DumpMailbox();
    EXPECT_EQ(dump.Subjects("Inbox"), Strings{"odd kind"});
    ASSERT_EQ(dump.items["Notes"].size(), 1u);
    EXPECT_EQ(dump.items["Notes"][0].item_class, kStickyNoteClass);
}

TEST_F(WriteSandbox, PendingBundleGoesToItsOwnFolder)
{
    StartAndLogon("/D251 5 /MAILDEBUG");
    ASSERT_EQ(InitWrite("Inbox"), 0);
    Record a = Mail("for inbox 1"), b = Mail("for inbox 2");
    EXPECT_EQ(Write(*a), kWriteStored);
    EXPECT_EQ(Write(*b), kWriteStored);
    EXPECT_EQ(CloseWriteImpl(session, 1), 0);
    ASSERT_EQ(InitWrite("Elsewhere"), 0); // sends the Inbox bundle first
    Record c = Mail("for elsewhere");
    EXPECT_EQ(Write(*c), kWriteStored);
    EXPECT_EQ(CloseWriteImpl(session, 0), 0);
    Dump dump = DumpMailbox();
    EXPECT_EQ(dump.Subjects("Inbox"), (Strings{"for inbox 1", "for inbox 2"}));
    EXPECT_EQ(dump.Subjects("Elsewhere"), Strings{"for elsewhere"});
    std::string copies = session.state.base_dir + "debug/" + session.state.debug_folder + "/";
    EXPECT_TRUE(std::filesystem::exists(copies + "wmin0.xml"));
    EXPECT_TRUE(std::filesystem::exists(copies + "wmin1.xml"));
    EXPECT_NE(ReadFile(copies + "wmin0.xml").find("</Items>\n"), std::string::npos);
}

} // namespace
} // namespace mwtest

#endif // QV_SANDBOX_PATH
