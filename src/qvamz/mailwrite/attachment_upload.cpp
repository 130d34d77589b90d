// Attachment upload (see attachment_upload.hpp).
#include "mailwrite/attachment_upload.hpp"

#include <array>
#include <cstdio>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "frame/session.hpp"
#include "mailwrite/base64_writer.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"

namespace qvamz {
namespace {

constexpr int kFirstVersionWithIsInline = 14;
constexpr std::size_t kAnswerLineMax = 4096;
constexpr std::string_view kRootChangeKeyMarker = "RootItemChangeKey=\"";

void Put(std::FILE *out, std::string_view text) { std::fwrite(text.data(), 1, text.size(), out); }

void PutElement(std::FILE *out, std::string_view name, std::string_view escaped_value)
{
    Put(out, "<t:");
    Put(out, name);
    Put(out, ">");
    Put(out, escaped_value);
    Put(out, "</t:");
    Put(out, name);
    Put(out, ">\n");
}

} // namespace

std::string InlineContentType(std::string_view name)
{
    struct Rule {
        std::string_view extension, type;
    };
    static constexpr std::array<Rule, 5> kRules = {{{".jpg", "image/jpeg"},
                                                     {".jpeg", "image/jpeg"},
                                                     {".gif", "image/gif"},
                                                     {".png", "image/png"},
                                                     {".bmp", "image/bmp"}}};
    std::string type;
    for (const Rule &rule : kRules)
        if (qvcommon::ContainsNoCase(name, rule.extension))
            type = rule.type;
    return type;
}

bool WriteCreateAttachmentBody(std::FILE *request, const std::string &part_path,
                               std::string_view name, std::string_view content_id,
                               const ParentItem &parent, int server_major_version)
{
    qvcommon::UniqueFile part = qvcommon::OpenFile(part_path, "rb");
    if (!part)
        return false;
    Put(request, "<ParentItemId Id=\"" + qvcommon::XmlRequestEscaped(parent.id) +
                     "\" ChangeKey=\"" + qvcommon::XmlRequestEscaped(parent.change_key) +
                     "\"/>\n");
    Put(request, "<Attachments>\n<t:FileAttachment>\n");
    PutElement(request, "Name", qvcommon::XmlRequestEscaped(name));
    if (!content_id.empty()) {
        const std::string type = InlineContentType(name);
        if (!type.empty())
            PutElement(request, "ContentType", type);
        PutElement(request, "ContentId", qvcommon::XmlRequestEscaped(content_id));
        if (server_major_version >= kFirstVersionWithIsInline)
            PutElement(request, "IsInline", "true");
    }
    Put(request, "<t:Content>");
    const bool content_ok = WriteStreamBase64(request, part.get(), Base64Lines::kUnbroken);
    Put(request, "</t:Content>\n</t:FileAttachment>\n</Attachments>\n");
    return content_ok;
}

std::string RootItemChangeKeyOf(const std::string &answer_path)
{
    qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
    std::string line;
    while (answer && ReadAnswerLine(answer.get(), line, kAnswerLineMax)) {
        const std::size_t at = line.find(kRootChangeKeyMarker);
        if (at == std::string::npos)
            continue;
        const std::size_t start = at + kRootChangeKeyMarker.size();
        const std::size_t end = line.find('"', start);
        if (end != std::string::npos)
            return qvcom::xml_unescape(std::string_view(line).substr(start, end - start));
    }
    return {};
}

int CreateAttachment(Session &session, const std::string &work_dir, const std::string &part_path,
                     std::string_view name, std::string_view content_id, ParentItem &parent)
{
    const std::string request_path = work_dir + std::string(kAttachmentRequestFile);
    const std::string answer_path = work_dir + std::string(kAttachmentAnswerFileName);
    const std::string shown_name(name);
    {
        qvcommon::UniqueFile request = qvcommon::OpenFile(request_path, "wb");
        if (!request)
            return 0;
        const bool written =
            WriteCreateAttachmentBody(request.get(), part_path, name, content_id, parent,
                                      session.state.server_major_version) &&
            std::fflush(request.get()) == 0 && !std::ferror(request.get());
        if (!written) {
            request.reset();
            std::remove(request_path.c_str());
            com_Log("QV Warning: unable to create attachment %s: cannot read %s",
                    shown_name.c_str(), part_path.c_str());
            return 0;
        }
    }
    const PostResult post =
        SoapRequest(session, "CreateAttachment", "", "", answer_path, request_path, shown_name);
    bool created = IsUsableAnswer(post);
    if (created)
        for (const ResponseMessage &message :
             ReadResponseMessages(answer_path, "CreateAttachmentResponseMessage"))
            created = created && !message.IsError();
    if (!created) {
        com_Log("QV Warning: unable to create attachment %s", shown_name.c_str());
        return 0;
    }
    if (std::string key = RootItemChangeKeyOf(answer_path); !key.empty())
        parent.change_key = std::move(key);
    std::remove(request_path.c_str());
    std::remove(answer_path.c_str());
    return 1;
}

int UploadAttachments(Session &session, const qv_message &msg, const std::string &work_dir,
                      ParentItem &parent)
{
    int failed = 0;
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i) {
        const qv_part *part = msg.parts[i];
        if (!part || part->part_type != QV_PART_ATTACHMENT)
            continue;
        const std::string path = qvcom::part_file_path(work_dir, msg.msg_number, i);
        if (!CreateAttachment(session, work_dir, path, part->file_name, part->content_id, parent))
            ++failed;
    }
    return failed;
}

} // namespace qvamz
