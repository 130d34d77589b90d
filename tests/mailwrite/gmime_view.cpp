// GMime side of the tests (see gmime_view.hpp).
#include "gmime_view.hpp"

#include <cstdio>
#include <string_view>

#include "gmime_support.hpp"
#include "qv_test_support.hpp"

namespace mwtest {
namespace {

namespace gmime = qvtest::gmime;
const auto Str = gmime::text;

// One address list as the record shows it: "field [name] <address> ...".
std::string Mailboxes(const char *field, InternetAddressList *list)
{
    std::string out = field;
    for (int i = 0; list && i < internet_address_list_length(list); ++i) {
        InternetAddress *address = internet_address_list_get_address(list, i);
        out += " [" + Str(internet_address_get_name(address)) + "] <";
        if (INTERNET_ADDRESS_IS_MAILBOX(address))
            out += Str(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
        out += ">";
    }
    return out + "\n";
}

MimeNode ReadNode(GMimeObject *object)
{
    MimeNode node;
    node.type = gmime::mime_type(object);
    if (GMimeContentType *type = g_mime_object_get_content_type(object)) {
        node.charset = Str(g_mime_content_type_get_parameter(type, "charset"));
        node.name = Str(g_mime_content_type_get_parameter(type, "name"));
    }
    node.content_id = Str(g_mime_object_get_content_id(object));
    node.disposition = Str(g_mime_object_get_disposition(object));
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multipart = GMIME_MULTIPART(object);
        node.boundary = Str(g_mime_multipart_get_boundary(multipart));
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i)
            node.children.push_back(ReadNode(g_mime_multipart_get_part(multipart, i)));
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage *message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (message) {
            node.subject = Str(g_mime_message_get_subject(message));
            if (GMimeObject *top = g_mime_message_get_mime_part(message))
                node.children.push_back(ReadNode(top));
        }
    } else if (GMIME_IS_PART(object)) {
        node.filename = Str(g_mime_part_get_filename(GMIME_PART(object)));
        node.content = gmime::decoded_content(GMIME_PART(object));
    }
    return node;
}

void TreeRecord(const MimeNode &node, const std::string &indent, std::string &out)
{
    out += indent + node.type;
    for (const auto &[label, value] :
         {std::pair{" boundary=", &node.boundary}, {" charset=", &node.charset},
          {" filename=", &node.filename}, {" name=", &node.name}, {" cid=", &node.content_id},
          {" disposition=", &node.disposition}, {" subject=", &node.subject}})
        if (!value->empty())
            out += label + std::string("[") + *value + "]";
    out += "\n";
    if (node.children.empty() && node.type.rfind("multipart/", 0) != 0) {
        std::uint32_t hash = 2166136261u;
        for (const unsigned char c : node.content)
            hash = (hash ^ c) * 16777619u;
        const bool text = node.type.rfind("text/", 0) == 0 || node.content.size() <= 64;
        out += text ? node.content + "\n--\n"
                    : std::to_string(node.content.size()) + " bytes, fnv1a " +
                          std::to_string(hash) + "\n";
    }
    for (const MimeNode &child : node.children)
        TreeRecord(child, indent + "  ", out);
}

} // namespace

GMimeMessageView ParseWithGMime(const std::string &path)
{
    gmime::init();
    GMimeMessageView view;
    GMimeStream *stream = g_mime_stream_file_open(path.c_str(), "rb", nullptr);
    if (!stream)
        return view;
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    if (message) {
        view.parsed = true;
        view.subject = Str(g_mime_message_get_subject(message));
        GMimeHeaderList *list = g_mime_object_get_header_list(GMIME_OBJECT(message));
        for (int i = 0; i < g_mime_header_list_get_count(list); ++i) {
            GMimeHeader *header = g_mime_header_list_get_header_at(list, i);
            view.headers.emplace_back(Str(g_mime_header_get_name(header)),
                                      Str(g_mime_header_get_value(header)));
        }
        view.addresses = Mailboxes("from", g_mime_message_get_from(message)) +
                         Mailboxes("to", g_mime_message_get_to(message)) +
                         Mailboxes("cc", g_mime_message_get_cc(message)) +
                         Mailboxes("bcc", g_mime_message_get_bcc(message));
        if (GMimeObject *top = g_mime_message_get_mime_part(message))
            view.body = ReadNode(top);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return view;
}

std::string BuiltRecord(const std::string &raw, const GMimeMessageView &view)
{
    std::string out = raw.substr(0, raw.find("\r\n\r\n") + 2) + "\n" + "subject [" +
                      view.subject + "]\n" + view.addresses;
    TreeRecord(view.body, "", out);
    return qvtest::escaped_bytes(out);
}

void CollectBoundaries(const MimeNode &node, std::vector<std::string> &out)
{
    if (!node.boundary.empty())
        out.push_back(node.boundary);
    for (const MimeNode &child : node.children)
        CollectBoundaries(child, out);
}

} // namespace mwtest
