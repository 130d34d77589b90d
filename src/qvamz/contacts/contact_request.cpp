// Shared pieces of the contact writers (see contact_request.hpp).
#include "contacts/contact_request.hpp"

#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "transport/soap_request.hpp"

namespace qvamz::contacts {
namespace {

std::string DebugCopyPath(const Session &session, std::string_view stem, int number)
{
    return session.state.base_dir + "debug/" + session.state.debug_folder + "/" +
           std::string(stem) + std::to_string(number) + ".xml";
}

} // namespace

PostResult SendCreateItem(Session &session, std::string_view attributes,
                          const std::string &request_path, const std::string &answer_path,
                          std::string_view subject)
{
    return SoapRequest(session, "CreateItem", attributes, "", answer_path, request_path, subject);
}

bool IsCreated(const PostResult &post, const std::string &answer_path)
{
    if (!IsUsableAnswer(post))
        return false;
    for (const ResponseMessage &message :
         ReadResponseMessages(answer_path, "CreateItemResponseMessage")) {
        if (message.IsError()) {
            com_Log("QV Warning: the server refused the item: %s %s",
                    message.response_code.c_str(), message.message_text.c_str());
            return false;
        }
    }
    return true;
}

ParentItem CreatedItemOf(const std::string &answer_path)
{
    ParentItem item;
    qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
    if (answer)
        ExtractItemId(answer.get(), item.id, item.change_key);
    return item;
}

int CopyRequestForDebug(Session &session, const std::string &request_path)
{
    if (!session.settings.con_debug)
        return -1;
    const int number = session.state.contact_debug_copies++;
    const std::string copy = DebugCopyPath(session, "cont-in", number);
    if (com_fcopy(request_path.c_str(), copy.c_str()))
        com_Log("debug: copied contact xml to %s", copy.c_str());
    return number;
}

void CopyAnswerForDebug(const Session &session, const std::string &answer_path, int number)
{
    if (!session.settings.con_debug || number < 0)
        return;
    const std::string copy = DebugCopyPath(session, "cont-out", number);
    if (com_fcopy(answer_path.c_str(), copy.c_str()))
        com_Log("debug: copied output file to %s", copy.c_str());
}

} // namespace qvamz::contacts
