// record_walk.cpp - traversal of a record tree and part file names.
#include "record_walk.hpp"

#include <cstdio>

#include "host_settings.hpp"
#include "qv/qvcom.h"

namespace qvcom::detail {

int used_part_slots(const qv_message &msg) {
    int extent = msg.part_count < 0 ? 0 : msg.part_count;
    if (extent > QV_MAX_PARTS) {
        extent = QV_MAX_PARTS;
    }
    for (int i = QV_MAX_PARTS - 1; i >= extent; --i) {
        if (msg.parts[i] != nullptr) {
            return i + 1;
        }
    }
    return extent;
}

namespace {

template <typename Message> std::vector<Message *> collect_tree(Message *root) {
    std::vector<Message *> tree;
    if (root == nullptr) {
        return tree;
    }
    tree.push_back(root);
    for (size_t next = 0; next < tree.size(); ++next) {
        Message *msg = tree[next];
        const int slots = used_part_slots(*msg);
        for (int i = 0; i < slots; ++i) {
            if (msg->parts[i] != nullptr && msg->parts[i]->sub_message != nullptr) {
                tree.push_back(msg->parts[i]->sub_message);
            }
        }
    }
    return tree;
}

} // namespace

std::vector<qv_message *> message_tree(qv_message *root) {
    return collect_tree(root);
}

std::vector<const qv_message *> message_tree(const qv_message *root) {
    return collect_tree(root);
}

std::string part_file_path(std::string_view work_dir, int msg_number, int index) {
    char name[64];
    std::snprintf(name, sizeof name, "PRT%03d%02d.TMP", msg_number, index);
    std::string path(work_dir);
    path += name;
    return path;
}

std::string resolve_work_dir(const char *work_dir) {
    if (work_dir != nullptr) {
        return work_dir;
    }
    return host_directory(QVCOM_DIR_WORK).value_or(std::string());
}

} // namespace qvcom::detail
