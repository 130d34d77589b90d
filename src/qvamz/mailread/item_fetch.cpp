// Fetching one mail item with GetItem (see item_fetch.hpp).
#include "mailread/item_fetch.hpp"

#include <cstring>
#include <vector>

#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/line_reader.hpp"
#include "transport/retried_request.hpp"
#include "transport/soap_request.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz::mailread {
namespace {

constexpr std::string_view kIsReadProperty = "<t:FieldURI FieldURI=\"message:IsRead\"/>\n";
constexpr std::string_view kOtherProperties =
    "<t:FieldURI FieldURI=\"item:Categories\"/>\n"
    "<t:ExtendedFieldURI PropertyTag=\"0x1090\" PropertyType=\"Integer\"/>"
    "<t:ExtendedFieldURI PropertyTag=\"0x1080\" PropertyType=\"Integer\"/>";

constexpr std::string_view kGetItemTemplate = "<ItemShape>\n"
                                              "<t:BaseShape>IdOnly</t:BaseShape>\n"
                                              "<t:IncludeMimeContent>true</t:IncludeMimeContent>\n"
                                              "<t:AdditionalProperties>\n"
                                              "{properties}</t:AdditionalProperties>\n"
                                              "</ItemShape>\n"
                                              "<ItemIds>\n"
                                              "<t:ItemId Id=\"{id}\" ChangeKey=\"{change_key}\"/>\n"
                                              "</ItemIds>\n";

constexpr std::string_view kFlagStatusAttribute = "PropertyTag=\"0x1090";
constexpr std::string_view kIconIndexAttribute = "PropertyTag=\"0x1080";
constexpr int kOldestServerWithNotesIsRead = 9;
// The item was deleted or moved after the listing: nothing is left to copy.
constexpr std::string_view kItemGoneCode = "ErrorItemNotFound";

void Replace(std::string &text, std::string_view placeholder, std::string_view value)
{
    const std::size_t at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, placeholder.size(), value);
}

// The Value text after the first (case-insensitive) `attribute`, "" when
// the attribute or its value is missing.
std::string ExtendedValue(const char *text, std::string_view attribute)
{
    const char *at = com_stristr(text, std::string(attribute).c_str(), 0);
    std::string value;
    if (at)
        GetElementValue(at, "Value", value, kExtendedValueMax);
    return value;
}

// The quoted text after the first "Id=" of an ItemId line.
std::string ItemIdOfLine(const std::string &line)
{
    const std::size_t at = line.find("Id=");
    if (at == std::string::npos || at + 4 > line.size())
        return {};
    const std::size_t start = at + 4; // after Id= and its quote
    std::string id = line.substr(start, line.find('"', start) - start);
    if (id.size() > kEwsItemIdMax)
        id.resize(kEwsItemIdMax);
    return id;
}

} // namespace

bool AskForIsRead(int server_major_version, std::string_view folder_name)
{
    return server_major_version >= kOldestServerWithNotesIsRead || folder_name != "Notes";
}

std::string GetItemProperties(bool with_is_read)
{
    return (with_is_read ? std::string(kIsReadProperty) : std::string()) +
           std::string(kOtherProperties);
}

std::string GetItemBody(std::string_view properties, std::string_view item_id,
                        std::string_view change_key)
{
    std::string body(kGetItemTemplate);
    Replace(body, "{properties}", properties);
    Replace(body, "{id}", item_id);
    Replace(body, "{change_key}", change_key);
    return body;
}

FetchOutcome FetchItem(Session &session, const std::string &body, const std::string &answer_path)
{
    AnswerBuffer text;
    text.path = answer_path;
    return FetchItem(session, body, text);
}

FetchOutcome FetchItem(Session &session, const std::string &body, AnswerBuffer &text)
{
    const OperationAnswer answer = RequestWithRetries(
        session, "GetItem", "", body, text, "GetItemResponseMessage",
        ErrorRetry::kTransientOnly, "QV Info: unable to GetItem in folder loop, retrying");
    switch (answer.kind) {
    case AnswerKind::kSuccess: return FetchOutcome::kFetched;
    case AnswerKind::kFailedPost:
        com_Log("QV Error: EWS server is unavailable (http error %d), skipping message",
                answer.http_status);
        return FetchOutcome::kNotRead;
    default: break;
    }
    const ResponseStatus &status = answer.status;
    if (status.response_code == kItemGoneCode) {
        com_Log("QV Info: item no longer in the folder - skipped");
        return FetchOutcome::kGone;
    }
    com_Log("QV Error: GetItem failed (%s: %s), message not read", status.response_code.c_str(),
            status.message_text.c_str());
    return FetchOutcome::kNotRead;
}

bool ReadItemDetails(const std::string &answer_path, qv_message *msg, ItemDetails &details)
{
    details = {};
    qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
    if (!answer)
        return false;
    std::string line;
    bool found = false;
    while (!found && ReadAnswerLine(answer.get(), line, kItemLineMax)) {
        if (qvcommon::StartsWithNoCase(line, "<t:MeetingRequest"))
            details.meeting_request = true;
        found = qvcommon::StartsWithNoCase(line, "<t:ItemId");
    }
    if (!found)
        return true;
    details.ews_item_id = ItemIdOfLine(line);

    // The properties asked for follow the ItemId; read them as terminated text.
    std::vector<char> text(kPropertyTextMax + 1, '\0');
    const std::size_t read = std::fread(text.data(), 1, kPropertyTextMax, answer.get());
    text[read] = '\0';
    ParseCategories(text.data(), msg);
    ApplyExtendedFlags(text.data(), msg);
    return true;
}

void ApplyExtendedFlags(const char *text, qv_message *msg)
{
    // A completed flag is kept too, so that a copy does not lose it.
    const std::string flag = ExtendedValue(text, kFlagStatusAttribute);
    if (flag == std::to_string(kFlagStatusFlagged))
        msg->flag_status = kFlagStatusFlagged;
    else if (flag == std::to_string(kFlagStatusComplete))
        msg->flag_status = kFlagStatusComplete;
    const std::string icon = ExtendedValue(text, kIconIndexAttribute);
    if (icon == kIconReplied)
        msg->replied = 1;
    else if (icon == kIconForwarded)
        msg->forwarded = 1;
}

} // namespace qvamz::mailread
