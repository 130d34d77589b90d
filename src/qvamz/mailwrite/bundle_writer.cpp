// The message bundle writer (see bundle_writer.hpp).
#include "mailwrite/bundle_writer.hpp"
#include "common/unique_file.hpp"

#include <array>
#include <filesystem>
#include <memory>

#include "frame/session.hpp"
#include "mailwrite/message_element.hpp"
#include "mailwrite/mime_builder.hpp"
#include "mailwrite/mime_headers.hpp"
#include "mailwrite/response_messages.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/soap_request.hpp"

namespace qvamz {

BundleState gBundle;

namespace {

constexpr std::string_view kBundleHead = "<SavedItemFolderId>\n"
                                         "<t:FolderId Id=\"%s\"/>\n"
                                         "</SavedItemFolderId>\n"
                                         "<Items>\n";
constexpr std::string_view kBundleTail = "</Items>\n";
constexpr char kCreateItemAttributes[] = "MessageDisposition=\"SaveOnly\"";

using File = qvcommon::UniqueFile;

std::array<ItemWriterFn, 4> gItemWriters{};

std::string BundlePath(const std::string &work_dir) { return work_dir + kBundleFileName; }

void RemoveFile(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

int MaxPerBundle() { return gSw.bundle_size < 1 ? 1 : gSw.bundle_size; }

// Opens the bundle file: a new one with its opening lines, or the open
// bundle for appending.
File OpenBundle(const std::string &work_dir)
{
    std::string path = BundlePath(work_dir);
    if (gBundle.count > 0)
        return File(std::fopen(path.c_str(), "ab"));
    File bundle(std::fopen(path.c_str(), "wb"));
    if (bundle) {
        std::string head(kBundleHead);
        head.replace(head.find("%s"), 2, gTargetFolderId);
        std::fwrite(head.data(), 1, head.size(), bundle.get());
    }
    return bundle;
}

void ResetCounts()
{
    gBundle.count = 0;
    gBundle.bytes = 0;
    gBundle.subjects.clear();
}

const char *ItemKindName(int item_type)
{
    switch (item_type) {
    case QV_ITEM_CONTACT: return "contact";
    case QV_ITEM_CALENDAR: return "calendar item";
    default: return "task";
    }
}

int WriteOtherItem(qv_message &msg, void *host_value, const std::string &work_dir)
{
    if (ItemWriterFn writer = gItemWriters[static_cast<std::size_t>(msg.item_type)])
        return writer(&msg, host_value, work_dir);
    com_Log("QV Warning: %s \"%s\" not written: this connector cannot write %ss yet",
            ItemKindName(msg.item_type), std::string(mime::Field(msg.subject)).c_str(),
            ItemKindName(msg.item_type));
    return kWriteLost;
}

void CopyForMailDebug(const std::string &bundle_path)
{
    std::string copy = gBaseDir + "debug/" + gDebugFolder + "/wmin" +
                       std::to_string(gBundle.debug_copies++) + ".xml";
    if (!com_fcopy(bundle_path.c_str(), copy.c_str()))
        com_Log("QV Warning: cannot copy %s to %s", bundle_path.c_str(), copy.c_str());
}

// The server refused some messages of a request it answered with success.
void ReportRefusedMessages(const std::string &answer_path)
{
    std::vector<ResponseMessage> results =
        ReadResponseMessages(answer_path, "CreateItemResponseMessage");
    int refused = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!results[i].IsError())
            continue;
        ++refused;
        std::string subject = i < gBundle.subjects.size() ? gBundle.subjects[i] : std::string();
        com_Log("QV Warning: message \"%s\" was not stored: %s %s", subject.c_str(),
                results[i].response_code.c_str(), results[i].message_text.c_str());
    }
    if (refused > 0)
        com_ReportLoss(kLossKindMail, refused, 0);
}

bool IsRetryable(int status) { return status >= 500 || status == 100; }

} // namespace

void SetItemWriter(int item_type, ItemWriterFn writer)
{
    if (item_type >= QV_ITEM_CONTACT && item_type <= QV_ITEM_TASK)
        gItemWriters[static_cast<std::size_t>(item_type)] = writer;
}

void ResetBundleState() { gBundle = BundleState{}; }


int AddMessageToBundle(qv_message &msg, std::FILE *bundle, const std::string &work_dir,
                       bool reuse)
{
    const qv_filetime date = msg.date;
    const std::string work_path = work_dir + kMimeWorkFileName;
    std::int64_t size = 0;
    MimeBuildOptions options = MimeBuildOptions::FromSession();
    options.base64_line_breaks = true;
    if (reuse) {
        size = com_GetFileSize(work_path.c_str(), nullptr);
    } else {
        File work(std::fopen(work_path.c_str(), "wb"));
        if (!work)
            return kNoWorkFile;
        BuildMime(msg, work.get(), kBundleBoundarySeed, work_dir, options);
        size = std::ftell(work.get());
        bool written = std::fflush(work.get()) == 0 && !std::ferror(work.get());
        msg.date = date;
        if (!written || size < 0)
            return kNoWorkFile;
    }
    gBundle.bytes += static_cast<std::uint32_t>(static_cast<std::uint64_t>(size) / 3 * 4);
    if (MaxPerBundle() > 1 && gBundle.bytes > gBundle.bytes_max)
        return kBundleFull;

    File work(std::fopen(work_path.c_str(), "rb"));
    if (!work)
        return kNoWorkFile;
    qv_filetime when = com_DateIsNull(date) ? com_FileTimeNow() : date;
    bool ok = WriteMessageElement(bundle, work.get(), msg, gStickyNoteMode, when);
    work.reset();
    RemoveFile(work_path);
    return ok ? kAdded : kNoWorkFile;
}

int SendBundle(std::string_view subject, const std::string &work_dir)
{
    const std::string bundle_path = BundlePath(work_dir);
    long length = 0;
    {
        File bundle(std::fopen(bundle_path.c_str(), "ab"));
        if (bundle) {
            std::fwrite(kBundleTail.data(), 1, kBundleTail.size(), bundle.get());
            length = std::ftell(bundle.get());
        }
    }
    if (MaxPerBundle() > 1 && gSw.debug)
        com_Log("debug: Sending bundle of %d messages, byte count %lu", gBundle.count,
                static_cast<unsigned long>(length));
    if (gSw.mail_debug)
        CopyForMailDebug(bundle_path);

    const std::string answer_path = work_dir + kBundleAnswerName;
    const std::string subject_text(subject);
    for (int attempt = 0;; ++attempt) {
        if (gSw.curl_debug)
            com_Log("debug: AMZ: CreateItem");
        int sent = SoapRequest("CreateItem", kCreateItemAttributes, "", answer_path, bundle_path,
                               subject_text);
        if (gSw.curl_debug)
            com_Log("debug: AMZ: done CreateItem");
        if (sent) {
            ReportRefusedMessages(answer_path);
            RemoveFile(answer_path);
            RemoveFile(bundle_path);
            return kWriteStored;
        }
        const int status = gHTTPResponse;
        if (IsRetryable(status) && attempt < gSw.write_retries) {
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

void SendPendingBundle()
{
    if (gBundle.count <= 0)
        return;
    std::string work_dir = gBundle.work_dir.empty() ? gWorkDir : gBundle.work_dir;
    if (SendBundle("", work_dir) == kWriteLost)
        com_ReportLoss(kLossKindMail, gBundle.count, 0);
    ResetCounts();
}

int WriteMsgImpl(qv_message *msg, void *host_value, const char *work_dir_text, void *)
{
    if (!msg)
        return kWriteLost;
    if (msg->item_type == QV_ITEM_SKIP)
        return kWriteStored;
    if (!gRoleId.empty())
        RenewTokenIfDue();
    if (gSw.sleep_ms > 0)
        clock::SleepMs(gSw.sleep_ms);
    if (gTargetFolderId.empty()) {
        com_Log("QV Warning: no target folder found");
        return kWriteNoTarget;
    }
    const std::string work_dir = work_dir_text && *work_dir_text ? work_dir_text : gWorkDir;
    if (msg->item_type >= QV_ITEM_CONTACT && msg->item_type <= QV_ITEM_TASK)
        return WriteOtherItem(*msg, host_value, work_dir);

    const std::string subject(mime::Field(msg->subject));
    bool reuse = false;
    for (;;) {
        File bundle = OpenBundle(work_dir);
        if (!bundle) {
            com_Log("QV Warning: message \"%s\" lost: cannot write %s", subject.c_str(),
                    BundlePath(work_dir).c_str());
            com_ReportLoss(kLossKindMail, 1, 0);
            return kWriteLost;
        }
        gBundle.work_dir = work_dir;
        int added = AddMessageToBundle(*msg, bundle.get(), work_dir, reuse);
        bundle.reset();
        if (added == kNoWorkFile) {
            com_Log("QV Warning: message \"%s\" lost: cannot write its MIME text to %s%s",
                    subject.c_str(), work_dir.c_str(), kMimeWorkFileName);
            com_ReportLoss(kLossKindMail, 1, 0);
            if (gBundle.count == 0)
                RemoveFile(BundlePath(work_dir));
            return kWriteLost;
        }
        if (added == kAdded) {
            ++gBundle.count;
            gBundle.subjects.push_back(subject);
            if (gBundle.count < MaxPerBundle())
                return kWriteStored;
            int result = SendBundle(subject, work_dir);
            if (result == kWriteLost)
                com_ReportLoss(kLossKindMail, gBundle.count, 0);
            ResetCounts();
            return result;
        }
        // The bundle is full without this message.
        if (gBundle.count == 0) {
            com_Log("QV Warning: unable to send message because it is too large");
            RemoveFile(work_dir + kMimeWorkFileName);
            RemoveFile(BundlePath(work_dir));
            ResetCounts();
            return kWriteLost;
        }
        if (gSw.debug)
            com_Log("debug: maximum bundle size reached at message count=%d, size=%lu, sending now",
                    gBundle.count, static_cast<unsigned long>(gBundle.bytes));
        int result = SendBundle(subject, work_dir);
        if (result == kWriteLost) {
            com_ReportLoss(kLossKindMail, gBundle.count, 0);
            // This message was not in that bundle: it still goes into the next.
        }
        ResetCounts();
        reuse = true;
    }
}

} // namespace qvamz
