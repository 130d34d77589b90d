// Requests for one page or one item whose answer carries a response
// message.  A post can fail in two ways: the transport or the HTTP status
// says so, or the server answers HTTP 200 with ResponseClass="Error"
// inside.  Either may pass (a busy mailbox store, a time-out), so both are
// classified here and repeated up to the item attempts of "/POSTTO", with
// a pause of attempt x the retry delay unit.
#pragma once

#include <string>
#include <string_view>

#include "transport/http_post.hpp"

namespace qvamz {

struct Session;

inline constexpr std::size_t kResponseLineMax = 1999; // bytes read of one answer line

// What the first response message of an answer says.
struct ResponseStatus {
    bool found = false;          // a response message element was there
    std::string response_class;  // "Success", "Warning", "Error"
    std::string response_code;   // "NoError", "ErrorItemNotFound", ...
    std::string message_text;
    bool IsError() const { return response_class == "Error"; }
};

// Reads the ResponseClass, ResponseCode and MessageText of the first
// `element` ("GetItemResponseMessage") of an answer file, one tag or text
// per line.  Stops there: the MIME content after it is never read.
ResponseStatus FirstResponseStatus(const std::string &answer_path, std::string_view element);
ResponseStatus FirstResponseStatus(std::FILE *answer, std::string_view element);
ResponseStatus FirstResponseStatusOfText(std::string_view answer, std::string_view element);

// Error codes that say "try again later": the server's state, not the
// item, is at fault.
bool IsTransientResponseCode(std::string_view code);

enum class AnswerKind {
    kSuccess,        // HTTP 200 and no error response message
    kRetryableError, // an error answer worth repeating
    kError,          // an error answer that will not change
    kFailedPost,     // no usable answer (transport or HTTP failure)
};

struct OperationAnswer {
    AnswerKind kind = AnswerKind::kFailedPost;
    int http_status = 0;
    ResponseStatus status; // of an answer that came with HTTP 200
};

// How an answer with HTTP 200 and an Error response message is taken.
enum class ErrorRetry {
    kTransientOnly, // only IsTransientResponseCode codes are repeated
    kEveryError,    // every error is repeated (a listing page has no
                    // error that a repeat could not mend)
};

// Classifies one post and its answer file.  An answer at HTTP 200 without
// the `element` response message counts as an error worth repeating.
OperationAnswer JudgeAnswer(const PostResult &post, const std::string &answer_path,
                            std::string_view element, ErrorRetry retry);
OperationAnswer JudgeAnswer(const PostResult &post, const AnswerBuffer &answer,
                            std::string_view element, ErrorRetry retry);

// Sends the operation until it succeeds, ends with an error that a repeat
// cannot mend, or the attempts run out; `retry_line` is logged before each
// repeat.  The last answer is left in `answer_path`.
OperationAnswer RequestWithRetries(Session &session, std::string_view operation,
                                   std::string_view attributes, const std::string &body,
                                   const std::string &answer_path, std::string_view element,
                                   ErrorRetry retry, const char *retry_line);
// The same with the answer kept in `answer` (memory while it is small).
OperationAnswer RequestWithRetries(Session &session, std::string_view operation,
                                   std::string_view attributes, const std::string &body,
                                   AnswerBuffer &answer, std::string_view element,
                                   ErrorRetry retry, const char *retry_line);

} // namespace qvamz
