// Task folder reader (see task_reader.hpp).
#include "tasks/task_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "ews/attachment_download.hpp"
#include "ews/folder_table.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv/qvcom_mime.h"
#include "common/xml_request_text.hpp"
#include "tasks/task_recurrence.hpp"
#include "transport/line_reader.hpp"

namespace qvamz::tasks {
namespace {

constexpr std::string_view kGetTaskTemplate = "<ItemShape>\n"
                                              "<t:BaseShape>AllProperties</t:BaseShape>\n"
                                              "<t:BodyType>Text</t:BodyType>\n"
                                              "</ItemShape>\n"
                                              "<ItemIds>\n"
                                              "<t:ItemId Id=\"%s\" ChangeKey=\"%s\"/>\n"
                                              "</ItemIds>\n";
constexpr int kEntryTypeTask = 5;
constexpr int kTaskStatusNone = 0;
constexpr const char *kStatusNames[] = {"NotStarted", "InProgress", "Completed", "WaitingOnOthers",
                                        "Deferred"};

std::string Text(const char *answer, const char *name, std::size_t max = kTaskTextMax)
{
    std::string value;
    GetElementValue(answer, name, value, max * 4);
    return std::string(qvcommon::Utf8Prefix(value, max));
}

qv_filetime Date(const char *answer, const char *name)
{
    qv_filetime out = 0;
    const std::string text = Text(answer, name);
    if (!text.empty())
        ParseEwsDateTime(text, out);
    return out;
}

// The text of <t:Body BodyType="Text"> (the tag carries an attribute, so
// the element-text reader does not find it).
std::string BodyText(const std::string &answer)
{
    const std::size_t tag = answer.find("<t:Body ");
    if (tag == std::string::npos)
        return {};
    const std::size_t tag_end = answer.find('>', tag);
    if (tag_end == std::string::npos || answer[tag_end - 1] == '/')
        return {};
    std::size_t start = tag_end + 1;
    if (answer.compare(start, 2, "\r\n") == 0)
        start += 2;
    else if (start < answer.size() && answer[start] == '\n')
        start += 1;
    std::size_t end = answer.find("</t:Body>", start);
    if (end == std::string::npos)
        end = answer.size();
    std::string raw = answer.substr(start, end - start);
    // The line end the answer formatter put before the closing tag.
    if (raw.ends_with("\r\n"))
        raw.resize(raw.size() - 2);
    else if (raw.ends_with("\n"))
        raw.pop_back();
    return qvcom::xml_unescape(raw);
}

int ImportanceValue(const std::string &text)
{
    if (qvcommon::EqualsNoCase(text, "Low"))
        return 0;
    return qvcommon::EqualsNoCase(text, "High") ? 2 : 1;
}

int StatusValue(const std::string &text)
{
    for (int i = 0; i < 5; ++i)
        if (text == kStatusNames[i])
            return i + 1;
    return kTaskStatusNone;
}

// MsgStatus with the counters of one ConvertTaskFolder call.
class StatusReporter {
  public:
    explicit StatusReporter(qv_status_fn callback) : callback_(callback) {}
    void Report(qv_message *msg, int status)
    {
        if (!callback_)
            return;
        char empty[1] = "";
        callback_(msg, empty, status, &counter1_, &counter2_, &stop_);
    }
    bool stop_requested() const { return stop_ != 0; }

  private:
    qv_status_fn callback_;
    int counter1_ = 0, counter2_ = 0, stop_ = 0;
};

// Tasks that could not be read are lost, not skipped: the host counts them
// failed.
void ReportLost(StatusReporter &reporter, qv_message *msg, int count)
{
    com_ReportLoss(kLossKindMailRead, count, 0);
    for (int i = 0; i < count; ++i)
        reporter.Report(msg, QV_STATUS_SKIPPED);
}

void Release(qv_message *msg, const std::string &work_dir)
{
    com_Deallocate_All(msg, work_dir.c_str());
    com_Deallocate(msg, work_dir.c_str());
}

} // namespace

void ParseTaskText(std::string answer, qv_message *msg, const std::string &work_dir)
{
    // The recurrence's range has a StartDate of its own, ahead of the
    // task's: read the recurrence first, then take it out.
    const RecurrenceFound recurrence = ReadTaskRecurrence(answer.c_str(), msg);
    RemoveElement(answer, "Recurrence");
    const char *text = answer.c_str();
    qvcommon::CopyToField(msg->title, Text(text, "Subject", sizeof msg->title - 1));
    msg->start_time = Date(text, "StartDate");
    msg->complete_date = Date(text, "CompleteDate");
    msg->end_time = Date(text, "DueDate");
    msg->percent_complete = static_cast<std::int32_t>(std::lround(std::atof(Text(text, "PercentComplete").c_str())));
    msg->task_status = StatusValue(Text(text, "Status"));
    msg->is_private = qvcommon::EqualsNoCase(Text(text, "Sensitivity"), "Private") ? 1 : 0;
    // The writers take `importance`, mail takes `priority`: both are set.
    msg->priority = msg->importance = ImportanceValue(Text(text, "Importance"));
    if (qvcommon::EqualsNoCase(Text(text, "ReminderIsSet"), "true")) {
        msg->reminder_set = 1;
        msg->reminder_minutes = std::atoi(Text(text, "ReminderMinutesBeforeStart").c_str());
        // A reminder time without a reminder is not carried: the writer
        // would turn the reminder on.
        msg->reminder_time = Date(text, "ReminderDueBy");
    }
    std::string notes(qvcommon::Utf8Prefix(BodyText(answer), kTaskBodyMax));
    if (recurrence.regenerating)
        notes += RecurrenceNote(recurrence.period_word);
    // The body came out of XML: it holds no NUL that would cut it short.
    if (!notes.empty() && !com_WriteNotes(msg, notes.c_str(), work_dir.c_str()))
        com_Log("QV Warning: cannot store the notes of task \"%s\"", msg->title);
    ParseCategories(text, msg);
    msg->entry_type = kEntryTypeTask;
}

int ParseTaskItem(const std::string &answer_path, qv_message *msg, const std::string &work_dir)
{
    std::string answer;
    if (!qvcommon::ReadWholeFile(answer_path, answer))
        return 0;
    ParseTaskText(std::move(answer), msg, work_dir);
    return 1;
}

int ConvertTaskFolder(Session &session, const ConvertFolderArguments &args, const FolderEntry &folder)
{
    *args.out_count = 0;
    const std::string ids_path = args.work_dir + std::string(mailread::kItemIdsFile);
    const std::string answer_path = args.work_dir + std::string(kTaskAnswerFile);
    mailread::ListingOutcome listed;
    {
        qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "wb");
        if (!ids)
            return 0;
        // What an incomplete listing found is still read; the rest is
        // reported lost at the end.
        listed = mailread::ListFolderItems(session, args.work_dir, folder.folder_id, "",
                                           folder.total_count, ids.get());
        if (listed.result != mailread::ListingResult::kListed)
            com_Log("QV Warning: unable to retrieve tasks");
    }
    qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "rb");
    if (!ids)
        return 0;
    qv_message *msg = args.msg;
    StatusReporter reporter(args.status);
    int count = 0;
    bool ended_by_host = false, ended_early = false;
    std::string line;
    while (!reporter.stop_requested() && ReadAnswerLine(ids.get(), line, mailread::kListingLineMax)) {
        if (line.empty())
            continue;
        RenewTokenIfDue(session);
        com_ResetObject(msg);
        const std::size_t semicolon = line.find(';');
        const std::string id = line.substr(0, semicolon);
        const std::string change_key = semicolon == std::string::npos ? "" : line.substr(semicolon + 1);
        char body[4096];
        std::snprintf(body, sizeof body, kGetTaskTemplate.data(), id.c_str(), change_key.c_str());
        // One task that cannot be fetched is reported skipped; the others
        // are still read.
        const mailread::FetchOutcome fetched = mailread::FetchItem(session, body, answer_path);
        if (fetched == mailread::FetchOutcome::kGone) {
            // Deleted since the listing: nothing to migrate.
            reporter.Report(msg, QV_STATUS_SKIPPED);
            continue;
        }
        if (fetched != mailread::FetchOutcome::kFetched || !ParseTaskItem(answer_path, msg, args.work_dir)) {
            com_Log("QV Warning: unable to retrieve task entry");
            ReportLost(reporter, msg, 1);
            continue;
        }
        {
            std::string answer; // nothing to download when it cannot be read
            qvcommon::ReadWholeFile(answer_path, answer);
            DownloadAttachments(session, answer, *msg, args.work_dir);
        }
        std::remove(answer_path.c_str());
        if (session.settings.log_subjects)
            com_Log("Exchange task: %s", msg->title);
        if (com_Check_MaxTaskDate(&msg->start_time) == 0) {
            reporter.Report(msg, QV_STATUS_OUT_OF_RANGE);
            Release(msg, args.work_dir);
            continue;
        }
        msg->item_type = QV_ITEM_TASK;
        com_AttachSize(msg, args.work_dir.c_str(), count, session.settings.max_attach_size);
        com_AddressTranslate(msg);
        int status = QV_STATUS_CONVERTED;
        if (com_MsgIsDuplicate(msg, args.work_dir.c_str(), QVCOM_DUP_CHECK, folder.display_name.c_str()) != 0) {
            status = QV_STATUS_DUPLICATE;
        } else {
            std::string host_work_dir = args.work_dir; // the host's callback takes a char *
            const int answer = args.output(msg, args.output_value, host_work_dir.data(), count);
            ++count;
            // A refused task was not migrated: it is neither remembered nor
            // reported converted.
            if (answer == QV_OUTPUT_REFUSED || answer == QV_OUTPUT_REFUSED_END_FOLDER)
                status = QV_STATUS_SKIPPED;
            else
                com_MsgIsDuplicate(msg, args.work_dir.c_str(), QVCOM_DUP_REMEMBER, folder.display_name.c_str());
            ended_by_host = answer == QV_OUTPUT_REFUSED_END_FOLDER;
        }
        reporter.Report(msg, status);
        Release(msg, args.work_dir);
        // A limit of 0 or less is no limit, as for every folder kind.
        if (ended_by_host || (session.state.max_messages > 0 && count >= session.state.max_messages)) {
            ended_early = true;
            break;
        }
    }
    // Items the listing never reached are lost; when the folder's total is
    // out of date, at least the page that failed is one.
    if (listed.result != mailread::ListingResult::kListed && !ended_early && !reporter.stop_requested()) {
        const int unlisted = std::max(folder.total_count - listed.listed, 1);
        com_Log("QV Error: %d items of %s could not be listed", unlisted, folder.display_name.c_str());
        ReportLost(reporter, msg, unlisted);
    }
    ids.reset();
    std::remove(ids_path.c_str());
    std::remove(answer_path.c_str());
    *args.out_count = count;
    msg->folder_total = folder.total_count;
    return ended_by_host ? kFolderEndedByHost : 0;
}

} // namespace qvamz::tasks
