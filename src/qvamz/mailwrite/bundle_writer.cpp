// The message bundle writer (see bundle_writer.hpp).
#include "mailwrite/bundle_writer.hpp"
#include "common/unique_file.hpp"

#include <array>
#include <filesystem>
#include <memory>

#include "calendar/calendar_writer.hpp"
#include "contacts/contact_write.hpp"
#include "frame/session.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/mime_builder.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite/response_messages.hpp"
#include "mailwrite/spill_buffer.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "tasks/task_writer.hpp"
#include "transport/clock.hpp"
#include "frame/token.hpp"
#include "transport/soap_request.hpp"

namespace qvamz {

namespace {

constexpr std::string_view kBundleHead = "<SavedItemFolderId>\n"
                                         "<t:FolderId Id=\"%s\"/>\n"
                                         "</SavedItemFolderId>\n"
                                         "<Items>\n";
constexpr std::string_view kBundleTail = "</Items>\n";
constexpr char kCreateItemAttributes[] = "MessageDisposition=\"SaveOnly\"";

using File = qvcommon::UniqueFile;

std::string BundlePath(const std::string &work_dir) { return work_dir + kBundleFileName; }

void RemoveFile(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

int MaxPerBundle(const Session &session)
{
    return session.settings.bundle_size < 1 ? 1 : session.settings.bundle_size;
}

// The bundle file is written in many small pieces for each message: a
// stdio buffer of about a message's size instead of the default 4 KiB
// saves most of the write calls.
constexpr std::size_t kBundleBufferBytes = 64 * 1024;

struct BundleFile {
    std::unique_ptr<char[]> buffer;
    File file; // declared after the buffer: closed, and flushed, before it goes
};

// Opens the bundle file: a new one with its opening lines, or the open
// bundle for appending.
BundleFile OpenBundle(const Session &session, const std::string &work_dir)
{
    const std::string path = BundlePath(work_dir);
    const bool append = session.state.bundle.count > 0;
    BundleFile bundle{std::make_unique_for_overwrite<char[]>(kBundleBufferBytes),
                      File(std::fopen(path.c_str(), append ? "ab" : "wb"))};
    if (!bundle.file)
        return bundle;
    std::setvbuf(bundle.file.get(), bundle.buffer.get(), _IOFBF, kBundleBufferBytes);
    if (!append) {
        std::string head(kBundleHead);
        head.replace(head.find("%s"), 2, session.state.target_folder_id);
        std::fwrite(head.data(), 1, head.size(), bundle.file.get());
    }
    return bundle;
}

void ResetCounts(BundleState &bundle)
{
    bundle.count = 0;
    bundle.bytes = 0;
    bundle.subjects.clear();
}

void CopyForMailDebug(Session &session, const std::string &bundle_path)
{
    std::string copy = session.state.base_dir + "debug/" + session.state.debug_folder + "/wmin" +
                       std::to_string(session.state.bundle.debug_copies++) + ".xml";
    if (!com_fcopy(bundle_path.c_str(), copy.c_str()))
        com_Log("QV Warning: cannot copy %s to %s", bundle_path.c_str(), copy.c_str());
}

// The server refused some messages of a request it answered with success.
// True when the last message of the bundle was one of them.
bool ReportRefusedMessages(const Session &session, const std::string &answer_path)
{
    std::vector<ResponseMessage> results =
        ReadResponseMessages(answer_path, "CreateItemResponseMessage");
    int refused = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!results[i].IsError())
            continue;
        ++refused;
        std::string subject = i < session.state.bundle.subjects.size()
                                  ? session.state.bundle.subjects[i]
                                  : std::string();
        com_Log("QV Warning: message \"%s\" was not stored: %s %s", subject.c_str(),
                results[i].response_code.c_str(), results[i].message_text.c_str());
    }
    if (refused > 0)
        com_ReportLoss(kLossKindMail, refused, 0);
    const std::size_t count = static_cast<std::size_t>(session.state.bundle.count);
    return count > 0 && results.size() >= count && results[count - 1].IsError();
}

bool IsRetryable(int status) { return status >= 500 || status == 100; }

bool BundleOverLimit(const Session &session)
{
    return MaxPerBundle(session) > 1 && session.state.bundle.bytes > session.state.bundle.bytes_max;
}

} // namespace


int AddMessageToBundle(Session &session, qv_message &msg, std::FILE *bundle,
                       const std::string &work_dir, SpillBuffer &mime, bool reuse)
{
    const qv_filetime date = msg.date;
    if (!reuse) {
        MimeBuildOptions options = MimeBuildOptions::FromSession(session);
        options.base64_line_breaks = true;
        mime.Clear();
        std::FILE *out = mime.BeginWriting();
        if (!out)
            return kNoWorkFile;
        BuildMime(msg, out, kBundleBoundarySeed, work_dir, options);
        const bool written = mime.FinishWriting();
        msg.date = date;
        if (!written)
            return kNoWorkFile;
    }
    session.state.bundle.bytes += static_cast<std::uint32_t>(mime.size() / 3 * 4);
    // A message that alone passes the limit still goes, in a bundle of its
    // own: the limit only decides where bundles are cut.
    if (BundleOverLimit(session) && session.state.bundle.count > 0)
        return kBundleFull;

    File text = mime.OpenForReading();
    if (!text)
        return kNoWorkFile;
    qv_filetime when = com_DateIsNull(date) ? com_FileTimeNow() : date;
    return WriteMessageElement(bundle, text.get(), msg, session.state.sticky_note_mode, when)
               ? kAdded
               : kNoWorkFile;
}

int SendBundle(Session &session, std::string_view subject, const std::string &work_dir,
               bool *last_refused)
{
    if (last_refused)
        *last_refused = false;
    const std::string bundle_path = BundlePath(work_dir);
    long length = 0;
    {
        File bundle(std::fopen(bundle_path.c_str(), "ab"));
        if (bundle) {
            std::fwrite(kBundleTail.data(), 1, kBundleTail.size(), bundle.get());
            length = std::ftell(bundle.get());
        }
    }
    if (MaxPerBundle(session) > 1 && session.settings.debug)
        com_Log("debug: Sending bundle of %d messages, byte count %lu", session.state.bundle.count,
                static_cast<unsigned long>(length));
    if (session.settings.mail_debug)
        CopyForMailDebug(session, bundle_path);

    const std::string answer_path = work_dir + kBundleAnswerName;
    const std::string subject_text(subject);
    for (int attempt = 0;; ++attempt) {
        if (session.settings.curl_debug)
            com_Log("debug: AMZ: CreateItem");
        const PostResult post = SoapRequest(session, "CreateItem", kCreateItemAttributes, "",
                                            answer_path, bundle_path, subject_text);
        if (session.settings.curl_debug)
            com_Log("debug: AMZ: done CreateItem");
        if (IsUsableAnswer(post)) {
            const bool refused = ReportRefusedMessages(session, answer_path);
            if (last_refused)
                *last_refused = refused;
            RemoveFile(answer_path);
            RemoveFile(bundle_path);
            return kWriteStored;
        }
        const int status = post.http_status;
        if (IsRetryable(status) && attempt < session.settings.write_retries) {
            com_Log("QV Info: retrying message (%s)", subject_text.c_str());
            clock::SleepMs((attempt + 2) * 1000);
            continue;
        }
        if (status == 507 || status == 413)
            com_Log("QV Warning: unable to send message because it is too large");
        else
            com_Log("QV Warning: unable to send message, HTTP error %d", status);
        RemoveFile(answer_path);
        RemoveFile(bundle_path);
        return kWriteLost;
    }
}

void SendPendingBundle(Session &session)
{
    if (session.state.bundle.count <= 0)
        return;
    std::string work_dir = session.state.bundle.work_dir.empty() ? session.state.work_dir
                                                                 : session.state.bundle.work_dir;
    if (SendBundle(session, "", work_dir) == kWriteLost)
        com_ReportLoss(kLossKindMail, session.state.bundle.count, 0);
    ResetCounts(session.state.bundle);
}

int WriteMsgImpl(Session &session, qv_message *msg, const char *work_dir_text)
{
    if (!msg)
        return kWriteLost;
    if (msg->item_type == QV_ITEM_SKIP)
        return kWriteStored;
    if (!session.state.role_id.empty())
        RenewTokenIfDue(session);
    if (session.settings.sleep_ms > 0)
        clock::SleepMs(session.settings.sleep_ms);
    if (session.state.target_folder_id.empty()) {
        com_Log("QV Warning: no target folder found");
        com_ReportLoss(kLossKindMail, 1, 0);
        return kWriteNoTarget;
    }
    const std::string work_dir =
        work_dir_text && *work_dir_text ? work_dir_text : session.state.work_dir;
    if (msg->item_type == QV_ITEM_CONTACT)
        return contacts::WriteContact(session, *msg, work_dir);
    if (msg->item_type == QV_ITEM_TASK)
        return tasks::WriteTask(session, *msg, work_dir);
    if (msg->item_type == QV_ITEM_CALENDAR)
        return calendar::WriteCals(session, *msg, work_dir);

    const std::string subject(mime::Field(msg->subject));
    // Built once, also when it has to wait for the next bundle.
    SpillBuffer mime_text(work_dir + kMimeWorkFileName, kMimeInMemoryMax,
                          &session.state.bundle.mime_memory);
    bool reuse = false;
    for (;;) {
        BundleFile bundle = OpenBundle(session, work_dir);
        if (!bundle.file) {
            com_Log("QV Warning: message \"%s\" lost: cannot write %s", subject.c_str(),
                    BundlePath(work_dir).c_str());
            com_ReportLoss(kLossKindMail, 1, 0);
            return kWriteLost;
        }
        session.state.bundle.work_dir = work_dir;
        int added =
            AddMessageToBundle(session, *msg, bundle.file.get(), work_dir, mime_text, reuse);
        bundle.file.reset();
        if (added == kNoWorkFile) {
            com_Log("QV Warning: message \"%s\" lost: cannot write its MIME text to %s%s",
                    subject.c_str(), work_dir.c_str(), kMimeWorkFileName);
            com_ReportLoss(kLossKindMail, 1, 0);
            if (session.state.bundle.count == 0)
                RemoveFile(BundlePath(work_dir));
            return kWriteLost;
        }
        if (added == kAdded) {
            ++session.state.bundle.count;
            session.state.bundle.subjects.push_back(subject);
            if (session.state.bundle.count < MaxPerBundle(session) && !BundleOverLimit(session))
                return kWriteStored;
            bool this_one_refused = false;
            int result = SendBundle(session, subject, work_dir, &this_one_refused);
            if (result == kWriteLost)
                com_ReportLoss(kLossKindMail, session.state.bundle.count, 0);
            ResetCounts(session.state.bundle);
            // Refused inside a successful request: already reported lost,
            // and the host must not count it stored either.
            return this_one_refused ? kWriteLost : result;
        }
        // The bundle is full without this message (it holds at least one).
        if (session.settings.debug)
            com_Log("debug: maximum bundle size reached at message count=%d, size=%lu, sending now",
                    session.state.bundle.count,
                    static_cast<unsigned long>(session.state.bundle.bytes));
        int result = SendBundle(session, subject, work_dir);
        if (result == kWriteLost) {
            com_ReportLoss(kLossKindMail, session.state.bundle.count, 0);
            // This message was not in that bundle: it still goes into the next.
        }
        ResetCounts(session.state.bundle);
        reuse = true;
    }
}

} // namespace qvamz
