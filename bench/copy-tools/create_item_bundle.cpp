// The t:Message elements and answer check of the copy bound (see
// create_item_bundle.hpp).
#include "create_item_bundle.hpp"

#include "common/base64.hpp"

#include <strings.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace bench {
namespace {

// A header block longer than this is not looked into for its Date.
constexpr std::size_t kHeaderBlockMax = 64 * 1024;

// The element `name` (with its own prefix, e.g. "t:Categories") from its
// opening to its closing tag, or empty.
std::string_view Element(std::string_view text, std::string_view name)
{
    const std::string open = "<" + std::string(name);
    const std::string close = "</" + std::string(name) + ">";
    const std::size_t start = text.find(open);
    if (start == std::string_view::npos)
        return {};
    const std::size_t end = text.find(close, start);
    if (end == std::string_view::npos)
        return {};
    return text.substr(start, end + close.size() - start);
}

// Decodes the base64 MIME up to the blank line that ends its headers.
std::string HeaderBlock(std::string_view base64)
{
    constexpr std::size_t kPiece = 4096;
    qvcommon::Base64Decoder decoder;
    std::string out;
    unsigned char decoded[kPiece / 4 * 3 + 3];
    for (std::size_t at = 0; at < base64.size() && out.size() <= kHeaderBlockMax; at += kPiece) {
        const std::string_view piece = base64.substr(at, kPiece);
        const std::size_t n =
            decoder.Feed(reinterpret_cast<const unsigned char *>(piece.data()), piece.size(), decoded);
        out.append(reinterpret_cast<const char *>(decoded), n);
        const std::size_t lf = out.find("\n\n"), crlf = out.find("\r\n\r\n");
        const std::size_t end = std::min(lf == std::string::npos ? lf : lf + 2,
                                         crlf == std::string::npos ? crlf : crlf + 4);
        if (end != std::string::npos) {
            out.resize(end);
            break;
        }
    }
    return out;
}

// The unfolded value of the first Date header, or empty.
std::string DateHeader(const std::string &headers)
{
    std::size_t line = 0;
    while (line < headers.size()) {
        std::size_t end = headers.find('\n', line);
        if (end == std::string::npos)
            end = headers.size();
        if (end - line > 5 && strncasecmp(headers.c_str() + line, "Date:", 5) == 0) {
            std::string value = headers.substr(line + 5, end - line - 5);
            while (end + 1 < headers.size() && (headers[end + 1] == ' ' || headers[end + 1] == '\t')) {
                const std::size_t next = headers.find('\n', end + 1);
                value += headers.substr(end + 1, (next == std::string::npos ? headers.size() : next) - end - 1);
                end = next == std::string::npos ? headers.size() : next;
            }
            for (char &c : value)
                if (c == '\r' || c == '\t')
                    c = ' ';
            return value;
        }
        line = end + 1;
    }
    return {};
}

// "Mon, 05 Jan 2026 10:21:00 +0000" (day name, seconds and zone optional).
bool ParseMailDate(std::string value, std::time_t &utc)
{
    if (const std::size_t comma = value.find(','); comma != std::string::npos)
        value.erase(0, comma + 1);
    for (const char *format : {"%d %b %Y %H:%M:%S %z", "%d %b %Y %H:%M %z", "%d %b %Y %H:%M:%S",
                               "%d %b %Y %H:%M"}) {
        std::tm tm{};
        if (!strptime(value.c_str(), format, &tm))
            continue;
        const long offset = tm.tm_gmtoff; // zero when the format has no %z
        utc = timegm(&tm) - offset;
        return true;
    }
    return false;
}

std::string UtcText(std::time_t utc)
{
    std::tm tm{};
    gmtime_r(&utc, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

void AppendProperty(std::string &out, std::string_view tag, std::string_view type,
                    std::string_view value)
{
    out.append("<t:ExtendedProperty>\n<t:ExtendedFieldURI PropertyTag=\"").append(tag);
    out.append("\" PropertyType=\"").append(type).append("\"/>\n<t:Value>").append(value);
    out.append("</t:Value>\n</t:ExtendedProperty>\n");
}

} // namespace

ReadMessage ParseGetItemAnswer(std::string_view answer)
{
    ReadMessage message;
    const std::size_t open = answer.find("MimeContent");
    const std::size_t content = answer.find('>', open);
    const std::size_t close = answer.find("</", content);
    if (open == std::string_view::npos || content == std::string_view::npos ||
        close == std::string_view::npos)
        throw std::runtime_error("GetItem answer without MimeContent");
    message.mime_base64 = answer.substr(content + 1, close - content - 1);
    message.is_read = answer.find("<t:IsRead>true</t:IsRead>") != std::string_view::npos;
    message.categories = Element(answer, "t:Categories");
    const std::size_t first = answer.find("<t:ExtendedProperty>");
    const std::size_t last = answer.rfind("</t:ExtendedProperty>");
    if (first != std::string_view::npos && last != std::string_view::npos && last > first)
        message.extended_properties =
            answer.substr(first, last + std::string_view("</t:ExtendedProperty>").size() - first);
    return message;
}

std::string MessageDateUtc(std::string_view mime_base64)
{
    std::time_t utc = 0;
    if (!ParseMailDate(DateHeader(HeaderBlock(mime_base64)), utc))
        utc = std::time(nullptr);
    return UtcText(utc);
}

void AppendMessageElement(std::string &items, const ReadMessage &message)
{
    items.append("<t:Message>\n<t:MimeContent CharacterSet=\"UTF-8\">");
    items.append(message.mime_base64);
    items.append("</t:MimeContent>\n");
    if (!message.categories.empty())
        items.append(message.categories).append("\n");
    // MessageFlags: 1 is "read"; without it the copy would arrive unread.
    AppendProperty(items, "0x0E07", "Integer", message.is_read ? "1" : "0");
    // Follow-up flag and reply/forward icon, as the source holds them.
    if (!message.extended_properties.empty())
        items.append(message.extended_properties).append("\n");
    // Creation, delivery and submit times: without them the copy would be
    // dated by the moment of the copy.
    const std::string when = MessageDateUtc(message.mime_base64);
    AppendProperty(items, "0x3007", "SystemTime", when);
    AppendProperty(items, "0x0E06", "SystemTime", when);
    AppendProperty(items, "0x0039", "SystemTime", when);
    items.append("</t:Message>\n");
}

void RequireCreated(std::string_view answer, int expected)
{
    constexpr std::string_view kKey = "CreateItemResponseMessage ResponseClass=\"";
    int created = 0;
    std::size_t at = 0;
    while ((at = answer.find(kKey, at)) != std::string_view::npos) {
        at += kKey.size();
        if (answer.substr(at, 8) != "Success\"") {
            const std::size_t end = answer.find("</", at);
            throw std::runtime_error("CreateItem refused message " + std::to_string(created + 1) +
                                     ": " + std::string(answer.substr(at, std::min<std::size_t>(end - at, 400))));
        }
        ++created;
    }
    if (created != expected)
        throw std::runtime_error("CreateItem answered for " + std::to_string(created) + " of " +
                                 std::to_string(expected) + " messages: " +
                                 std::string(answer.substr(0, 400)));
}

} // namespace bench
