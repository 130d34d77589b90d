// Task writer (see task_writer.hpp).
#include "tasks/task_writer.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/unique_file.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailwrite/attachment_upload.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "common/xml_request_text.hpp"
#include "tasks/task_recurrence.hpp"
#include "transport/clock.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::tasks {
namespace {

constexpr const char *kStatusNames[] = {"NotStarted", "InProgress", "Completed", "WaitingOnOthers",
                                        "Deferred"};
constexpr int kFirstServerError = 500;

std::string UtcText(qv_filetime date)
{
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string DateElement(const char *name, qv_filetime date)
{
    if (com_DateIsNull(date))
        return {};
    return std::string("<t:") + name + ">" + UtcText(date) + "</t:" + name + ">\n";
}

// The record's first text body part, "" when it has none.
std::string NotesText(const qv_message &msg, const std::string &work_dir)
{
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i) {
        if (!msg.parts[i] || msg.parts[i]->part_type != QV_PART_TEXT_BODY)
            continue;
        qvcommon::UniqueFile file =
            qvcommon::OpenFile(qvcom::part_file_path(work_dir, msg.msg_number, i), "rb");
        std::string text;
        char chunk[8192];
        std::size_t got;
        while (file && (got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
            text.append(chunk, got);
        return text;
    }
    return {};
}

std::string Field(const char *text, std::size_t capacity)
{
    return std::string(text, strnlen(text, capacity));
}

bool WriteRequestFile(const std::string &path, const std::string &body)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "wb");
    return file && std::fwrite(body.data(), 1, body.size(), file.get()) == body.size() &&
           std::fflush(file.get()) == 0;
}

} // namespace

std::string TaskRequestBody(const qv_message &msg, const std::string &folder_id,
                            const std::string &work_dir, qv_filetime today)
{
    std::string body = "<SavedItemFolderId>\n<t:FolderId Id=\"" + qvcommon::XmlRequestEscaped(folder_id) +
                       "\"/>\n</SavedItemFolderId>\n<Items>\n<t:Task>\n";
    body += "<t:Subject>" + qvcommon::XmlRequestEscaped(Field(msg.title, sizeof msg.title)) + "</t:Subject>\n";
    if (msg.is_private)
        body += "<t:Sensitivity>Private</t:Sensitivity>\n";
    const std::string notes = NotesText(msg, work_dir);
    const std::string clean_notes = qvcommon::XmlRequestText(notes);
    if (!clean_notes.empty())
        body += "<t:Body BodyType=\"Text\">" + qvcommon::CdataSections(clean_notes) + "</t:Body>\n";
    body += CategoriesXml(
        std::string_view(msg.categories, strnlen(msg.categories, sizeof msg.categories)));
    body += std::string("<t:Importance>") +
            (msg.importance == 2 ? "High" : msg.importance == 0 ? "Low" : "Normal") + "</t:Importance>\n";
    if (!com_DateIsNull(msg.reminder_time))
        body += DateElement("ReminderDueBy", msg.reminder_time) + "<t:ReminderIsSet>true</t:ReminderIsSet>\n";
    body += "<t:ExtendedProperty>\n<t:ExtendedFieldURI PropertyTag=\"0x3004\" PropertyType=\"String\"/>\n"
            "<t:Value>via QV</t:Value>\n</t:ExtendedProperty>\n";
    body += DateElement("CompleteDate", msg.complete_date);
    body += DateElement("DueDate", msg.end_time);
    body += "<t:PercentComplete>" + std::to_string(std::clamp(msg.percent_complete, 0, 100)) +
            "</t:PercentComplete>\n";
    body += TaskRecurrenceElement(msg, today);
    body += DateElement("StartDate", msg.start_time);
    if (msg.task_status >= 1 && msg.task_status <= 5)
        body += std::string("<t:Status>") + kStatusNames[msg.task_status - 1] + "</t:Status>\n";
    body += "</t:Task>\n</Items>\n";
    return body;
}

int WriteTask(Session &session, const qv_message &msg, const std::string &work_dir)
{
    const std::string request_path = work_dir + std::string(kTaskRequestFile);
    const std::string answer_path = work_dir + std::string(kTaskAnswerOutFile);
    const std::string title = Field(msg.title, sizeof msg.title);
    if (!WriteRequestFile(request_path, TaskRequestBody(msg, session.state.target_folder_id,
                                                         work_dir, com_FileTimeNow()))) {
        com_Log("QV Warning: task \"%s\" lost: cannot write %s", title.c_str(), request_path.c_str());
        std::remove(request_path.c_str());
        return kWriteLost;
    }
    PostResult post = SoapRequest(session, "CreateItem", "", "", answer_path, request_path, title);
    for (int retry = 1; !IsUsableAnswer(post); ++retry) {
        if (post.http_status < kFirstServerError || retry > session.settings.write_retries) {
            com_Log("QV Warning: unable to create task");
            std::remove(request_path.c_str());
            std::remove(answer_path.c_str());
            return kWriteLost;
        }
        com_Log("QV Info: retrying task (%s)", title.c_str());
        clock::SleepMs((retry + 1) * 1000);
        post = SoapRequest(session, "CreateItem", "", "", answer_path, request_path, title);
    }
    std::remove(request_path.c_str());
    const std::vector<ResponseMessage> results = ReadResponseMessages(answer_path, "CreateItemResponseMessage");
    std::string id, change_key;
    {
        qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
        if (answer)
            ExtractItemId(answer.get(), id, change_key);
    }
    std::remove(answer_path.c_str());
    if (!results.empty() && results.front().IsError()) {
        com_Log("QV Warning: unable to create task \"%s\": %s %s", title.c_str(),
                results.front().response_code.c_str(), results.front().message_text.c_str());
        return kWriteLost;
    }
    if (!id.empty()) {
        ParentItem parent{id, change_key};
        UploadAttachments(session, msg, work_dir, parent);
    }
    return kWriteStored;
}

} // namespace qvamz::tasks
