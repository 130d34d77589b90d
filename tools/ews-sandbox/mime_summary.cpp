#include "mime_summary.hpp"

#include <gmime/gmime.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <mutex>

namespace sandbox {

namespace {

struct GObjectUnref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

void init_gmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

GPtr<GMimeMessage> parse_message(std::string_view mime) {
    init_gmime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(mime.data(), mime.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

std::string unfold(std::string_view raw) {
    std::string out;
    for (char c : raw)
        if (c != '\r' && c != '\n') out += c;
    return trim(out);
}

std::string header(GMimeObject *obj, const char *name) {
    const char *v = g_mime_object_get_header(obj, name);
    return v ? trim(v) : std::string();
}

void add_addresses(InternetAddressList *list, std::vector<MailAddress> &out) {
    if (!list) return;
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress *a = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(a)) {
            add_addresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)), out);
            continue;
        }
        const char *name = internet_address_get_name(a);
        const char *addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a));
        out.push_back({name ? name : "", addr ? addr : ""});
    }
}

std::optional<MailAddress> first_address(InternetAddressList *list) {
    std::vector<MailAddress> all;
    add_addresses(list, all);
    if (all.empty()) return std::nullopt;
    return all.front();
}

std::string media_type(GMimeObject *obj) {
    GMimeContentType *ct = g_mime_object_get_content_type(obj);
    if (!ct) return "text/plain";
    const char *type = g_mime_content_type_get_media_type(ct);
    const char *sub = g_mime_content_type_get_media_subtype(ct);
    return lower(std::string(type ? type : "text") + "/" + (sub ? sub : "plain"));
}

std::string part_bytes(GMimePart *part) {
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, mem.get());
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return std::string(reinterpret_cast<const char *>(bytes->data), bytes->len);
}

std::string object_bytes(GMimeObject *obj) {
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(obj, nullptr, mem.get());
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    return std::string(reinterpret_cast<const char *>(bytes->data), bytes->len);
}

std::string extension_for(const std::string &type) {
    static const std::pair<const char *, const char *> known[] = {
        {"text/plain", ".txt"},  {"text/html", ".htm"},       {"image/png", ".png"},
        {"image/jpeg", ".jpg"},  {"image/gif", ".gif"},       {"application/pdf", ".pdf"},
        {"text/calendar", ".ics"}, {"message/rfc822", ".eml"}};
    for (auto &[t, e] : known)
        if (type == t) return e;
    return ".dat";
}

// One leaf of the walk: either a body or the attachment with its position.
struct Leaf {
    GMimeObject *object;
    bool is_body_text = false, is_body_html = false;
    MimeAttachment attachment;
};

// Walks the tree in document order and classifies every leaf.
void walk(GMimeObject *obj, bool related_nonroot, bool &have_text, bool &have_html,
          const std::function<void(Leaf &)> &visit) {
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart *mp = GMIME_MULTIPART(obj);
        bool related = media_type(obj) == "multipart/related";
        int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i)
            walk(g_mime_multipart_get_part(mp, i), related_nonroot || (related && i > 0),
                 have_text, have_html, visit);
        return;
    }
    Leaf leaf{obj, false, false, {}};
    std::string type = media_type(obj);
    const char *disposition = g_mime_object_get_disposition(obj);
    std::string disp = disposition ? lower(disposition) : "";
    const char *cid = g_mime_object_get_content_id(obj);
    MimeAttachment &a = leaf.attachment;
    a.content_type = type;
    a.content_id = cid ? cid : "";
    if (GMIME_IS_MESSAGE_PART(obj)) {
        a.is_message = true;
        GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        const char *subject = inner ? g_mime_message_get_subject(inner) : nullptr;
        a.subject = subject ? subject : "";
        a.name = a.subject;
        a.size = inner ? static_cast<std::int64_t>(object_bytes(GMIME_OBJECT(inner)).size()) : 0;
    } else if (GMIME_IS_PART(obj)) {
        const char *filename = g_mime_part_get_filename(GMIME_PART(obj));
        bool textual = type == "text/plain" || type == "text/html";
        if (textual && disp != "attachment" && !filename && !related_nonroot) {
            bool &slot = type == "text/plain" ? have_text : have_html;
            if (!slot) {
                slot = true;
                (type == "text/plain" ? leaf.is_body_text : leaf.is_body_html) = true;
                visit(leaf);
                return;
            }
        }
        a.name = filename ? filename : "";
        a.size = static_cast<std::int64_t>(part_bytes(GMIME_PART(obj)).size());
    }
    a.is_inline = related_nonroot || (disp == "inline" && !a.content_id.empty());
    visit(leaf);
}

void walk_message(GMimeMessage *msg, const std::function<void(Leaf &)> &visit) {
    GMimeObject *root = g_mime_message_get_mime_part(msg);
    if (!root) return;
    bool have_text = false, have_html = false;
    walk(root, false, have_text, have_html, visit);
}

int importance_from(GMimeObject *obj) {
    std::string imp = lower(header(obj, "Importance"));
    if (imp == "high") return 2;
    if (imp == "low") return 0;
    std::string prio = header(obj, "X-Priority");
    if (!prio.empty()) {
        if (prio[0] == '1' || prio[0] == '2') return 2;
        if (prio[0] == '4' || prio[0] == '5') return 0;
    }
    return 1;
}

int sensitivity_from(GMimeObject *obj) {
    std::string s = lower(header(obj, "Sensitivity"));
    if (s == "personal") return 1;
    if (s == "private") return 2;
    if (s == "company-confidential") return 3;
    return 0;
}

} // namespace

bool MimeSummary::has_attachments() const {
    return std::any_of(attachments.begin(), attachments.end(),
                       [](const MimeAttachment &a) { return !a.is_inline; });
}

MimeSummary summarize_mime(std::string_view mime) {
    MimeSummary s;
    auto msg = parse_message(mime);
    if (!msg) return s;
    s.parsed = true;
    GMimeObject *obj = GMIME_OBJECT(msg.get());
    const char *subject = g_mime_message_get_subject(msg.get());
    s.subject = subject ? subject : "";
    s.from = first_address(g_mime_message_get_from(msg.get()));
    s.sender = first_address(g_mime_message_get_sender(msg.get()));
    add_addresses(g_mime_message_get_addresses(msg.get(), GMIME_ADDRESS_TYPE_TO), s.to);
    add_addresses(g_mime_message_get_addresses(msg.get(), GMIME_ADDRESS_TYPE_CC), s.cc);
    add_addresses(g_mime_message_get_addresses(msg.get(), GMIME_ADDRESS_TYPE_BCC), s.bcc);
    add_addresses(g_mime_message_get_reply_to(msg.get()), s.reply_to);
    if (GDateTime *date = g_mime_message_get_date(msg.get())) s.date = g_date_time_to_unix(date);
    s.message_id = header(obj, "Message-ID");
    s.in_reply_to = header(obj, "In-Reply-To");
    s.references = unfold(header(obj, "References"));
    s.importance = importance_from(obj);
    s.sensitivity = sensitivity_from(obj);
    s.read_receipt_requested = !header(obj, "Disposition-Notification-To").empty();
    walk_message(msg.get(), [&](Leaf &leaf) {
        if (!leaf.is_body_text && !leaf.is_body_html) s.attachments.push_back(leaf.attachment);
    });
    // Unnamed attachments get names as Exchange gives them: ATT00001.ext ...
    int unnamed = 0;
    for (auto &a : s.attachments) {
        if (!a.name.empty()) continue;
        char buf[32];
        std::snprintf(buf, sizeof buf, "ATT%05d", ++unnamed);
        a.name = buf + extension_for(a.content_type);
    }
    return s;
}

MimeBodies extract_bodies(std::string_view mime) {
    MimeBodies bodies;
    auto msg = parse_message(mime);
    if (!msg) return bodies;
    walk_message(msg.get(), [&](Leaf &leaf) {
        if (!leaf.is_body_text && !leaf.is_body_html) return;
        std::string text;
        if (GMIME_IS_TEXT_PART(leaf.object)) {
            char *t = g_mime_text_part_get_text(GMIME_TEXT_PART(leaf.object));
            if (t) text = t;
            g_free(t);
        }
        (leaf.is_body_text ? bodies.text : bodies.html) = std::move(text);
    });
    return bodies;
}

std::optional<std::string> attachment_content(std::string_view mime, std::size_t index) {
    auto msg = parse_message(mime);
    if (!msg) return std::nullopt;
    std::optional<std::string> found;
    std::size_t position = 0;
    walk_message(msg.get(), [&](Leaf &leaf) {
        if (leaf.is_body_text || leaf.is_body_html || found) return;
        if (position++ != index) return;
        if (GMIME_IS_MESSAGE_PART(leaf.object)) {
            GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(leaf.object));
            found = inner ? object_bytes(GMIME_OBJECT(inner)) : std::string();
        } else if (GMIME_IS_PART(leaf.object)) {
            found = part_bytes(GMIME_PART(leaf.object));
        } else {
            found = std::string();
        }
    });
    return found;
}

std::vector<std::pair<std::string, std::string>> top_headers(std::string_view mime) {
    std::vector<std::pair<std::string, std::string>> out;
    auto msg = parse_message(mime);
    if (!msg) return out;
    GMimeHeaderList *list = g_mime_object_get_header_list(GMIME_OBJECT(msg.get()));
    int n = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < n; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(list, i);
        const char *name = g_mime_header_get_name(h);
        const char *raw = g_mime_header_get_raw_value(h);
        out.emplace_back(name ? name : "", unfold(raw ? raw : ""));
    }
    return out;
}

std::string display_list(const std::vector<MailAddress> &list) {
    std::string out;
    for (const auto &a : list) {
        if (!out.empty()) out += "; ";
        out += a.name.empty() ? a.address : a.name;
    }
    return out;
}

} // namespace sandbox
