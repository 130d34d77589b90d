#include "item_render.hpp"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <map>

#include "contact_item.hpp"
#include "meeting_messages.hpp"
#include "calendar_render.hpp"
#include "crypto_util.hpp"
#include "item_attachments.hpp"
#include "mime_rewrite.hpp"
#include "mime_summary.hpp"
#include "task_item.hpp"

namespace sandbox {

namespace {

using F = Field;

constexpr F kGetDefault[] = {F::ItemId, F::Subject, F::Sensitivity, F::Body, F::Attachments,
                             F::Size, F::DateTimeSent, F::DateTimeCreated, F::HasAttachments,
                             F::ToRecipients, F::CcRecipients, F::IsReadReceiptRequested,
                             F::IsDeliveryReceiptRequested, F::From, F::IsRead};
constexpr F kFindDefault[] = {F::ItemId, F::ParentFolderId, F::ItemClass, F::Subject,
                              F::Sensitivity, F::DateTimeReceived, F::Size, F::Importance,
                              F::IsSubmitted, F::IsDraft, F::IsFromMe, F::IsResend,
                              F::IsUnmodified, F::DateTimeSent, F::DateTimeCreated, F::DisplayCc,
                              F::DisplayTo, F::HasAttachments, F::Culture, F::EffectiveRights,
                              F::LastModifiedTime, F::IsAssociated, F::ConversationTopic, F::From,
                              F::InternetMessageId, F::IsRead};
// Fields that need the stored item: its MIME text or its MAPI properties.
constexpr F kFromMime[] = {F::MimeContent, F::Body, F::Attachments, F::InternetMessageHeaders,
                           F::Sender, F::ToRecipients, F::CcRecipients, F::BccRecipients,
                           F::InReplyTo, F::References, F::ReplyTo, F::IsReadReceiptRequested,
                           F::IsDeliveryReceiptRequested, F::ReminderIsSet,
                           F::ReminderMinutesBeforeStart, F::IsResponseRequested};

// What FindItem never returns: bodies, recipient lists, attachments, MIME.
constexpr F kRefusedInFind[] = {F::MimeContent, F::Body, F::Attachments, F::InternetMessageHeaders,
                                F::ToRecipients, F::CcRecipients, F::BccRecipients};

bool from_mime(F f) { return std::find(std::begin(kFromMime), std::end(kFromMime), f) != std::end(kFromMime); }

const std::map<std::string, F> &uri_table() {
    static const std::map<std::string, F> table = {
        {"item:MimeContent", F::MimeContent}, {"item:ItemId", F::ItemId},
        {"item:ParentFolderId", F::ParentFolderId}, {"item:ItemClass", F::ItemClass},
        {"item:Subject", F::Subject}, {"item:Sensitivity", F::Sensitivity},
        {"item:Body", F::Body}, {"item:Attachments", F::Attachments},
        {"item:DateTimeReceived", F::DateTimeReceived}, {"item:Size", F::Size},
        {"item:Categories", F::Categories}, {"item:Importance", F::Importance},
        {"item:InReplyTo", F::InReplyTo}, {"item:IsSubmitted", F::IsSubmitted},
        {"item:IsDraft", F::IsDraft}, {"item:IsFromMe", F::IsFromMe},
        {"item:IsResend", F::IsResend}, {"item:IsUnmodified", F::IsUnmodified},
        {"item:InternetMessageHeaders", F::InternetMessageHeaders},
        {"item:DateTimeSent", F::DateTimeSent}, {"item:DateTimeCreated", F::DateTimeCreated},
        {"item:DisplayCc", F::DisplayCc}, {"item:DisplayTo", F::DisplayTo},
        {"item:HasAttachments", F::HasAttachments}, {"item:Culture", F::Culture},
        {"item:EffectiveRights", F::EffectiveRights},
        {"item:LastModifiedTime", F::LastModifiedTime}, {"item:IsAssociated", F::IsAssociated},
        {"item:ResponseObjects", F::ResponseObjects}, {"item:ReminderIsSet", F::ReminderIsSet},
        {"item:ReminderDueBy", F::ReminderDueBy},
        {"item:ReminderMinutesBeforeStart", F::ReminderMinutesBeforeStart},
        {"item:ConversationId", F::ConversationId},
        {"message:IsResponseRequested", F::IsResponseRequested},
        {"message:ReceivedBy", F::ReceivedBy},
        {"message:ReceivedRepresenting", F::ReceivedRepresenting},
        {"message:Sender", F::Sender}, {"message:ToRecipients", F::ToRecipients},
        {"message:CcRecipients", F::CcRecipients}, {"message:BccRecipients", F::BccRecipients},
        {"message:IsReadReceiptRequested", F::IsReadReceiptRequested},
        {"message:IsDeliveryReceiptRequested", F::IsDeliveryReceiptRequested},
        {"message:ConversationTopic", F::ConversationTopic}, {"message:From", F::From},
        {"message:InternetMessageId", F::InternetMessageId}, {"message:IsRead", F::IsRead},
        {"message:References", F::References}, {"message:ReplyTo", F::ReplyTo},
    };
    return table;
}

std::string conversation_topic(const std::string &subject) {
    // "RE: ", "FW: ", "AW: " ...: up to three letters and a colon.
    std::size_t colon = subject.find(':');
    if (colon != std::string::npos && colon >= 2 && colon <= 3 &&
        std::all_of(subject.begin(), subject.begin() + static_cast<long>(colon),
                    [](unsigned char c) { return std::isalpha(c); })) {
        std::size_t start = colon + 1;
        while (start < subject.size() && subject[start] == ' ') ++start;
        return subject.substr(start);
    }
    return subject;
}

// Items of one conversation share the id; the sandbox groups by topic, as
// a thread without Thread-Index headers is grouped.
std::string conversation_id(const std::string &subject) {
    std::string topic = conversation_topic(subject);
    std::transform(topic.begin(), topic.end(), topic.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return base64_encode(sha256_raw("conversation:" + topic).substr(0, 16));
}

void write_recipients(XmlOut &out, const char *element, const std::vector<MailAddress> &list) {
    if (list.empty()) return;
    out.open(element);
    for (const auto &a : list) write_mailbox(out, a.name, a.address, false);
    out.close();
}

void write_body(XmlOut &out, const MimeBodies &bodies, const std::string &requested) {
    std::string type = requested;
    if (type == "Best") type = bodies.html ? "HTML" : "Text";
    std::string content;
    if (type == "HTML") content = bodies.html ? *bodies.html : text_to_html(bodies.text.value_or(""));
    else content = bodies.text ? *bodies.text : html_to_text(bodies.html.value_or(""));
    out.open("t:Body").attr("BodyType", type).text(content).close();
}

} // namespace

void write_mailbox(XmlOut &out, const std::string &name, const std::string &address,
                   bool name_only) {
    out.open("t:Mailbox").leaf("t:Name", name.empty() ? address : name);
    if (!name_only) {
        if (!address.empty()) out.leaf("t:EmailAddress", address);
        out.leaf("t:RoutingType", "SMTP");
    }
    out.close();
}

bool ItemShape::needs_stored_item() const {
    if (!extended.empty()) return true;
    for (F f : kFromMime)
        if (has(f)) return true;
    return false;
}

std::optional<Field> field_for_uri(const std::string &uri, bool &applies) {
    applies = uri.rfind("item:", 0) == 0 || uri.rfind("message:", 0) == 0;
    auto it = uri_table().find(uri);
    if (it == uri_table().end()) return std::nullopt;
    return it->second;
}

std::optional<ItemShape> parse_item_shape(xmlNodePtr node, bool for_find,
                                          const std::string &requested_version, EwsError &error) {
    const bool other_kinds_allowed =
        !requested_version.empty() && requested_version.rfind("Exchange2007", 0) != 0;
    ItemShape shape;
    shape.for_find = for_find;
    std::string base = node_text(child(node, "BaseShape"));
    shape.base = base;
    auto set = [&](auto &list) {
        for (F f : list) shape.fields.set(static_cast<std::size_t>(f));
    };
    if (base == "Default") {
        if (for_find) set(kFindDefault);
        else set(kGetDefault);
    } else if (base == "AllProperties") {
        for (std::size_t i = 0; i < static_cast<std::size_t>(F::Count); ++i)
            if (!for_find || !from_mime(static_cast<F>(i))) shape.fields.set(i);
        shape.fields.reset(static_cast<std::size_t>(F::MimeContent));
    } else {
        shape.fields.set(static_cast<std::size_t>(F::ItemId));
    }
    if (node_text(child(node, "IncludeMimeContent")) == "true")
        shape.fields.set(static_cast<std::size_t>(F::MimeContent));
    if (xmlNodePtr bt = child(node, "BodyType")) shape.body_type = node_text(bt);
    for (xmlNodePtr p : children(child(node, "AdditionalProperties"))) {
        std::string kind = local_name(p);
        if (kind == "ExtendedFieldURI") {
            auto path = parse_prop_path(p, error);
            if (!path) return std::nullopt;
            shape.extended.push_back(std::move(*path));
            continue;
        }
        std::string uri = attribute(p, "FieldURI").value_or("");
        bool applies = false;
        auto field = field_for_uri(uri, applies);
        if (!applies && other_kinds_allowed && uri.rfind("folder:", 0) != 0) {
            shape.other_kind_uris.push_back(uri);
            continue;
        }
        if (!applies && uri.rfind("calendar:", 0) == 0) {
            // Exchange 2007 serves calendar properties of calendar items.
            shape.other_kind_uris.push_back(uri);
            if (shape.calendar_only_uri.empty()) shape.calendar_only_uri = uri;
            continue;
        }
        if (!applies) {
            error = ews_error("ErrorInvalidPropertyRequest");
            error.field_uri = uri;
            return std::nullopt;
        }
        if (field) shape.fields.set(static_cast<std::size_t>(*field));
    }
    if (for_find) {
        for (F f : kRefusedInFind) {
            if (!shape.has(f)) continue;
            std::string name;
            for (auto &[uri, field] : uri_table())
                if (field == f) name = uri.substr(uri.find(':') + 1);
            error = ews_error("ErrorInvalidPropertyRequest",
                              "The property " + name + " can't be used in FindItem requests.");
            return std::nullopt;
        }
    }
    return shape;
}

void render_attachment_summary(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                               const MimeAttachment &a, std::size_t index) {
    std::string id = env.store.ids().encode(
        {IdKind::Attachment, info.mailbox, info.id, static_cast<std::uint32_t>(index)});
    out.open(a.is_message ? "t:ItemAttachment" : "t:FileAttachment");
    out.open("t:AttachmentId").attr("Id", id).close();
    out.leaf("t:Name", a.name).leaf("t:ContentType", a.content_type);
    if (!a.content_id.empty()) out.leaf("t:ContentId", a.content_id);
    out.leaf("t:Size", a.size);
    out.leaf("t:LastModifiedTime", format_ews_time(info.last_modified));
    out.leaf_bool("t:IsInline", a.is_inline);
    if (!a.is_message) out.leaf_bool("t:IsContactPhoto", false);
    out.close();
}

void write_item_identity(XmlOut &out, const OpEnv &env, const ItemInfo &info,
                         const ItemShape &shape, const std::string &id,
                         const std::string &subject) {
    auto on = [&](F f) { return shape.has(f); };
    if (on(F::ItemId)) out.open("t:ItemId").attr("Id", id).attr("ChangeKey", item_change_key(env, info)).close();
    if (on(F::ParentFolderId)) {
        FolderInfo parent;
        parent.id = info.folder;
        parent.mailbox = info.mailbox;
        if (auto f = env.store.folder(info.mailbox, info.folder)) parent = *f;
        out.open("t:ParentFolderId").attr("Id", folder_id_of(env, parent))
            .attr("ChangeKey", folder_change_key(env, parent)).close();
    }
    if (on(F::ItemClass)) out.leaf("t:ItemClass", info.item_class);
    if (on(F::Subject)) out.leaf("t:Subject", subject);
    if (on(F::Sensitivity)) {
        static const char *names[] = {"Normal", "Personal", "Private", "Confidential"};
        out.leaf("t:Sensitivity", names[std::clamp(info.sensitivity, 0, 3)]);
    }
}

void render_item(XmlOut &out, const OpEnv &env, const ItemInfo &info, const StoredItem *stored,
                 const ItemShape &shape) {
    if (is_task(info)) return render_task(out, env, info, stored, shape);
    std::optional<MimeSummary> summary;
    auto mime_summary = [&]() -> const MimeSummary & {
        if (!summary) summary = summarize_mime(stored ? stored->mime : std::string());
        return *summary;
    };
    if (is_calendar_class(info.item_class)) return render_calendar_item(out, env, info, stored, shape);
    auto on = [&](F f) { return shape.has(f) && (stored || !from_mime(f)); };
    if (is_contact_class(info.item_class)) {
        render_contact_item(out, env, info, stored, shape);
        return;
    }
    out.open(message_element_name(info.item_class));
    if (on(F::MimeContent)) {
        out.open("t:MimeContent").attr("CharacterSet", "UTF-8");
        // Served as stored unless rewriting is on: no copy of the text.
        if (env.config.mime_rewrite) out.base64_text(mime_as_served(stored->mime, true));
        else out.base64_text(stored->mime);
        out.close();
    }
    write_item_identity(out, env, info, shape, item_id_of(env, info), info.subject);
    if (on(F::Body)) write_body(out, extract_bodies(stored->mime), shape.body_type);
    if (on(F::Attachments) && attachments_in_table(*stored)) render_table_attachments(out, env, info);
    else if (on(F::Attachments) && !mime_summary().attachments.empty()) {
        out.open("t:Attachments");
        const auto &list = mime_summary().attachments;
        for (std::size_t i = 0; i < list.size(); ++i) render_attachment_summary(out, env, info, list[i], i);
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
    if (on(F::InReplyTo) && !mime_summary().in_reply_to.empty())
        out.leaf("t:InReplyTo", mime_summary().in_reply_to);
    if (on(F::IsSubmitted)) out.leaf_bool("t:IsSubmitted", false);
    if (on(F::IsDraft)) out.leaf_bool("t:IsDraft", (info.message_flags & 0x8) != 0);
    if (on(F::IsFromMe)) out.leaf_bool("t:IsFromMe", info.from_address == env.store.mailbox_address(info.mailbox));
    if (on(F::IsResend)) out.leaf_bool("t:IsResend", false);
    if (on(F::IsUnmodified)) out.leaf_bool("t:IsUnmodified", (info.message_flags & 0x2) != 0);
    if (on(F::InternetMessageHeaders)) {
        auto headers = top_headers(stored->mime);
        if (!headers.empty()) {
            out.open("t:InternetMessageHeaders");
            for (auto &[name, value] : headers)
                out.open("t:InternetMessageHeader").attr("HeaderName", name).text(value).close();
            out.close();
        }
    }
    if (on(F::DateTimeSent) && info.date_sent) out.leaf("t:DateTimeSent", format_ews_time(*info.date_sent));
    if (on(F::DateTimeCreated)) out.leaf("t:DateTimeCreated", format_ews_time(info.date_created));
    const bool draft = (info.message_flags & 0x8) != 0;
    // What a client may do with a received message; a draft offers nothing.
    if (on(F::ResponseObjects) && !draft)
        out.open("t:ResponseObjects").empty("t:ReplyToItem").empty("t:ReplyAllToItem")
            .empty("t:ForwardItem").close();
    auto stored_flag = [&](const char *element) {
        return stored && element_property_value(*stored, element).value_or("false") == "true";
    };
    if (on(F::ReminderIsSet)) out.leaf_bool("t:ReminderIsSet", stored_flag("ReminderIsSet"));
    if (on(F::ReminderMinutesBeforeStart))
        out.leaf("t:ReminderMinutesBeforeStart",
                 element_property_value(*stored, "ReminderMinutesBeforeStart").value_or("0"));
    if (on(F::DisplayCc)) out.leaf("t:DisplayCc", info.display_cc);
    if (on(F::DisplayTo)) out.leaf("t:DisplayTo", info.display_to);
    if (on(F::HasAttachments)) out.leaf_bool("t:HasAttachments", info.has_attachments);
    for (const auto &path : shape.extended)
        if (auto v = stored ? read_property(*stored, path) : std::nullopt)
            write_extended_property_xml(out, path, *v);
    if (on(F::Culture)) out.leaf("t:Culture", "en-US");
    if (on(F::EffectiveRights)) {
        out.open("t:EffectiveRights");
        out.leaf_bool("t:CreateAssociated", false).leaf_bool("t:CreateContents", false);
        out.leaf_bool("t:CreateHierarchy", false).leaf_bool("t:Delete", true);
        out.leaf_bool("t:Modify", true).leaf_bool("t:Read", true).leaf_bool("t:ViewPrivateItems", true);
        out.close();
    }
    if (on(F::LastModifiedTime)) out.leaf("t:LastModifiedTime", format_ews_time(info.last_modified));
    if (on(F::IsAssociated)) out.leaf_bool("t:IsAssociated", false);
    if (on(F::ConversationId))
        out.open("t:ConversationId").attr("Id", conversation_id(info.subject)).close();
    // Without a Sender header the author is the sender.
    if (on(F::Sender) && (mime_summary().sender || !info.from_address.empty())) {
        out.open("t:Sender");
        if (mime_summary().sender)
            write_mailbox(out, mime_summary().sender->name, mime_summary().sender->address, false);
        else
            write_mailbox(out, info.from_name, info.from_address, false);
        out.close();
    }
    if (on(F::ToRecipients)) write_recipients(out, "t:ToRecipients", mime_summary().to);
    if (on(F::CcRecipients)) write_recipients(out, "t:CcRecipients", mime_summary().cc);
    if (on(F::BccRecipients)) write_recipients(out, "t:BccRecipients", mime_summary().bcc);
    if (on(F::IsReadReceiptRequested)) {
        auto stored_value = element_property_value(*stored, "IsReadReceiptRequested");
        out.leaf_bool("t:IsReadReceiptRequested", stored_value ? *stored_value == "true"
                                                               : mime_summary().read_receipt_requested);
    }
    if (on(F::IsDeliveryReceiptRequested))
        out.leaf_bool("t:IsDeliveryReceiptRequested", stored_flag("IsDeliveryReceiptRequested"));
    if (on(F::ConversationTopic)) out.leaf("t:ConversationTopic", conversation_topic(info.subject));
    if (on(F::From) && !info.from_address.empty()) {
        out.open("t:From");
        write_mailbox(out, info.from_name, info.from_address, shape.for_find);
        out.close();
    }
    if (on(F::InternetMessageId) && !info.message_id.empty())
        out.leaf("t:InternetMessageId", info.message_id);
    if (on(F::IsRead)) out.leaf_bool("t:IsRead", info.is_read());
    if (on(F::IsResponseRequested))
        out.leaf_bool("t:IsResponseRequested", stored_flag("IsResponseRequested"));
    if (on(F::References) && !mime_summary().references.empty())
        out.leaf("t:References", mime_summary().references);
    if (on(F::ReplyTo)) write_recipients(out, "t:ReplyTo", mime_summary().reply_to);
    // A received message was received by the mailbox's owner, for itself.
    const bool received_by = !draft && (on(F::ReceivedBy) || on(F::ReceivedRepresenting));
    const std::string owner = received_by ? env.store.mailbox_address(info.mailbox) : std::string();
    for (auto [field, element] : {std::pair{F::ReceivedBy, "t:ReceivedBy"},
                                  std::pair{F::ReceivedRepresenting, "t:ReceivedRepresenting"}}) {
        if (!on(field) || owner.empty()) continue;
        out.open(element);
        write_mailbox(out, "", owner, false);
        out.close();
    }
    if (is_meeting_message_class(info.item_class)) render_meeting_fields(out, env, info, stored, shape);
    out.close();
}

std::string html_to_text(const std::string &html) {
    std::string out;
    std::size_t i = 0;
    std::string low = html;
    std::transform(low.begin(), low.end(), low.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto lower_tag = [&](std::size_t start, std::size_t end) { return low.substr(start, end - start); };
    while (i < html.size()) {
        char c = html[i];
        if (c == '<') {
            std::size_t end = html.find('>', i);
            if (end == std::string::npos) break;
            std::string tag = lower_tag(i + 1, end);
            std::string name = tag.substr(0, tag.find_first_of(" \t\r\n/"));
            if (name == "style" || name == "script" || name == "head" || name == "title") {
                std::size_t close = low.find("</" + name, end);
                std::size_t close_end = close == std::string::npos ? close : html.find('>', close);
                i = close_end == std::string::npos ? html.size() : close_end + 1;
                continue;
            }
            if (name == "br" || name == "/p" || name == "/div" || name == "/tr" || name == "/li" ||
                name == "/h1" || name == "/h2" || name == "/h3")
                out += "\r\n";
            i = end + 1;
            continue;
        }
        if (c == '&') {
            static const std::pair<const char *, const char *> entities[] = {
                {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                {"&#39;", "'"}, {"&nbsp;", " "}, {"&apos;", "'"}};
            bool done = false;
            for (auto &[e, r] : entities) {
                if (html.compare(i, std::char_traits<char>::length(e), e) == 0) {
                    out += r;
                    i += std::char_traits<char>::length(e);
                    done = true;
                    break;
                }
            }
            if (done) continue;
        }
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ' && out.back() != '\n') out += ' ';
            ++i;
            continue;
        }
        out += c;
        ++i;
    }
    while (!out.empty() && std::isspace(static_cast<unsigned char>(out.back()))) out.pop_back();
    return out;
}

std::string text_to_html(const std::string &text) {
    std::string body;
    for (char c : text) {
        switch (c) {
        case '&': body += "&amp;"; break;
        case '<': body += "&lt;"; break;
        case '>': body += "&gt;"; break;
        case '\r': break;
        case '\n': body += "<br>\r\n"; break;
        default: body += c;
        }
    }
    return "<html>\r\n<head>\r\n<meta http-equiv=\"Content-Type\" content=\"text/html; "
           "charset=utf-8\">\r\n</head>\r\n<body>\r\n<div>" +
           body + "</div>\r\n</body>\r\n</html>\r\n";
}

} // namespace sandbox
