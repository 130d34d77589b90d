#include "calendar_model.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "crypto_util.hpp"

namespace sandbox {

namespace {

// PSETID_Appointment and PSETID_Meeting ids ([MS-OXPROPS]).
constexpr const char *kStart = "Appointment:id:33293";    // PidLidAppointmentStartWhole 0x820D
constexpr const char *kEnd = "Appointment:id:33294";      // PidLidAppointmentEndWhole 0x820E
constexpr const char *kLocation = "Appointment:id:33288"; // PidLidLocation 0x8208
constexpr const char *kAllDay = "Appointment:id:33301";   // PidLidAppointmentSubType 0x8215
constexpr const char *kBusy = "Appointment:id:33285";     // PidLidBusyStatus 0x8205
constexpr const char *kState = "Appointment:id:33303";    // PidLidAppointmentStateFlags 0x8217
constexpr const char *kResponse = "Appointment:id:33304"; // PidLidResponseStatus 0x8218
constexpr const char *kZone = "Appointment:id:33332";     // PidLidTimeZoneDescription 0x8234
constexpr const char *kGlobalId = "Meeting:id:3";         // PidLidGlobalObjectId
constexpr const char *kCleanGlobalId = "Meeting:id:35";   // PidLidCleanGlobalObjectId 0x23
constexpr const char *kUid = "PublicStrings:name:urn:schemas:calendar:uid";
constexpr const char *kBody = "0x1000";                   // PR_BODY
constexpr const char *kNativeBody = "0x1016";             // PR_NATIVE_BODY_INFO: 1 text, 3 HTML
// The sandbox's own set for the structured values.
#define QV_CAL_SET "{2f0b5a3c-8d1e-4c6f-9a7b-3e5d1c0f4a21}:name:"
constexpr const char *kRecurrence = QV_CAL_SET "Recurrence";
constexpr const char *kAttendees = QV_CAL_SET "Attendees";
constexpr const char *kModified = QV_CAL_SET "ModifiedOccurrences";
constexpr const char *kDeleted = QV_CAL_SET "DeletedOccurrences";
#undef QV_CAL_SET

// XML 1.0 cannot carry U+001F, so no stored text contains it.
constexpr char kSep = '\x1f';

const char *kBusyNames[] = {"Free", "Tentative", "Busy", "OOF", "WorkingElsewhere", "NoData"};
const char *kResponseNames[] = {"NoResponseReceived", "Organizer", "Tentative", "Accept", "Decline",
                                "NoResponseReceived"};

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (true) {
        std::size_t sep = s.find(kSep, pos);
        out.push_back(s.substr(pos, sep == std::string::npos ? std::string::npos : sep - pos));
        if (sep == std::string::npos) return out;
        pos = sep + 1;
    }
}

// "key=value" fields joined by the separator.
std::map<std::string, std::string> fields_of(const std::string &s) {
    std::map<std::string, std::string> out;
    for (const auto &f : split(s)) {
        std::size_t eq = f.find('=');
        if (eq != std::string::npos) out[f.substr(0, eq)] = f.substr(eq + 1);
    }
    return out;
}

class FieldJoiner {
  public:
    FieldJoiner &add(const std::string &key, const std::string &value) {
        if (!text_.empty()) text_ += kSep;
        text_ += key + "=" + value;
        return *this;
    }
    FieldJoiner &add(const std::string &key, const std::optional<std::string> &value) {
        return value ? add(key, *value) : *this;
    }
    std::string text() const { return text_; }

  private:
    std::string text_;
};

const ExtendedValue *find(const StoredItem &item, const char *id) {
    for (const auto &v : item.extended)
        if (v.id == id) return &v;
    return nullptr;
}

std::string single(const StoredItem &item, const char *id, const std::string &fallback = "") {
    const ExtendedValue *v = find(item, id);
    return v && !v->values.empty() ? v->values.front() : fallback;
}

std::vector<std::string> many(const StoredItem &item, const char *id) {
    const ExtendedValue *v = find(item, id);
    return v ? v->values : std::vector<std::string>{};
}

std::optional<std::string> opt(const std::map<std::string, std::string> &m, const char *key) {
    auto it = m.find(key);
    if (it == m.end()) return std::nullopt;
    return it->second;
}

int to_int(const std::string &s, int fallback = 0) {
    try {
        return std::stoi(s);
    } catch (...) {
        return fallback;
    }
}

UnixTime to_time(const std::string &s) { return parse_ews_time(s).value_or(0); }

RecurrenceRule rule_from(const std::map<std::string, std::string> &m) {
    RecurrenceRule r;
    r.pattern = opt(m, "pattern").value_or("");
    r.interval = to_int(opt(m, "interval").value_or("1"), 1);
    r.days_of_week = opt(m, "days").value_or("");
    r.day_of_week_index = opt(m, "index").value_or("");
    r.day_of_month = to_int(opt(m, "day").value_or("0"));
    r.month = opt(m, "month").value_or("");
    r.first_day_of_week = opt(m, "wkst").value_or("");
    r.range = opt(m, "range").value_or("NoEnd");
    r.start_date = opt(m, "start").value_or("");
    r.end_date = opt(m, "end").value_or("");
    r.count = to_int(opt(m, "count").value_or("0"));
    return r;
}

std::string rule_text(const RecurrenceRule &r) {
    return FieldJoiner()
        .add("pattern", r.pattern).add("interval", std::to_string(r.interval))
        .add("days", r.days_of_week).add("index", r.day_of_week_index)
        .add("day", std::to_string(r.day_of_month)).add("month", r.month)
        .add("wkst", r.first_day_of_week).add("range", r.range).add("start", r.start_date)
        .add("end", r.end_date).add("count", std::to_string(r.count))
        .text();
}

void read_attendees(CalendarData &d, const StoredItem &item) {
    for (const auto &text : many(item, kAttendees)) {
        auto m = fields_of(text);
        Attendee a;
        a.name = opt(m, "name").value_or("");
        a.address = opt(m, "address").value_or("");
        a.response = opt(m, "response").value_or("Unknown");
        if (auto t = opt(m, "replied")) a.last_response = to_time(*t);
        std::string list = opt(m, "list").value_or("R");
        (list == "O" ? d.optional : list == "X" ? d.resources : d.required).push_back(a);
    }
}

std::vector<std::string> attendee_texts(const CalendarData &d) {
    std::vector<std::string> out;
    auto add = [&](const std::vector<Attendee> &list, const char *tag) {
        for (const auto &a : list) {
            FieldJoiner j;
            j.add("list", std::string(tag)).add("name", a.name).add("address", a.address).add("response", a.response);
            if (a.last_response) j.add("replied", format_ews_time(*a.last_response));
            out.push_back(j.text());
        }
    };
    add(d.required, "R");
    add(d.optional, "O");
    add(d.resources, "X");
    return out;
}

void put(StoredItem &item, const char *id, const char *type, std::vector<std::string> values) {
    item.extended.erase(std::remove_if(item.extended.begin(), item.extended.end(),
                                       [&](const ExtendedValue &v) { return v.id == id; }),
                        item.extended.end());
    if (values.empty()) return;
    item.extended.push_back({id, type, std::move(values)});
}

std::string hex_upper(const std::string &bytes) {
    std::string out;
    char buf[3];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        out += buf;
    }
    return out;
}

std::optional<std::string> from_hex(const std::string &hex) {
    if (hex.size() % 2) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned v = 0;
        if (std::sscanf(hex.substr(i, 2).c_str(), "%2x", &v) != 1) return std::nullopt;
        out += static_cast<char>(v);
    }
    return out;
}

// The 16 bytes every global object id starts with.
const std::string &goid_prefix() {
    static const std::string p = *from_hex("040000008200E00074C5B7101A82E008");
    return p;
}

void put_le32(std::string &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

} // namespace

std::string generated_uid(const std::string &seed) {
    std::string id = goid_prefix() + std::string(20, '\0');
    std::string data = sha256_raw("calendar-uid:" + seed).substr(0, 16);
    put_le32(id, static_cast<std::uint32_t>(data.size()));
    return hex_upper(id + data);
}

bool is_calendar_class(const std::string &item_class) {
    return item_class == kAppointmentClass || item_class.rfind("IPM.Appointment.", 0) == 0 ||
           item_class.rfind("IPM.OLE.CLASS.{00061055", 0) == 0;
}

std::string global_object_id(const std::string &uid) {
    if (uid.size() >= 32 && uid.size() % 2 == 0) {
        auto bytes = from_hex(uid);
        if (bytes && bytes->compare(0, 16, goid_prefix()) == 0) return *bytes;
    }
    std::string id = goid_prefix();
    id += std::string(4, '\0');  // year, month, day of an exception: none for a series
    id += std::string(8, '\0');  // creation time
    id += std::string(8, '\0');  // reserved
    std::string data = std::string("vCal-Uid") + std::string("\x01\0\0\0", 4) + uid + '\0';
    put_le32(id, static_cast<std::uint32_t>(data.size()));
    return id + data;
}

CalendarData read_calendar(const StoredItem &item) {
    CalendarData d;
    d.start = to_time(single(item, kStart));
    d.end = to_time(single(item, kEnd));
    d.all_day = single(item, kAllDay) == "true";
    d.location = single(item, kLocation);
    d.busy = kBusyNames[std::clamp(to_int(single(item, kBusy, "2"), 2), 0, 5)];
    d.uid = single(item, kUid);
    d.body = single(item, kBody);
    d.body_html = single(item, kNativeBody) == "3";
    d.my_response = kResponseNames[std::clamp(to_int(single(item, kResponse, "1"), 1), 0, 5)];
    d.is_meeting = (to_int(single(item, kState, "0")) & 1) != 0;
    d.zone_id = single(item, kZone);
    read_attendees(d, item);
    if (auto r = find(item, kRecurrence); r && !r->values.empty())
        d.recurrence = rule_from(fields_of(r->values.front()));
    for (const auto &text : many(item, kModified)) {
        auto m = fields_of(text);
        ModifiedOccurrence o;
        o.original_start = to_time(opt(m, "original").value_or(""));
        o.start = to_time(opt(m, "start").value_or(""));
        o.end = to_time(opt(m, "end").value_or(""));
        o.subject = opt(m, "subject");
        o.location = opt(m, "location");
        o.body = opt(m, "body");
        o.busy = opt(m, "busy");
        d.modified.push_back(o);
    }
    for (const auto &text : many(item, kDeleted)) d.deleted.push_back(to_time(text));
    return d;
}

void write_calendar(StoredItem &item, const CalendarData &d) {
    put(item, kStart, "SystemTime", {format_ews_time(d.start)});
    put(item, kEnd, "SystemTime", {format_ews_time(d.end)});
    put(item, kAllDay, "Boolean", {d.all_day ? "true" : "false"});
    put(item, kLocation, "String", d.location.empty() ? std::vector<std::string>{} : std::vector{d.location});
    int busy = 2;
    for (int i = 0; i < 6; ++i)
        if (d.busy == kBusyNames[i]) busy = i;
    put(item, kBusy, "Integer", {std::to_string(busy)});
    int response = 1;
    for (int i = 0; i < 5; ++i)
        if (d.my_response == kResponseNames[i]) response = i;
    if (d.my_response == "Unknown") response = 5;
    put(item, kResponse, "Integer", {std::to_string(response)});
    put(item, kState, "Integer", {d.is_meeting ? "1" : "0"});
    put(item, kZone, "String", d.zone_id.empty() ? std::vector<std::string>{} : std::vector{d.zone_id});
    put(item, kUid, "String", {d.uid});
    std::string goid = base64_encode(global_object_id(d.uid));
    put(item, kGlobalId, "Binary", {goid});
    put(item, kCleanGlobalId, "Binary", {goid});
    put(item, kBody, "String", d.body.empty() ? std::vector<std::string>{} : std::vector{d.body});
    put(item, kNativeBody, "Integer", {d.body_html ? "3" : "1"});
    put(item, kAttendees, "StringArray", attendee_texts(d));
    put(item, kRecurrence, "StringArray",
        d.recurrence ? std::vector{rule_text(*d.recurrence)} : std::vector<std::string>{});
    std::vector<std::string> modified;
    for (const auto &o : d.modified)
        modified.push_back(FieldJoiner()
                               .add("original", format_ews_time(o.original_start))
                               .add("start", format_ews_time(o.start)).add("end", format_ews_time(o.end))
                               .add("subject", o.subject).add("location", o.location)
                               .add("body", o.body).add("busy", o.busy)
                               .text());
    put(item, kModified, "StringArray", modified);
    std::vector<std::string> deleted;
    for (UnixTime t : d.deleted) deleted.push_back(format_ews_time(t));
    put(item, kDeleted, "StringArray", deleted);
}

} // namespace sandbox
