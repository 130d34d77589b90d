// libFuzzer target: the record archive reader of `qvmigrate import`.  The
// input is up to three files separated by a line "--8<--": the manifest,
// item 1 of folder 1 and its part file 0.  The reader checks the archive
// and hands every item it accepts into a record; whatever the files say, it
// refuses with an error or reads.  An accepted item must survive the
// writer: written, read back and written again, it gives the same file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSeparator = "\n--8<--\n";
constexpr int kItemsReadMax = 4;

// The next file of the input.
std::string_view next_file(std::string_view &rest)
{
    const std::size_t end = rest.find(kSeparator);
    const std::string_view file = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + kSeparator.size());
    return file;
}

void release(qv_message &msg, const std::string &work)
{
    com_Deallocate_All(&msg, work.c_str());
    com_ResetObject(&msg);
    msg.msg_number = 1;
}

// The item file the writer makes of `msg` in a fresh archive `dir`.
std::string rewrite(const qv_message &msg, const std::string &work, const fs::path &dir)
{
    std::error_code error;
    fs::remove_all(dir, error);
    qvmigrate::ArchiveWriter writer(dir, "fuzz@example.com");
    writer.begin_folder("Inbox", "Inbox", 0, 1);
    writer.write_item(msg, work);
    writer.finish();
    return qvfuzz::read_bytes((dir / "0001" / "000001.json").string());
}

// Written, read back and written again: the same item file.
void check_round_trip(qv_message &msg, const std::string &work, const fs::path &scratch)
{
    const std::string first = rewrite(msg, work, scratch / "first");
    release(msg, work);
    const qvmigrate::ArchiveReader again(scratch / "first");
    again.read_item(again.manifest().folders.at(0), 1, msg, work);
    if (rewrite(msg, work, scratch / "second") != first)
        std::abort();
}

void read_everything(const fs::path &archive, const std::string &work)
{
    const qvmigrate::ArchiveReader reader(archive);
    reader.verify();
    auto msg = std::make_unique<qv_message>();
    msg->msg_number = 1;
    for (const qvmigrate::ArchiveFolder &folder : reader.manifest().folders) {
        for (int sequence = 1; sequence <= folder.items && sequence <= kItemsReadMax; ++sequence) {
            try {
                reader.read_item(folder, sequence, *msg, work);
            } catch (...) {
                release(*msg, work);
                throw;
            }
            try {
                check_round_trip(*msg, work, archive.parent_path());
            } catch (const std::exception &) {
                std::abort(); // what the reader accepted, the writer must take
            }
            release(*msg, work);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    const std::string &scratch = qvfuzz::scratch_dir("record_archive");
    const fs::path archive = fs::path(scratch) / "archive";
    const std::string work = scratch + "work/";
    std::error_code error;
    fs::remove_all(archive, error);
    fs::create_directories(archive / "0001");
    fs::create_directories(work);
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    for (const char *name : {"manifest.json", "0001/000001.json", "0001/000001.p000"}) {
        qvfuzz::write_bytes((archive / name).string(), next_file(rest));
        if (rest.empty())
            break;
    }
    try {
        read_everything(archive, work);
    } catch (const std::exception &) {
        // A refusal with its reason is the right answer to a damaged archive.
    }
    fs::remove_all(work, error);
    return 0;
}
