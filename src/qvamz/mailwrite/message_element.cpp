// The <t:Message> element of a CreateItem bundle (see message_element.hpp).
#include "mailwrite/message_element.hpp"

#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

#include "mailwrite/base64_writer.hpp"
#include "mailwrite/mime_headers.hpp"
#include "qv/qvcom.h"
#include "common/xml_escape.hpp"
#include "common/xml_request_text.hpp"

namespace qvamz {
namespace {

constexpr std::string_view kPropertyTemplate =
    "<t:ExtendedProperty>\n"
    "<t:ExtendedFieldURI PropertyTag=\"%tag\" PropertyType=\"%type\"/>\n"
    "<t:Value>%value</t:Value>\n"
    "</t:ExtendedProperty>\n";

std::string Property(std::string_view tag, std::string_view type, std::string_view value)
{
    std::string out(kPropertyTemplate);
    auto put = [&out](std::string_view key, std::string_view text) {
        out.replace(out.find(key), key.size(), text);
    };
    put("%tag", tag);
    put("%type", type);
    put("%value", value);
    return out;
}


} // namespace

std::string CategoriesXml(std::string_view categories)
{
    std::string strings;
    std::size_t at = 0;
    while (at <= categories.size()) {
        std::size_t end = categories.find(';', at);
        if (end == std::string_view::npos)
            end = categories.size();
        std::string_view token = categories.substr(at, end - at);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        if (!token.empty())
            strings += "<t:String>" + qvcommon::XmlRequestEscaped(token) + "</t:String>\n";
        at = end + 1;
    }
    return strings.empty() ? std::string() : "<t:Categories>\n" + strings + "</t:Categories>\n";
}

std::string EwsDateText(qv_filetime utc)
{
    std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(utc));
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string MessagePropertiesXml(qv_message &msg, bool sticky_note, qv_filetime date)
{
    std::string xml = CategoriesXml(mime::Field(msg.categories));
    xml += Property("0x0E07", "Integer", msg.unread == 0 ? "1" : "0");
    xml += Property("0x3004", "String", kViaComment);
    if (msg.replied || msg.forwarded)
        xml += Property("0x1080", "Integer",
                        std::to_string(msg.replied ? kRepliedIcon : kForwardedIcon));
    if (msg.priority == 0 || msg.priority == 2)
        xml += Property("0x0017", "Integer", msg.priority == 2 ? "2" : "0");
    if (sticky_note)
        xml += Property("0x001A", "String", kStickyNoteClass);
    std::string when = EwsDateText(date);
    xml += Property("0x3007", "SystemTime", when);
    xml += Property("0x0E06", "SystemTime", when);
    xml += Property("0x0039", "SystemTime", when);
    if (msg.flag_status != 0) {
        if (msg.flag_status > kFlaggedStatusMax)
            msg.flag_status = kFlaggedStatusMax;
        xml += Property("0x1090", "Integer", std::to_string(msg.flag_status));
        // A completed flag shows no follow-up icon.
        if (msg.flag_status == kFlaggedStatusMax)
            xml += Property("0x1095", "Integer", std::to_string(kFollowUpIcon));
    }
    return xml;
}

bool WriteMessageElement(std::FILE *bundle, std::FILE *mime_text, qv_message &msg,
                         bool sticky_note, qv_filetime date)
{
    std::fputs("<t:Message>\n<t:MimeContent CharacterSet=\"UTF-8\">", bundle);
    bool ok = WriteStreamBase64(bundle, mime_text, Base64Lines::kUnbroken);
    std::fputs("</t:MimeContent>\n", bundle);
    std::string properties = MessagePropertiesXml(msg, sticky_note, date);
    std::fwrite(properties.data(), 1, properties.size(), bundle);
    std::fputs("</t:Message>\n", bundle);
    return ok && !std::ferror(bundle);
}

} // namespace qvamz
