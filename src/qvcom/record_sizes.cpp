// record_sizes.cpp - sizes of a record and the attachment size limit.
#include <cinttypes>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "qv/qvcom.h"
#include "record_walk.hpp"

using namespace qvcom::detail;

namespace {

constexpr uint64_t kSizeCeiling = std::numeric_limits<uint32_t>::max();

uint32_t saturate(uint64_t value) {
    return static_cast<uint32_t>(value < kSizeCeiling ? value : kSizeCeiling);
}

int clamp_count(int32_t count, int capacity) {
    return count < 0 ? 0 : (count > capacity ? capacity : count);
}

// Bytes a record and its counted sub-records take, and its part sizes.
void add_message_sizes(const qv_message &msg, uint64_t &header, uint64_t &parts) {
    header += sizeof(qv_message);
    for (int i = 0; i < clamp_count(msg.part_count, QV_MAX_PARTS); ++i) {
        if (msg.parts[i] != nullptr) {
            header += sizeof(qv_part);
            parts += msg.parts[i]->size;
        }
    }
    for (int i = 0; i < clamp_count(msg.recipient_count, QV_MAX_RECIPIENTS); ++i) {
        header += msg.recipients[i] != nullptr ? sizeof(qv_recipient) : 0;
    }
    for (int i = 0; i < clamp_count(msg.breakout_count, QV_MAX_BREAKOUTS); ++i) {
        header += msg.breakouts[i] != nullptr ? sizeof(qv_breakout) : 0;
    }
}

// Moves the parts after `index` (records and files) down one place; the
// record at `index` has already been freed and its file deleted.
void close_gap(qv_message &msg, const std::string &dir, int index) {
    const int slots = used_part_slots(msg);
    for (int i = index; i + 1 < slots; ++i) {
        msg.parts[i] = msg.parts[i + 1];
        const std::string from = part_file_path(dir, msg.msg_number, i + 1);
        const std::string to = part_file_path(dir, msg.msg_number, i);
        std::error_code ec;
        std::filesystem::rename(from, to, ec);
        if (ec) {
            // No file behind the moved part: none must stay at its new place.
            std::filesystem::remove(to, ec);
        }
    }
    msg.parts[slots > index ? slots - 1 : index] = nullptr;
    msg.part_count -= 1;
}

int apply_size_limit(qv_message &msg, const std::string &dir, int item_index, int64_t limit) {
    int dropped = 0;
    int i = 0;
    while (i < clamp_count(msg.part_count, QV_MAX_PARTS)) {
        qv_part *part = msg.parts[i];
        if (part == nullptr) {
            ++i;
            continue;
        }
        const std::string path = part_file_path(dir, msg.msg_number, i);
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(path, ec);
        if (ec) {
            ++i;
            continue;
        }
        part->size = saturate(size);
        if (limit <= 0 || part->part_type != QV_PART_ATTACHMENT ||
            size <= static_cast<uint64_t>(limit)) {
            ++i;
            continue;
        }
        com_Log("QV Warning: item %d: attachment \"%s\" (%ju bytes) is larger than the "
                "limit of %" PRId64 " bytes and was dropped",
                item_index, part->file_name, size, limit);
        std::filesystem::remove(path, ec);
        delete part; // type 0 parts hold no embedded message
        close_gap(msg, dir, i);
        ++dropped;
    }
    return dropped;
}

} // namespace

extern "C" {

QVCOM_API void com_CalcMdatSize(const qv_message *msg, uint32_t *header_size,
                                uint32_t *total_size) {
    uint64_t header = 0;
    uint64_t parts = 0;
    try {
        for (const qv_message *m : message_tree(msg)) {
            add_message_sizes(*m, header, parts);
        }
    } catch (...) {
        // Out of memory: report what was summed.
    }
    if (header_size != nullptr) {
        *header_size = saturate(header);
    }
    if (total_size != nullptr) {
        *total_size = saturate(header + parts);
    }
}

QVCOM_API int com_AttachSize(qv_message *msg, const char *work_dir, int item_index,
                             int64_t limit) {
    int dropped = 0;
    try {
        const std::string dir = resolve_work_dir(work_dir);
        for (qv_message *m : message_tree(msg)) {
            dropped += apply_size_limit(*m, dir, item_index, limit);
        }
    } catch (...) {
        com_Log("QV Warning: attachment sizes could not be checked (out of memory)");
    }
    return dropped;
}

} // extern "C"
