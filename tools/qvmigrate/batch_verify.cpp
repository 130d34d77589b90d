// batch_verify.cpp - reading the target back and comparing it with the
// staged source.
#include "batch_verify.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>

#include "host_environment.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

constexpr int kVerifyMsgNumber = 3;
constexpr qv_filetime kTicksPerSecond = 10'000'000ULL;

struct RecordDeleter {
    void operator()(qv_message *msg) const {
        com_ResetObject(msg);
        delete msg;
    }
};

std::string text_of(const char *field, size_t size) {
    return std::string(field, strnlen(field, size));
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// What is compared of an item; the server may rebuild bodies and headers,
// so these are the things a copy must keep.
struct ItemFacts {
    std::string subject, sender, date, recipients, attachments;
};

ItemFacts facts_of(const qv_message &msg) {
    ItemFacts facts;
    facts.subject = text_of(msg.subject, sizeof msg.subject);
    facts.sender = lower(text_of(msg.from_address, sizeof msg.from_address));
    // Seconds: a server keeps no finer time.
    facts.date = msg.date != 0 ? filetime_to_iso(msg.date / kTicksPerSecond * kTicksPerSecond) : "";
    std::vector<std::string> recipients, attachments;
    for (int i = 0; i < msg.recipient_count; ++i) {
        if (msg.recipients[i] != nullptr)
            recipients.push_back(lower(text_of(msg.recipients[i]->address,
                                               sizeof msg.recipients[i]->address)));
    }
    for (int i = 0; i < msg.part_count; ++i) {
        const qv_part *part = msg.parts[i];
        if (part != nullptr && (part->part_type == QV_PART_ATTACHMENT ||
                                part->part_type == QV_PART_MOVED_ATTACHMENT))
            attachments.push_back(text_of(part->file_name, sizeof part->file_name) + " (" +
                                  std::to_string(part->size) + " bytes)");
    }
    std::sort(recipients.begin(), recipients.end());
    std::sort(attachments.begin(), attachments.end());
    for (const auto &r : recipients)
        facts.recipients += r + " ";
    for (const auto &a : attachments)
        facts.attachments += a + "; ";
    return facts;
}

std::string item_key(const qv_message &msg, const ItemFacts &facts) {
    const std::string id = text_of(msg.message_id, sizeof msg.message_id);
    return id.empty() ? "subject " + facts.subject + " " + facts.date : "id " + id;
}

using FolderItems = std::map<std::string, std::vector<ItemFacts>>;

FolderItems read_folder(const ArchiveReader &reader, const ArchiveFolder &folder,
                        const std::string &work) {
    FolderItems items;
    std::unique_ptr<qv_message, RecordDeleter> msg(new qv_message{});
    for (int sequence = 1; sequence <= folder.items; ++sequence) {
        msg->msg_number = kVerifyMsgNumber;
        reader.read_item(folder, sequence, *msg, work);
        const ItemFacts facts = facts_of(*msg);
        items[item_key(*msg, facts)].push_back(facts);
        com_Deallocate_All(msg.get(), work.c_str());
        com_ResetObject(msg.get());
    }
    return items;
}

std::string describe(const std::string &folder, const ItemFacts &item) {
    return folder + ": \"" + item.subject + "\"" + (item.date.empty() ? "" : " of " + item.date);
}

std::string changed_fields(const ItemFacts &a, const ItemFacts &b) {
    std::string fields;
    auto check = [&](const std::string &x, const std::string &y, const char *name) {
        if (x != y)
            fields += (fields.empty() ? "" : ", ") + std::string(name);
    };
    check(a.subject, b.subject, "subject");
    check(a.sender, b.sender, "sender");
    check(a.date, b.date, "date");
    check(a.recipients, b.recipients, "recipients");
    check(a.attachments, b.attachments, "attachments");
    return fields;
}

bool same_facts(const ItemFacts &a, const ItemFacts &b) {
    return changed_fields(a, b).empty();
}

void compare_folder(const std::string &path, const FolderItems &source,
                    const FolderItems &target, std::vector<std::string> &differences) {
    for (const auto &[key, copies] : source) {
        const auto found = target.find(key);
        const size_t have = found != target.end() ? found->second.size() : 0;
        if (have < copies.size()) {
            differences.push_back(describe(path, copies.front()) + " is missing in the target");
        } else if (have > copies.size()) {
            differences.push_back(describe(path, copies.front()) + " is in the target " +
                                  std::to_string(have) + " times");
        } else {
            for (const ItemFacts &item : copies) {
                const bool matched = std::any_of(found->second.begin(), found->second.end(),
                                                 [&](const ItemFacts &t) { return same_facts(item, t); });
                if (!matched)
                    differences.push_back(describe(path, item) + " differs in the target: " +
                                          changed_fields(item, found->second.front()));
            }
        }
    }
    for (const auto &[key, copies] : target) {
        if (source.find(key) == source.end())
            differences.push_back(describe(path, copies.front()) +
                                  " is in the target but not in the source");
    }
}

} // namespace

std::vector<std::string> compare_archives(const fs::path &source_dir, const fs::path &target_dir,
                                          const std::string &work) {
    const ArchiveReader source(source_dir), target(target_dir);
    std::vector<std::string> differences;
    for (const ArchiveFolder &folder : source.manifest().folders) {
        const auto match = std::find_if(target.manifest().folders.begin(),
                                         target.manifest().folders.end(),
                                         [&](const ArchiveFolder &t) { return t.path == folder.path; });
        if (match == target.manifest().folders.end()) {
            if (folder.items > 0)
                differences.push_back(folder.path + ": the folder is missing in the target");
            continue;
        }
        compare_folder(folder.path, read_folder(source, folder, work),
                       read_folder(target, *match, work), differences);
    }
    if (differences.size() > kMaxVerifyDifferences) {
        const size_t more = differences.size() - kMaxVerifyDifferences;
        differences.resize(kMaxVerifyDifferences);
        differences.push_back("... and " + std::to_string(more) + " more differences");
    }
    return differences;
}

std::vector<std::string> verify_copy(HostEnvironment &env, const JobSettings &settings,
                                     const Connection &target, const Credentials &credentials,
                                     const fs::path &stage, const fs::path &readback) {
    struct Remover {
        fs::path dir;
        ~Remover() {
            std::error_code error;
            fs::remove_all(dir, error);
        }
    } remover{readback};
    const ArchiveReader source(stage);
    JobSettings read_settings = settings;
    read_settings.folders.clear();
    for (const ArchiveFolder &folder : source.manifest().folders)
        read_settings.folders.push_back(folder.path);
    read_settings.limits = {};
    read_settings.kind_filter = kAllKinds;
    read_settings.progress = nullptr;
    run_export(env, read_settings, target, credentials, readback);
    return compare_archives(stage, readback, env.work_prefix());
}

} // namespace qvmigrate
