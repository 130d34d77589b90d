// qvmigrate end to end: the program, the real plug-in and ews-sandbox.
#include <gtest/gtest.h>

#include <cstring>

#include "compare_contacts.hpp"
#include "mime_digest.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"
#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr const char *kAlice = "alice@example.com";
constexpr const char *kBob = "bob@example.com";
constexpr const char *kCarol = "carol@example.com";
constexpr const char *kAdmin = "admin@example.com";
const std::string kAlicePassword = "Al1ce-pw;with blanks";
const std::string kBobPassword = "B0b-pw";
const std::string kCarolPassword = "Car0l-pw";
const std::string kAdminPassword = "Adm1n|pw/~";
constexpr const char *kDave = "dave@example.com";
const std::string kDavePassword = "Dav3-pw";
constexpr int kDaveMessages = 4;

// Bodies and attachments of different lengths, the later ones shorter, so
// that a file written over in place would keep the tail of an earlier one.
std::string message(int n) {
    const std::string body = "Body of message " + std::to_string(n) + std::string(400 - 90 * n, '.');
    const std::string attachment = "attachment " + std::to_string(n) + std::string(900 - 200 * n, '#');
    return "From: Sender <sender@example.com>\r\nTo: dave@example.com\r\n"
           "Subject: Message " + std::to_string(n) + "\r\n"
           "Date: Mon, 02 Mar 2026 10:0" + std::to_string(n) + ":00 +0000\r\n"
           "Message-ID: <m" + std::to_string(n) + "@example.com>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
           "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n"
           "--b\r\nContent-Type: text/plain; name=\"a.txt\"\r\n"
           "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\n" + attachment + "\r\n"
           "--b--\r\n";
}

class QvmigrateEndToEnd : public SandboxSuite<QvmigrateEndToEnd> {
  protected:
    static void SetUpTestSuite() {
        open([] {
            for (const auto &[box, pw] : {std::pair{kAlice, kAlicePassword}, {kBob, kBobPassword},
                                          {kCarol, kCarolPassword}, {kDave, kDavePassword}})
                add_user(box, pw);
            add_user(kAdmin, kAdminPassword, true);
            sandbox({"seed", "--mailbox", kAlice, "--demo"});
            std::vector<std::string> messages;
            for (int n = 1; n <= kDaveMessages; ++n)
                messages.push_back(message(n));
            seed(kDave, "Inbox", messages);
            start_server();
        });
    }
};

// Also the demo's check on the sandbox's real demo content: the dumps
// load, and every message shows a body.
TEST_F(QvmigrateEndToEnd, CopyMatchesTheSourceAndASecondCopyIsAllDuplicates) {
    const auto args = join({{"copy", "--json"}, side("from-", kAlice, "A_PW"), side("to-", kBob, "B_PW"), common()});
    const std::vector<std::string> secrets = {env("A_PW", kAlicePassword), env("B_PW", kBobPassword)};
    const ToolRun first = run_qvmigrate(args, secrets, scratch);
    ASSERT_EQ(first.status, 0) << first.err << first.out;
    const std::int64_t migrated = total(first, "migrated");
    ASSERT_GT(migrated, 0) << first.out;

    const MailboxDump source = dump(kAlice, "alice-1");
    ASSERT_GT(source.items.size(), 10u);
    for (const DumpItem &item : source.items) {
        if (is_contact(item))
            continue; // a contact's fields are all in its .json
        const MimeDigest digest = digest_mime(read_file(item.eml));
        EXPECT_TRUE(digest.text || digest.html) << item.folder << " " << item.subject;
    }
    const CheckOutcome check = compare_dumps(source, dump(kBob, "bob-1"));
    EXPECT_TRUE(check.passed) << ::testing::PrintToString(check.differences);

    const ToolRun second = run_qvmigrate(args, secrets, scratch);
    ASSERT_EQ(second.status, 0) << second.err << second.out;
    EXPECT_EQ(total(second, "migrated"), 0);
    EXPECT_EQ(total(second, "duplicates"), migrated);
    EXPECT_EQ(dump(kBob, "bob-2").items.size(), source.items.size());
}

// Dates, --max-items and logon failures are the job drivers' (JobDrivers,
// with the stand-in connector) and the connector's own sandbox tests'.

TEST_F(QvmigrateEndToEnd, SecretsStayOutOfLogsAndProcessListings) {
    const fs::path log = scratch / "secrets.log";
    const auto args = join({{"copy", "--log", log.string(), "--from-server", server->where().url,
                             "--from-user", kAlice, "--from-delegate", kAdmin,
                             "--from-delegate-password-env", "ADMIN_PW"},
                            side("to-", kCarol, "C_PW"), common()});
    const ToolRun run = run_qvmigrate(args, {env("ADMIN_PW", kAdminPassword), env("C_PW", kCarolPassword)},
                                  scratch, log);
    EXPECT_EQ(run.status, 0) << run.err;
    std::string scrambled(2 + 2 * kAdminPassword.size(), '\0');
    ASSERT_NE(qvcom_scramble(kAdminPassword.c_str(), scrambled.data(), scrambled.size()), 0);
    scrambled.resize(scrambled.size() - 1);
    const std::string log_text = read_file(log);
    ASSERT_NE(log_text.find("qvmigrate: switches: /AUTHAMZD;admin@example.com|****"), std::string::npos);
    for (const std::string &secret : {kAdminPassword, kCarolPassword, scrambled.substr(1)}) {
        EXPECT_EQ(log_text.find(secret), std::string::npos) << "log holds " << secret;
        EXPECT_EQ(run.out.find(secret), std::string::npos);
        EXPECT_EQ(run.err.find(secret), std::string::npos);
        EXPECT_EQ(run.seen_cmdline.find(secret), std::string::npos);
        EXPECT_EQ(run.seen_environ.find(secret), std::string::npos);
    }
    EXPECT_FALSE(run.seen_cmdline.empty());
}

// The connector names the part files of each message alike and the archive
// takes them over from its working folder: every message's files must land
// in the archive intact.
TEST_F(QvmigrateEndToEnd, ExportKeepsEveryMessagesFilesAsArchived) {
    const fs::path archive = scratch / "archive";
    const ToolRun run = run_qvmigrate(join({{"export", "--folder", "Inbox", "--out", archive.string()},
                                            side("", kDave, "PW"), common()}),
                                      {env("PW", kDavePassword)}, scratch);
    ASSERT_EQ(run.status, 0) << run.err << run.out;

    // Each file against the size and digest taken when it was archived,
    // after the whole folder was read.
    ArchiveReader reader(archive);
    EXPECT_NO_THROW(reader.verify());
    ASSERT_EQ(reader.manifest().folders.size(), 1u);
    const ArchiveFolder &inbox = reader.manifest().folders[0];
    ASSERT_EQ(inbox.items, kDaveMessages);

    // And each holds its own message's text, whole.
    const std::string work = (scratch / "work").string() + "/";
    fs::create_directories(work);
    for (int sequence = 1; sequence <= inbox.items; ++sequence) {
        Record record = new_record(3);
        reader.read_item(inbox, sequence, *record, work);
        const int n = record->subject[std::strlen("Message ")] - '0';
        std::string files;
        for (int i = 0; i < record->part_count; ++i)
            files += read_file(qvcom::part_file_path(work, record->msg_number, i)) + "|";
        EXPECT_NE(files.find("Body of message " + std::to_string(n) + std::string(400 - 90 * n, '.')),
                  std::string::npos) << files;
        EXPECT_NE(files.find("attachment " + std::to_string(n) + std::string(900 - 200 * n, '#') + "|"),
                  std::string::npos) << files;
        com_Deallocate_All(record.get(), work.c_str());
    }
}

} // namespace
} // namespace qvmigrate
