#include "task_item.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mime_build.hpp"
#include "mime_summary.hpp"

namespace sandbox {

namespace {

// Where Exchange keeps the task's own fields (MS-OXPROPS canonical names).
constexpr const char *kStatus = "Task:id:33025";        // PidLidTaskStatus, 0..4
constexpr const char *kPercent = "Task:id:33026";       // PidLidPercentComplete, 0.0..1.0
constexpr const char *kStart = "Task:id:33028";         // PidLidTaskStartDate
constexpr const char *kDue = "Task:id:33029";           // PidLidTaskDueDate
constexpr const char *kCompleted = "Task:id:33039";     // PidLidTaskDateCompleted
constexpr const char *kComplete = "Task:id:33052";      // PidLidTaskComplete
constexpr const char *kRecurring = "Task:id:33062";     // PidLidTaskFRecurring
constexpr const char *kReminderTime = "Common:id:34050"; // PidLidReminderTime = ReminderDueBy
// Exchange keeps the pattern in the binary PidLidTaskRecurrence; the
// sandbox keeps its own text form under a property set of its own.
constexpr const char *kRecurrence = "{3f0c6a52-9b1e-4d7a-8c55-0e2b71d4a9f3}:name:TaskRecurrence";

// Task elements stored as they come.
struct PlainField {
    const char *element;
    const char *id;
    const char *type;
};
constexpr PlainField kPlainFields[] = {
    {"ActualWork", "Task:id:33040", "Integer"},         // PidLidTaskActualEffort
    {"TotalWork", "Task:id:33041", "Integer"},          // PidLidTaskEstimatedEffort
    {"BillingInformation", "Common:id:34101", "String"}, // PidLidBilling
    {"Mileage", "Common:id:34100", "String"},            // PidLidMileage
    {"Companies", "Common:id:34105", "StringArray"},     // PidLidCompanies
    {"Contacts", "Common:id:34106", "StringArray"},      // PidLidContacts
};
constexpr const char *kReadOnly[] = {"AssignedTime", "ChangeCount", "DelegationState", "Delegator",
                                     "IsAssignmentEditable", "IsComplete", "IsRecurring",
                                     "IsTeamTask", "Owner", "StatusDescription"};

constexpr const char *kStatusNames[] = {"NotStarted", "InProgress", "Completed", "WaitingOnOthers",
                                        "Deferred"};
constexpr const char *kStatusTexts[] = {"Not Started", "In Progress", "Completed",
                                        "Waiting on someone else", "Deferred"};
constexpr int kCompletedStatus = 2;

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::optional<std::string> get(const StoredItem &item, const char *id) {
    for (const auto &v : item.extended)
        if (v.id == id && !v.values.empty()) return v.values.front();
    return std::nullopt;
}

const ExtendedValue *get_all(const StoredItem &item, const char *id) {
    for (const auto &v : item.extended)
        if (v.id == id) return &v;
    return nullptr;
}

void drop(StoredItem &item, const char *id) {
    std::erase_if(item.extended, [&](const ExtendedValue &v) { return v.id == id; });
}

void put(StoredItem &item, const char *id, const char *type, std::vector<std::string> values) {
    drop(item, id);
    item.extended.push_back({id, type, std::move(values)});
}

void put(StoredItem &item, const char *id, const char *type, std::string value) {
    put(item, id, type, std::vector<std::string>{std::move(value)});
}

// Status, percentage and completion date, kept consistent as one value.
struct Progress {
    int status = 0;
    double percent = 0; // 0..100
    std::optional<UnixTime> completed;
};

Progress progress_of(const StoredItem &item) {
    Progress p;
    p.status = std::atoi(get(item, kStatus).value_or("0").c_str());
    p.percent = std::strtod(get(item, kPercent).value_or("0").c_str(), nullptr) * 100;
    if (auto c = get(item, kCompleted)) p.completed = parse_ews_time(*c);
    return p;
}

std::string percent_text(double percent) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", percent);
    return buf;
}

void store_progress(StoredItem &item, const Progress &p) {
    put(item, kStatus, "Integer", std::to_string(p.status));
    put(item, kPercent, "Double", percent_text(p.percent / 100));
    put(item, kComplete, "Boolean", p.status == kCompletedStatus ? "true" : "false");
    if (p.completed) put(item, kCompleted, "SystemTime", format_ews_time(*p.completed));
    else drop(item, kCompleted);
}

void complete(Progress &p, std::optional<UnixTime> when) {
    p.status = kCompletedStatus;
    p.percent = 100;
    if (when) p.completed = when;
    else if (!p.completed) p.completed = now();
}

// Leaving the Completed state clears the date; a task at 100 % starts over.
void reopen(Progress &p, int status) {
    p.status = status;
    p.completed.reset();
    if (p.percent >= 100 || status == 0) p.percent = 0;
}

void set_percent(Progress &p, double percent) {
    if (percent >= 100) return complete(p, std::nullopt);
    p.completed.reset();
    p.percent = percent;
    if (p.status == kCompletedStatus || (p.status == 1 && percent == 0)) p.status = percent > 0 ? 1 : 0;
    else if (p.status == 0 && percent > 0) p.status = 1;
}

std::optional<int> index_of(const std::string &s, std::initializer_list<const char *> names) {
    int i = 0;
    for (const char *n : names) {
        if (s == n) return i;
        ++i;
    }
    return std::nullopt;
}

// Whether the shape asks for a task: field (every one with AllProperties).
bool wants(const ItemShape &shape, const std::string &uri) {
    return shape.base == "AllProperties" ||
           std::find(shape.other_kind_uris.begin(), shape.other_kind_uris.end(), uri) !=
               shape.other_kind_uris.end();
}

EwsError invalid(const std::string &text) { return ews_error("ErrorInvalidPropertySet", text); }

// A new MIME text holding `body`, for a task without attachments.
std::string body_mime(const std::string &subject, xmlNodePtr body, const std::string &from,
                      UnixTime when = now()) {
    SimpleMessage m;
    m.subject = subject;
    if (body) {
        m.body = node_text(body);
        m.body_is_html = attribute(body, "BodyType").value_or("Text") == "HTML";
    }
    m.from = MailAddress{"", from};
    m.date = when;
    return build_mime(m);
}

bool set_time(StoredItem &item, const char *id, const std::string &text, const std::string &name,
              EwsError &error) {
    auto t = parse_ews_time(text);
    if (!t) {
        error = invalid("The value of " + name + " is not a date and time.");
        return false;
    }
    put(item, id, "SystemTime", format_ews_time(*t));
    return true;
}

bool apply_progress_element(StoredItem &item, const std::string &name, const std::string &text,
                            EwsError &error) {
    Progress p = progress_of(item);
    if (name == "CompleteDate") {
        auto t = parse_ews_time(text);
        if (!t) {
            error = invalid("The value of CompleteDate is not a date and time.");
            return false;
        }
        complete(p, *t);
    } else if (name == "PercentComplete") {
        char *end = nullptr;
        double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || v < 0 || v > 100) {
            error = ews_error("ErrorInvalidPercentCompleteValue",
                              "PercentComplete must be between 0 and 100.");
            return false;
        }
        set_percent(p, v);
    } else {
        auto s = index_of(text, {"NotStarted", "InProgress", "Completed", "WaitingOnOthers", "Deferred"});
        if (!s) {
            error = invalid("The value of Status is not valid.");
            return false;
        }
        if (*s == kCompletedStatus) complete(p, std::nullopt);
        else reopen(p, *s);
    }
    store_progress(item, p);
    return true;
}

// One child of <t:Task>, in request order (the order decides the progress
// fields, as on Exchange).
bool apply_task_element(StoredItem &item, xmlNodePtr e, bool creating, EwsError &error) {
    std::string name = local_name(e);
    std::string text = node_text(e);
    ItemInfo &i = item.info;
    if (name == "Subject") i.subject = text;
    else if (name == "Body" || name == "Attachments") {
        if (creating) return true; // in the MIME text already
        if (name == "Attachments" || i.has_attachments) {
            error = invalid("The sandbox changes the body of a task without attachments only.");
            return false;
        }
        item.mime = body_mime(i.subject, e, i.from_address);
    } else if (name == "ItemClass") {
        if (text.rfind("IPM.Task", 0) != 0) {
            error = ews_error("ErrorObjectTypeChanged", "A task keeps an IPM.Task item class.");
            return false;
        }
        i.item_class = text;
    } else if (name == "Sensitivity") {
        auto v = index_of(text, {"Normal", "Personal", "Private", "Confidential"});
        if (!v) return error = invalid("The value of Sensitivity is not valid."), false;
        i.sensitivity = *v;
    } else if (name == "Importance") {
        auto v = index_of(text, {"Low", "Normal", "High"});
        if (!v) return error = invalid("The value of Importance is not valid."), false;
        i.importance = *v;
    } else if (name == "Categories") {
        i.categories.clear();
        for (xmlNodePtr s : children(e, "String")) i.categories.push_back(node_text(s));
    } else if (name == "ReminderDueBy") return set_time(item, kReminderTime, text, name, error);
    else if (name == "StartDate") return set_time(item, kStart, text, name, error);
    else if (name == "DueDate") return set_time(item, kDue, text, name, error);
    else if (name == "ReminderIsSet" || name == "ReminderMinutesBeforeStart") {
        if (!set_element_property(item, *element_property(name), text))
            return error = invalid("The value of " + name + " is not valid."), false;
    } else if (name == "ExtendedProperty") {
        auto value = parse_extended_property(e, error);
        return value && write_property(item, *value, error);
    } else if (name == "CompleteDate" || name == "PercentComplete" || name == "Status") {
        return apply_progress_element(item, name, text, error);
    } else if (name == "Recurrence") {
        auto r = parse_task_recurrence(e, error);
        if (!r) return false;
        put(item, kRecurrence, "String", encode_task_recurrence(*r));
        put(item, kRecurring, "Boolean", "true");
    } else if (name == "Culture") {
        return true; // every sandbox item is en-US
    } else if (std::find(std::begin(kReadOnly), std::end(kReadOnly), name) != std::end(kReadOnly)) {
        error = invalid("The property " + name + " is read-only.");
        return false;
    } else {
        for (const auto &f : kPlainFields) {
            if (name != f.element) continue;
            std::vector<std::string> values;
            if (std::string(f.type) == "StringArray")
                for (xmlNodePtr s : children(e, "String")) values.push_back(node_text(s));
            else values.push_back(text);
            ExtendedValue v{f.id, f.type, std::move(values)};
            return write_property(item, v, error);
        }
        error = invalid("The sandbox cannot store the property " + name + " of a task.");
        return false;
    }
    return true;
}

} // namespace

std::optional<StoredItem> task_from_element(const std::string &owner, std::size_t max_bytes, UnixTime when,
                                            xmlNodePtr task, EwsError &error) {
    std::string mime = body_mime(node_text(child(task, "Subject")), child(task, "Body"), owner, when);
    for (xmlNodePtr a : children(child(task, "Attachments"))) {
        if (local_name(a) != "FileAttachment") {
            error = ews_error("ErrorInvalidItemForOperationCreateItemAttachment",
                              "The sandbox adds file attachments only.");
            return std::nullopt;
        }
        auto file = file_attachment(a, error);
        if (!file) return std::nullopt;
        mime = append_attachment(mime, *file);
        if (mime.size() > max_bytes) break;
    }
    if (mime.size() > max_bytes) {
        error = ews_error("ErrorMessageSizeExceeded");
        return std::nullopt;
    }
    StoredItem item = message_item_from_mime(std::move(mime), when);
    item.info.item_class = "IPM.Task";
    item.info.message_flags = 0x1; // read, and never a draft
    store_progress(item, Progress{});
    for (xmlNodePtr e : children(task))
        if (!apply_task_element(item, e, true, error)) return std::nullopt;
    return item;
}

namespace {

// The element name of a task: or item: FieldURI, with whether a task may
// have it removed.
bool deletable(const std::string &element) {
    static const char *names[] = {"Categories", "StartDate", "DueDate", "ReminderDueBy",
                                  "Recurrence", "ActualWork", "TotalWork", "BillingInformation",
                                  "Mileage", "Companies", "Contacts"};
    return std::find_if(std::begin(names), std::end(names),
                        [&](const char *n) { return element == n; }) != std::end(names);
}

bool delete_task_field(StoredItem &item, const std::string &element) {
    if (element == "Categories") item.info.categories.clear();
    else if (element == "StartDate") drop(item, kStart);
    else if (element == "DueDate") drop(item, kDue);
    else if (element == "ReminderDueBy") drop(item, kReminderTime);
    else if (element == "Recurrence") {
        drop(item, kRecurrence);
        drop(item, kRecurring);
    } else {
        for (const auto &f : kPlainFields)
            if (element == f.element) drop(item, f.id);
    }
    return true;
}

void render_task_fields(XmlOut &out, const StoredItem &item, const ItemShape &shape);

} // namespace

bool is_task(const ItemInfo &info) { return info.item_class.rfind("IPM.Task", 0) == 0; }

void create_task(OpEnv &env, ResponseWriter &w, xmlNodePtr task, bool folder_named,
                 const std::optional<FolderInfo> &folder, const EwsError &folder_error) {
    // Without SavedItemFolderId Exchange files a task in the Tasks folder.
    std::optional<FolderInfo> target = folder_named ? folder : env.store.distinguished_folder(env.home, "tasks");
    if (!target) {
        w.error(folder_named ? folder_error : ews_error("ErrorFolderNotFound"), "m:Items");
        return;
    }
    EwsError error;
    auto item = task_from_element(env.home_address, env.config.max_message_bytes, now(), task, error);
    if (!item) {
        w.error(error, "m:Items");
        return;
    }
    item->info.mailbox = target->mailbox;
    item->info.folder = target->id;
    ItemInfo made = env.store.add_item(*item);
    XmlOut &out = w.begin_success();
    out.open("m:Items").open("t:Task");
    out.open("t:ItemId").attr("Id", item_id_of(env, made)).attr("ChangeKey", item_change_key(env, made)).close();
    out.close().close();
    w.end_message();
}

bool apply_task_update(StoredItem &item, xmlNodePtr change, EwsError &error) {
    std::string action = local_name(change);
    xmlNodePtr path = nullptr, value = nullptr;
    for (xmlNodePtr c : children(change)) {
        std::string n = local_name(c);
        if (n == "FieldURI" || n == "ExtendedFieldURI" || n == "IndexedFieldURI") path = c;
        else value = c;
    }
    if (!path) return error = ews_error("ErrorInvalidRequest", "The change names no property."), false;
    if (action == "AppendToItemField")
        return error = ews_error("ErrorInvalidPropertyAppend", "The sandbox does not append to tasks."), false;
    auto props = children(value);
    if (action != "DeleteItemField") {
        if (local_name(value) != "Task" && local_name(value) != "Item")
            return error = ews_error("ErrorObjectTypeChanged", "The item is a task."), false;
        if (props.size() != 1) {
            error = ews_error("ErrorIncorrectUpdatePropertyCount",
                              "An object within a change description must contain one and only one "
                              "property to modify.");
            return false;
        }
    }
    if (local_name(path) == "ExtendedFieldURI") {
        auto p = parse_prop_path(path, error);
        if (!p) return false;
        if (action == "DeleteItemField") return delete_property(item, *p, error);
        auto v = parse_extended_property(props.front(), error);
        return v && write_property(item, *v, error);
    }
    std::string uri = attribute(path, "FieldURI").value_or("");
    std::string element = uri.substr(uri.find(':') + 1);
    if (uri.rfind("item:", 0) != 0 && uri.rfind("task:", 0) != 0) {
        error = ews_error("ErrorInvalidPropertyRequest");
        error.field_uri = uri;
        return false;
    }
    if (action == "DeleteItemField") {
        if (!deletable(element))
            return error = ews_error("ErrorInvalidPropertyDelete", "The property " + uri + " cannot be deleted."), false;
        return delete_task_field(item, element);
    }
    if (local_name(props.front()) != element)
        return error = invalid("The change sets " + local_name(props.front()) + " but names " + uri + "."), false;
    return apply_task_element(item, props.front(), false, error);
}

void render_task(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored_in,
                 const ItemShape &shape) {
    std::optional<StoredItem> loaded;
    if (!stored_in) loaded = env.store.load_item(info.mailbox, info.id);
    const StoredItem empty{info, {}, {}};
    const StoredItem &item = stored_in ? *stored_in : loaded ? *loaded : empty;
    using F = Field;
    auto on = [&](F f) { return shape.has(f); };
    auto time_leaf = [&](const char *element, const char *id) {
        if (auto v = get(item, id)) out.leaf(element, *v);
    };
    out.open("t:Task");
    write_item_identity(out, env, info, shape, item_id_of(env, info), info.subject);
    std::optional<MimeSummary> summary;
    if ((on(F::Body) || on(F::Attachments)) && !shape.for_find) summary = summarize_mime(item.mime);
    if (summary && on(F::Body)) {
        MimeBodies bodies = extract_bodies(item.mime);
        std::string type = shape.body_type == "Best" ? (bodies.html ? "HTML" : "Text") : shape.body_type;
        std::string content = type == "HTML" ? (bodies.html ? *bodies.html : text_to_html(bodies.text.value_or("")))
                                             : (bodies.text ? *bodies.text : html_to_text(bodies.html.value_or("")));
        out.open("t:Body").attr("BodyType", type).text(content).close();
    }
    if (summary && on(F::Attachments) && !summary->attachments.empty()) {
        out.open("t:Attachments");
        for (std::size_t n = 0; n < summary->attachments.size(); ++n)
            render_attachment_summary(out, env, info, summary->attachments[n], n);
        out.close();
    }
    if (on(F::DateTimeReceived)) out.leaf("t:DateTimeReceived", format_ews_time(info.date_received));
    if (on(F::Size)) out.leaf("t:Size", info.size);
    if (on(F::Categories) && !info.categories.empty()) {
        out.open("t:Categories");
        for (const auto &c : info.categories) out.leaf("t:String", c);
        out.close();
    }
    if (on(F::Importance)) {
        static const char *names[] = {"Low", "Normal", "High"};
        out.leaf("t:Importance", names[std::clamp(info.importance, 0, 2)]);
    }
    for (F f : {F::IsSubmitted, F::IsDraft, F::IsFromMe, F::IsResend})
        if (on(f)) out.leaf_bool(f == F::IsSubmitted ? "t:IsSubmitted" : f == F::IsDraft ? "t:IsDraft"
                                 : f == F::IsFromMe ? "t:IsFromMe" : "t:IsResend", false);
    if (on(F::DateTimeCreated)) out.leaf("t:DateTimeCreated", format_ews_time(info.date_created));
    if (on(F::ReminderDueBy)) time_leaf("t:ReminderDueBy", kReminderTime);
    if (on(F::ReminderIsSet))
        out.leaf_bool("t:ReminderIsSet", element_property_value(item, "ReminderIsSet").value_or("false") == "true");
    if (on(F::ReminderMinutesBeforeStart))
        out.leaf("t:ReminderMinutesBeforeStart", element_property_value(item, "ReminderMinutesBeforeStart").value_or("0"));
    if (on(F::HasAttachments)) out.leaf_bool("t:HasAttachments", info.has_attachments);
    for (const auto &path : shape.extended)
        if (auto v = read_property(item, path)) write_extended_property_xml(out, path, *v);
    if (on(F::Culture)) out.leaf("t:Culture", "en-US");
    if (on(F::LastModifiedTime)) out.leaf("t:LastModifiedTime", format_ews_time(info.last_modified));
    if (on(F::IsAssociated)) out.leaf_bool("t:IsAssociated", false);
    render_task_fields(out, item, shape);
    out.close();
}

namespace {

// The TaskType part of <t:Task>.
void render_task_fields(XmlOut &out, const StoredItem &item, const ItemShape &shape) {
    auto want = [&](const char *uri) { return wants(shape, uri); };
    auto plain = [&](const char *element) {
        for (const auto &f : kPlainFields) {
            if (std::string(element) != f.element || !want((std::string("task:") + element).c_str())) continue;
            const ExtendedValue *v = get_all(item, f.id);
            if (!v || v->values.empty()) return;
            if (std::string(f.type) != "StringArray") {
                out.leaf(std::string("t:") + element, v->values.front());
                return;
            }
            out.open(std::string("t:") + element);
            for (const auto &s : v->values) out.leaf("t:String", s);
            out.close();
        }
    };
    Progress p = progress_of(item);
    auto recurrence = decode_task_recurrence(get(item, kRecurrence).value_or(""));
    plain("ActualWork");
    plain("BillingInformation");
    if (want("task:ChangeCount")) out.leaf("t:ChangeCount", 1);
    plain("Companies");
    if (want("task:CompleteDate") && p.completed) out.leaf("t:CompleteDate", format_ews_time(*p.completed));
    plain("Contacts");
    if (want("task:DelegationState")) out.leaf("t:DelegationState", "NoMatch");
    if (want("task:DueDate"))
        if (auto v = get(item, kDue)) out.leaf("t:DueDate", *v);
    if (want("task:IsComplete")) out.leaf_bool("t:IsComplete", p.status == kCompletedStatus);
    if (want("task:IsRecurring")) out.leaf_bool("t:IsRecurring", recurrence.has_value());
    if (want("task:IsTeamTask")) out.leaf_bool("t:IsTeamTask", false);
    plain("Mileage");
    if (want("task:PercentComplete")) out.leaf("t:PercentComplete", percent_text(p.percent));
    if (want("task:Recurrence") && recurrence) write_task_recurrence(out, *recurrence);
    if (want("task:StartDate"))
        if (auto v = get(item, kStart)) out.leaf("t:StartDate", *v);
    int status = std::clamp(p.status, 0, 4);
    if (want("task:Status")) out.leaf("t:Status", kStatusNames[status]);
    if (want("task:StatusDescription")) out.leaf("t:StatusDescription", kStatusTexts[status]);
    plain("TotalWork");
}

} // namespace

} // namespace sandbox
