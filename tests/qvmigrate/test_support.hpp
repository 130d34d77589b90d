// Helpers shared by the qvmigrate tests: temporary folders and records
// built with libqvcom's allocators.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace qvm_test {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
  public:
    TempDir() {
        std::random_device random;
        path_ = fs::temp_directory_path() /
                ("qvmigrate-test-" + std::to_string(random()) + "-" + std::to_string(random()));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }
    std::string prefix() const { return path_.string() + "/"; }

  private:
    fs::path path_;
};

inline void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

template <size_t N> void set_text(char (&field)[N], const std::string &text) {
    ASSERT_LT(text.size(), N);
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), text.size());
}

struct RecordDeleter {
    void operator()(qv_message *msg) const {
        com_ResetObject(msg);
        delete msg;
    }
};
using Record = std::unique_ptr<qv_message, RecordDeleter>;

inline Record new_record(int msg_number) {
    Record record(new qv_message{});
    record->msg_number = msg_number;
    return record;
}

// Adds a counted part with a part file holding `content` (no file when
// content is nullptr).
inline qv_part *add_part(qv_message &msg, const std::string &work, int type,
                         const std::string &name, const char *content) {
    qv_part *part = com_AllocPart(&msg);
    part->part_type = type;
    std::snprintf(part->file_name, sizeof part->file_name, "%s", name.c_str());
    if (content != nullptr) {
        write_file(qvcom::part_file_path(work, msg.msg_number, msg.part_count), content);
        part->size = static_cast<uint32_t>(std::strlen(content));
    }
    ++msg.part_count;
    return part;
}

inline void add_recipient(qv_message &msg, const std::string &name, const std::string &address,
                          int kind) {
    qv_recipient *r = com_AllocRecip(&msg);
    std::snprintf(r->name, sizeof r->name, "%s", name.c_str());
    std::snprintf(r->address, sizeof r->address, "%s", address.c_str());
    r->kind = kind;
    ++msg.recipient_count;
}

} // namespace qvm_test
