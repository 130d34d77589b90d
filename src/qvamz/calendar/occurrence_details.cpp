// Subject and location of moved occurrences (see occurrence_details.hpp).
#include "calendar/occurrence_details.hpp"

#include <vector>

#include "calendar/occurrence_exceptions.hpp"
#include "calendar/recurrence.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "mailwrite/mime_headers.hpp"
#include "qv/qvcom.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::calendar {
namespace {

std::string DetailsBody(const std::vector<std::string> &ids)
{
    std::string body = "<ItemShape>\n<t:BaseShape>IdOnly</t:BaseShape>\n<t:AdditionalProperties>\n"
                       "<t:FieldURI FieldURI=\"item:Subject\" />\n<t:FieldURI FieldURI=\"calendar:Location\" />\n"
                       "</t:AdditionalProperties>\n</ItemShape>\n<ItemIds>\n";
    for (const std::string &id : ids) {
        const std::size_t semicolon = id.find(';');
        body += "<t:ItemId Id=\"" + qvcommon::XmlRequestEscaped(id.substr(0, semicolon)) + "\"";
        if (semicolon != std::string::npos && semicolon + 1 < id.size())
            body += " ChangeKey=\"" + qvcommon::XmlRequestEscaped(id.substr(semicolon + 1)) + "\"";
        body += " />\n";
    }
    return body + "</ItemIds>\n";
}

} // namespace

std::vector<std::string> ModifiedOccurrenceIds(const std::string &answer_path)
{
    std::vector<std::string> ids;
    qvcommon::UniqueFile file = qvcommon::OpenFile(answer_path, "rb");
    bool in_modified = false, in_occurrence = false;
    std::string raw;
    while (file && mime::ReadTextLine(file.get(), raw)) {
        const std::string_view line = TrimmedLine(raw);
        if (line == "<t:ModifiedOccurrences>")
            in_modified = true;
        else if (line == "</t:ModifiedOccurrences>")
            in_modified = false;
        else if (in_modified && line == "<t:Occurrence>")
            in_occurrence = true;
        else if (line == "</t:Occurrence>")
            in_occurrence = false;
        else if (in_occurrence && line.substr(0, 10) == "<t:ItemId ") {
            ids.push_back(qvcom::xml_unescape(std::string(LineAttribute(line, "Id"))) + ";" +
                          qvcom::xml_unescape(std::string(LineAttribute(line, "ChangeKey"))));
            in_occurrence = false;
        }
    }
    return ids;
}

void ReadOccurrenceDetails(Session &session, qv_message *msg, const std::string &answer_path,
                           const std::string &work_dir)
{
    const std::vector<std::string> ids = ModifiedOccurrenceIds(answer_path);
    if (ids.empty())
        return;
    const std::string details_path = work_dir + kOccurrenceDetailsFile;
    const PostResult post = SoapRequest(session, "GetItem", "", DetailsBody(ids), details_path);
    const std::vector<OccurrenceAnswer> answers =
        IsUsableAnswer(post) ? ReadOccurrenceAnswers(details_path) : std::vector<OccurrenceAnswer>{};
    std::remove(details_path.c_str());
    std::size_t next = 0;
    for (int i = 0; i < msg->breakout_count && i < QV_MAX_BREAKOUTS && next < answers.size(); ++i) {
        qv_breakout *b = msg->breakouts[i];
        if (!b || b->kind != kBreakoutModified)
            continue;
        const OccurrenceAnswer &answer = answers[next++];
        if (!answer.ok)
            continue;
        qvcommon::CopyToField(b->subject, answer.subject);
        qvcommon::CopyToField(b->location, answer.location);
    }
}

} // namespace qvamz::calendar
