// The differential copy: every message of tests/data/corpus is seeded into
// one ews-sandbox mailbox, copied with `qvmigrate copy` into another, and
// each source and copy are compared as GMime reads them.  The differences
// found must be exactly those listed in
// tests/data/corpus/expected-differences.txt.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>

#include "compare.hpp"
#include "dump_compare.hpp"
#include "expectations.hpp"
#include "qv_test_support.hpp"
#include "sandbox_process.hpp"

namespace difftest {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char *kSource = "source@example.com";
constexpr const char *kTarget = "target@example.com";
constexpr const char *kPassword = "Diff-pw-1";
constexpr const char *kTopFolder = "Corpus";

using qvtest::read_file;
using qvtest::write_file;

struct CorpusMessage {
    std::string name; // path below the corpus folder: "kinds/01-x.eml"
    fs::path file;
    std::string original;
    MessageView source;     // GMime's view, every header block ended by a blank line
    std::string folder;     // the mailbox folder it is seeded into
    bool shared = false;    // shares its folder: its copy is found by Message-ID
};

// Messages with a Message-ID no other message has share a folder per
// corpus folder; the others get a folder of their own, so that every copy
// can be told apart without trusting anything the copy changed.
std::vector<CorpusMessage> load_corpus() {
    std::vector<CorpusMessage> corpus;
    for (const auto &entry : fs::recursive_directory_iterator(QV_CORPUS_DIR))
        if (entry.is_regular_file() && entry.path().extension() == ".eml") {
            CorpusMessage message;
            message.name = fs::relative(entry.path(), QV_CORPUS_DIR).generic_string();
            message.file = entry.path();
            corpus.push_back(std::move(message));
        }
    std::sort(corpus.begin(), corpus.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    std::map<std::string, int> ids;
    for (CorpusMessage &m : corpus) {
        m.original = read_file(m.file);
        m.source = read_message(with_header_ends(m.original, read_message(m.original).boundaries));
        extract_uuencoded_blocks(m.source);
        ++ids[m.source.message_id];
    }
    for (CorpusMessage &m : corpus) {
        const fs::path name(m.name);
        m.shared = !m.source.message_id.empty() && ids[m.source.message_id] == 1;
        m.folder = std::string(kTopFolder) + "/" + name.parent_path().generic_string() +
                   (m.shared ? "" : "/" + name.stem().string());
    }
    return corpus;
}

// Runs one ews-sandbox command; throws with its output when it fails.
void sandbox(std::vector<std::string> args) {
    args.insert(args.begin(), QV_SANDBOX_PATH);
    const qvmigrate::CommandResult result = qvmigrate::run_command(args, std::chrono::seconds(120));
    if (result.status != 0)
        throw std::runtime_error("ews-sandbox " + args[1] + " failed:\n" + result.output);
}

void seed(const fs::path &data, const fs::path &staging, const std::vector<CorpusMessage> &corpus) {
    std::map<std::string, fs::path> folders;
    for (const CorpusMessage &m : corpus) {
        auto [it, added] = folders.emplace(m.folder, staging / std::to_string(folders.size()));
        fs::create_directories(it->second);
        fs::copy_file(m.file, it->second / fs::path(m.name).filename());
    }
    for (const auto &[folder, files] : folders)
        sandbox({"seed", "--data", data.string(), "--mailbox", kSource, "--eml-dir", files.string(), "--folder",
                 folder});
}

using ItemsByFolder = std::map<std::string, std::vector<const qvmigrate::DumpItem *>>;

ItemsByFolder items_by_folder(const qvmigrate::MailboxDump &dump) {
    ItemsByFolder by_folder;
    for (const qvmigrate::DumpItem &item : dump.items)
        by_folder[item.folder].push_back(&item);
    return by_folder;
}

struct CopyOutcome {
    qvmigrate::MailboxDump source, target;
    int status = -1;
    std::string output;
};

CopyOutcome seed_and_copy(const fs::path &scratch, const std::vector<CorpusMessage> &corpus) {
    const fs::path data = scratch / "sandbox";
    fs::create_directories(data);
    for (const char *box : {kSource, kTarget})
        sandbox({"user", "add", "--data", data.string(), "--mailbox", box, "--password", kPassword});
    const auto started = std::chrono::steady_clock::now();
    seed(data, scratch / "seed", corpus);
    const auto seeded = std::chrono::steady_clock::now();
    qvmigrate::SandboxServer server(QV_SANDBOX_PATH, data, scratch / "server.log", 30s);
    setenv("DIFF_SOURCE_PW", kPassword, 1);
    setenv("DIFF_TARGET_PW", kPassword, 1);
    const std::string url = server.where().url;
    const qvmigrate::CommandResult copy = qvmigrate::run_command(
        {QV_QVMIGRATE_PATH, "copy", "--from-server", url, "--from-user", kSource, "--from-password-env",
         "DIFF_SOURCE_PW", "--to-server", url, "--to-user", kTarget, "--to-password-env", "DIFF_TARGET_PW",
         "--ca-file", server.where().ca_file, "--state", (scratch / "state").string(), "--folder", kTopFolder,
         "--plugin", QV_PLUGIN_PATH},
        240s);
    const auto copied = std::chrono::steady_clock::now();
    auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
    std::cout << "seeding " << seconds(started, seeded) << " s, copy " << seconds(seeded, copied) << " s\n";
    CopyOutcome outcome;
    outcome.status = copy.status;
    outcome.output = copy.output;
    for (const auto &[box, name] : {std::pair{kSource, "source"}, {kTarget, "target"}})
        sandbox({"dump", "--data", data.string(), "--mailbox", box, "--out", (scratch / name).string()});
    outcome.source = qvmigrate::load_dump(scratch / "source");
    outcome.target = qvmigrate::load_dump(scratch / "target");
    return outcome;
}

// The copies in the message's folder that are its copy: every item of a
// folder of its own, the items with its Message-ID in a shared one.
std::vector<std::string> copies_of(const CorpusMessage &message, const ItemsByFolder &target) {
    std::vector<std::string> copies;
    const auto folder = target.find(message.folder);
    if (folder == target.end())
        return copies;
    for (const qvmigrate::DumpItem *item : folder->second) {
        std::string bytes = read_file(item->eml);
        if (!message.shared || read_message(bytes).message_id == message.source.message_id)
            copies.push_back(std::move(bytes));
    }
    return copies;
}

// Compares one corpus message with its copy.
std::vector<Difference> compare_one(const CorpusMessage &message, const ItemsByFolder &source,
                                    const ItemsByFolder &target) {
    const auto seeded = source.find(message.folder);
    const bool stored = seeded != source.end() &&
                        std::any_of(seeded->second.begin(), seeded->second.end(), [&](const qvmigrate::DumpItem *item) {
                            return read_file(item->eml) == message.original;
                        });
    if (!stored)
        return {{"seed", "the source mailbox does not hold the file's bytes in " + message.folder}};
    const std::vector<std::string> copies = copies_of(message, target);
    if (copies.empty())
        return {{"lost", "no copy in " + message.folder}};
    std::vector<Difference> found;
    if (copies.size() > 1)
        found.push_back({"extra-items", std::to_string(copies.size()) + " copies in " + message.folder});
    for (Difference &d : compare_messages(message.source, read_message(copies.front())))
        found.push_back(std::move(d));
    return found;
}

TEST(DifferentialCopy, EveryCorpusMessageDiffersOnlyAsListed) {
    const std::vector<CorpusMessage> corpus = load_corpus();
    ASSERT_GE(corpus.size(), 200u) << "the corpus in " << QV_CORPUS_DIR << " is incomplete";
    const KindsByMessage expected = parse_expectations(read_file(fs::path(QV_CORPUS_DIR) / "expected-differences.txt"));

    qvtest::TempDir scratch; // QV_TEST_KEEP=1 keeps the sandbox data, dumps and logs
    const CopyOutcome copy = seed_and_copy(scratch.path(), corpus);
    const ItemsByFolder source = items_by_folder(copy.source), target = items_by_folder(copy.target);

    KindsByMessage found;
    std::set<std::string> names;
    std::string report;
    int faithful = 0;
    for (const CorpusMessage &message : corpus) {
        names.insert(message.name);
        const std::vector<Difference> differences = compare_one(message, source, target);
        faithful += differences.empty() ? 1 : 0;
        found[message.name] = kinds_of(differences);
        for (const Difference &d : differences)
            report += message.name + " [" + d.kind + "] " + d.detail + "\n";
    }
    const fs::path out_dir = fs::path(QV_BINARY_DIR) / "differential";
    fs::create_directories(out_dir);
    write_file(out_dir / "differences.txt", report);
    write_file(out_dir / "actual-differences.txt", format_expectations(found));

    std::cout << "qvmigrate copy exit status " << copy.status << "; source items " << copy.source.items.size()
              << ", target items " << copy.target.items.size() << "\n"
              << "faithful: " << faithful << " of " << corpus.size() << "\n"
              << "details: " << (out_dir / "differences.txt").string() << "\n";
    EXPECT_EQ(copy.target.items.size(), copy.source.items.size()) << copy.output;
    const std::vector<std::string> problems = check_expectations(expected, found, names);
    std::string listing;
    for (const std::string &problem : problems)
        listing += problem + "\n";
    EXPECT_TRUE(problems.empty()) << listing << "what this run found, in the list's form: "
                                  << (out_dir / "actual-differences.txt").string() << "\n";
}

} // namespace
} // namespace difftest
