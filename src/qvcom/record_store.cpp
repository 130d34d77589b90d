// record_store.cpp - allocation and release of a message record's
// sub-records and part files.
//
// The record's layout is a fixed C contract, so it holds raw pointers; this
// file is the only owner of what they point to.  Every slot that is not
// null belongs to the library, counted or not (a caller may allocate a
// record and fail before counting it), and every release walks all slots.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>

#include "qv/qvcom.h"
#include "common/part_folder.hpp"
#include "record_walk.hpp"

using namespace qvcom::detail;

namespace {

// Embedded messages get numbers of their own so their part files never
// collide with those of the message that holds them.
constexpr int kFirstEmbeddedNumber = 900000;
constexpr int kEmbeddedNumbers = 100000;
std::atomic<int> gNextEmbedded{0};

int next_embedded_number() {
    return kFirstEmbeddedNumber + (gNextEmbedded.fetch_add(1) % kEmbeddedNumbers);
}

// Deletes what the slots hold.  A record has thousands of slots and uses
// a few: runs of empty slots are skipped by a block compare, and empty
// slots are never written.
template <typename Record, std::size_t N> void free_slots(Record *(&slots)[N]) {
    constexpr std::size_t kRun = 64;
    static const Record *const kEmptyRun[kRun] = {};
    for (std::size_t at = 0; at < N; at += kRun) {
        const std::size_t count = std::min(kRun, N - at);
        if (std::memcmp(slots + at, kEmptyRun, count * sizeof(Record *)) == 0) {
            continue;
        }
        for (std::size_t i = at; i < at + count; ++i) {
            if (slots[i] != nullptr) {
                delete slots[i];
                slots[i] = nullptr;
            }
        }
    }
}

void free_flat_subrecords(qv_message &msg) {
    free_slots(msg.parts);
    free_slots(msg.recipients);
    free_slots(msg.breakouts);
    msg.part_count = 0;
    msg.recipient_count = 0;
    msg.breakout_count = 0;
}

// Rare fallback when the tree walk itself cannot get memory.
void free_subrecords_recursively(qv_message &msg) {
    for (auto *part : msg.parts) {
        if (part != nullptr && part->sub_message != nullptr) {
            free_subrecords_recursively(*part->sub_message);
            delete part->sub_message;
            part->sub_message = nullptr;
        }
    }
    free_flat_subrecords(msg);
}

// Frees every sub-record of `msg` and the messages embedded in it; `msg`
// itself stays (it belongs to whoever holds it).
void release_subrecords(qv_message *msg) {
    if (msg == nullptr) {
        return;
    }
    try {
        const auto tree = message_tree(msg);
        // Children come after parents: free from the end so each embedded
        // message is emptied before the part that holds it goes.
        for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
            free_flat_subrecords(**it);
            if (*it != msg) {
                delete *it;
            }
        }
    } catch (...) {
        free_subrecords_recursively(*msg);
    }
}

void delete_part_files(qv_message *msg, const char *work_dir) {
    try {
        const std::string dir = resolve_work_dir(work_dir);
        const qvcommon::PartFolder folder(dir);
        for (const qv_message *m : message_tree(msg)) {
            const int slots = used_part_slots(*m);
            for (int i = 0; i < slots; ++i) {
                folder.Remove(part_file_path(dir, m->msg_number, i));
            }
        }
    } catch (...) {
        // Out of memory: the files stay, as with com_Deallocate.
    }
}

// The slot at `count`: a record there is handed out again, zeroed.
template <typename Record> Record *slot_at(Record *&slot) {
    if (slot != nullptr) {
        *slot = Record{};
        return slot;
    }
    slot = new (std::nothrow) Record{};
    return slot;
}

bool index_in(int32_t count, int capacity) {
    return count >= 0 && count < capacity;
}

} // namespace

extern "C" {

QVCOM_API qv_part *com_AllocPart(qv_message *msg) {
    if (msg == nullptr || !index_in(msg->part_count, QV_MAX_PARTS)) {
        return nullptr;
    }
    qv_part *&slot = msg->parts[msg->part_count];
    if (slot != nullptr && slot->sub_message != nullptr) {
        release_subrecords(slot->sub_message);
        delete slot->sub_message;
        slot->sub_message = nullptr;
    }
    return slot_at(slot);
}

QVCOM_API qv_recipient *com_AllocRecip(qv_message *msg) {
    if (msg == nullptr || !index_in(msg->recipient_count, QV_MAX_RECIPIENTS)) {
        return nullptr;
    }
    return slot_at(msg->recipients[msg->recipient_count]);
}

QVCOM_API qv_breakout *com_AllocBreakout(qv_message *msg) {
    if (msg == nullptr || !index_in(msg->breakout_count, QV_MAX_BREAKOUTS)) {
        return nullptr;
    }
    return slot_at(msg->breakouts[msg->breakout_count]);
}

QVCOM_API qv_message *com_AllocSubMsg(qv_message *msg, int part_index) {
    if (msg == nullptr || !index_in(part_index, QV_MAX_PARTS) ||
        msg->parts[part_index] == nullptr) {
        return nullptr;
    }
    std::unique_ptr<qv_message> fresh(new (std::nothrow) qv_message{});
    if (!fresh) {
        return nullptr;
    }
    fresh->msg_number = next_embedded_number();
    qv_part *part = msg->parts[part_index];
    if (part->sub_message != nullptr) {
        release_subrecords(part->sub_message);
        delete part->sub_message;
    }
    part->sub_message = fresh.release();
    return part->sub_message;
}

QVCOM_API void com_ResetObject(qv_message *msg) {
    if (msg == nullptr) {
        return;
    }
    release_subrecords(msg);
    char group_folder[sizeof msg->group_folder];
    std::memcpy(group_folder, msg->group_folder, sizeof group_folder);
    const int32_t msg_number = msg->msg_number;
    std::memset(static_cast<void *>(msg), 0, sizeof *msg);
    std::memcpy(msg->group_folder, group_folder, sizeof group_folder);
    msg->msg_number = msg_number;
}

QVCOM_API void com_Deallocate(qv_message *msg, const char * /*work_dir*/) {
    release_subrecords(msg);
}

QVCOM_API void com_Deallocate_All(qv_message *msg, const char *work_dir) {
    if (msg == nullptr) {
        return;
    }
    delete_part_files(msg, work_dir);
    release_subrecords(msg);
}

} // extern "C"
