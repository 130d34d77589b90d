// Calendar writer (see calendar_writer.hpp).
#include "calendar/calendar_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "calendar/calendar_request.hpp"
#include "calendar/icalendar_writer.hpp"
#include "calendar/occurrence_exceptions.hpp"
#include "common/base64.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailwrite/attachment_upload.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::calendar {
namespace {

constexpr int kFirstServerError = 500;

template <std::size_t N>
std::string Field(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

bool WriteRequestFile(const std::string &path, const std::string &body)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "wb");
    return file && std::fwrite(body.data(), 1, body.size(), file.get()) == body.size() &&
           std::fflush(file.get()) == 0;
}

CalendarRequestOptions OptionsOf(const Session &session)
{
    CalendarRequestOptions options;
    options.meeting_responses = session.settings.meeting_responses != 0;
    options.write_attendees = session.settings.write_attendees != 0;
    options.own_mailbox = session.state.orig_ews_user;
    options.now = com_UnixToFileTime(clock::Now());
    options.zone.session_zone_name = session.state.time_zone_name;
    options.zone.session_bias = session.state.time_zone_bias;
    options.zone.session_dst_offset = session.state.dst_offset;
    options.zone.server_major_version = session.state.server_major_version;
    return options;
}

// "/CALDEBUG" copies: cal-in N .xml and cal-out N .xml, N counting the
// session's CreateItem attempts from 1.
void DebugCopy(const Session &session, const std::string &path, const char *stem)
{
    if (!session.settings.cal_debug)
        return;
    const std::string copy = session.state.base_dir + "debug/" + session.state.debug_folder + "/" + stem +
                             std::to_string(session.state.calendar_write_copies) + ".xml";
    if (!com_fcopy(path.c_str(), copy.c_str()))
        com_Log("QV Warning: cannot copy %s to %s", path.c_str(), copy.c_str());
    else if (std::strcmp(stem, "cal-in") == 0)
        com_Log("debug: copying calendar input to %s", copy.c_str());
}

// CreateItem with the "/D261" retries of server errors.
PostResult SendCreateItem(Session &session, const std::string &request_path, const std::string &answer_path,
                          const std::string &attributes, const std::string &title)
{
    for (int retry = 1;; ++retry) {
        PostResult post = SoapRequest(session, "CreateItem", attributes, "", answer_path, request_path, title);
        DebugCopy(session, answer_path, "cal-out");
        ++session.state.calendar_write_copies;
        if (IsUsableAnswer(post) || post.http_status < kFirstServerError ||
            retry > session.settings.write_retries)
            return post;
        com_Log("QV Info: retrying event (%s)", title.c_str());
        clock::SleepMs((retry + 1) * 1000);
    }
}

// Marks the new item as a meeting (appointment state flags, 1 = meeting).
void SetMeetingState(Session &session, const std::string &work_dir, const ParentItem &item)
{
    const std::string field = "<t:ExtendedFieldURI DistinguishedPropertySetId=\"Appointment\" "
                              "PropertyId=\"33303\" PropertyType=\"Integer\" />\n";
    const std::string body = "<ItemChanges>\n<t:ItemChange>\n<t:ItemId Id=\"" +
                             qvcommon::XmlRequestEscaped(item.id) + "\" ChangeKey=\"" +
                             qvcommon::XmlRequestEscaped(item.change_key) +
                             "\" />\n<t:Updates>\n<t:SetItemField>\n" + field +
                             "<t:CalendarItem>\n<t:ExtendedProperty>\n" + field +
                             "<t:Value>1</t:Value>\n</t:ExtendedProperty>\n</t:CalendarItem>\n"
                             "</t:SetItemField>\n</t:Updates>\n</t:ItemChange>\n</ItemChanges>\n";
    const std::string request_path = work_dir + kMeetingStateRequestFile;
    const std::string answer_path = work_dir + kMeetingStateAnswerFile;
    PostResult post{};
    if (WriteRequestFile(request_path, body))
        post = SoapRequest(session, "UpdateItem",
                           "ConflictResolution=\"AutoResolve\" MessageDisposition=\"SaveOnly\" "
                           "SendMeetingInvitationsOrCancellations=\"SendToNone\"",
                           "", answer_path, request_path);
    const std::vector<ResponseMessage> results = ReadResponseMessages(answer_path, "UpdateItemResponseMessage");
    if (!IsUsableAnswer(post) || results.empty() || results.front().IsError())
        com_Log("QV Warning: unable to set Appointment State, http error %d", post.http_status);
    std::remove(request_path.c_str());
    std::remove(answer_path.c_str());
}

// The MIME way: the record's iCalendar text, attendees included, as the
// item's only content.
std::string MimeContentXml(Session &session, qv_message &msg, const std::string &work_dir)
{
    const std::string ics = ICalendarWriter(msg, ICalendarContext{work_dir, true});
    if (session.settings.cal_debug) {
        const std::string copy = session.state.base_dir + "debug/" + session.state.debug_folder + "/cal-in" +
                                 std::to_string(session.state.calendar_write_copies) + ".ics";
        if (!WriteRequestFile(copy, ics))
            com_Log("QV Warning: cannot write %s", copy.c_str());
    }
    return "<t:MimeContent CharacterSet=\"UTF-8\">" + qvcommon::Base64Encode(ics) + "</t:MimeContent>\n";
}

// The inside of <t:CalendarItem>.
struct ItemContent {
    std::string xml;
    bool skip = false; // the organizer rule leaves the item out
    bool mime = false; // the iCalendar text, which carries the occurrences too
};

ItemContent ContentOf(Session &session, qv_message &msg, const std::string &work_dir,
                      const CalendarRequestOptions &options)
{
    if (session.settings.meetings_as_ical && msg.recipient_count > 0)
        return {MimeContentXml(session, msg, work_dir), false, true};
    const AttendeeRule rule = DecideAttendees(msg, options);
    if (session.settings.debug)
        com_Log("debug: Organizer=%s <%s>, gOrigEWSUser=%s", Field(msg.organizer_name).c_str(),
                Field(msg.organizer_address).c_str(), options.own_mailbox.c_str());
    if (rule == AttendeeRule::kSkipItem) {
        com_Log("Event (%s) skipped because user is not the organizer (%s <%s>)", Field(msg.title).c_str(),
                Field(msg.organizer_name).c_str(), Field(msg.organizer_address).c_str());
        return {{}, true, false};
    }
    if (options.meeting_responses && msg.recipient_count > 0 && !AppendResponsesBlock(msg, work_dir))
        com_Log("QV Warning: cannot add the attendee responses to \"%s\"", Field(msg.title).c_str());
    return {CalendarItemXml(msg, options, work_dir, rule == AttendeeRule::kWrite), false, false};
}

// After the item exists: attachments, meeting state, occurrences.
void CompleteItem(Session &session, qv_message &msg, const std::string &work_dir, ParentItem item,
                  bool occurrences_written)
{
    UploadAttachments(session, msg, work_dir, item);
    if (msg.recipient_count > 0 && !session.settings.meeting_responses)
        SetMeetingState(session, work_dir, item);
    if (msg.recur_type == 0 || msg.breakout_count <= 0 || occurrences_written)
        return;
    if (WriteOccurrenceExceptions(session, msg, work_dir, item.id) > 0) {
        com_Log("QV Warning: series \"%s\" written without all of its changed occurrences",
                Field(msg.title).c_str());
        com_ReportLoss(kLossKindMail, 1, 0);
    }
}

} // namespace

int WriteCals(Session &session, qv_message &msg, const std::string &work_dir)
{
    const CalendarRequestOptions options = OptionsOf(session);
    const std::string title = Field(msg.title);
    if (session.settings.debug) {
        com_Log("debug: at WorkMail WriteCals, event=%s, location=%s, Reminder_Period=%d, Recur=%d, breakouts=%d",
                title.c_str(), Field(msg.location).c_str(), msg.reminder_minutes, msg.recur_type,
                msg.breakout_count);
        com_LogFileTime("start date", msg.start_time);
        com_LogFileTime("Today", options.now);
    }
    const ItemContent content = ContentOf(session, msg, work_dir, options);
    if (content.skip)
        return kWriteStored;
    const std::string request_path = work_dir + kCalendarRequestFile;
    const std::string answer_path = work_dir + kCalendarAnswerFile;
    const std::string body = "<SavedItemFolderId>\n<t:FolderId Id=\"" +
                             qvcommon::XmlRequestEscaped(session.state.target_folder_id) +
                             "\"/>\n</SavedItemFolderId>\n<Items>\n<t:CalendarItem>\n" + content.xml +
                             "</t:CalendarItem>\n</Items>\n";
    if (!WriteRequestFile(request_path, body)) {
        com_Log("QV Warning: calendar event \"%s\" lost: cannot write %s", title.c_str(), request_path.c_str());
        std::remove(request_path.c_str());
        return kWriteLost;
    }
    DebugCopy(session, request_path, "cal-in");
    const bool invite = msg.recipient_count > 0 && options.meeting_responses;
    const std::string attributes =
        std::string("SendMeetingInvitations=\"") + (invite ? "SendOnlyToAll" : "SendToNone") + "\"";
    const PostResult post = SendCreateItem(session, request_path, answer_path, attributes, title);
    std::remove(request_path.c_str());
    const std::vector<ResponseMessage> results = ReadResponseMessages(answer_path, "CreateItemResponseMessage");
    ParentItem item;
    {
        qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
        if (answer && IsUsableAnswer(post))
            ExtractItemId(answer.get(), item.id, item.change_key);
    }
    std::remove(answer_path.c_str());
    if (!IsUsableAnswer(post) || (!results.empty() && results.front().IsError())) {
        com_Log("QV Warning: unable to create calendar event");
        if (!results.empty())
            com_Log("QV Warning: calendar event \"%s\" refused: %s %s", title.c_str(),
                    results.front().response_code.c_str(), results.front().message_text.c_str());
        return kWriteLost;
    }
    if (item.id.empty()) {
        com_Log("QV Warning: unable to add calendar item");
        return kWriteStored;
    }
    CompleteItem(session, msg, work_dir, item, content.mime);
    return kWriteStored;
}

} // namespace qvamz::calendar
