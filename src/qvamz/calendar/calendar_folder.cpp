// The calendar folder reader (see calendar_folder.hpp).
#include "calendar/calendar_folder.hpp"

#include <cstdio>
#include <unordered_set>

#include "calendar/calendar_item.hpp"
#include "calendar/occurrence_details.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvamz.h"
#include "qv/qvcom.h"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::calendar {
namespace {

using qvcommon::XmlRequestEscaped;

constexpr std::size_t kIdLineMax = 511;
constexpr int kLossKindCalendarRead = 13; // com_ReportLoss: calendar items not read

constexpr std::string_view kFindItemTemplate =
    "<ItemShape>\n<t:BaseShape>IdOnly</t:BaseShape>\n</ItemShape>\n"
    "<IndexedPageItemView MaxEntriesReturned=\"{max}\" Offset=\"{offset}\" "
    "BasePoint=\"Beginning\"/><ParentFolderIds>\n<t:FolderId Id=\"{folder}\"/>\n"
    "</ParentFolderIds>\n";

constexpr std::string_view kGetItemTemplate =
    "<ItemShape>\n<t:BaseShape>AllProperties</t:BaseShape>\n<t:BodyType>Text</t:BodyType>\n"
    "<t:AdditionalProperties>\n"
    "<t:ExtendedFieldURI DistinguishedPropertySetId=\"Meeting\" PropertyId=\"3\" "
    "PropertyType=\"Binary\" /></t:AdditionalProperties>\n</ItemShape>\n"
    "<ItemIds>\n<t:ItemId Id=\"{id}\" ChangeKey=\"{change_key}\"/>\n</ItemIds>\n";

void Replace(std::string &text, std::string_view marker, std::string_view value)
{
    text.replace(text.find(marker), marker.size(), value);
}

// The first error response message of an answer, "" when there is none.
std::string AnswerError(const std::string &answer_path, std::string_view element)
{
    for (const ResponseMessage &message : ReadResponseMessages(answer_path, element))
        if (message.IsError())
            return message.response_code.empty() ? message.response_class
                                                 : message.response_code;
    return {};
}

// MsgStatus with the counters of one folder.
class StatusReporter {
  public:
    explicit StatusReporter(qv_status_fn callback) : callback_(callback) {}
    void Report(qv_message *msg, int status)
    {
        ++reported_;
        if (!callback_)
            return;
        char empty[1] = "";
        callback_(msg, empty, status, &counter1_, &counter2_, &stop_);
    }
    bool stop_requested() const { return stop_ != 0; }
    int reported() const { return reported_; }

  private:
    qv_status_fn callback_;
    int counter1_ = 0, counter2_ = 0, stop_ = 0;
    int reported_ = 0;
};

class CalendarFolderReader {
  public:
    CalendarFolderReader(Session &session, const ConvertFolderArguments &call,
                         const FolderEntry &folder)
        : session_(session), call_(call), folder_(folder), reporter_(call.status),
          msg_(call.msg),
          context_{call.work_dir, session.state.orig_ews_user.empty()
                                      ? session.state.mailbox
                                      : session.state.orig_ews_user,
                   &session}
    {
    }

    void Run();

  private:
    enum class Next { kItem, kEndFolder };

    bool ListItems(std::FILE *ids);
    Next ConvertItem(const std::string &line);
    bool OutsideDateRange();
    Next Output();
    void KeepDebugCopy(const std::string &answer_path);
    void ReportRestSkipped();
    std::string WorkFile(std::string_view name) const { return call_.work_dir + std::string(name); }

    Session &session_;
    const ConvertFolderArguments &call_;
    const FolderEntry &folder_;
    StatusReporter reporter_;
    qv_message *msg_;
    ItemContext context_;
    qv_filetime now_ = com_FileTimeNow();
    int count_ = 0;
};

void CalendarFolderReader::Run()
{
    const std::string ids_path = WorkFile(kCalendarIdsFile);
    bool listed = false;
    {
        qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "wb");
        if (!ids)
            return;
        listed = ListItems(ids.get()) && std::fflush(ids.get()) == 0;
    }
    // What was listed before a failed page is still read.
    qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "rb");
    std::string line;
    while (ids && !reporter_.stop_requested() &&
           ReadAnswerLine(ids.get(), line, kIdLineMax)) {
        if (line.empty())
            continue;
        if (ConvertItem(line) == Next::kEndFolder)
            break;
    }
    if (!listed)
        ReportRestSkipped();
    ids.reset();
    for (std::string_view name : {kCalendarIdsFile, kCalendarItemFile, kCalendarPageFile})
        std::remove(WorkFile(name).c_str());
    *call_.out_count = count_;
}

bool CalendarFolderReader::ListItems(std::FILE *ids)
{
    const std::string answer_path = WorkFile(kCalendarPageFile);
    std::unordered_set<std::string> seen; // an id a later page repeats is read once
    // A server that ignores Offset must not keep the listing going forever.
    const int pages_max =
        folder_.total_count / kCalendarPageSize + 1 + mailread::kListingMarginPages;
    for (int offset = 0, pages = 0;; offset += kCalendarPageSize) {
        if (++pages > pages_max) {
            com_Log("QV Warning: unable to retrieve calendar %s (no last page after %d pages)",
                    folder_.display_name.c_str(), pages_max);
            return false;
        }
        RenewTokenIfDue(session_);
        const PostResult post =
            SoapRequest(session_, "FindItem", "Traversal=\"Shallow\"",
                        CalendarFindItemBody(offset, folder_.folder_id), answer_path);
        const std::string error = IsUsableAnswer(post)
                                      ? AnswerError(answer_path, "FindItemResponseMessage")
                                      : std::string("HTTP ") + std::to_string(post.http_status);
        mailread::FindItemPage page;
        if (!error.empty() || !mailread::ScanFindItemPage(answer_path, ids, seen, page)) {
            com_Log("QV Warning: unable to retrieve calendar %s (%s)",
                    folder_.display_name.c_str(), error.empty() ? "answer unreadable" : error.c_str());
            std::remove(answer_path.c_str());
            return false;
        }
        std::remove(answer_path.c_str());
        if (session_.settings.debug)
            com_Log("debug: %d entries found at offset %d", page.items, offset);
        if (page.last)
            return true;
    }
}

CalendarFolderReader::Next CalendarFolderReader::ConvertItem(const std::string &line)
{
    RenewTokenIfDue(session_);
    com_ResetObject(msg_);
    const std::size_t semicolon = line.find(';');
    const std::string id = line.substr(0, semicolon);
    const std::string change_key =
        semicolon == std::string::npos ? std::string() : line.substr(semicolon + 1);

    const std::string answer_path = WorkFile(kCalendarItemFile);
    const mailread::FetchOutcome fetched =
        mailread::FetchItem(session_, CalendarGetItemBody(id, change_key), answer_path);
    if (fetched != mailread::FetchOutcome::kFetched) {
        // One item the server will not give is one item lost, not the rest
        // of the calendar; one deleted since the listing is simply gone.
        if (fetched == mailread::FetchOutcome::kNotRead) {
            com_Log("QV Warning: unable to retrieve calendar entry");
            com_ReportLoss(kLossKindCalendarRead, 1, 0);
        }
        std::remove(answer_path.c_str());
        reporter_.Report(msg_, QV_STATUS_SKIPPED);
        return Next::kItem;
    }
    KeepDebugCopy(answer_path);
    ParseCalendarItem(answer_path, msg_, context_);
    ReadOccurrenceDetails(session_, msg_, answer_path, call_.work_dir);
    if (session_.settings.log_subjects)
        com_Log("WorkMail calendar event: %s", msg_->title);

    if (OutsideDateRange()) {
        com_Deallocate_All(msg_, call_.work_dir.c_str());
        com_ResetObject(msg_);
        reporter_.Report(msg_, QV_STATUS_OUT_OF_RANGE);
        return Next::kItem;
    }
    return Output();
}

bool CalendarFolderReader::OutsideDateRange()
{
    if (session_.state.upcoming_only && now_ > msg_->start_time) {
        com_Log("QV Warning: calender entry is in the past");
        return true;
    }
    if (com_Check_MaxCalDate(msg_->start_time) == 0) {
        com_Log("QV Warning: calender entry out of date range");
        return true;
    }
    return false;
}

CalendarFolderReader::Next CalendarFolderReader::Output()
{
    const char *work_dir = call_.work_dir.c_str();
    com_AttachSize(msg_, work_dir, 0, call_.attach_limit);
    com_AddressTranslate(msg_);
    msg_->item_type = QV_ITEM_CALENDAR;
    std::snprintf(msg_->categories, sizeof msg_->categories, "%s", folder_.display_name.c_str());

    bool ended_by_host = false;
    if (com_MsgIsDuplicate(msg_, work_dir, QVCOM_DUP_CHECK, "Calendar") != 0) {
        reporter_.Report(msg_, QV_STATUS_DUPLICATE);
    } else {
        std::string host_work_dir = call_.work_dir; // the host may write into it
        const int answer = call_.output(msg_, call_.output_value, host_work_dir.data(), count_);
        if (answer != QV_OUTPUT_REFUSED && answer != QV_OUTPUT_REFUSED_END_FOLDER)
            com_MsgIsDuplicate(msg_, work_dir, QVCOM_DUP_REMEMBER, "Calendar");
        ended_by_host = answer == QV_OUTPUT_REFUSED_END_FOLDER;
        ++count_;
        reporter_.Report(msg_, QV_STATUS_CONVERTED);
    }
    com_Deallocate_All(msg_, work_dir);
    com_Deallocate(msg_, work_dir);
    if (ended_by_host || (session_.state.max_messages > 0 && count_ >= session_.state.max_messages))
        return Next::kEndFolder;
    return Next::kItem;
}

void CalendarFolderReader::KeepDebugCopy(const std::string &answer_path)
{
    if (!session_.settings.cal_debug)
        return;
    const std::string &mailbox = session_.state.mailbox;
    const std::string local_part = mailbox.substr(0, mailbox.find('@'));
    const std::string copy = session_.state.base_dir + "debug/" + session_.state.debug_folder +
                             "/" + local_part + "-awscal" +
                             std::to_string(session_.state.calendar_debug_copies++) + ".xml";
    if (com_fcopy(answer_path.c_str(), copy.c_str()))
        com_Log("Copied calendar output to %s", copy.c_str());
}

// Items of a folder whose listing failed are lost for this run: the host
// hears of each, so that its counts show the loss.
void CalendarFolderReader::ReportRestSkipped()
{
    com_Log("QV Error: calendar %s could not be listed, %d items not read",
            folder_.display_name.c_str(), folder_.total_count - reporter_.reported());
    if (folder_.total_count > reporter_.reported())
        com_ReportLoss(kLossKindCalendarRead, folder_.total_count - reporter_.reported(), 0);
    while (reporter_.reported() < folder_.total_count && !reporter_.stop_requested())
        reporter_.Report(msg_, QV_STATUS_SKIPPED);
}

} // namespace

std::string CalendarFindItemBody(int offset, std::string_view folder_id)
{
    std::string body(kFindItemTemplate);
    Replace(body, "{max}", std::to_string(kCalendarPageSize));
    Replace(body, "{offset}", std::to_string(offset));
    Replace(body, "{folder}", XmlRequestEscaped(folder_id));
    return body;
}

std::string CalendarGetItemBody(std::string_view item_id, std::string_view change_key)
{
    std::string body(kGetItemTemplate);
    Replace(body, "{id}", XmlRequestEscaped(item_id));
    Replace(body, "{change_key}", XmlRequestEscaped(change_key));
    return body;
}

int ConvertCalendarFolder(Session &session, const ConvertFolderArguments &args,
                          const FolderEntry &folder)
{
    if (!args.msg || !args.output || !args.out_count)
        return 0;
    CalendarFolderReader(session, args, folder).Run();
    return 0;
}

} // namespace qvamz::calendar
