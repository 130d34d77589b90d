// What qvmigrate leaves on disk is its owner's alone: archive, stage,
// state folder and log are 0700/0600 even under a umask of 022, and secret
// files that others can read are refused.  The jobs run in this process
// (run_qvmigrate), without the program's own umask, so the explicit modes
// of qvmigrate and libqvcom are what is checked.
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app.hpp"
#include "private_files.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom_mime.h"
#include "fake_job.hpp"
#include "secret_input.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

using qvtest::mode_of;
using qvtest::Umask;

// Every path below `root` (and root itself) whose mode is not 0700 for a
// folder or 0600 for a file; also counts the files seen.
std::vector<std::string> open_paths(const fs::path &root, int &files) {
    std::vector<std::string> wrong;
    auto check = [&](const fs::path &path) {
        const bool dir = fs::is_directory(path);
        files += dir ? 0 : 1;
        const unsigned expected = dir ? 0700 : 0600;
        if (mode_of(path) != expected) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", mode_of(path));
            wrong.push_back(path.string() + " " + mode);
        }
    };
    check(root);
    for (const auto &entry : fs::recursive_directory_iterator(root))
        check(entry.path());
    return wrong;
}

class PrivateFiles : public FakeJobTest {
  protected:
    // The job in this process; each run reads and removes its variables.
    ToolRun run(std::vector<std::string> args, std::initializer_list<std::vector<std::string>> more) {
        ::setenv("ALICE_PW", "alice-pw", 1);
        ::setenv("BOB_PW", "bob-pw", 1);
        const std::vector<std::string> all = join({{"qvmigrate"}, job(std::move(args), more)});
        std::vector<const char *> argv;
        for (const std::string &arg : all)
            argv.push_back(arg.c_str());
        std::ostringstream out, err;
        ToolRun result;
        result.status = qvmigrate::run_qvmigrate(static_cast<int>(argv.size()), argv.data(), out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
};

TEST_F(PrivateFiles, ArchiveStageStateAndLogAreOwnerOnlyUnderUmask022) {
    Umask wide(022);
    // A state folder that exists open to everyone is narrowed, and said so.
    fs::create_directories(state);
    fs::permissions(state, fs::perms(0755));
    const fs::path archive = temp.path() / "exports" / "alice";
    const fs::path stage = temp.path() / "stage";

    const ToolRun exported = run({"export", "--out", archive.string()}, {side("", "alice@fake")});
    ASSERT_EQ(exported.status, 0) << exported.err << exported.out;
    const ToolRun imported = run({"import", "--in", archive.string()},
                             {side("", "bob@fake"), store_switch("")});
    ASSERT_EQ(imported.status, 0) << imported.err << imported.out;
    const ToolRun copied = run({"copy", "--stage", stage.string()},
                           {side("from-", "alice@fake"), side("to-", "bob@fake"),
                            store_switch("to-")});
    ASSERT_EQ(copied.status, 0) << copied.err << copied.out;

    int files = 0;
    EXPECT_EQ(open_paths(archive, files), std::vector<std::string>{});
    EXPECT_EQ(mode_of(archive.parent_path()), 0700u) << "a parent qvmigrate created";
    EXPECT_EQ(open_paths(stage, files), std::vector<std::string>{});
    EXPECT_EQ(open_paths(state, files), std::vector<std::string>{});
    // Not vacuous: manifests, items, part files, the log and the store.
    EXPECT_GE(files, 20);
    int part_files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(archive))
        part_files += entry.path().extension().string().starts_with(".p") ? 1 : 0;
    EXPECT_GE(part_files, 5) << "bodies and the attachment";
    EXPECT_TRUE(fs::exists(state / "qvmigrate.log"));
    EXPECT_TRUE(fs::exists(state / "duplicates.sqlite"));
    const std::string log = read_file(state / "qvmigrate.log");
    EXPECT_NE(log.find("QV Warning: the state folder " + state.string() +
                       " was open to other users (mode 0755); narrowed to 0700"),
              std::string::npos)
        << log;
}

TEST_F(PrivateFiles, ExistingOpenArchiveFolderAndLogAreNarrowed) {
    Umask wide(022);
    fs::permissions(temp.path(), fs::perms(0755));
    const fs::path archive = temp.path() / "empty-archive";
    fs::create_directories(archive);
    fs::permissions(archive, fs::perms(0775));
    const fs::path log = temp.path() / "my.log";
    write_file(log, "an earlier run\n");
    fs::permissions(log, fs::perms(0644));

    const ToolRun exported = run({"export", "--out", archive.string(), "--log", log.string()},
                             {side("", "alice@fake")});
    ASSERT_EQ(exported.status, 0) << exported.err;
    int files = 0;
    EXPECT_EQ(open_paths(archive, files), std::vector<std::string>{});
    EXPECT_EQ(mode_of(log), 0600u);
    EXPECT_EQ(mode_of(temp.path()), 0755u) << "the log's existing folder is not ours to narrow";
    EXPECT_NE(read_file(log).find("archive folder " + archive.string() +
                                  " was open to other users (mode 0775)"),
              std::string::npos);
}

// Work files libqvcom writes for any host: decoded parts, converted text,
// copies.
TEST(LibqvcomFiles, DecodedConvertedAndCopiedFilesAreOwnerOnly) {
    Umask wide(022);
    TempDir temp;
    const fs::path part = temp.path() / "PRT00100.TMP";
    write_file(part, "SGVsbG8sIHdvcmxk\n");
    ASSERT_EQ(mode_of(part), 0644u);
    ASSERT_EQ(com_convert_base64(part.c_str(), temp.prefix().c_str()), 12);
    EXPECT_EQ(read_file(part), "Hello, world");
    EXPECT_EQ(mode_of(part), 0600u);

    const fs::path open_source = temp.path() / "latin1.txt", converted = temp.path() / "utf8.txt";
    write_file(open_source, "caf\xe9");
    ASSERT_EQ(com_ConvertFileToUTF8(open_source.c_str(), converted.c_str(), "iso-8859-1"), 1);
    EXPECT_EQ(read_file(converted), "caf\xc3\xa9");
    EXPECT_EQ(mode_of(converted), 0600u);

    const fs::path copy = temp.path() / "copy.txt";
    ASSERT_EQ(com_fcopy(open_source.c_str(), copy.c_str()), 1);
    EXPECT_EQ(mode_of(copy), 0600u);
}

TEST(SecretFiles, OnlyAPrivateFileOfOurOwnIsRead) {
    TempDir temp;
    const fs::path file = temp.path() / "password";
    write_file(file, "pässword\r\nsecond line\n");
    SystemSecretInput input;
    std::string error;

    for (const unsigned open_mode : {0640u, 0604u, 0620u}) {
        fs::permissions(file, fs::perms(open_mode));
        EXPECT_FALSE(input.from_file(file.string(), error)) << std::oct << open_mode;
        EXPECT_NE(error.find("can be read by other users"), std::string::npos) << error;
        EXPECT_NE(error.find("chmod 600 " + file.string()), std::string::npos) << error;
    }

    fs::permissions(file, fs::perms(0600));
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534) == 0, geteuid() == 0);
    if (geteuid() == 0) {
        EXPECT_FALSE(input.from_file(file.string(), error));
        EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
        ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
    }

    const auto secret = input.from_file(file.string(), error);
    ASSERT_TRUE(secret) << error;
    EXPECT_EQ(secret->reveal(), "pässword");

    write_file(file, std::string(5000, 'x'));
    EXPECT_FALSE(input.from_file(file.string(), error));
    EXPECT_NE(error.find("longer than 4096"), std::string::npos) << error;
}

TEST_F(PrivateFiles, GroupReadablePasswordFilesAreRefusedBeforeLogon) {
    const fs::path file = temp.path() / "pw";
    write_file(file, "alice-pw\n");
    fs::permissions(file, fs::perms(0640));
    const ToolRun own = run({"folders", "--server", "fake://server", "--user", "alice@fake",
                         "--password-file", file.string()},
                        {});
    EXPECT_EQ(own.status, 2);
    EXPECT_NE(own.err.find("can be read by other users (mode 0640)"), std::string::npos)
        << own.err;

    fs::permissions(file, fs::perms(0600));
    const ToolRun fine = run({"folders", "--server", "fake://server", "--user", "alice@fake",
                          "--password-file", file.string()},
                         {});
    EXPECT_EQ(fine.status, 0) << fine.err;
}

TEST(SecretHolder, GrowsAndJoinsWithoutLosingBytes) {
    Secret built = Secret::with_capacity(2);
    for (const char c : std::string("a longer secret than two bytes"))
        built.push_back(c);
    EXPECT_EQ(built.reveal(), "a longer secret than two bytes");
    built.append("\r\n");
    built.trim_line_end();
    EXPECT_EQ(Secret::join({"user|", built.reveal(), ""}).reveal(),
              "user|a longer secret than two bytes");
    Secret moved = std::move(built);
    EXPECT_TRUE(built.empty()); // NOLINT(bugprone-use-after-move): wiped on purpose
    EXPECT_EQ(moved.size(), 30u);
}

TEST(ProcessHardening, NoCoreDumpsAndPrivateNewFiles) {
    TempDir temp;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::umask(0);
        harden_process();
        const fs::path file = temp.path() / "made-by-the-child";
        write_file(file, "x");
        const bool ok = ::prctl(PR_GET_DUMPABLE) == 0 && mode_of(file) == 0600;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
} // namespace qvmigrate
