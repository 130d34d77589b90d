#include "mime_rewrite.hpp"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <mutex>
#include <vector>

namespace sandbox {
namespace {

constexpr std::size_t kFoldColumn = 76;

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GPtr = std::unique_ptr<T, GObjectUnref>;

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// ---- headers ------------------------------------------------------------

struct Field {
    std::string name;  // as written
    std::string value; // unfolded raw value, without the space after the colon
};

// The raw value as one line: every line break followed by white space is
// removed (RFC 5322 unfolding), other line breaks and the last one too.
std::string unfold(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' || c == '\n')
            continue;
        out += c;
    }
    const auto start = out.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : out.substr(start);
}

// "Name: value" folded before white space so that lines stay within the
// fold column where the value allows it; unfolding gives the value back.
std::string fold(const Field &field) {
    std::string out = field.name + ":";
    std::string_view rest = field.value;
    std::size_t line = out.size() + 1;
    out += ' ';
    while (line + rest.size() > kFoldColumn) {
        // The last white space that keeps this line within the column, or
        // failing that the first one at all.
        std::size_t cut = std::string_view::npos;
        for (std::size_t i = 1; i < rest.size() && (line + i <= kFoldColumn || cut == std::string_view::npos); ++i)
            if (rest[i] == ' ' || rest[i] == '\t')
                cut = i;
        if (cut == std::string_view::npos)
            break;
        out.append(rest.substr(0, cut)).append("\r\n");
        rest.remove_prefix(cut);
        line = 0;
    }
    return out.append(rest).append("\r\n");
}

std::vector<Field> fields_of(GMimeObject *object) {
    std::vector<Field> fields;
    GMimeHeaderList *list = g_mime_object_get_header_list(object);
    const int count = g_mime_header_list_get_count(list);
    for (int i = 0; i < count; ++i) {
        GMimeHeader *header = g_mime_header_list_get_header_at(list, i);
        const char *raw = g_mime_header_get_raw_value(header);
        fields.push_back({g_mime_header_get_raw_name(header), unfold(raw ? raw : "")});
    }
    return fields;
}

// Exchange's order: trace fields, then these, then the rest as they came,
// MIME-Version and the Content-* fields last.  The sort is stable, so
// fields of one name keep their order (Received above all).
int rank(const std::string &name) {
    static constexpr std::array<const char *, 13> kOrder = {
        "return-path", "received", "from", "sender", "reply-to", "to", "cc", "bcc",
        "subject", "date", "message-id", "in-reply-to", "references"};
    const std::string key = lower(name);
    for (std::size_t i = 0; i < kOrder.size(); ++i)
        if (key == kOrder[i])
            return static_cast<int>(i);
    if (key == "mime-version")
        return 100;
    if (key == "content-type")
        return 101;
    if (key == "content-transfer-encoding")
        return 102;
    if (key.rfind("content-", 0) == 0)
        return 103;
    return 50;
}

void write_fields(std::vector<Field> fields, std::string &out) {
    std::stable_sort(fields.begin(), fields.end(),
                     [](const Field &a, const Field &b) { return rank(a.name) < rank(b.name); });
    for (const auto &f : fields)
        out += fold(f);
}

// ---- content ------------------------------------------------------------

std::string stream_bytes(GMimeStream *stream) {
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    return std::string(reinterpret_cast<const char *>(bytes->data), bytes->len);
}

std::string decoded_content(GMimeDataWrapper *wrapper) {
    GPtr<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, stream.get());
    return stream_bytes(stream.get());
}

std::string raw_content(GMimeDataWrapper *wrapper) {
    GMimeStream *source = g_mime_data_wrapper_get_stream(wrapper);
    GPtr<GMimeStream> stream(g_mime_stream_mem_new());
    g_mime_stream_reset(source);
    g_mime_stream_write_to_stream(source, stream.get());
    return stream_bytes(stream.get());
}

std::string encode(GMimeContentEncoding encoding, std::string_view data) {
    GMimeEncoding state;
    g_mime_encoding_init_encode(&state, encoding);
    std::string out(g_mime_encoding_outlen(&state, data.size()) + 16, '\0');
    std::size_t n = g_mime_encoding_flush(&state, data.data(), data.size(), out.data());
    out.resize(n);
    return out;
}

// Every CR is followed by LF and every LF preceded by CR.
bool canonical_lines(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return true;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Encoder output uses LF; the message uses CRLF.  Quoted-printable ends in
// a line break only where the content does (or with a soft break); the
// line break base64 ends with is dropped, the delimiter brings its own.
std::string encoded_lines(GMimeContentEncoding encoding, std::string_view data) {
    std::string text = replace_all(encode(encoding, data), "\n", "\r\n");
    if (encoding == GMIME_CONTENT_ENCODING_BASE64 && text.size() >= 2 &&
        text.compare(text.size() - 2, 2, "\r\n") == 0)
        text.resize(text.size() - 2);
    return text;
}

// GMime decides once per message whether lines end in CRLF or LF and cuts
// that many bytes before each delimiter; with both kinds in one message it
// would cut a byte of content, so such messages are left alone.
bool mixed_line_ends(std::string_view mime) {
    const auto crlf = mime.find("\r\n");
    if (crlf == std::string_view::npos)
        return false;
    for (std::size_t at = mime.find('\n'); at != std::string_view::npos; at = mime.find('\n', at + 1))
        if (at == 0 || mime[at - 1] != '\r')
            return true;
    return false;
}

class Rebuilder {
  public:
    // False when the message must be served as stored.
    bool message(GMimeMessage *message, std::string &out) {
        GMimeObject *body = g_mime_message_get_mime_part(message);
        std::vector<Field> fields = fields_of(GMIME_OBJECT(message));
        if (!body) {
            write_fields(std::move(fields), out);
            out += "\r\n";
            return true;
        }
        return entity(body, std::move(fields), out);
    }

  private:
    // The entity's header (with `outer`, the message's own fields) and body.
    bool entity(GMimeObject *object, std::vector<Field> outer, std::string &out) {
        if (GMIME_IS_MULTIPART_SIGNED(object) || GMIME_IS_MULTIPART_ENCRYPTED(object) ||
            GMIME_IS_APPLICATION_PKCS7_MIME(object))
            return false;
        std::vector<Field> fields = fields_of(object);
        fields.insert(fields.begin(), outer.begin(), outer.end());
        std::string body;
        if (GMIME_IS_MULTIPART(object)) {
            if (!multipart(GMIME_MULTIPART(object), body))
                return false;
        } else if (GMIME_IS_MESSAGE_PART(object)) {
            GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
            if (inner && !message(inner, body))
                return false;
        } else if (GMIME_IS_PART(object)) {
            body = leaf(GMIME_PART(object), fields);
        }
        write_fields(std::move(fields), out);
        out.append("\r\n").append(body);
        return true;
    }

    bool multipart(GMimeMultipart *multipart, std::string &out) {
        const char *boundary = g_mime_multipart_get_boundary(multipart);
        if (!boundary)
            return false;
        // The line break before a delimiter belongs to the delimiter.
        if (const char *prologue = g_mime_multipart_get_prologue(multipart))
            out.append(replace_all(prologue, "\n", "\r\n"));
        const int count = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < count; ++i) {
            out.append(out.empty() ? "" : "\r\n").append("--").append(boundary).append("\r\n");
            if (!entity(g_mime_multipart_get_part(multipart, i), {}, out))
                return false;
        }
        out.append("\r\n--").append(boundary).append("--\r\n");
        if (const char *epilogue = g_mime_multipart_get_epilogue(multipart))
            out.append(replace_all(epilogue, "\n", "\r\n"));
        return true;
    }

    // The part's content in its new encoding; `fields` gets the matching
    // Content-Transfer-Encoding.
    static std::string leaf(GMimePart *part, std::vector<Field> &fields) {
        GMimeDataWrapper *content = g_mime_part_get_content(part);
        if (!content)
            return {};
        const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(part);
        const bool recode = encoding == GMIME_CONTENT_ENCODING_8BIT ||
                            encoding == GMIME_CONTENT_ENCODING_BINARY ||
                            encoding == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
                            encoding == GMIME_CONTENT_ENCODING_BASE64;
        if (!recode)
            return raw_content(content);
        const std::string data = decoded_content(content);
        GMimeContentType *type = g_mime_object_get_content_type(GMIME_OBJECT(part));
        const bool text = type && g_mime_content_type_is_type(type, "text", "*");
        // Quoted-printable turns the text's CRLF into its own line breaks,
        // which decode to CRLF again; any other bytes go as base64.
        const bool as_qp = text && encoding != GMIME_CONTENT_ENCODING_BASE64 && canonical_lines(data);
        set_transfer_encoding(fields, as_qp ? "quoted-printable" : "base64");
        return as_qp ? encoded_lines(GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE,
                                     replace_all(data, "\r\n", "\n"))
                     : encoded_lines(GMIME_CONTENT_ENCODING_BASE64, data);
    }

    static void set_transfer_encoding(std::vector<Field> &fields, const std::string &value) {
        fields.erase(std::remove_if(fields.begin(), fields.end(),
                                    [](const Field &f) {
                                        return lower(f.name) == "content-transfer-encoding";
                                    }),
                     fields.end());
        fields.push_back({"Content-Transfer-Encoding", value});
    }
};

void init_gmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

} // namespace

std::optional<std::string> rewrite_mime(std::string_view mime) {
    if (mixed_line_ends(mime))
        return std::nullopt;
    init_gmime();
    GPtr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(mime.data(), mime.size()));
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    GPtr<GMimeMessage> message(g_mime_parser_construct_message(parser.get(), nullptr));
    if (!message)
        return std::nullopt;
    std::string out;
    if (!Rebuilder().message(message.get(), out))
        return std::nullopt;
    return out;
}

std::string mime_as_served(const std::string &stored, bool rewrite) {
    if (!rewrite)
        return stored;
    auto rebuilt = rewrite_mime(stored);
    return rebuilt ? std::move(*rebuilt) : stored;
}

} // namespace sandbox
