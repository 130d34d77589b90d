// Invitations: what CreateItem of a calendar item with attendees delivers
// to the attendees who are sandbox mailboxes.  Microsoft's reference,
// "SendMeetingInvitations" (CreateItem): SendToNone sends nothing,
// SendOnlyToAll sends without a copy, SendToAllAndSaveCopy sends and keeps
// a copy in Sent Items.  "MeetingRequest": the request arrives in the
// attendee's Inbox, and Exchange puts a tentative calendar item, not yet
// answered, into the attendee's calendar at once.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>

#include "calendar_zone.hpp"
#include "meeting_messages.hpp"

namespace sandbox {

namespace {

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// RFC 5545 text value: backslash, semicolon, comma and line ends escaped.
std::string ical_text(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == ';' || c == ',') out += '\\';
        if (c == '\r') continue;
        if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

// A content line folded at 75 octets, never inside a UTF-8 sequence.
std::string ical_line(const std::string &line) {
    std::string out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80;
        if (used >= 74 && !continuation) {
            out += "\r\n ";
            used = 1;
        }
        out += line[i];
        ++used;
    }
    return out + "\r\n";
}

std::string ical_time(UnixTime t) {
    LocalTime u = utc_to_local("", t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02dZ", u.year, u.month, u.day, u.hour,
                  u.minute, u.second);
    return buf;
}

std::string ical_date(const std::string &zone, UnixTime t) {
    LocalTime l = utc_to_local(zone, t);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", l.year, l.month, l.day);
    return buf;
}

std::string ical_address(const char *name, const std::string &cn, const std::string &address,
                         const std::string &params) {
    std::string cleaned;
    for (char c : cn)
        if (c != '"' && c != '\r' && c != '\n') cleaned += c;
    return std::string(name) + params + ";CN=\"" + cleaned + "\":mailto:" + address;
}

// The METHOD:REQUEST object the request carries beside its text.
std::string request_icalendar(const std::string &subject, const CalendarData &d,
                              const MailAddress &organizer) {
    std::string out;
    for (const char *line : {"BEGIN:VCALENDAR", "METHOD:REQUEST", "PRODID:-//ews-sandbox//meetings//EN",
                             "VERSION:2.0", "BEGIN:VEVENT"})
        out += ical_line(line);
    out += ical_line("UID:" + d.uid);
    out += ical_line("DTSTAMP:" + ical_time(now()));
    if (d.all_day) {
        out += ical_line("DTSTART;VALUE=DATE:" + ical_date(d.zone_id, d.start));
        out += ical_line("DTEND;VALUE=DATE:" + ical_date(d.zone_id, d.end));
    } else {
        out += ical_line("DTSTART:" + ical_time(d.start));
        out += ical_line("DTEND:" + ical_time(d.end));
    }
    out += ical_line("SUMMARY:" + ical_text(subject));
    if (!d.location.empty()) out += ical_line("LOCATION:" + ical_text(d.location));
    out += ical_line(ical_address("ORGANIZER", organizer.name, organizer.address, ""));
    for (const auto *list : {&d.required, &d.optional})
        for (const auto &a : *list)
            out += ical_line(ical_address(
                "ATTENDEE", a.name, a.address,
                std::string(";ROLE=") + (list == &d.required ? "REQ" : "OPT") +
                    "-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE"));
    out += ical_line("END:VEVENT");
    out += ical_line("END:VCALENDAR");
    return out;
}

std::vector<MailAddress> addresses_of(const std::vector<Attendee> &list) {
    std::vector<MailAddress> out;
    for (const auto &a : list) out.push_back({a.name, a.address});
    return out;
}

// The request's MIME text: the meeting's body as its text, and the
// iCalendar request as the alternative a calendar client reads.
std::string request_mime(const std::string &subject, const CalendarData &d, const MailAddress &organizer) {
    SimpleMessage head;
    head.subject = subject;
    head.from = organizer;
    head.to = addresses_of(d.required);
    head.cc = addresses_of(d.optional);
    head.date = now();
    std::string single = build_mime(head);
    // Keep the header block of the simple message, then give it a body of two parts.
    std::string headers = single.substr(0, single.find("Content-Type:"));
    const std::string boundary = "_sandbox_meeting_" + std::to_string(head.date) + "_";
    std::string out = headers + "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
    out += "--" + boundary + "\r\n";
    out += std::string("Content-Type: ") + (d.body_html ? "text/html" : "text/plain") +
           "; charset=\"utf-8\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    out += base64_encode(d.body, 76) + "\r\n";
    out += "--" + boundary + "\r\n";
    out += "Content-Type: text/calendar; charset=\"utf-8\"; method=REQUEST\r\n"
           "Content-Transfer-Encoding: base64\r\n\r\n";
    out += base64_encode(request_icalendar(subject, d, organizer), 76) + "\r\n";
    out += "--" + boundary + "--\r\n";
    return out;
}

// The attendee's own copy of the meeting: unanswered, shown as tentative.
void place_tentative_copy(OpEnv &env, std::int64_t mailbox, const StoredItem &organizer_item,
                          CalendarData d) {
    auto calendar = env.store.distinguished_folder(mailbox, "calendar");
    if (!calendar || find_meeting_calendar_item(env.store, mailbox, d.uid)) return;
    StoredItem copy;
    copy.info = organizer_item.info;
    copy.info.mailbox = mailbox;
    copy.info.folder = calendar->id;
    copy.info.message_flags = 0x1;
    copy.info.has_attachments = false;
    copy.extended = organizer_item.extended;
    d.my_response = "NoResponseReceived";
    d.busy = "Tentative";
    write_calendar(copy, d);
    env.store.add_item(copy);
}

StoredItem request_item(const StoredItem &organizer_item, const CalendarData &d, std::int64_t mailbox,
                        std::int64_t folder, bool sent_copy) {
    const MailAddress organizer{organizer_item.info.from_name, organizer_item.info.from_address};
    StoredItem request = message_item_from_mime(request_mime(organizer_item.info.subject, d, organizer), now());
    request.info.item_class = kMeetingRequestClass;
    request.info.mailbox = mailbox;
    request.info.folder = folder;
    request.info.importance = organizer_item.info.importance;
    request.info.sensitivity = organizer_item.info.sensitivity;
    request.info.date_sent = now();
    // Received: unread and no draft; the organizer's copy was sent and read.
    request.info.message_flags = sent_copy ? 0x1 : 0x0;
    CalendarData carried = d;
    carried.my_response = sent_copy ? "Organizer" : "NoResponseReceived";
    write_calendar(request, carried);
    return request;
}

} // namespace

bool is_meeting_message_class(const std::string &item_class) {
    return item_class == kMeetingRequestClass || item_class.rfind(kMeetingResponsePrefix, 0) == 0;
}

const char *message_element_name(const std::string &item_class) {
    if (item_class == kMeetingRequestClass) return "t:MeetingRequest";
    if (item_class.rfind(kMeetingResponsePrefix, 0) == 0) return "t:MeetingResponse";
    return "t:Message";
}

bool same_address(const std::string &a, const std::string &b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::optional<StoredItem> find_meeting_calendar_item(MailStore &store, std::int64_t mailbox,
                                                     const std::string &uid) {
    auto calendar = store.distinguished_folder(mailbox, "calendar");
    if (!calendar || uid.empty()) return std::nullopt;
    for (const ItemInfo &info : store.items_in_folder(mailbox, calendar->id)) {
        if (!is_calendar_class(info.item_class)) continue;
        auto item = store.load_item(mailbox, info.id);
        if (item && read_calendar(*item).uid == uid) return item;
    }
    return std::nullopt;
}

void send_meeting_invitations(OpEnv &env, xmlNodePtr op, const ItemInfo &made) {
    const std::string mode = attribute(op, "SendMeetingInvitations").value_or("SendToNone");
    if (mode != "SendOnlyToAll" && mode != "SendToAllAndSaveCopy") return;
    auto organizer_item = env.store.load_item(made.mailbox, made.id);
    if (!organizer_item) return;
    const CalendarData d = read_calendar(*organizer_item);
    std::vector<std::int64_t> invited;
    for (const auto *list : {&d.required, &d.optional}) {
        for (const Attendee &a : *list) {
            // Only mailboxes of this organisation receive; the organizer
            // does not invite itself.
            if (a.address.empty() || same_address(a.address, made.from_address)) continue;
            std::string address = a.address;
            std::transform(address.begin(), address.end(), address.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (!env.ctx.mailbox_exists || !env.ctx.mailbox_exists(address)) continue;
            const std::int64_t mailbox = env.store.ensure_mailbox(address);
            if (std::find(invited.begin(), invited.end(), mailbox) != invited.end()) continue;
            invited.push_back(mailbox);
            auto inbox = env.store.distinguished_folder(mailbox, "inbox");
            if (!inbox) continue;
            place_tentative_copy(env, mailbox, *organizer_item, d);
            env.store.add_item(request_item(*organizer_item, d, mailbox, inbox->id, false));
        }
    }
    if (!invited.empty() && mode == "SendToAllAndSaveCopy")
        if (auto sent_items = env.store.distinguished_folder(made.mailbox, "sentitems"))
            env.store.add_item(request_item(*organizer_item, d, made.mailbox, sent_items->id, true));
}

} // namespace sandbox
