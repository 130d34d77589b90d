// compare_tasks.cpp - the demo check for tasks (see compare_tasks.hpp).
#include "compare_tasks.hpp"

#include <map>
#include <stdexcept>

#include "json_util.hpp"
#include "mime_digest.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// Where the sandbox keeps a task's fields (PSETID_Task and PSETID_Common
// named properties, by decimal id), and its own recurrence text.
struct TaskField {
    const char *name;
    const char *property; // "set:key" as the dump names it
};
constexpr TaskField kTaskFields[] = {
    {"status", "Task:33025"},        {"percent complete", "Task:33026"},
    {"start date", "Task:33028"},    {"due date", "Task:33029"},
    {"completion date", "Task:33039"}, {"reminder set", "Common:34051"},
    {"reminder time", "Common:34050"},
};
constexpr const char *kRecurrence = "3f0c6a52-9b1e-4d7a-8c55-0e2b71d4a9f3:TaskRecurrence";
constexpr const char *kRegenerating[] = {"DailyRegeneration", "WeeklyRegeneration",
                                         "MonthlyRegeneration", "YearlyRegeneration"};

struct TaskFacts {
    std::map<std::string, std::string> properties; // "set:key" -> value
    std::string sensitivity, body;
};

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

TaskFacts facts_of(const DumpItem &item) {
    fs::path json_path = item.eml;
    json_path.replace_extension(".json");
    const auto json_text = read_text_file(json_path);
    const auto eml_text = read_text_file(item.eml);
    if (!json_text || !eml_text)
        throw std::runtime_error("cannot read the dump of task \"" + item.subject + "\"");
    JsonParse parsed = parse_json(*json_text);
    if (!parsed.root)
        throw std::runtime_error(json_path.string() + ": " + parsed.error);
    TaskFacts facts;
    facts.sensitivity = json_string(parsed.root.get(), "sensitivity").value_or("");
    const cJSON *list = json_member(parsed.root.get(), "extended_properties");
    for (const cJSON *p = cJSON_IsArray(list) ? list->child : nullptr; p; p = p->next) {
        std::string set = json_string(p, "DistinguishedPropertySetId")
                              .value_or(json_string(p, "PropertySetId").value_or(""));
        std::string key = json_string(p, "PropertyId")
                              .value_or(json_string(p, "PropertyName").value_or(
                                  json_string(p, "PropertyTag").value_or("")));
        facts.properties[set + ":" + key] = json_string(p, "value").value_or("");
    }
    // A reminder that was never set and one set off are the same.
    if (facts.properties["Common:34051"].empty())
        facts.properties["Common:34051"] = "false";
    facts.body = trimmed(digest_mime(*eml_text).text.value_or(""));
    return facts;
}

bool regenerating(const std::string &recurrence) {
    for (const char *name : kRegenerating)
        if (recurrence.rfind(name, 0) == 0)
            return true;
    return false;
}

void compare_task(const DumpItem &s, const DumpItem &t, std::vector<std::string> &out) {
    const std::string who = s.folder + ": task \"" + s.subject + "\": ";
    const TaskFacts a = facts_of(s), b = facts_of(t);
    auto property = [](const TaskFacts &f, const char *key) {
        const auto it = f.properties.find(key);
        return it == f.properties.end() ? std::string() : it->second;
    };
    for (const TaskField &field : kTaskFields)
        if (property(a, field.property) != property(b, field.property))
            out.push_back(who + field.name + " differs");
    if (s.importance != t.importance)
        out.push_back(who + "importance differs");
    // The record carries only whether a task is private.
    if ((a.sensitivity == "Private") != (b.sensitivity == "Private"))
        out.push_back(who + "sensitivity differs");
    if (s.categories != t.categories)
        out.push_back(who + "categories differ");
    const std::string recurrence = property(a, kRecurrence);
    if (regenerating(recurrence)) {
        // A regenerating pattern arrives as a note after the body.
        if (b.body.rfind(a.body, 0) != 0 || b.body.find("originally recurring") == std::string::npos)
            out.push_back(who + "the body does not describe the regenerating pattern");
        if (!property(b, kRecurrence).empty())
            out.push_back(who + "is recurring in the target");
    } else {
        if (recurrence != property(b, kRecurrence))
            out.push_back(who + "recurrence differs");
        if (a.body != b.body)
            out.push_back(who + "body differs");
    }
    std::vector<std::pair<std::string, long long>> files_a, files_b;
    for (const DumpAttachment &x : s.attachments)
        files_a.emplace_back(x.name, x.size);
    for (const DumpAttachment &x : t.attachments)
        files_b.emplace_back(x.name, x.size);
    if (files_a != files_b)
        out.push_back(who + "attachments differ");
    const MimeDigest da = digest_mime(read_text_file(s.eml).value_or(""));
    const MimeDigest db = digest_mime(read_text_file(t.eml).value_or(""));
    if (da.attachment_sha256 != db.attachment_sha256)
        out.push_back(who + "attachment content differs");
}

} // namespace

bool is_task(const DumpItem &item) { return item.item_class.rfind("IPM.Task", 0) == 0; }

std::vector<std::string> compare_tasks(const MailboxDump &source, const MailboxDump &target) {
    std::multimap<std::string, const DumpItem *> targets;
    for (const DumpItem &item : target.items)
        if (is_task(item))
            targets.emplace(item.folder + "\n" + item.subject, &item);
    std::vector<std::string> out;
    for (const DumpItem &item : source.items) {
        if (!is_task(item))
            continue;
        const auto it = targets.find(item.folder + "\n" + item.subject);
        if (it == targets.end()) {
            out.push_back(item.folder + ": task \"" + item.subject + "\" is missing in the target");
            continue;
        }
        compare_task(item, *it->second, out);
        targets.erase(it);
    }
    for (const auto &[key, item] : targets)
        out.push_back(item->folder + ": task \"" + item->subject + "\" is only in the target");
    return out;
}

} // namespace qvmigrate
