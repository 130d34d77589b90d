// An export through the real plug-in: every message's part files land in
// the archive intact, although the connector names the part files of each
// message alike and the archive takes them over from its working folder.
#include <gtest/gtest.h>

#include <cstring>

#include "qv/qvcom.h"
#include "record_archive.hpp"
#include "sandbox_suite.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr const char *kAlice = "alice@example.com";
const std::string kPassword = "Al1ce-pw";
constexpr int kMessages = 4;

// Bodies and attachments of different lengths, the later ones shorter, so
// that a file written over in place would keep the tail of an earlier one.
std::string message(int n) {
    const std::string body = "Body of message " + std::to_string(n) + std::string(400 - 90 * n, '.');
    const std::string attachment = "attachment " + std::to_string(n) + std::string(900 - 200 * n, '#');
    return "From: Sender <sender@example.com>\r\nTo: alice@example.com\r\n"
           "Subject: Message " + std::to_string(n) + "\r\n"
           "Date: Mon, 02 Mar 2026 10:0" + std::to_string(n) + ":00 +0000\r\n"
           "Message-ID: <m" + std::to_string(n) + "@example.com>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
           "--b\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + body + "\r\n"
           "--b\r\nContent-Type: text/plain; name=\"a.txt\"\r\n"
           "Content-Disposition: attachment; filename=\"a.txt\"\r\n\r\n" + attachment + "\r\n"
           "--b--\r\n";
}

class QvmigrateExportArchive : public SandboxSuite<QvmigrateExportArchive> {
  protected:
    static void SetUpTestSuite() {
        open([] {
            add_user(kAlice, kPassword);
            std::vector<std::string> messages;
            for (int n = 1; n <= kMessages; ++n)
                messages.push_back(message(n));
            seed(kAlice, "Inbox", messages);
            start_server();
        });
    }
};

TEST_F(QvmigrateExportArchive, EveryMessagesFilesStayAsArchived) {
    const fs::path archive = scratch / "archive";
    const ToolRun run = run_qvmigrate(
        {"export", "--folder", "Inbox", "--out", archive.string(), "--server", server->where().url,
         "--user", kAlice, "--password-env", "PW", "--ca-file", server->where().ca_file, "--state",
         (scratch / "state").string()},
        {env("PW", kPassword)}, scratch);
    ASSERT_EQ(run.status, 0) << run.err << run.out;

    // Each file against the size and digest taken when it was archived,
    // after the whole folder was read.
    ArchiveReader reader(archive);
    EXPECT_NO_THROW(reader.verify());
    ASSERT_EQ(reader.manifest().folders.size(), 1u);
    const ArchiveFolder &inbox = reader.manifest().folders[0];
    ASSERT_EQ(inbox.items, kMessages);

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
