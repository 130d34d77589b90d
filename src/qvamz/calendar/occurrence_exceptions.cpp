// Moved and deleted occurrences of a written series (see
// occurrence_exceptions.hpp).
#include "calendar/occurrence_exceptions.hpp"

#include <algorithm>
#include <cstring>

#include "calendar/recurrence.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::calendar {
namespace {


// "<p:Name ...>", "<Name>" or "<p:Name/>"; `closing` for "</p:Name>".
bool IsTag(std::string_view line, std::string_view name, bool closing = false)
{
    const std::string_view open = closing ? "</" : "<";
    if (line.substr(0, open.size()) != open || (!closing && line.substr(0, 2) == "</"))
        return false;
    std::string_view rest = line.substr(open.size());
    const std::size_t colon = rest.find(':'), stop = rest.find_first_of(" />");
    if (colon != std::string_view::npos && colon < stop)
        rest = rest.substr(colon + 1);
    return rest.substr(0, name.size()) == name && rest.size() > name.size() &&
           std::strchr(" />", rest[name.size()]) != nullptr;
}

std::string ItemIdXml(const OccurrenceAnswer &occurrence)
{
    return "<t:ItemId Id=\"" + qvcommon::XmlRequestEscaped(occurrence.id) + "\" ChangeKey=\"" +
           qvcommon::XmlRequestEscaped(occurrence.change_key) + "\" />\n";
}

std::string SetField(std::string_view uri, std::string_view element, const std::string &value)
{
    return "<t:SetItemField>\n<t:FieldURI FieldURI=\"" + std::string(uri) + "\" />\n<t:CalendarItem>\n<t:" +
           std::string(element) + ">" + value + "</t:" + std::string(element) + ">\n</t:CalendarItem>\n"
           "</t:SetItemField>\n";
}

template <std::size_t N>
std::string Field(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

bool WriteFile(const std::string &path, const std::string &text)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "wb");
    return file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
           std::fflush(file.get()) == 0;
}

// The breakouts still to be applied, and what the series answered so far.
struct Matching {
    std::vector<const qv_breakout *> open;
    std::vector<const qv_breakout *> deletes, moves; // applied in this order
    std::vector<OccurrenceAnswer> delete_items, move_items;
    qv_filetime last_wanted = 0;

    // False once nothing later in the series can match.
    bool Take(const OccurrenceAnswer &occurrence)
    {
        for (auto it = open.begin(); it != open.end(); ++it) {
            if ((*it)->original_start != occurrence.start)
                continue;
            ((*it)->kind == kBreakoutDeleted ? deletes : moves).push_back(*it);
            ((*it)->kind == kBreakoutDeleted ? delete_items : move_items).push_back(occurrence);
            open.erase(it);
            break;
        }
        return !open.empty() && occurrence.start < last_wanted;
    }
};

enum class BatchEnd { kMore, kDone };

// One GetItem batch; kDone at the series' end, past the last breakout,
// or when the server stops answering usefully.
BatchEnd AskBatch(Session &session, const std::string &work_dir, const std::string &master_id, int first,
                  int count, Matching &matching)
{
    const std::string answer_path = work_dir + kOccurrenceAnswerFile;
    const PostResult post =
        SoapRequest(session, "GetItem", "", OccurrenceBatchBody(master_id, first, count), answer_path);
    if (!IsUsableAnswer(post)) {
        com_Log("QV Warning: cannot list calendar instances, http error %d", post.http_status);
        return BatchEnd::kDone;
    }
    const std::vector<OccurrenceAnswer> answers = ReadOccurrenceAnswers(answer_path);
    if (answers.empty())
        return BatchEnd::kDone;
    for (const OccurrenceAnswer &answer : answers) {
        if (answer.ok && answer.start != 0 && !matching.Take(answer))
            return BatchEnd::kDone;
        // An occurrence already gone is no occurrence; any other error
        // (out of range, a broken id, a server fault) ends the listing.
        if (!answer.ok && answer.code != "ErrorItemNotFound")
            return BatchEnd::kDone;
    }
    return BatchEnd::kMore;
}

// Sends a DeleteItem or UpdateItem of the collected occurrences; returns
// how many of them the server did not take.
int SendChanges(Session &session, const std::string &work_dir, const char *file_name, const char *operation,
                const char *attributes, const std::string &body, std::size_t items)
{
    const std::string request_path = work_dir + file_name;
    const std::string answer_path = work_dir + kOccurrenceAnswerFile;
    if (!WriteFile(request_path, body))
        return static_cast<int>(items);
    const PostResult post = SoapRequest(session, operation, attributes, "", answer_path, request_path);
    std::remove(request_path.c_str());
    if (!IsUsableAnswer(post))
        return static_cast<int>(items);
    const std::string element = std::string(operation) + "ResponseMessage";
    const std::vector<ResponseMessage> results = ReadResponseMessages(answer_path, element);
    int refused = static_cast<int>(items > results.size() ? items - results.size() : 0);
    for (const ResponseMessage &result : results)
        refused += result.IsError() ? 1 : 0;
    return refused;
}

} // namespace

std::vector<OccurrenceAnswer> ReadOccurrenceAnswers(const std::string &answer_path)
{
    std::vector<OccurrenceAnswer> answers;
    qvcommon::UniqueFile in = qvcommon::OpenFile(answer_path, "rb");
    if (!in)
        return answers;
    std::string raw;
    std::string *value_for = nullptr;
    bool start_value = false;
    while (mime::ReadTextLine(in.get(), raw)) {
        const std::string_view line = TrimmedLine(raw);
        if (value_for || start_value) {
            if (!line.empty() && line[0] != '<') {
                if (value_for)
                    *value_for = qvcom::xml_unescape(line);
                else
                    ParseEwsDateTime(line, answers.back().start);
            }
            value_for = nullptr;
            start_value = false;
        }
        if (IsTag(line, "GetItemResponseMessage")) {
            answers.emplace_back();
            answers.back().ok = LineAttribute(line, "ResponseClass") != "Error";
        } else if (answers.empty()) {
            continue;
        } else if (IsTag(line, "ResponseCode")) {
            value_for = &answers.back().code;
        } else if (IsTag(line, "ItemId") && answers.back().id.empty()) {
            answers.back().id = qvcommon::XmlRequestText(LineAttribute(line, "Id"));
            answers.back().change_key = qvcommon::XmlRequestText(LineAttribute(line, "ChangeKey"));
        } else if (IsTag(line, "Start")) {
            start_value = true;
        } else if (IsTag(line, "Subject")) {
            value_for = &answers.back().subject;
        } else if (IsTag(line, "Location")) {
            value_for = &answers.back().location;
        }
    }
    for (OccurrenceAnswer &answer : answers)
        if (answer.id.empty())
            answer.ok = false; // a success without an item names nothing to change
    return answers;
}

std::string OccurrenceBatchBody(const std::string &master_id, int first, int count)
{
    std::string body = "<ItemShape>\n<t:BaseShape>IdOnly</t:BaseShape>\n<t:AdditionalProperties>\n"
                       "<t:FieldURI FieldURI=\"calendar:Start\" />\n</t:AdditionalProperties>\n"
                       "</ItemShape>\n<ItemIds>\n";
    const std::string master = qvcommon::XmlRequestEscaped(master_id);
    for (int index = first; index < first + count; ++index)
        body += "<t:OccurrenceItemId RecurringMasterId=\"" + master + "\" InstanceIndex=\"" +
                std::to_string(index) + "\" />\n";
    return body + "</ItemIds>\n";
}

std::string MoveOccurrenceXml(const OccurrenceAnswer &occurrence, const qv_breakout &breakout)
{
    std::string xml = "<t:ItemChange>\n" + ItemIdXml(occurrence) + "<t:Updates>\n";
    const std::string subject = Field(breakout.subject), location = Field(breakout.location);
    if (!subject.empty())
        xml += SetField("item:Subject", "Subject", qvcommon::XmlRequestEscaped(subject));
    xml += SetField("calendar:Start", "Start", EwsDateText(breakout.start));
    xml += SetField("calendar:End", "End", EwsDateText(breakout.end));
    if (!location.empty())
        xml += SetField("calendar:Location", "Location", qvcommon::XmlRequestEscaped(location));
    return xml + "</t:Updates>\n</t:ItemChange>\n";
}

int WriteOccurrenceExceptions(Session &session, const qv_message &msg, const std::string &work_dir,
                              const std::string &master_id)
{
    Matching matching;
    for (int i = 0; i < msg.breakout_count && i < QV_MAX_BREAKOUTS; ++i) {
        const qv_breakout *b = msg.breakouts[i];
        if (!b || (b->kind != kBreakoutDeleted && b->kind != kBreakoutModified))
            continue;
        matching.open.push_back(b);
        matching.last_wanted = std::max(matching.last_wanted, +b->original_start);
    }
    const int last_index = msg.recur_range == kRangeNumbered && msg.recur_count > 0
                               ? std::min(+msg.recur_count, kOccurrenceIndexMax)
                               : kOccurrenceIndexMax;
    for (int first = 1; !matching.open.empty() && first <= last_index; first += kOccurrenceBatch) {
        const int count = std::min(kOccurrenceBatch, last_index - first + 1);
        if (AskBatch(session, work_dir, master_id, first, count, matching) == BatchEnd::kDone)
            break;
    }
    int lost = static_cast<int>(matching.open.size());
    if (!matching.delete_items.empty()) {
        std::string body = "<ItemIds>\n";
        for (const OccurrenceAnswer &item : matching.delete_items)
            body += ItemIdXml(item);
        const int refused = SendChanges(session, work_dir, kDeletesFile, "DeleteItem",
                                        "DeleteType=\"HardDelete\" SendMeetingCancellations=\"SendToNone\"",
                                        body + "</ItemIds>\n", matching.delete_items.size());
        if (refused > 0)
            com_Log("QV Warning: cannot delete calendar instances");
        lost += refused;
    }
    if (!matching.move_items.empty()) {
        std::string body = "<ItemChanges>\n";
        for (std::size_t i = 0; i < matching.move_items.size(); ++i)
            body += MoveOccurrenceXml(matching.move_items[i], *matching.moves[i]);
        const int refused = SendChanges(
            session, work_dir, kModsFile, "UpdateItem",
            "ConflictResolution=\"AlwaysOverwrite\" MessageDisposition=\"SaveOnly\" "
            "SendMeetingInvitationsOrCancellations=\"SendToNone\"",
            body + "</ItemChanges>\n", matching.move_items.size());
        if (refused > 0)
            com_Log("QV Warning: cannot update calendar instances");
        lost += refused;
    }
    if (!matching.open.empty())
        com_Log("QV Warning: %d changed or deleted occurrences of \"%s\" match no occurrence of the new series",
                static_cast<int>(matching.open.size()), Field(msg.title).c_str());
    return lost;
}

} // namespace qvamz::calendar
