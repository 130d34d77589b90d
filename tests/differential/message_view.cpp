// GMime side of the differential comparison (see message_view.hpp).
#include "message_view.hpp"

#include <algorithm>
#include <optional>
#include <regex>

#include "gmime_support.hpp"

namespace difftest {
namespace {

namespace gmime = qvtest::gmime;
using gmime::decoded_content;
using gmime::Ptr;
const auto str = gmime::text;
constexpr int kMaxEmbeddedDepth = 20;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void add_addresses(InternetAddressList *list, const std::string &group, std::vector<Address> &out) {
    if (!list)
        return;
    for (int i = 0; i < internet_address_list_length(list); ++i) {
        InternetAddress *entry = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(entry)) {
            const std::string name = str(internet_address_get_name(entry));
            InternetAddressList *members = internet_address_group_get_members(INTERNET_ADDRESS_GROUP(entry));
            out.push_back({name, "", group, true});
            add_addresses(members, name, out);
        } else if (INTERNET_ADDRESS_IS_MAILBOX(entry)) {
            out.push_back({str(internet_address_get_name(entry)),
                           str(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(entry))), group,
                           false});
        }
    }
}

// Text in its labelled charset, as UTF-8; bytes that do not convert are
// kept as they are, so that no difference is hidden by the conversion.
std::string to_utf8(const std::string &bytes, const std::string &charset) {
    if (charset.empty() || charset == "utf-8" || charset == "us-ascii")
        return bytes;
    const char *iconv_name = g_mime_charset_iconv_name(charset.c_str());
    gsize written = 0;
    GError *error = nullptr;
    gchar *converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                 iconv_name ? iconv_name : charset.c_str(), nullptr, &written, &error);
    if (!converted) {
        g_clear_error(&error);
        return bytes;
    }
    std::string out(converted, written);
    g_free(converted);
    return out;
}

void read_object(GMimeObject *object, MessageView &view, int depth);

void read_message_into(GMimeMessage *message, MessageView &view, int depth) {
    view.parsed = true;
    view.subject = str(g_mime_message_get_subject(message));
    view.message_id = str(g_mime_message_get_message_id(message));
    add_addresses(g_mime_message_get_from(message), "", view.from);
    add_addresses(g_mime_message_get_to(message), "", view.to);
    add_addresses(g_mime_message_get_cc(message), "", view.cc);
    if (GMimeObject *top = g_mime_message_get_mime_part(message)) {
        view.top_type = lower(gmime::mime_type(top));
        read_object(top, view, depth);
    }
}

Leaf leaf_header(GMimeObject *object) {
    Leaf leaf;
    leaf.type = lower(gmime::mime_type(object));
    if (GMimeContentType *type = g_mime_object_get_content_type(object)) {
        leaf.charset = lower(str(g_mime_content_type_get_parameter(type, "charset")));
    }
    leaf.disposition = lower(str(g_mime_object_get_disposition(object)));
    return leaf;
}

void read_object(GMimeObject *object, MessageView &view, int depth) {
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multipart = GMIME_MULTIPART(object);
        view.boundaries.push_back(str(g_mime_multipart_get_boundary(multipart)));
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            read_object(g_mime_multipart_get_part(multipart, i), view, depth);
        return;
    }
    Leaf leaf = leaf_header(object);
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (inner && depth < kMaxEmbeddedDepth) {
            MessageView embedded;
            read_message_into(inner, embedded, depth + 1);
            leaf.embedded = static_cast<int>(view.embedded.size());
            view.embedded.push_back(std::move(embedded));
        }
    } else if (GMIME_IS_PART(object)) {
        GMimePart *part = GMIME_PART(object);
        leaf.filename = str(g_mime_part_get_filename(part));
        leaf.bytes = decoded_content(part);
        if (leaf.type.rfind("text/", 0) == 0)
            leaf.text = to_utf8(leaf.bytes, leaf.charset);
    }
    view.leaves.push_back(std::move(leaf));
}

// One line of uuencoded data: a length character, then groups of four
// characters of six bits each.  Returns false for a line that is not one.
bool uudecode_line(const std::string &line, std::string &out) {
    if (line.empty())
        return false;
    const int count = (line[0] - ' ') & 0x3f;
    if (static_cast<size_t>(1 + (count + 2) / 3 * 4) > line.size() + 1) // a trailing blank may be cut
        return false;
    auto six = [&](size_t i) { return i < line.size() ? (line[i] - ' ') & 0x3f : 0; };
    std::string bytes;
    for (size_t i = 1; bytes.size() < static_cast<size_t>(count); i += 4) {
        const int a = six(i), b = six(i + 1), c = six(i + 2), d = six(i + 3);
        bytes += static_cast<char>((a << 2) | (b >> 4));
        bytes += static_cast<char>(((b & 0xf) << 4) | (c >> 2));
        bytes += static_cast<char>(((c & 0x3) << 6) | d);
    }
    out += bytes.substr(0, static_cast<size_t>(count));
    return true;
}

struct UuBlock {
    size_t begin = 0, end = 0; // byte range in the text, "begin" line to "end" line included
    std::string name, bytes;
};

std::vector<UuBlock> find_uu_blocks(const std::string &text) {
    static const std::regex begin_line("begin [0-7]{3,4} (\\S[^\r\n]*)\r?");
    std::vector<UuBlock> blocks;
    std::optional<UuBlock> open;
    for (size_t start = 0; start < text.size();) {
        const size_t eol = text.find('\n', start);
        const size_t next = eol == std::string::npos ? text.size() : eol + 1;
        std::string line = text.substr(start, next - start);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::smatch match;
        if (!open && std::regex_match(line, match, begin_line)) {
            open = UuBlock{start, 0, match[1].str(), {}};
        } else if (open && line == "end") {
            open->end = next;
            blocks.push_back(std::move(*open));
            open.reset();
        } else if (open && line != "`" && !uudecode_line(line, open->bytes)) {
            open.reset(); // not uuencoded data after all
        }
        start = next;
    }
    return blocks;
}

} // namespace

void extract_uuencoded_blocks(MessageView &view) {
    std::vector<Leaf> files;
    for (Leaf &leaf : view.leaves) {
        if (!leaf.is_text_body() || leaf.type != "text/plain")
            continue;
        const std::vector<UuBlock> blocks = find_uu_blocks(leaf.text);
        for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
            leaf.text.erase(block->begin, block->end - block->begin);
            Leaf file;
            file.type = "application/octet-stream";
            file.filename = block->name;
            file.bytes = block->bytes;
            files.insert(files.begin(), std::move(file));
        }
        leaf.bytes = leaf.text;
    }
    for (Leaf &file : files)
        view.leaves.push_back(std::move(file));
}

bool Leaf::is_text_body() const {
    return (type == "text/plain" || type == "text/html") && filename.empty() && disposition != "attachment";
}

// The leaves that are bodies (`bodies`), or the others.
static std::vector<const Leaf *> leaves_where(const std::vector<Leaf> &leaves, bool bodies) {
    std::vector<const Leaf *> out;
    for (const Leaf &leaf : leaves)
        if (leaf.is_text_body() == bodies)
            out.push_back(&leaf);
    return out;
}

std::vector<const Leaf *> MessageView::bodies() const { return leaves_where(leaves, true); }

std::vector<const Leaf *> MessageView::attachments() const { return leaves_where(leaves, false); }

MessageView read_message(const std::string &bytes) {
    gmime::init();
    MessageView view;
    Ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
    Ptr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    Ptr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (message)
        read_message_into(message.get(), view, 0);
    return view;
}

} // namespace difftest
