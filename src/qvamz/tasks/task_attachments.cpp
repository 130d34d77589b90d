#include "tasks/task_attachments.hpp"

#include <cstdio>
#include <cstring>

#include "common/base64.hpp"
#include "common/unique_file.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "common/xml_request_text.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::tasks {
namespace {

constexpr std::string_view kAttachmentIdMarker = "<t:AttachmentId Id=\"";
constexpr std::size_t kAttachmentIdMax = 1023;
constexpr std::size_t kAttachmentNameMax = 250;
constexpr std::string_view kAttachAnswerFile = "attach.xml";
constexpr std::string_view kCreateAnswerFile = "attres.xml";

std::string ReadWholeFile(const std::string &path, bool &ok)
{
    std::string text;
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "rb");
    ok = static_cast<bool>(file);
    if (!file)
        return text;
    char chunk[8192];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, got);
    return text;
}

// The quoted value after `marker` in `text`, "" when absent.
std::string AttributeAfter(const std::string &text, std::string_view marker)
{
    const std::size_t at = text.find(marker);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + marker.size();
    return text.substr(start, text.find('"', start) - start);
}

bool FetchOne(Session &session, const std::string &id, const std::string &name, qv_message *msg,
              const std::string &work_dir)
{
    const std::string answer = work_dir + std::string(kAttachAnswerFile);
    const std::string body = "<AttachmentShape/>\n<AttachmentIds>\n<t:AttachmentId Id=\"" +
                             qvcommon::XmlRequestEscaped(id) + "\"/>\n</AttachmentIds>\n";
    const bool answered = IsUsableAnswer(SoapRequest(session, "GetAttachment", "", body, answer));
    const std::string part_path = qvcom::part_file_path(work_dir, msg->msg_number, msg->part_count);
    const bool decoded = answered && ExtractBase64Element(answer, part_path, "Content>", nullptr);
    std::remove(answer.c_str());
    const std::int64_t size = decoded ? com_GetFileSize(part_path.c_str(), nullptr) : 0;
    qv_part *part = size > 0 ? com_AllocPart(msg) : nullptr;
    if (!part) {
        std::remove(part_path.c_str());
        if (!answered)
            com_Log("QV Warning: unable to retrieve attachment %s of task \"%s\"", name.c_str(), msg->title);
        return false;
    }
    part->part_type = QV_PART_ATTACHMENT;
    std::snprintf(part->file_name, sizeof part->file_name, "%s", name.c_str());
    part->size = static_cast<std::uint32_t>(size);
    ++msg->part_count;
    return true;
}

} // namespace

int DownloadTaskAttachments(Session &session, const std::string &answer_path, qv_message *msg,
                            const std::string &work_dir)
{
    bool ok = false;
    const std::string answer = ReadWholeFile(answer_path, ok);
    int added = 0;
    for (std::size_t at = answer.find(kAttachmentIdMarker); at != std::string::npos;
         at = answer.find(kAttachmentIdMarker, at + 1)) {
        const std::size_t start = at + kAttachmentIdMarker.size();
        std::string id = answer.substr(start, answer.find_first_of("\">", start) - start);
        if (id.size() > kAttachmentIdMax)
            continue;
        // The attachment's Name follows its id; an item attachment has no
        // content to fetch and adds nothing.
        std::string name;
        GetElementValue(answer.c_str() + start, "Name", name, kAttachmentNameMax * 4);
        name = std::string(qvcommon::Utf8Prefix(name, kAttachmentNameMax));
        const std::size_t element = answer.rfind("<t:", at > 0 ? at - 1 : 0);
        if (element != std::string::npos && answer.compare(element, 17, "<t:ItemAttachment") == 0)
            continue;
        added += FetchOne(session, id, name, msg, work_dir) ? 1 : 0;
    }
    return added;
}

std::string CreateAttachmentBody(const std::string &item_id, const std::string &change_key,
                                 const std::string &name, std::string_view content)
{
    return "<ParentItemId Id=\"" + qvcommon::XmlRequestEscaped(item_id) + "\" ChangeKey=\"" +
           qvcommon::XmlRequestEscaped(change_key) + "\"/>\n<Attachments>\n<t:FileAttachment>\n<t:Name>" +
           qvcommon::XmlRequestEscaped(name) + "</t:Name>\n<t:Content>" + qvcommon::Base64Encode(content) +
           "</t:Content>\n</t:FileAttachment>\n</Attachments>\n";
}

int UploadTaskAttachments(Session &session, const qv_message &msg, const std::string &work_dir,
                          const std::string &item_id, std::string change_key)
{
    int failed = 0;
    const std::string answer_path = work_dir + std::string(kCreateAnswerFile);
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i) {
        const qv_part *part = msg.parts[i];
        if (!part || part->part_type != QV_PART_ATTACHMENT)
            continue;
        bool ok = false;
        const std::string content = ReadWholeFile(qvcom::part_file_path(work_dir, msg.msg_number, i), ok);
        if (ok) {
            const std::string body = CreateAttachmentBody(item_id, change_key, part->file_name, content);
            ok = IsUsableAnswer(SoapRequest(session, "CreateAttachment", "", body, answer_path));
        }
        bool answer_ok = false;
        const std::string answer = ok ? ReadWholeFile(answer_path, answer_ok) : std::string();
        std::remove(answer_path.c_str());
        if (!ok || answer.find("ResponseClass=\"Success\"") == std::string::npos) {
            com_Log("QV Warning: unable to create attachment %s", part->file_name);
            ++failed;
            continue;
        }
        // Each attachment changes the task; the next one names its new version.
        const std::string next_key = AttributeAfter(answer, "RootItemChangeKey=\"");
        if (!next_key.empty())
            change_key = next_key;
    }
    return failed;
}

} // namespace qvamz::tasks
