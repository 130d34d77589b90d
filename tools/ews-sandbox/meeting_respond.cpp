// Answers to meeting requests: AcceptItem, TentativelyAcceptItem and
// DeclineItem among CreateItem's Items.  Microsoft's reference:
// "CreateItem operation (meeting request)" (the ReferenceItemId names the
// request; a successful answer holds an empty Items element) and
// "Responding to meeting invitations by using the EWS Managed API 2.0"
// (the reference may be the request or its associated calendar item;
// both take the answer, and the calendar item is deleted and made again,
// so it gets a new id).  Exchange moves an answered request to Deleted
// Items and takes a declined meeting out of the calendar; the organizer
// receives a MeetingResponse (IPM.Schedule.Meeting.Resp.Pos/Tent/Neg) and
// its calendar item records the attendee's ResponseType.
#include <chrono>

#include "meeting_messages.hpp"

namespace sandbox {

namespace {

UnixTime now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Answer {
    const char *element;    // AcceptItem ...
    const char *response;   // ResponseTypeType
    const char *class_tail; // IPM.Schedule.Meeting.Resp.*
    const char *subject_prefix;
};

constexpr Answer kAnswers[] = {
    {"AcceptItem", "Accept", "Pos", "Accepted: "},
    {"TentativelyAcceptItem", "Tentative", "Tent", "Tentative: "},
    {"DeclineItem", "Decline", "Neg", "Declined: "},
};

const Answer *answer_for(xmlNodePtr element) {
    const std::string name = local_name(element);
    for (const Answer &a : kAnswers)
        if (name == a.element) return &a;
    return nullptr;
}

// What one answer works on: the attendee's request and calendar copy of
// one meeting (either may be gone), and the meeting as the attendee has it.
struct Invitation {
    std::int64_t mailbox = 0;
    std::optional<StoredItem> request, copy;
    CalendarData meeting;
    std::string subject;
    MailAddress organizer;
};

std::optional<StoredItem> find_request(MailStore &store, std::int64_t mailbox, const std::string &uid) {
    auto inbox = store.distinguished_folder(mailbox, "inbox");
    if (!inbox) return std::nullopt;
    for (const ItemInfo &info : store.items_in_folder(mailbox, inbox->id)) {
        if (info.item_class != kMeetingRequestClass) continue;
        auto item = store.load_item(mailbox, info.id);
        if (item && read_calendar(*item).uid == uid) return item;
    }
    return std::nullopt;
}

std::optional<Invitation> invitation_of(OpEnv &env, const ItemRef &ref, EwsError &error) {
    auto item = env.store.load_item(ref.info.mailbox, ref.info.id);
    const bool request = item && item->info.item_class == kMeetingRequestClass;
    const bool copy = item && is_calendar_class(item->info.item_class) &&
                      read_calendar(*item).my_response != "Organizer";
    if (!request && !copy) {
        error = ews_error("ErrorInvalidReferenceItem",
                          "The reference item does not support the requested operation.");
        return std::nullopt;
    }
    Invitation inv;
    inv.mailbox = ref.info.mailbox;
    inv.meeting = read_calendar(*item);
    inv.subject = item->info.subject;
    inv.organizer = {item->info.from_name, item->info.from_address};
    if (request) {
        inv.request = item;
        inv.copy = find_meeting_calendar_item(env.store, inv.mailbox, inv.meeting.uid);
    } else {
        inv.copy = item;
        inv.request = find_request(env.store, inv.mailbox, inv.meeting.uid);
    }
    // The request carries the organizer's own free/busy value; the copy
    // shows "Tentative" until it is answered.
    if (inv.request) inv.meeting.busy = read_calendar(*inv.request).busy;
    else if (inv.meeting.busy == "Tentative") inv.meeting.busy = "Busy";
    return inv;
}

// The attendee's calendar: made again with the answer, or, declined, gone.
void answer_in_calendar(OpEnv &env, const Invitation &inv, const Answer &answer) {
    if (inv.copy) env.store.delete_item(inv.mailbox, inv.copy->info.id);
    if (std::string(answer.response) == "Decline") return;
    auto calendar = env.store.distinguished_folder(inv.mailbox, "calendar");
    if (!calendar) return;
    StoredItem made = inv.copy ? *inv.copy : *inv.request;
    made.info.item_class = kAppointmentClass;
    made.info.folder = calendar->id;
    made.info.message_flags = 0x1;
    made.info.last_modified = now();
    CalendarData d = inv.meeting;
    d.my_response = answer.response;
    if (std::string(answer.response) == "Tentative") d.busy = "Tentative";
    write_calendar(made, d);
    if (!inv.copy) made.mime.clear(); // a calendar item has no MIME text of its own
    env.store.add_item(made);
}

// The request records the answer and moves to Deleted Items.
void file_request(OpEnv &env, const Invitation &inv, const Answer &answer) {
    if (!inv.request) return;
    env.store.update_item(inv.mailbox, inv.request->info.id, std::nullopt,
                          [&](StoredItem &item) {
                              CalendarData d = read_calendar(item);
                              d.my_response = answer.response;
                              write_calendar(item, d);
                              item.info.message_flags |= 0x1;
                              return true;
                          },
                          nullptr);
    if (auto deleted = env.store.distinguished_folder(inv.mailbox, "deleteditems"))
        env.store.move_item(inv.mailbox, inv.request->info.id, *deleted);
}

StoredItem response_message(OpEnv &env, const Invitation &inv, const Answer &answer, xmlNodePtr element) {
    SimpleMessage m;
    m.subject = answer.subject_prefix + inv.subject;
    m.from = MailAddress{"", env.store.mailbox_address(inv.mailbox)};
    m.to = {inv.organizer};
    m.date = now();
    if (xmlNodePtr body = child(element, "Body")) {
        m.body = node_text(body);
        m.body_is_html = attribute(body, "BodyType").value_or("Text") == "HTML";
    }
    StoredItem item = message_item_from_mime(build_mime(m), now());
    item.info.item_class = std::string(kMeetingResponsePrefix) + answer.class_tail;
    item.info.date_sent = m.date;
    CalendarData d = inv.meeting;
    d.my_response = answer.response;
    write_calendar(item, d);
    return item;
}

// The organizer's calendar item shows the attendee's answer.
void record_at_organizer(OpEnv &env, const Invitation &inv, const Answer &answer, std::int64_t organizer) {
    auto item = find_meeting_calendar_item(env.store, organizer, inv.meeting.uid);
    if (!item) return;
    const std::string attendee = env.store.mailbox_address(inv.mailbox);
    env.store.update_item(organizer, item->info.id, std::nullopt,
                          [&](StoredItem &stored) {
                              CalendarData d = read_calendar(stored);
                              bool found = false;
                              for (auto *list : {&d.required, &d.optional, &d.resources})
                                  for (Attendee &a : *list)
                                      if (same_address(a.address, attendee)) {
                                          a.response = answer.response;
                                          a.last_response = now();
                                          found = true;
                                      }
                              if (found) write_calendar(stored, d);
                              return found;
                          },
                          nullptr);
}

void deliver_to_organizer(OpEnv &env, const Invitation &inv, const Answer &answer, xmlNodePtr element) {
    auto organizer = env.store.find_mailbox(inv.organizer.address);
    if (!organizer || inv.organizer.address.empty()) return;
    if (auto inbox = env.store.distinguished_folder(*organizer, "inbox")) {
        StoredItem message = response_message(env, inv, answer, element);
        message.info.mailbox = *organizer;
        message.info.folder = inbox->id;
        message.info.message_flags = 0x0; // received, unread
        env.store.add_item(message);
    }
    record_at_organizer(env, inv, answer, *organizer);
}

} // namespace

bool is_meeting_response_element(xmlNodePtr element) { return answer_for(element) != nullptr; }

void create_meeting_response(OpEnv &env, ResponseWriter &w, xmlNodePtr op, xmlNodePtr element) {
    const Answer &answer = *answer_for(element);
    auto disposition = attribute(op, "MessageDisposition");
    if (!disposition) {
        w.error(ews_error("ErrorMessageDispositionRequired"), "m:Items");
        return;
    }
    EwsError error;
    xmlNodePtr reference = child(element, "ReferenceItemId");
    if (!reference) {
        w.error(ews_error("ErrorInvalidReferenceItem", "A response item needs a ReferenceItemId."), "m:Items");
        return;
    }
    // The copy the attendee keeps goes where SavedItemFolderId says, else
    // to Sent Items (sent) or Drafts (saved only).
    std::optional<FolderInfo> saved_in;
    if (*disposition != "SendOnly") {
        if (xmlNodePtr saved = child(op, "SavedItemFolderId")) saved_in = resolve_target_folder(env, saved, error);
        else if (!(saved_in = env.store.distinguished_folder(
                       env.home, *disposition == "SaveOnly" ? "drafts" : "sentitems")))
            error = ews_error("ErrorFolderNotFound");
        if (!saved_in) {
            w.error(error, "m:Items");
            return;
        }
    }
    auto ref = resolve_item(env, reference, error);
    auto inv = ref ? invitation_of(env, *ref, error) : std::nullopt;
    if (!inv) {
        w.error(error, "m:Items");
        return;
    }
    answer_in_calendar(env, *inv, answer);
    file_request(env, *inv, answer);
    if (*disposition != "SaveOnly") deliver_to_organizer(env, *inv, answer, element);
    std::optional<ItemInfo> kept;
    if (saved_in) {
        StoredItem copy = response_message(env, *inv, answer, element);
        copy.info.mailbox = saved_in->mailbox;
        copy.info.folder = saved_in->id;
        copy.info.message_flags = *disposition == "SaveOnly" ? 0x9 : 0x1; // a draft stays unsent
        kept = env.store.add_item(copy);
    }
    XmlOut &out = w.begin_success();
    if (*disposition == "SaveOnly" && kept) {
        out.open("m:Items").open("t:MeetingResponse");
        out.open("t:ItemId").attr("Id", item_id_of(env, *kept)).attr("ChangeKey", item_change_key(env, *kept)).close();
        out.close().close();
    } else {
        out.empty("m:Items");
    }
    w.end_message();
}

} // namespace sandbox
