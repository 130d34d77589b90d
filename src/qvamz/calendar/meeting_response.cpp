// Answers meeting requests in /D207 mode (see meeting_response.hpp).
#include "calendar/meeting_response.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "common/xml_escape.hpp"
#include "frame/session.hpp"
#include "mailwrite/response_messages.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::calendar {
namespace {

// One line of the body without its line end; false at the end of the file.
bool ReadLine(std::FILE *file, std::string &line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n')
        line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return c != EOF || !line.empty();
}

// The first text body part of the record, -1 when it has none.
int TextBodyPart(const qv_message &msg)
{
    for (int i = 0; i < msg.part_count; ++i)
        if (msg.parts[i] && msg.parts[i]->part_type == QV_PART_TEXT_BODY)
            return i;
    return -1;
}

bool WriteFile(const std::string &path, const std::string &text)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "wb");
    return file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
}

} // namespace

std::optional<std::string> FindOwnAnswer(std::FILE *body, std::string_view mailbox)
{
    if (mailbox.empty())
        return std::nullopt;
    std::string line;
    bool in_block = false;
    while (ReadLine(body, line)) {
        if (!in_block) {
            in_block = line.starts_with(kResponsesHeader);
            continue;
        }
        // The block's lines are "%s (%s)": the address ends at the blank, so
        // "ann@x.com.evil" or "ann@x.community" is not "ann@x.com".
        if (line.size() <= mailbox.size() || line[mailbox.size()] != ' ' ||
            !qvcommon::StartsWithNoCase(line, mailbox))
            continue;
        const std::size_t open = line.find('(');
        const std::size_t close = open == std::string::npos ? open : line.find(')', open + 1);
        if (close == std::string::npos)
            return std::nullopt;
        return line.substr(open + 1, std::min(close - open - 1, kAnswerWordMax));
    }
    return std::nullopt;
}

std::string_view ResponseOperation(std::string_view answer_word)
{
    if (answer_word == "Accepted")
        return "AcceptItem";
    if (answer_word == "Declined")
        return "DeclineItem";
    if (answer_word == "Tentative")
        return "TentativelyAcceptItem";
    return {};
}

std::string ResponseRequestBody(std::string_view operation, std::string_view item_id)
{
    const std::string op(operation);
    return "<Items>\n<t:" + op + ">\n<t:ReferenceItemId Id=\"" + qvcommon::XmlEscaped(item_id) +
           "\" />\n</t:" + op + ">\n</Items>\n";
}

bool SendMeetingResponse(Session &session, const qv_message &msg, const std::string &work_dir,
                         const std::string &item_id)
{
    const int part = TextBodyPart(msg);
    if (part < 0)
        return false;
    std::optional<std::string> word;
    {
        qvcommon::UniqueFile body =
            qvcommon::OpenFile(qvcom::part_file_path(work_dir, msg.msg_number, part), "rb");
        if (!body)
            return false;
        word = FindOwnAnswer(body.get(), session.state.mailbox);
    }
    if (!word)
        return false;
    const std::string_view operation = ResponseOperation(*word);
    if (operation.empty())
        return false;

    const std::string request_path = session.state.work_dir + std::string(kResponseRequestFile);
    const std::string answer_path = session.state.work_dir + std::string(kResponseAnswerFile);
    if (!WriteFile(request_path, ResponseRequestBody(operation, item_id))) {
        com_Log("QV Warning: unable to send invite response: cannot write %s", request_path.c_str());
        std::remove(request_path.c_str());
        return true;
    }
    const PostResult post = SoapRequest(session, "CreateItem", "MessageDisposition=\"SendOnly\"", "",
                                        answer_path, request_path,
                                        std::string_view(msg.title, strnlen(msg.title, sizeof msg.title)));
    if (!IsUsableAnswer(post)) {
        com_Log("QV Warning: unable to send invite response");
    } else {
        // A refusal inside a successful answer is a refusal all the same.
        const auto results = ReadResponseMessages(answer_path, "CreateItemResponseMessage");
        if (results.empty() || results.front().IsError())
            com_Log("QV Warning: unable to send invite response: %s %s",
                    results.empty() ? "no response message" : results.front().response_code.c_str(),
                    results.empty() ? "" : results.front().message_text.c_str());
    }
    std::remove(request_path.c_str());
    std::remove(answer_path.c_str());
    return true;
}

} // namespace qvamz::calendar
