// `ews-sandbox seed --eml-dir DIR --folder PATH`: every file of DIR (sorted
// by name; names starting with "." left out) becomes one message in the
// folder PATH below msgfolderroot, which is made where missing.  The bytes
// are stored as they are; messages come in unread and not as drafts, with
// the Date header as their received time.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "item_props.hpp"
#include "mail_store.hpp"
#include "mailbox_tools.hpp"
#include "sandbox_config.hpp"

namespace sandbox {

int seed_eml_dir(const std::string &data_dir, const std::string &mailbox,
                 const std::string &eml_dir, const std::string &folder_path) {
    namespace fs = std::filesystem;
    try {
        std::error_code ec;
        if (!fs::is_directory(eml_dir, ec)) {
            std::cerr << "ews-sandbox seed: " << eml_dir << " is not a directory\n";
            return 1;
        }
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(eml_dir)) {
            std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && !name.empty() && name[0] != '.') files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        auto store = MailStore::open(data_dir);
        if (!store) return 1;
        std::int64_t box = store->ensure_mailbox(mailbox);
        FolderInfo folder = store->ensure_folder_path(box, folder_path);
        const SandboxConfig limits;
        auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
        int stored = 0, failed = 0;
        for (const auto &path : files) {
            std::ifstream in(path, std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            if (!in) {
                std::cerr << "ews-sandbox seed: cannot read " << path.string() << "\n";
                ++failed;
                continue;
            }
            std::string mime = bytes.str();
            if (mime.size() > limits.max_message_bytes) {
                std::cerr << "ews-sandbox seed: " << path.string() << " is larger than "
                          << limits.max_message_bytes << " bytes, left out\n";
                ++failed;
                continue;
            }
            StoredItem item = message_item_from_mime(std::move(mime), now);
            item.info.mailbox = box;
            item.info.folder = folder.id;
            item.info.message_flags = 0; // delivered mail: unread, not a draft
            if (item.info.date_sent) item.info.date_received = *item.info.date_sent;
            store->add_item(item);
            ++stored;
        }
        std::cout << "seeded " << stored << " messages into " << folder_path << " of " << mailbox
                  << "\n";
        return failed ? 1 : 0;
    } catch (const std::exception &e) {
        std::cerr << "ews-sandbox seed: " << e.what() << "\n";
        return 1;
    }
}

} // namespace sandbox
