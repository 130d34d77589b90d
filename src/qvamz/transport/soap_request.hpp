// The SOAP layer: wraps the inside of one EWS operation into a SOAP 1.1
// envelope, posts it, waits out the server's busy answers and says whether
// the answer is usable.  The answer stays in the caller's response file,
// one tag per line, for the scanning routines.
//
// Callers write only the operation's content.  Inside an in-memory body the
// marker "#Delegate" (placed in a DistinguishedFolderId, after the folder
// name) becomes the delegate mailbox element, or nothing without a delegate
// administrator.  Bodies of any length may stay in memory; very large ones
// (items with attachments) are better streamed from a file.
#pragma once

#include <string>
#include <string_view>

#include "transport/http_post.hpp"

namespace qvamz {

struct Session;

inline constexpr std::string_view kDelegateMarker = "#Delegate";
inline constexpr std::string_view kBusyFaultText = "The server cannot service";
inline constexpr int kBusyRoundsMax = 4;           // answers before giving up
inline constexpr std::size_t kFaultLineMax = 999;  // bytes kept of one answer line
inline constexpr std::size_t kSoapHexDumpMax = 2048;
// A body file is copied into the request in pieces of this size.
inline constexpr std::size_t kBodyFileChunk = 64 * 1024;
inline constexpr int kBackOffCeilingMs = 30 * 60 * 1000; // longest wait a server may ask for

inline constexpr std::string_view kSoapNamespace = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr std::string_view kTypesNamespace =
    "http://schemas.microsoft.com/exchange/services/2006/types";
inline constexpr std::string_view kMessagesNamespace =
    "http://schemas.microsoft.com/exchange/services/2006/messages";

// The session values the envelope header depends on.
struct EnvelopeSettings {
    bool archive = false;
    bool public_folders = false;
    bool force_version_header = false;
    int server_major_version = 0;
    std::string admin_user; // non-empty: ExchangeImpersonation of `mailbox`
    std::string mailbox;
};
EnvelopeSettings SessionEnvelopeSettings(const Session &session);

// Everything before the body: declaration, envelope, header, soap:Body and
// the operation's start tag with its namespaces.
std::string EnvelopeHead(std::string_view operation, std::string_view attributes,
                         const EnvelopeSettings &settings);
// The operation's end tag, "</soap:Body>" and "</soap:Envelope>".
std::string EnvelopeTail(std::string_view operation);

// The body with its first "#Delegate" replaced by `delegate_mailbox`.
std::string ReplaceDelegateMarker(std::string_view body, std::string_view delegate_mailbox);

// The whole text SoapRequest posts for an in-memory body (the read-ahead
// sends the same text before SoapRequest asks for it).
std::string SoapEnvelope(const Session &session, std::string_view operation,
                         std::string_view attributes, std::string_view body);

// What an answer other than HTTP 200 says.
struct FaultReport {
    bool fault_found = false; // a faultstring element was there
    std::string text;         // the fault text, else the last line of the answer
    int back_off_ms = 0;      // Exchange's BackOffMilliseconds, 0 when absent
};
// False when the response file cannot be opened.
bool ReadFaultReport(const std::string &response_path, FaultReport &report);
void ReadFaultReport(std::FILE *answer, FaultReport &report);

// The server is busy: the busy fault text, or HTTP 504.
bool IsBusyAnswer(int http_status, std::string_view text);

// Wait before busy round `round` + 1: round seconds, or longer when the
// server asked for it (capped at kBackOffCeilingMs).
int BusyDelayMs(int round, int back_off_ms);

// Posts one EWS operation.  `body_file` empty: in-memory mode with `body`;
// otherwise the file's bytes form the body and the envelope is written to
// "%ssoap.xml".  `subject` appears in the transport's retry message.
// Returns what the last post brought back; IsUsableAnswer() says whether
// the answer can be read.
PostResult SoapRequest(Session &session, std::string_view operation, std::string_view attributes,
                       std::string_view body, const std::string &response_path,
                       const std::string &body_file = {}, std::string_view subject = {});

// The same with an in-memory body, the answer left in `answer` (in memory
// while it is small, see AnswerBuffer).
PostResult SoapRequest(Session &session, std::string_view operation, std::string_view attributes,
                       std::string_view body, AnswerBuffer &answer);

// The post succeeded with HTTP 200.
bool IsUsableAnswer(const PostResult &post);

} // namespace qvamz
