// dump_compare.cpp - loading the sandbox's dumps and comparing two of them.
#include "dump_compare.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "compare_contacts.hpp"
#include "compare_tasks.hpp"
#include "json_util.hpp"
#include "mime_digest.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// The folder hierarchy that migrations work on.
constexpr const char *kMailTree = "msgfolderroot";
constexpr int kFlagged = 2;

JsonPtr load_json(const fs::path &path) {
    const auto text = read_text_file(path);
    if (!text)
        throw std::runtime_error("cannot read " + path.string());
    JsonParse parsed = parse_json(*text);
    if (!parsed.root)
        throw std::runtime_error(path.string() + ": " + parsed.error);
    return std::move(parsed.root);
}

int number_or_zero(const cJSON *object, const char *key) {
    return static_cast<int>(json_integer(object, key, -1'000'000'000, 1'000'000'000).value_or(0));
}

DumpItem item_from_json(const cJSON *o, const fs::path &eml) {
    DumpItem item;
    item.folder = json_string(o, "folder").value_or("");
    item.message_id = json_string(o, "message_id").value_or("");
    item.subject = json_string(o, "subject").value_or("");
    item.from_address = json_string(json_member(o, "from"), "address").value_or("");
    item.display_to = json_string(o, "display_to").value_or("");
    item.display_cc = json_string(o, "display_cc").value_or("");
    item.date_sent = json_string(o, "date_sent").value_or("");
    item.importance = json_string(o, "importance").value_or("");
    item.item_class = json_string(o, "item_class").value_or("");
    item.is_read = json_bool(o, "is_read").value_or(false);
    item.flag_status = number_or_zero(o, "flag_status");
    item.icon_index = number_or_zero(o, "icon_index");
    const cJSON *categories = json_member(o, "categories");
    for (const cJSON *c = cJSON_IsArray(categories) ? categories->child : nullptr; c; c = c->next) {
        if (cJSON_IsString(c))
            item.categories.emplace_back(c->valuestring);
    }
    std::sort(item.categories.begin(), item.categories.end());
    const cJSON *attachments = json_member(o, "attachments");
    for (const cJSON *a = cJSON_IsArray(attachments) ? attachments->child : nullptr; a; a = a->next) {
        DumpAttachment attachment;
        attachment.name = json_string(a, "name").value_or("");
        attachment.content_type = json_string(a, "content_type").value_or("");
        attachment.size = json_integer(a, "size", 0, 1LL << 50).value_or(0);
        attachment.is_inline = json_bool(a, "inline").value_or(false);
        attachment.is_item = json_bool(a, "item").value_or(false);
        item.attachments.push_back(attachment);
    }
    item.eml = eml;
    return item;
}

std::string describe(const DumpItem &item) {
    return item.folder + ": " + (item.message_id.empty() ? "(no Message-ID)" : item.message_id) +
           " \"" + item.subject + "\"";
}

std::string item_key(const DumpItem &item) {
    return item.folder + "\n" + (item.message_id.empty() ? item.subject + "\n" + item.date_sent
                                                          : item.message_id);
}

class Differences {
  public:
    void add(const std::string &text) {
        ++count_;
        if (list_.size() < kMaxListedDifferences)
            list_.push_back(text);
    }
    template <typename T>
    void field(const DumpItem &item, const char *name, const T &source, const T &target) {
        if (!(source == target))
            add(describe(item) + ": " + name + " differs");
    }
    CheckOutcome outcome() const {
        CheckOutcome outcome;
        outcome.passed = count_ == 0;
        outcome.differences = list_;
        if (count_ > list_.size())
            outcome.differences.push_back("... and " + std::to_string(count_ - list_.size()) + " more");
        return outcome;
    }

  private:
    size_t count_ = 0;
    std::vector<std::string> list_;
};

// Calendar folders and items (IPF.Appointment, IPM.Appointment...) are
// not mail: this check leaves them out, and the demo compares calendars
// occurrence by occurrence on their own (compare_calendar).
bool is_calendar_entry(const std::string &item_or_folder_class) {
    return item_or_folder_class.rfind("IPF.Appointment", 0) == 0 ||
           item_or_folder_class.rfind("IPM.Appointment", 0) == 0;
}

// Contacts and distribution lists (IPF.Contact, IPM.Contact, IPM.DistList)
// are not mail either: the mail check leaves them out, and they are
// compared field by field on their own (compare_contacts).
bool is_contact_entry(const std::string &item_or_folder_class) {
    return item_or_folder_class.rfind("IPF.Contact", 0) == 0 ||
           item_or_folder_class.rfind("IPM.Contact", 0) == 0 ||
           item_or_folder_class.rfind("IPM.DistList", 0) == 0;
}

void compare_folders(const MailboxDump &source, const MailboxDump &target, Differences &out) {
    std::map<std::string, const DumpFolder *> targets;
    for (const DumpFolder &folder : target.folders) {
        if (folder.tree == kMailTree && !folder.path.empty() && !is_calendar_entry(folder.folder_class))
            targets[folder.path] = &folder;
    }
    std::map<std::string, bool> in_source;
    for (const DumpFolder &folder : source.folders) {
        if (folder.tree != kMailTree || folder.path.empty() || is_calendar_entry(folder.folder_class) ||
            is_contact_entry(folder.folder_class))
            continue;
        in_source[folder.path] = true;
        const bool made_by_user = folder.distinguished.empty();
        const auto it = targets.find(folder.path);
        if (it == targets.end()) {
            if (folder.total > 0 || made_by_user)
                out.add("folder " + folder.path + " is missing in the target");
            continue;
        }
        if (it->second->total != folder.total)
            out.add("folder " + folder.path + " holds " + std::to_string(it->second->total) +
                    " items in the target, " + std::to_string(folder.total) + " in the source");
        if (it->second->folder_class != folder.folder_class)
            out.add("folder " + folder.path + " is " + it->second->folder_class +
                    " in the target, " + folder.folder_class + " in the source");
    }
    for (const auto &[path, folder] : targets) {
        const bool not_mail = is_calendar_entry(folder->folder_class) || is_contact_entry(folder->folder_class);
        if (!in_source.contains(path) && folder->total > 0 && !not_mail)
            out.add("folder " + path + " exists only in the target, with items");
    }
}

void compare_content(const DumpItem &source, const DumpItem &target, Differences &out) {
    const auto source_text = read_text_file(source.eml);
    const auto target_text = read_text_file(target.eml);
    if (!source_text || !target_text) {
        out.add(describe(source) + ": message text cannot be read");
        return;
    }
    const MimeDigest a = digest_mime(*source_text);
    const MimeDigest b = digest_mime(*target_text);
    // Of a text and an HTML version of one body, the connector writes the
    // HTML one: the text version must survive only where it is the body.
    if (a.html)
        out.field(source, "HTML body", a.html, b.html);
    else
        out.field(source, "text body", a.text, b.text);
    out.field(source, "attachment content", a.attachment_sha256, b.attachment_sha256);
    out.field(source, "embedded messages", a.embedded_messages, b.embedded_messages);
}

void compare_items(const DumpItem &s, const DumpItem &t, Differences &out) {
    out.field(s, "subject", s.subject, t.subject);
    out.field(s, "sender", s.from_address, t.from_address);
    out.field(s, "To", s.display_to, t.display_to);
    out.field(s, "Cc", s.display_cc, t.display_cc);
    out.field(s, "date", s.date_sent, t.date_sent);
    out.field(s, "read state", s.is_read, t.is_read);
    // The connector carries the follow-up flag as flagged or not; a
    // completed flag is not taken over.
    out.field(s, "flag", s.flag_status == kFlagged, t.flag_status == kFlagged);
    out.field(s, "replied/forwarded icon", s.icon_index, t.icon_index);
    out.field(s, "importance", s.importance, t.importance);
    out.field(s, "categories", s.categories, t.categories);
    if (s.attachments.size() != t.attachments.size()) {
        out.add(describe(s) + ": " + std::to_string(t.attachments.size()) + " attachments in the target, " +
                std::to_string(s.attachments.size()) + " in the source");
    } else {
        for (size_t i = 0; i < s.attachments.size(); ++i) {
            const DumpAttachment &a = s.attachments[i], &b = t.attachments[i];
            // An attached message is rebuilt, so only its presence counts.
            // The record carries no content type, so that is not compared.
            const bool same = a.name == b.name && a.is_item == b.is_item &&
                              a.is_inline == b.is_inline && (a.is_item || a.size == b.size);
            if (!same)
                out.add(describe(s) + ": attachment \"" + a.name + "\" differs");
        }
    }
    compare_content(s, t, out);
}

} // namespace

MailboxDump load_dump(const fs::path &dir) {
    MailboxDump dump;
    const JsonPtr folders = load_json(dir / "folders.json");
    const cJSON *list = json_member(folders.get(), "folders");
    if (!cJSON_IsArray(list))
        throw std::runtime_error((dir / "folders.json").string() + ": no folder list");
    for (const cJSON *f = list->child; f != nullptr; f = f->next) {
        DumpFolder folder;
        folder.tree = json_string(f, "tree").value_or("");
        folder.path = json_string(f, "path").value_or("");
        folder.folder_class = json_string(f, "class").value_or("");
        folder.distinguished = json_string(f, "distinguished").value_or("");
        folder.total = number_or_zero(f, "total");
        dump.folders.push_back(folder);
    }
    std::vector<fs::path> items;
    for (const auto &entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == ".json" && name != "folders.json")
            items.push_back(entry.path());
    }
    std::sort(items.begin(), items.end());
    for (const fs::path &path : items) {
        const JsonPtr object = load_json(path);
        if (json_string(object.get(), "tree") != std::string(kMailTree))
            continue;
        const std::string item_class = json_string(object.get(), "item_class").value_or("");
        if (is_calendar_entry(item_class))
            continue;
        fs::path eml = path;
        eml.replace_extension(".eml");
        dump.items.push_back(item_from_json(object.get(), eml));
    }
    return dump;
}

CheckOutcome compare_dumps(const MailboxDump &source, const MailboxDump &target) {
    Differences out;
    compare_folders(source, target, out);
    std::multimap<std::string, const DumpItem *> targets;
    for (const DumpItem &item : target.items)
        if (!is_task(item) && !is_contact(item))
            targets.emplace(item_key(item), &item);
    for (const std::string &difference : compare_tasks(source, target))
        out.add(difference);
    for (const std::string &difference : compare_contacts(source, target))
        out.add(difference);
    for (const DumpItem &item : source.items) {
        if (is_task(item) || is_contact(item))
            continue;
        const auto it = targets.find(item_key(item));
        if (it == targets.end()) {
            out.add(describe(item) + ": missing in the target");
            continue;
        }
        compare_items(item, *it->second, out);
        targets.erase(it);
    }
    for (const auto &[key, item] : targets) {
        (void)key;
        out.add(describe(*item) + ": only in the target");
    }
    return out.outcome();
}

} // namespace qvmigrate
