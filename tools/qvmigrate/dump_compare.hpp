// dump_compare.hpp - checks a copied mailbox against its source through
// the sandbox's dumps (folders.json, NNNNNN.json + NNNNNN.eml per item):
// folders by path with their class and item count; items by Message-ID
// within their folder, with the headers that matter (subject, sender,
// recipients, date), bodies and attachments, read state, flagged, replied /
// forwarded icon, importance and categories.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "summary.hpp"

namespace qvmigrate {

struct DumpFolder {
    std::string tree, path, folder_class, distinguished;
    int total = 0;
};

struct DumpAttachment {
    std::string name, content_type;
    long long size = 0;
    bool is_inline = false, is_item = false;
};

struct DumpItem {
    std::string folder, message_id, subject, from_address, display_to, display_cc;
    std::string date_sent, importance, item_class;
    bool is_read = false;
    int flag_status = 0, icon_index = 0; // absent counts as 0
    std::vector<std::string> categories;  // sorted
    std::vector<DumpAttachment> attachments;
    std::filesystem::path eml;
};

struct MailboxDump {
    std::vector<DumpFolder> folders;
    std::vector<DumpItem> items;
};

// Throws std::runtime_error naming the file that cannot be read.
MailboxDump load_dump(const std::filesystem::path &dir);

// At most this many differences are listed.
inline constexpr size_t kMaxListedDifferences = 40;

CheckOutcome compare_dumps(const MailboxDump &source, const MailboxDump &target);

} // namespace qvmigrate
