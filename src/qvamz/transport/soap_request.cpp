#include "transport/soap_request.hpp"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "transport/clock.hpp"
#include "transport/http_post.hpp"
#include "transport/line_reader.hpp"
#include "common/unique_file.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {

constexpr std::string_view kBackOffName = "Name=\"BackOffMilliseconds\"";

void LogHttpWarning(const PostResult &post, std::string_view text)
{
    com_Log("QV Warning: http error=%d, faultstring=%.*s, %s", post.http_status,
            static_cast<int>(text.size()), text.data(), post.request_id.c_str());
}

// File mode: the envelope around the body file's bytes, into the request file.
bool WriteRequestFile(const std::string &request_path, const std::string &body_file,
                      const std::string &head, const std::string &tail)
{
    qvcommon::UniqueFile body = qvcommon::OpenFile(body_file, "rb");
    if (!body)
        return false;
    qvcommon::UniqueFile request = qvcommon::OpenFile(request_path, "wb");
    if (!request)
        return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), request.get()) == head.size();
    std::vector<char> chunk(kBodyFileChunk);
    std::size_t got;
    while (ok && (got = std::fread(chunk.data(), 1, chunk.size(), body.get())) > 0)
        ok = std::fwrite(chunk.data(), 1, got, request.get()) == got;
    ok = ok && std::fwrite(tail.data(), 1, tail.size(), request.get()) == tail.size();
    return std::fflush(request.get()) == 0 && ok;
}

// Posts until the answer is not a busy server's, at most kBusyRoundsMax
// answers.  `settled`: the request ended with HTTP 200 or ran out of busy
// rounds (a request file is then no longer wanted).
template <class Post>
PostResult PostThroughBusyRounds(Session &session, const AnswerBuffer &answer, Post post_once,
                                 bool &settled)
{
    settled = false;
    for (int busy_round = 0;;) {
        const PostResult post = post_once();
        if (session.settings.xcurl_debug)
            com_Log("curl debug: Save Soap XML output now: %s",
                    answer.in_file ? answer.path.c_str() : "(memory)");
        if (session.settings.curl_debug)
            com_Log("curl debug: Return from DoPost=%d, HTTP status=%d", post.ok ? 1 : 0,
                    post.http_status);

        if (post.http_status == 200) {
            settled = true;
            return post;
        }
        FaultReport report;
        const qvcommon::UniqueFile text = answer.Open();
        if (!text) {
            com_Log("%s", post.request_id.c_str());
            return post;
        }
        ReadFaultReport(text.get(), report);
        if (report.fault_found && !qvcommon::StartsWithNoCase(report.text, kBusyFaultText))
            LogHttpWarning(post, report.text);
        if (!IsBusyAnswer(post.http_status, report.text)) {
            LogHttpWarning(post, report.text);
            return post;
        }
        ++busy_round;
        if (busy_round >= kBusyRoundsMax) {
            settled = true;
            LogHttpWarning(post, report.text);
            return post;
        }
        const int delay = BusyDelayMs(busy_round, report.back_off_ms);
        if (session.settings.curl_debug)
            com_Log("curl debug: server busy (round %d of %d), waiting %d ms", busy_round,
                    kBusyRoundsMax, delay);
        clock::SleepMs(delay);
    }
}

} // namespace

EnvelopeSettings SessionEnvelopeSettings(const Session &session)
{
    EnvelopeSettings settings;
    settings.archive = session.state.archive != 0;
    settings.public_folders = session.settings.public_folders != 0;
    settings.force_version_header = session.state.force_version_header != 0;
    settings.server_major_version = session.state.server_major_version;
    settings.admin_user = session.state.admin_user;
    settings.mailbox = session.state.mailbox;
    return settings;
}

std::string EnvelopeHead(std::string_view operation, std::string_view attributes,
                         const EnvelopeSettings &s)
{
    const bool version_header = s.archive || s.public_folders || s.force_version_header;
    const bool impersonation = !s.admin_user.empty();
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    xml.append("<soap:Envelope xmlns:soap=\"").append(kSoapNamespace).append("\"\n");
    xml.append("xmlns:t=\"").append(kTypesNamespace).append("\">\n");
    if (version_header || impersonation || s.server_major_version >= 14) {
        xml += "<soap:Header>\n";
        if (version_header) {
            const char *version =
                s.server_major_version < 9 ? "Exchange2007_SP1" : "Exchange2010_SP1";
            xml.append("<t:RequestServerVersion Version=\"").append(version).append("\"/>\n");
        }
        if (impersonation) {
            xml += "<t:ExchangeImpersonation>\n"
                   "<t:ConnectingSID>\n"
                   "<t:PrimarySmtpAddress>" +
                   qvcom::xml_escape(s.mailbox) +
                   "</t:PrimarySmtpAddress>\n"
                   "</t:ConnectingSID>\n"
                   "</t:ExchangeImpersonation>\n";
        }
        xml += "</soap:Header>\n";
    }
    xml += "<soap:Body>\n";
    xml.append("<").append(operation).append(" ");
    if (!attributes.empty())
        xml.append(attributes).append(" ");
    xml.append("xmlns=\"").append(kMessagesNamespace).append("\"\n");
    xml.append("xmlns:t=\"").append(kTypesNamespace).append("\">\n");
    return xml;
}

std::string EnvelopeTail(std::string_view operation)
{
    std::string xml = "</";
    xml.append(operation).append(">\n</soap:Body>\n</soap:Envelope>\n");
    return xml;
}

std::string ReplaceDelegateMarker(std::string_view body, std::string_view delegate_mailbox)
{
    const std::size_t at = body.find(kDelegateMarker);
    if (at == std::string_view::npos)
        return std::string(body);
    std::string replaced(body.substr(0, at));
    replaced.append(delegate_mailbox).append(body.substr(at + kDelegateMarker.size()));
    return replaced;
}

std::string SoapEnvelope(const Session &session, std::string_view operation,
                         std::string_view attributes, std::string_view body)
{
    return EnvelopeHead(operation, attributes, SessionEnvelopeSettings(session)) +
           ReplaceDelegateMarker(body, session.state.delegate_mailbox) + EnvelopeTail(operation);
}

bool ReadFaultReport(const std::string &response_path, FaultReport &report)
{
    report = FaultReport{};
    qvcommon::UniqueFile file = qvcommon::OpenFile(response_path, "rb");
    if (!file)
        return false;
    ReadFaultReport(file.get(), report);
    return true;
}

void ReadFaultReport(std::FILE *file, FaultReport &report)
{
    report = FaultReport{};
    std::string line;
    while (ReadAnswerLine(file, line, kFaultLineMax)) {
        if (!report.fault_found)
            report.text = line;
        if (!report.fault_found && qvcommon::StartsWithNoCase(line, "<faultstring")) {
            ReadAnswerLine(file, line, kFaultLineMax);
            report.text = line;
            report.fault_found = true;
            if (!qvcommon::StartsWithNoCase(report.text, kBusyFaultText))
                break;
            // A busy fault may say how long to stay away: read on for it.
            continue;
        }
        if (report.fault_found && com_stristr(line.c_str(), kBackOffName.data(), 0)) {
            ReadAnswerLine(file, line, kFaultLineMax);
            const long long ms = std::strtoll(line.c_str(), nullptr, 10);
            report.back_off_ms = static_cast<int>(std::clamp<long long>(ms, 0, INT_MAX));
            break;
        }
    }
}

bool IsBusyAnswer(int http_status, std::string_view text)
{
    return qvcommon::StartsWithNoCase(text, kBusyFaultText) || http_status == 504;
}

int BusyDelayMs(int round, int back_off_ms)
{
    const int by_round = round * 1000;
    return std::max(by_round, std::min(back_off_ms, kBackOffCeilingMs));
}

bool IsUsableAnswer(const PostResult &post)
{
    return post.ok && post.http_status == 200;
}

PostResult SoapRequest(Session &session, std::string_view operation, std::string_view attributes,
                       std::string_view body, const std::string &response_path,
                       const std::string &body_file, std::string_view subject)
{
    AnswerBuffer answer;
    answer.path = response_path;
    if (body_file.empty())
        return SoapRequest(session, operation, attributes, body, answer);
    answer.in_file = true; // DoPostFile writes it there

    // The envelope is sent around the body file's bytes as they are read.
    // The request file is written only for someone to look at: with
    // "/XCURLDEBUG", and as the trail of a request that did not go through.
    qvcommon::UniqueFile body_bytes = qvcommon::OpenFile(body_file, "rb");
    if (!body_bytes)
        return PostResult{};
    const std::string request_path = session.state.work_dir + "soap.xml";
    const std::string head = EnvelopeHead(operation, attributes, SessionEnvelopeSettings(session));
    const std::string tail = EnvelopeTail(operation);
    if (session.settings.xcurl_debug && !WriteRequestFile(request_path, body_file, head, tail))
        return PostResult{};
    if (session.settings.curl_debug)
        com_Log("curl debug: Soap post data length: %ld",
                static_cast<long>(head.size() + tail.size()) +
                    static_cast<long>(com_GetFileSize(body_file.c_str(), nullptr)));
    bool settled = false;
    const PostResult post = PostThroughBusyRounds(
        session, answer,
        [&] {
            if (session.settings.xcurl_debug)
                com_Log("curl debug: save soap file: %s", request_path.c_str());
            std::rewind(body_bytes.get());
            return DoPostFile(session, head, body_bytes.get(), tail, response_path, subject);
        },
        settled);
    if (settled)
        std::remove(request_path.c_str());
    else
        WriteRequestFile(request_path, body_file, head, tail);
    return post;
}

PostResult SoapRequest(Session &session, std::string_view operation, std::string_view attributes,
                       std::string_view body, AnswerBuffer &answer)
{
    // Kept until the request ends, so that a busy repost sends the same text.
    const std::string envelope = SoapEnvelope(session, operation, attributes, body);
    if (session.settings.curl_debug)
        com_Log("curl debug: Soap post data:\n%s\n", envelope.c_str());
    bool settled = false;
    return PostThroughBusyRounds(
        session, answer,
        [&] {
            if (session.settings.xcurl_debug)
                com_HexDump("soap request", envelope.data(),
                            std::min(envelope.size(), kSoapHexDumpMax));
            return DoPost(session, envelope, answer);
        },
        settled);
}

} // namespace qvamz
