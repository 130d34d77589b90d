// Requests with repeats for failed posts and error answers (see
// retried_request.hpp).
#include "transport/retried_request.hpp"

#include <algorithm>
#include <array>

#include "common/unique_file.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"

namespace qvamz {
namespace {

constexpr std::array<std::string_view, 4> kTransientCodes = {
    "ErrorInternalServerTransientError", "ErrorMailboxStoreUnavailable", "ErrorTimeoutExpired",
    "ErrorServerBusy"};

// The local name of a start tag line ("<m:Name ...>" -> "Name"), "" for
// end tags and text.
std::string_view StartTagName(std::string_view line)
{
    if (line.size() < 2 || line[0] != '<' || line[1] == '/' || line[1] == '?')
        return {};
    std::string_view name = line.substr(1, line.find_first_of(" />\t") - 1);
    const std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string AttributeOf(std::string_view line, std::string_view name)
{
    const std::string key = " " + std::string(name) + "=\"";
    std::size_t at = line.find(key);
    if (at == std::string_view::npos)
        return {};
    at += key.size();
    const std::size_t end = line.find('"', at);
    return std::string(line.substr(at, end == std::string_view::npos ? end : end - at));
}

} // namespace

ResponseStatus FirstResponseStatus(const std::string &answer_path, std::string_view element)
{
    qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
    return answer ? FirstResponseStatus(answer.get(), element) : ResponseStatus{};
}

// The status lines of an answer, read through `next_line` (a line as
// ReadAnswerLine gives it; false at the end).
template <class NextLine>
ResponseStatus ScanResponseStatus(NextLine next_line, std::string_view element)
{
    ResponseStatus status;
    std::string line;
    std::string *value_for = nullptr; // the field the next text line fills
    while (next_line(line)) {
        if (value_for) {
            if (!line.empty() && line[0] != '<')
                *value_for = line;
            value_for = nullptr;
            if (!status.response_code.empty())
                break; // the code comes after the text: nothing more to learn
            continue;
        }
        const std::string_view name = StartTagName(line);
        if (!status.found && name == element) {
            status.found = true;
            status.response_class = AttributeOf(line, "ResponseClass");
        } else if (status.found && name == "MessageText") {
            value_for = &status.message_text;
        } else if (status.found && name == "ResponseCode") {
            value_for = &status.response_code;
        } else if (status.found && !name.empty() && name != "DescriptiveLinkKey" &&
                   name != "MessageXml") {
            break; // the message's content begins: its status is complete
        }
    }
    return status;
}

ResponseStatus FirstResponseStatus(std::FILE *answer, std::string_view element)
{
    return ScanResponseStatus(
        [answer](std::string &line) { return ReadAnswerLine(answer, line, kResponseLineMax); },
        element);
}

// The same over an answer in memory, without a stream.
ResponseStatus FirstResponseStatusOfText(std::string_view answer, std::string_view element)
{
    return ScanResponseStatus(
        [&answer](std::string &line) {
            if (answer.empty())
                return false;
            const std::size_t end = answer.find('\n');
            line.assign(answer.substr(0, std::min(end, kResponseLineMax)));
            answer.remove_prefix(end == std::string_view::npos ? answer.size() : end + 1);
            while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
                line.pop_back();
            return true;
        },
        element);
}

bool IsTransientResponseCode(std::string_view code)
{
    for (std::string_view transient : kTransientCodes)
        if (code == transient)
            return true;
    return false;
}

OperationAnswer JudgeAnswer(const PostResult &post, const std::string &answer_path,
                            std::string_view element, ErrorRetry retry)
{
    AnswerBuffer text;
    text.path = answer_path;
    text.in_file = true;
    return JudgeAnswer(post, text, element, retry);
}

OperationAnswer JudgeAnswer(const PostResult &post, const AnswerBuffer &text,
                            std::string_view element, ErrorRetry retry)
{
    OperationAnswer answer;
    answer.http_status = post.http_status;
    if (!IsUsableAnswer(post))
        return answer;
    if (!text.in_file)
        answer.status = FirstResponseStatusOfText(text.text, element);
    else if (const qvcommon::UniqueFile lines = text.Open())
        answer.status = FirstResponseStatus(lines.get(), element);
    if (!answer.status.found) {
        // HTTP 200 without the operation's answer (a proxy's page, a cut
        // answer): nothing in it can be taken for a result.
        answer.status.response_code = "(no response message)";
        answer.kind = AnswerKind::kRetryableError;
    } else if (!answer.status.IsError()) {
        answer.kind = AnswerKind::kSuccess;
    } else if (retry == ErrorRetry::kEveryError ||
               IsTransientResponseCode(answer.status.response_code)) {
        answer.kind = AnswerKind::kRetryableError;
    } else {
        answer.kind = AnswerKind::kError;
    }
    return answer;
}

OperationAnswer RequestWithRetries(Session &session, std::string_view operation,
                                   std::string_view attributes, const std::string &body,
                                   const std::string &answer_path, std::string_view element,
                                   ErrorRetry retry, const char *retry_line)
{
    AnswerBuffer text;
    text.path = answer_path;
    return RequestWithRetries(session, operation, attributes, body, text, element, retry,
                              retry_line);
}

OperationAnswer RequestWithRetries(Session &session, std::string_view operation,
                                   std::string_view attributes, const std::string &body,
                                   AnswerBuffer &text, std::string_view element,
                                   ErrorRetry retry, const char *retry_line)
{
    for (int attempt = 1;; ++attempt) {
        const PostResult post = SoapRequest(session, operation, attributes, body, text);
        OperationAnswer answer = JudgeAnswer(post, text, element, retry);
        const bool repeatable =
            answer.kind == AnswerKind::kFailedPost || answer.kind == AnswerKind::kRetryableError;
        if (!repeatable || attempt >= session.settings.item_attempts)
            return answer;
        com_Log("%s", retry_line);
        clock::SleepMs(attempt * session.settings.retry_delay_unit * 1000);
    }
}

} // namespace qvamz
