#include "transport/http_post.hpp"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "frame/proxy.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/curl_options.hpp"
#include "transport/request_pipeline.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {

struct PostBody {
    std::string_view text; // DoPost: the request itself
    bool streamed = false; // DoPostFile: through ReadCallback
    curl_off_t size = 0;
};

// Per-post options, set again before every attempt: options accumulate on
// the handle, and a post must not inherit the body of the previous one.
void ApplyPostOptions(Session &session, CURL *handle, TransferFiles &files, const PostBody &body)
{
    curl_easy_setopt(handle, CURLOPT_URL, session.state.ews_url.c_str());
    ApplyTransferOptions(handle, &files, session.state.http_auth, session.settings);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, body.size);
    if (body.streamed) {
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, ReadCallback);
        curl_easy_setopt(handle, CURLOPT_READDATA, &files);
    } else {
        curl_easy_setopt(handle, CURLOPT_READFUNCTION, nullptr);
        curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.text.data());
    }
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, session.state.transport.headers.get());
    ApplyTlsOptions(handle, session.settings, session.state.transport);
    const std::string credentials = EwsCredentialsText(session.state);
    curl_easy_setopt(handle, CURLOPT_USERPWD, credentials.empty() ? nullptr : credentials.c_str());
    ApplyProxyOptions(handle, session.settings.proxy);
}

// The callbacks' view of one attempt; the status and request id of an
// earlier attempt do not count for this one.
void ResetTransfer(Session &session, TransferFiles &files, PostResult &result)
{
    result = PostResult{};
    files.result = &result;
    files.keepalive = &session.state.transport.keepalive;
    files.curl_debug = session.settings.curl_debug != 0;
    files.answer_limit = MaxAnswerBytes(session.settings);
}

// Says why a post failed for good (a refused connection or a certificate
// that does not verify otherwise shows only as "no answer").
void LogPostFailure(const Session &session, const PostResult &result)
{
    if (!result.ok)
        com_Log("QV Warning: post to %s failed: %s", session.state.ews_url.c_str(),
                result.curl_error.c_str());
}

// One attempt on the session handle.
CURLcode PerformTransfer(Session &session, TransferFiles &files, const PostBody &body,
                         PostResult &result)
{
    ResetTransfer(session, files, result);
    CURL *handle = session.state.transport.handle.get();
    ApplyPostOptions(session, handle, files, body);
    Keepalive &keepalive = session.state.transport.keepalive;
    BeginTransfer(keepalive);
    const CURLcode code = curl_easy_perform(handle);
    EndTransfer(keepalive);
    ConcludeTransfer(session, files, code, result);
    return code;
}

// `text` as the whole of the file at `path`; false when it could not be
// written whole (a short answer must not pass for the whole one).
bool WriteAnswerFile(const std::string &path, std::string_view text)
{
    qvcommon::UniqueFile file = qvcommon::OpenFile(path, "wb");
    return file && std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
           std::fflush(file.get()) == 0;
}

// The answer of a request sent ahead, as the first attempt of a post; no
// value when nothing was sent ahead with exactly this text.
std::optional<PostResult> ClaimSentAhead(Session &session, std::string_view request,
                                         AnswerBuffer &answer, bool &too_large)
{
    RequestPipeline *ahead = session.state.transport.read_ahead;
    if (!ahead)
        return std::nullopt;
    std::optional<FinishedPost> sent = ahead->Claim(request);
    if (!sent)
        return std::nullopt;
    answer.Clear();
    if (sent->answer.size() <= answer.memory_max && answer.memory_max > 0) {
        answer.text = std::move(sent->answer);
    } else {
        answer.in_file = true;
        if (!WriteAnswerFile(answer.path, sent->answer))
            return PostResult{};
    }
    too_large = sent->answer_too_large;
    return sent->result;
}

// The answer's destination for one attempt: memory, or the file at once
// when every answer goes there.  False when that file cannot be made.
bool StartAnswer(AnswerBuffer &answer, TransferFiles &files)
{
    answer.Clear();
    files.answer = &answer;
    if (answer.memory_max > 0)
        return true;
    files.spill = qvcommon::OpenFile(answer.path, "wb");
    files.response = files.spill.get();
    answer.in_file = true;
    return files.response != nullptr;
}

// Moves an answer that outgrew memory into its file; false when the file
// cannot take it.
bool SpillAnswer(TransferFiles &files)
{
    AnswerBuffer &answer = *files.answer;
    files.spill = qvcommon::OpenFile(answer.path, "wb");
    if (!files.spill ||
        std::fwrite(answer.text.data(), 1, answer.text.size(), files.spill.get()) !=
            answer.text.size())
        return false;
    files.response = files.spill.get();
    answer.in_file = true;
    answer.text = std::string();
    return true;
}

long FileSize(std::FILE *file)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return 0;
    const long size = std::ftell(file);
    std::rewind(file);
    return size < 0 ? 0 : size;
}

// One header line with its secret hidden (see MaskSecrets).
std::string MaskHeaderLine(std::string_view line)
{
    constexpr std::string_view kHidden = "****";
    for (std::string_view name : {"Cookie:", "Set-Cookie:"}) {
        if (qvcommon::StartsWithNoCase(line, name))
            return std::string(line.substr(0, name.size())) + " " + std::string(kHidden);
    }
    for (std::string_view name : {"Authorization:", "Proxy-Authorization:"}) {
        if (!qvcommon::StartsWithNoCase(line, name))
            continue;
        std::string_view value = line.substr(name.size());
        const std::size_t scheme_start = value.find_first_not_of(' ');
        if (scheme_start == std::string_view::npos)
            return std::string(line); // empty value: nothing to hide
        const std::size_t scheme_end = value.find(' ', scheme_start);
        const std::string_view scheme = value.substr(scheme_start, scheme_end - scheme_start);
        if (scheme == "AWS4-HMAC-SHA256") {
            const std::size_t signature = line.find("Signature=");
            if (signature == std::string_view::npos)
                return std::string(line);
            return std::string(line.substr(0, signature + 10)) + std::string(kHidden);
        }
        return std::string(line.substr(0, name.size())) + " " + std::string(scheme) + " " +
               std::string(kHidden);
    }
    return std::string(line);
}

} // namespace

// ---- session handle ---------------------------------------------------------

bool OpenSessionTransport(TransportState &transport)
{
    CloseSessionTransport(transport);
    if (!transport.global.init())
        return false;
    // Connections, cookies, TLS sessions and name lookups are shared with
    // the read-ahead handles; all of them run on the caller's thread, so
    // the share needs no locks.
    transport.share.reset(curl_share_init());
    if (!transport.share)
        return false;
    for (curl_lock_data data : {CURL_LOCK_DATA_COOKIE, CURL_LOCK_DATA_DNS,
                                CURL_LOCK_DATA_SSL_SESSION, CURL_LOCK_DATA_CONNECT})
        curl_share_setopt(transport.share.get(), CURLSHOPT_SHARE, data);
    transport.handle.reset(curl_easy_init());
    if (!transport.handle)
        return false;
    // Before the first answer, so that the session cookie lands in the share.
    curl_easy_setopt(transport.handle.get(), CURLOPT_SHARE, transport.share.get());
    return true;
}

void CloseSessionTransport(TransportState &transport)
{
    transport.trust_store.reset(); // a new logon reads the bundles again
    transport.headers.reset();
    transport.handle.reset();
    transport.share.reset();
    transport.global.reset();
}

bool AppendStandardHeaders(HeaderList &list, bool send_expect)
{
    bool ok = list.append("Content-Type: text/xml; charset=utf-8");
    if (send_expect)
        ok = list.append("Expect:") && ok;
    return list.append("X-PreferServerAffinity: true") && ok;
}

void SetupSessionHandle(Session &session)
{
    CURL *handle = session.state.transport.handle.get();
    if (!handle)
        return;
    ApplyTransferOptions(handle, nullptr, session.state.http_auth, session.settings);
    // Cookie engine on, nothing read: after logon the session cookie the
    // server sets is what authenticates the following requests.
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
    ApplyTlsOptions(handle, session.settings, session.state.transport);
}

void SetupSharingHandle(Session &session, CURL *handle)
{
    curl_easy_setopt(handle, CURLOPT_SHARE, session.state.transport.share.get());
    curl_easy_setopt(handle, CURLOPT_COOKIEFILE, "");
}

void PrepareMemoryPost(Session &session, CURL *handle, TransferFiles &files, PostResult &result,
                       std::string_view body)
{
    ResetTransfer(session, files, result);
    ApplyPostOptions(session, handle, files,
                     PostBody{body, false, static_cast<curl_off_t>(body.size())});
}

void ConcludeTransfer(const Session &session, TransferFiles &files, CURLcode code,
                      PostResult &result)
{
    result.ok = code == CURLE_OK;
    if (!result.ok)
        result.curl_error = curl_easy_strerror(code);
    if (code == CURLE_FILESIZE_EXCEEDED)
        files.answer_too_large = true;
    if (files.answer_too_large)
        com_Log("QV Error: the answer of %s is larger than %d MB (/MAXANSWER): transfer ended",
                session.state.ews_url.c_str(), session.settings.max_answer_mb);
    files.result = nullptr;
}

// ---- posts -------------------------------------------------------------------

PostResult DoPost(Session &session, std::string_view request, const std::string &response_path)
{
    AnswerBuffer answer;
    answer.path = response_path;
    return DoPost(session, request, answer);
}

PostResult DoPost(Session &session, std::string_view request, AnswerBuffer &answer)
{
    if (session.settings.curl_debug)
        com_Log("curl debug: at DoPost, size=%ld", static_cast<long>(request.size()));
    PostResult result;
    if (!session.state.transport.handle)
        return result;
    const PostBody body{request, false, static_cast<curl_off_t>(request.size())};
    int attempt = 1;
    bool too_large = false;
    if (std::optional<PostResult> ahead =
            ClaimSentAhead(session, request, answer, too_large)) {
        result = *ahead;
        if (result.ok || too_large) {
            LogPostFailure(session, result);
            return result;
        }
        ++attempt;
    }
    for (; attempt <= kPostAttempts; ++attempt) {
        // Nothing of an earlier attempt stays: a broken answer must not
        // stay in front of the next one.
        TransferFiles files;
        if (!StartAnswer(answer, files))
            return PostResult{};
        PerformTransfer(session, files, body, result);
        if (files.spill && std::fflush(files.spill.get()) != 0)
            result.ok = false; // the answer's file does not hold all of it
        // The same request would bring the same oversized answer again.
        if (result.ok || files.answer_too_large)
            break;
    }
    LogPostFailure(session, result);
    return result;
}

PostResult DoPostFile(Session &session, const std::string &request_path,
                      const std::string &response_path, std::string_view subject)
{
    qvcommon::UniqueFile request = qvcommon::OpenFile(request_path, "rb");
    if (!request)
        return PostResult{};
    return DoPostFile(session, {}, request.get(), {}, response_path, subject);
}

PostResult DoPostFile(Session &session, std::string_view head, std::FILE *body,
                      std::string_view tail, const std::string &response_path,
                      std::string_view subject)
{
    PostResult result;
    const long file_size = FileSize(body);
    if (file_size < 0)
        return result;
    const auto size = static_cast<curl_off_t>(head.size() + static_cast<std::size_t>(file_size) +
                                              tail.size());
    if (session.settings.curl_debug)
        com_Log("curl debug: at DoPostFile, file size=%ld", static_cast<long>(size));
    if (!session.state.transport.handle)
        return result;
    for (int attempt = 1; attempt <= kPostAttempts; ++attempt) {
        qvcommon::UniqueFile response = qvcommon::OpenFile(response_path, "wb");
        if (!response)
            return PostResult{};
        StreamedBody streamed{head, body, static_cast<std::size_t>(file_size), tail};
        TransferFiles files;
        files.request = &streamed;
        files.response = response.get();
        const CURLcode code = PerformTransfer(session, files, PostBody{{}, true, size}, result);
        if (result.ok || code == kReceiveError || files.answer_too_large ||
            attempt == kPostAttempts)
            break;
        if (std::fseek(body, 0, SEEK_SET) != 0)
            return PostResult{};
        com_Log("QV Info: retrying Post (error=%d, subject=%.*s)", static_cast<int>(code),
                static_cast<int>(subject.size()), subject.data());
    }
    LogPostFailure(session, result);
    return result;
}

qvcommon::UniqueFile AnswerBuffer::Open() const
{
    if (in_file)
        return qvcommon::OpenFile(path, "rb");
    return qvcommon::UniqueFile(fmemopen(const_cast<char *>(text.data()), text.size(), "rb"));
}

// ---- callbacks -----------------------------------------------------------------

std::size_t WriteCallback(char *data, std::size_t size, std::size_t count, void *transfer)
{
    const std::size_t n = size * count;
    auto *files = static_cast<TransferFiles *>(transfer);
    if (!files || (!files->response && !files->response_text && !files->answer))
        return n;
    if (files->keepalive)
        KeepaliveTick(*files->keepalive);
    files->answer_bytes += static_cast<std::int64_t>(n);
    if (files->answer_limit >= 0 && files->answer_bytes > files->answer_limit) {
        files->answer_too_large = true;
        return 0; // ends the transfer before the disk fills
    }
    if (files->response_text) {
        files->formatter.Feed(std::string_view(data, n), *files->response_text);
        return n;
    }
    if (files->answer && !files->response) {
        std::string &text = files->answer->text;
        files->formatter.Feed(std::string_view(data, n), text);
        return text.size() <= files->answer->memory_max || SpillAnswer(*files) ? n : 0;
    }
    std::string formatted;
    files->formatter.Feed(std::string_view(data, n), formatted);
    // A short write (disk full) fails the transfer instead of leaving a
    // truncated answer that would pass for a complete one.
    if (std::fwrite(formatted.data(), 1, formatted.size(), files->response) != formatted.size())
        return 0;
    return n;
}

std::size_t ReadCallback(char *buffer, std::size_t size, std::size_t count, void *transfer)
{
    if (size * count == 0)
        return 0;
    auto *files = static_cast<TransferFiles *>(transfer);
    if (!files || !files->request)
        return 0;
    StreamedBody &body = *files->request;
    const std::size_t room = size * count;
    std::size_t given = 0;
    const auto take = [&](std::string_view piece, std::size_t &sent) {
        const std::size_t n = std::min(room - given, piece.size() - sent);
        if (n == 0)
            return; // an empty piece may have no data pointer at all
        std::memcpy(buffer + given, piece.data() + sent, n);
        sent += n;
        given += n;
    };
    take(body.head, body.head_sent);
    if (given < room && body.file_left > 0) {
        const std::size_t wanted = std::min(room - given, body.file_left);
        const std::size_t got = std::fread(buffer + given, 1, wanted, body.file);
        if (got < wanted)
            return CURL_READFUNC_ABORT; // shortened or unreadable since it was measured
        given += got;
        body.file_left -= got;
    }
    if (body.file_left == 0)
        take(body.tail, body.tail_sent);
    if (files->keepalive)
        KeepaliveTick(*files->keepalive);
    return given;
}

std::size_t HeaderCallback(char *, std::size_t size, std::size_t count, void *)
{
    return size * count;
}

int DebugCallback(CURL *, curl_infotype kind, char *data, std::size_t length, void *transfer)
{
    auto *files = static_cast<TransferFiles *>(transfer);
    const bool curl_debug = files && files->curl_debug;
    if (kind != CURLINFO_TEXT && kind != CURLINFO_HEADER_IN && kind != CURLINFO_HEADER_OUT) {
        if (curl_debug)
            com_Log("curl debug: infotype=%d: size=%d", static_cast<int>(kind),
                    static_cast<int>(length));
        return 0;
    }
    std::string line(data, std::min(length, kDebugLineMax));
    if (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (curl_debug)
        com_Log("curl debug: infotype=%d: %s", static_cast<int>(kind), MaskSecrets(line).c_str());
    PostResult *result = files ? files->result : nullptr;
    if (!result)
        return 0;
    if (const char *id = com_stristr(line.c_str(), "X-amzn-request-id:", 0)) {
        const std::string_view rest(id);
        result->request_id.assign(rest.substr(0, rest.find_first_of("\r\n")));
    }
    if (kind == CURLINFO_HEADER_IN && line.starts_with("HTTP/")) {
        const std::size_t blank = line.find(' ');
        if (blank != std::string::npos)
            result->http_status = std::atoi(line.c_str() + blank + 1);
    }
    return 0;
}

void KeepaliveTick(Keepalive &keepalive)
{
    const std::int64_t now = clock::Now();
    if (now <= keepalive.due)
        return;
    keepalive.due = now + kKeepaliveIntervalSeconds;
    if (keepalive.transfer_running && keepalive.callback) {
        char text[] = "keepalive";
        int scratch1 = 0, scratch2 = 0, scratch3 = 0;
        keepalive.callback(nullptr, text, 0, &scratch1, &scratch2, &scratch3);
    }
}

void BeginTransfer(Keepalive &keepalive)
{
    keepalive.due = clock::Now() + kKeepaliveIntervalSeconds;
    keepalive.transfer_running = true;
}

void EndTransfer(Keepalive &keepalive) { keepalive.transfer_running = false; }

std::string MaskSecrets(std::string_view text)
{
    std::string masked;
    masked.reserve(text.size());
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        const bool has_cr = !line.empty() && line.back() == '\r';
        if (has_cr)
            line.remove_suffix(1);
        masked += MaskHeaderLine(line);
        if (has_cr)
            masked += '\r';
        if (end == std::string_view::npos)
            break;
        masked += '\n';
        text.remove_prefix(end + 1);
    }
    return masked;
}

} // namespace qvamz
