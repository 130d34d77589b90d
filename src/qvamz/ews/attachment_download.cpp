// Attachment download (see attachment_download.hpp).
#include "ews/attachment_download.hpp"

#include <cstdio>

#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/soap_request.hpp"

namespace qvamz {
namespace {

constexpr std::string_view kFileAttachmentOpen = "<t:FileAttachment>";
constexpr std::string_view kFileAttachmentClose = "</t:FileAttachment>";
constexpr std::string_view kAttachmentIdMarker = "<t:AttachmentId Id=";
constexpr std::string_view kGetAttachmentTemplate = "<AttachmentShape/>\n"
                                                    "<AttachmentIds>\n"
                                                    "<t:AttachmentId Id=\"{id}\"/>\n"
                                                    "</AttachmentIds>\n";

// The id after "<t:AttachmentId Id=" and its quote, up to the next quote
// or ">"; "" when the element is missing.
std::string AttachmentIdIn(std::string_view element)
{
    const std::size_t at = element.find(kAttachmentIdMarker);
    if (at == std::string_view::npos)
        return {};
    std::string_view rest = element.substr(at + kAttachmentIdMarker.size());
    if (!rest.empty() && (rest.front() == '"' || rest.front() == '\''))
        rest.remove_prefix(1);
    const std::size_t end = rest.find_first_of("\"'>");
    return qvcom::xml_unescape(qvcommon::Utf8Prefix(rest.substr(0, end), kAttachmentIdMax));
}

void RemoveQuietly(const std::string &path) { std::remove(path.c_str()); }

// Fetches one attachment into the part file of the record's next part.
// True when a part was added.
bool FetchIntoPart(Session &session, const AttachmentRef &attachment, qv_message &msg,
                   const std::string &work_dir)
{
    const std::string answer_path = work_dir + std::string(kAttachmentAnswerFile);
    const std::string part_path = qvcom::part_file_path(work_dir, msg.msg_number, msg.part_count);
    const PostResult post =
        SoapRequest(session, "GetAttachment", "", GetAttachmentBody(attachment.id), answer_path);
    const bool decoded = IsUsableAnswer(post) &&
                         ExtractBase64Element(answer_path, part_path, "Content>", nullptr) == 1;
    RemoveQuietly(answer_path);
    const std::int64_t size = decoded ? com_GetFileSize(part_path.c_str(), nullptr) : 0;
    if (size <= 0) {
        if (!decoded)
            com_Log("QV Warning: unable to download attachment %s", attachment.name.c_str());
        RemoveQuietly(part_path);
        return false;
    }
    qv_part *part = com_AllocPart(&msg);
    if (!part) {
        com_Log("QV Warning: attachment %s dropped: the record holds no more parts",
                attachment.name.c_str());
        RemoveQuietly(part_path);
        return false;
    }
    part->part_type = QV_PART_ATTACHMENT;
    qvcommon::CopyToField(part->file_name, attachment.name, kAttachmentNameMax);
    part->size = static_cast<std::uint32_t>(size);
    ++msg.part_count;
    return true;
}

} // namespace

std::vector<AttachmentRef> FileAttachmentsOf(std::string_view item_text)
{
    std::vector<AttachmentRef> found;
    std::size_t from = 0;
    for (std::size_t at = item_text.find(kFileAttachmentOpen); at != std::string_view::npos;
         at = item_text.find(kFileAttachmentOpen, from)) {
        const std::size_t end = item_text.find(kFileAttachmentClose, at);
        const std::string_view element = item_text.substr(at, end == std::string_view::npos
                                                                  ? std::string_view::npos
                                                                  : end - at);
        from = at + element.size();
        AttachmentRef ref;
        ref.id = AttachmentIdIn(element);
        if (ref.id.empty())
            continue;
        // The name is looked for inside this attachment only, so that a
        // nameless attachment does not take the next one's name.
        const std::string inside(element);
        GetElementValue(inside.c_str(), "Name", ref.name, kAttachmentNameMax);
        found.push_back(std::move(ref));
    }
    return found;
}

std::string GetAttachmentBody(std::string_view attachment_id)
{
    std::string body(kGetAttachmentTemplate);
    body.replace(body.find("{id}"), 4, qvcommon::XmlRequestEscaped(attachment_id));
    return body;
}

int DownloadAttachments(Session &session, std::string_view item_text, qv_message &msg,
                        const std::string &work_dir)
{
    const std::vector<AttachmentRef> attachments = FileAttachmentsOf(item_text);
    for (const AttachmentRef &attachment : attachments)
        FetchIntoPart(session, attachment, msg, work_dir);
    return static_cast<int>(attachments.size());
}

} // namespace qvamz
