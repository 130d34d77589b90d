// libFuzzer target: the record archive reader of `qvmigrate import`.  The
// input is up to three files separated by a line "--8<--": the manifest,
// item 1 of folder 1 and its part file 0.  The reader checks the archive
// and hands every item it accepts into a record, whose files are then
// released; whatever the files say, it refuses with an error or reads.
#include <cstdint>
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

void read_everything(const fs::path &archive, const std::string &work)
{
    const qvmigrate::ArchiveReader reader(archive);
    reader.verify();
    auto msg = std::make_unique<qv_message>();
    for (const qvmigrate::ArchiveFolder &folder : reader.manifest().folders) {
        for (int sequence = 1; sequence <= folder.items && sequence <= kItemsReadMax; ++sequence) {
            try {
                reader.read_item(folder, sequence, *msg, work);
            } catch (...) {
                com_Deallocate_All(msg.get(), work.c_str());
                com_ResetObject(msg.get());
                throw;
            }
            com_Deallocate_All(msg.get(), work.c_str());
            com_ResetObject(msg.get());
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
    qvfuzz::write_bytes((archive / "manifest.json").string(), next_file(rest));
    if (!rest.empty())
        qvfuzz::write_bytes((archive / "0001" / "000001.json").string(), next_file(rest));
    if (!rest.empty())
        qvfuzz::write_bytes((archive / "0001" / "000001.p000").string(), next_file(rest));
    try {
        read_everything(archive, work);
    } catch (const std::exception &) {
        // A refusal with its reason is the right answer to a damaged archive.
    }
    fs::remove_all(work, error);
    return 0;
}
