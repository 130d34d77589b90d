// The read driver (see convert_folder.hpp).
#include "mailread/convert_folder.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "contacts/contact_folder.hpp"
#include "calendar/calendar_folder.hpp"
#include "calendar/meeting_response.hpp"
#include "ews/folder_table.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "mailread/item_answer.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "mailread/read_ahead.hpp"
#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "tasks/task_reader.hpp"
#include "transport/impersonation_token.hpp"
#include "transport/line_reader.hpp"
#include "common/unique_file.hpp"

namespace qvamz {
namespace {

using namespace mailread;

// MsgStatus with the counters of one ConvertFolder call.
class StatusReporter {
  public:
    explicit StatusReporter(qv_status_fn callback) : callback_(callback) {}

    void Report(qv_message *msg, int status)
    {
        ++reported_;
        if (!callback_)
            return;
        char empty[1] = "";
        callback_(msg, empty, status, &counter1_, &counter2_, &stop_);
    }
    bool stop_requested() const { return stop_ != 0; }
    int reported() const { return reported_; }

  private:
    qv_status_fn callback_;
    int counter1_ = 0, counter2_ = 0, stop_ = 0; // the host's; start at 0 per call
    int reported_ = 0;                           // items given a status so far
};

// Part slots that may hold a record: the counted ones and any allocated
// beyond the count.
int UsedPartSlots(const qv_message &msg)
{
    const int counted = std::clamp(static_cast<int>(msg.part_count), 0, QV_MAX_PARTS);
    for (int i = QV_MAX_PARTS - 1; i >= counted; --i)
        if (msg.parts[i] != nullptr)
            return i + 1;
    return counted;
}

// ---- the mail folder reader ----------------------------------------------

class MailFolderReader {
  public:
    MailFolderReader(Session &session, const ConvertFolderArguments &call, FolderEntry folder)
        : session_(session), call_(call), folder_(std::move(folder)), reporter_(call.status),
          msg_(call.msg)
    {
    }

    // Lists and converts the folder; fills the out values and returns
    // ConvertFolder's result.
    int Run(int *out_count, int *out_size);

  private:
    enum class Next { kItem, kEndFolder };
    // What became of a fetched answer.
    enum class ItemRead { kParsed, kNotMessage, kUnreadable };

    bool ListItems(const std::string &restriction);
    int ItemsStillWanted() const;
    void ReportNotRead(int count);
    Next ConvertItem(const std::string &list_line);
    ItemRead ReadFetchedItem(AnswerBuffer &answer, ItemDetails &details, int &parsed);
    ItemRead ReadItemAnswer(std::string answer, ItemDetails &details, int &parsed);
    ItemRead ReadLargeItem(const std::string &answer_path, ItemDetails &details, int &parsed);
    int ParseMime(FILE *mime);
    int DecideStatus(int parsed);
    Next Output();
    void Release();
    void RemoveKeptPartFiles();
    void Finish(const std::string &restriction, int *out_count, int *out_size);
    std::string WorkFile(std::string_view name) const { return call_.work_dir + std::string(name); }
    void UuidStart();
    void UuidEnd();

    Session &session_;
    ConvertFolderArguments call_;
    const FolderEntry folder_;
    StatusReporter reporter_;
    qv_message *msg_;
    std::string properties_;     // AdditionalProperties of every GetItem
    int is_read_ = 0;            // the last IsRead seen in this folder
    int index_ = 0;              // records handed to OutputMsg
    std::uint64_t total_size_ = 0;
    bool ended_by_host_ = false; // OutputMsg answered 1235
    bool ended_early_ = false;   // the host's stop, 1235 or the InitRead maximum
    bool listing_complete_ = true;
    int listed_ = 0;             // item ids the listing found
    bool uuid_open_ = false;
    int part_files_kept_ = 0;    // part files of earlier items left for reuse
    int kept_number_ = 0;        // the record number in their names
    std::unique_ptr<ItemReadAhead> read_ahead_; // the item list while it is read
};

int MailFolderReader::Run(int *out_count, int *out_size)
{
    const std::string restriction = JobDateRestriction();
    qvcommon::UniqueFile ids;
    if (ListItems(restriction))
        ids = qvcommon::OpenFile(WorkFile(kItemIdsFile), "rb");
    if (!ids) {
        // Nothing can be read: every item of the folder is a failure.
        com_Log("QV Error: cannot keep the item list in %s", WorkFile(kItemIdsFile).c_str());
        listed_ = 0;
        listing_complete_ = false;
        Finish(restriction, out_count, out_size);
        return 0;
    }
    properties_ =
        GetItemProperties(AskForIsRead(session_.state.server_major_version, folder_.display_name));

    read_ahead_ = std::make_unique<ItemReadAhead>(session_, ids.get(), properties_);
    std::string line;
    for (;;) {
        RenewTokenIfDue(session_);
        // The host's stop request ends the folder before the next fetch, so
        // no item is fetched only to be reported without being handed over.
        if (reporter_.stop_requested()) {
            ended_early_ = true;
            break;
        }
        UuidStart();
        read_ahead_->SendAhead(ItemsStillWanted());
        if (!read_ahead_->Next(line))
            break;
        if (line.empty()) {
            UuidEnd();
            continue;
        }
        if (ConvertItem(line) == Next::kEndFolder)
            break;
        UuidEnd();
    }
    read_ahead_.reset(); // what is still in flight is abandoned
    ids.reset();
    Finish(restriction, out_count, out_size);
    return ended_by_host_ ? kFolderEndedByHost : 0;
}

// Items the host may still take: none after its stop request, the rest of
// the InitRead maximum when there is one.
int MailFolderReader::ItemsStillWanted() const
{
    if (reporter_.stop_requested())
        return 0;
    const int maximum = session_.state.max_messages;
    return maximum > 0 ? std::max(maximum - index_, 0) : INT_MAX;
}

bool MailFolderReader::ListItems(const std::string &restriction)
{
    const std::string ids_path = WorkFile(kItemIdsFile);
    qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "wb");
    if (!ids)
        return false;
    const ListingOutcome listed = ListFolderItems(session_, call_.work_dir, folder_.folder_id,
                                                  restriction, folder_.total_count, ids.get());
    listed_ = listed.listed;
    // What an incomplete listing found is still read; the rest is
    // reported as not read at the end.
    listing_complete_ = listed.result == ListingResult::kListed;
    if (std::fflush(ids.get()) == 0)
        return true;
    ids.reset();
    std::remove(ids_path.c_str());
    std::remove(WorkFile(kFindItemAnswerFile).c_str());
    return false;
}

void MailFolderReader::ReportNotRead(int count)
{
    if (count <= 0)
        return;
    com_ReportLoss(kLossKindMailRead, count, 0);
    for (int i = 0; i < count; ++i)
        reporter_.Report(msg_, QV_STATUS_SKIPPED);
}

MailFolderReader::Next MailFolderReader::ConvertItem(const std::string &list_line)
{
    const ListedItem listed = SplitListLine(list_line);
    AnswerBuffer answer;
    answer.path = WorkFile(kGetItemAnswerFile);
    answer.memory_max = kAnswerInMemoryMax;

    com_ResetObject(msg_);
    const FetchOutcome fetched =
        FetchItem(session_, GetItemBody(properties_, listed.item_id, listed.change_key), answer);
    // The next requests go out before this item is parsed and handed over.
    read_ahead_->SendAhead(ItemsStillWanted() - 1);
    if (fetched != FetchOutcome::kFetched) {
        if (answer.in_file)
            std::remove(answer.path.c_str());
        if (fetched == FetchOutcome::kNotRead)
            ReportNotRead(1);
        else
            reporter_.Report(msg_, QV_STATUS_SKIPPED);
        return Next::kItem;
    }
    ItemDetails details;
    int parsed = 0;
    switch (ReadFetchedItem(answer, details, parsed)) {
    case ItemRead::kParsed: break;
    case ItemRead::kNotMessage:
        com_Log("QV Info: non-message found in folder - skipped");
        reporter_.Report(msg_, QV_STATUS_SKIPPED);
        return Next::kItem;
    case ItemRead::kUnreadable:
        // Reported, so that the host's count of the folder still adds up.
        reporter_.Report(msg_, QV_STATUS_SKIPPED);
        return Next::kItem;
    }

    int status = -1;
    if (session_.settings.meeting_responses) {
        if (!details.meeting_request)
            status = QV_STATUS_SKIPPED;
        else
            calendar::SendMeetingResponse(session_, *msg_, call_.work_dir, details.ews_item_id);
    }
    msg_->unread = is_read_ ? 0 : 1;
    if (status < 0)
        status = DecideStatus(parsed);

    if (reporter_.stop_requested() || status != QV_STATUS_CONVERTED) {
        reporter_.Report(msg_, status);
        Release();
        ended_early_ = reporter_.stop_requested();
        return ended_early_ ? Next::kEndFolder : Next::kItem;
    }
    return Output();
}

// An answer of up to kAnswerInMemoryMax bytes arrives in memory and its
// MIME content is decoded straight into the parser's input, so no file is
// made; a larger one arrives in the answer file and goes the streaming way.
MailFolderReader::ItemRead MailFolderReader::ReadFetchedItem(AnswerBuffer &answer,
                                                             ItemDetails &details, int &parsed)
{
    if (answer.in_file)
        return ReadLargeItem(answer.path, details, parsed);
    return ReadItemAnswer(std::move(answer.text), details, parsed);
}

// An answer held in memory (one tag or text per line, as the transport
// lays it out).
MailFolderReader::ItemRead MailFolderReader::ReadItemAnswer(std::string answer,
                                                            ItemDetails &details, int &parsed)
{
    std::string mime;
    if (!DecodeMimeContent(answer, mime))
        return ItemRead::kNotMessage;
    ReadIsRead(answer, is_read_);
    ScanItemDetails(answer, msg_, details);
    answer = std::string(); // its memory goes before the parse

    qvcommon::UniqueFile input(fmemopen(mime.data(), mime.size(), "rb"));
    if (!input) {
        com_Log("QV Warning: no memory to read a message of %lu bytes, message skipped",
                static_cast<unsigned long>(mime.size()));
        return ItemRead::kUnreadable;
    }
    parsed = ParseMime(input.get());
    return ItemRead::kParsed;
}

// An answer too large for memory (or one that cannot be read whole): its
// MIME content is decoded file to file and parsed from that file.
MailFolderReader::ItemRead MailFolderReader::ReadLargeItem(const std::string &answer_path,
                                                           ItemDetails &details, int &parsed)
{
    const std::string mime_path = WorkFile(kMimeContentFile);
    if (!ExtractBase64Element(answer_path, mime_path, "MimeContent", &is_read_)) {
        std::remove(answer_path.c_str());
        return ItemRead::kNotMessage;
    }
    ReadItemDetails(answer_path, msg_, details);
    std::remove(answer_path.c_str());
    qvcommon::UniqueFile mime = qvcommon::OpenFile(mime_path, "rb");
    if (!mime) {
        com_Log("QV Warning: unable to open %s, message skipped", mime_path.c_str());
        return ItemRead::kUnreadable;
    }
    parsed = ParseMime(mime.get());
    return ItemRead::kParsed;
}

int MailFolderReader::ParseMime(FILE *mime)
{
    return mailread::Parse_RFC822_Msg(mime, msg_, call_.work_dir.c_str(), "", 1,
                                      ParserSettings::FromSession(session_));
}

int MailFolderReader::DecideStatus(int parsed)
{
    if (parsed == kParseDrop)
        return QV_STATUS_SKIPPED;
    // Past the maximum date: this item only.  The listing has no date
    // order, so older items may still follow; the folder goes on.
    if (com_Check_MaxMsgDate(msg_, call_.max_date) == 2)
        return QV_STATUS_OUT_OF_RANGE;
    if (com_SearchMsg(msg_, call_.work_dir.c_str(), call_.search_fields, call_.search_reserved1,
                      call_.search_reserved2) == 0)
        return QV_STATUS_SKIPPED;
    if (com_MsgIsDuplicate(msg_, call_.work_dir.c_str(), QVCOM_DUP_CHECK,
                           folder_.display_name.c_str()) != 0)
        return QV_STATUS_DUPLICATE;
    return QV_STATUS_CONVERTED;
}

MailFolderReader::Next MailFolderReader::Output()
{
    std::uint32_t header_size = 0, total_size = 0;
    com_CalcMdatSize(msg_, &header_size, &total_size);
    total_size_ += total_size;
    msg_->item_type = QV_ITEM_MAIL;
    com_AttachSize(msg_, call_.work_dir.c_str(), index_, call_.attach_limit);
    com_AddressTranslate(msg_);
    if (session_.settings.debug)
        com_Log("debug: at OutputMsg, flagged=%d", msg_->flag_status);

    const int answer = call_.output(msg_, call_.output_value, call_.work_dir.data(), index_);
    int status = QV_STATUS_CONVERTED;
    if (answer == QV_OUTPUT_REFUSED || answer == QV_OUTPUT_REFUSED_END_FOLDER)
        status = QV_STATUS_SKIPPED;
    else
        com_MsgIsDuplicate(msg_, call_.work_dir.c_str(), QVCOM_DUP_REMEMBER,
                           folder_.display_name.c_str());
    reporter_.Report(msg_, status);
    Release();
    ++index_;

    if (answer == QV_OUTPUT_REFUSED_END_FOLDER) {
        ended_by_host_ = ended_early_ = true;
        return Next::kEndFolder;
    }
    if (index_ == session_.state.max_messages) { // a maximum of 0 or less never matches
        ended_early_ = true;
        return Next::kEndFolder;
    }
    return Next::kItem;
}

// The files of embedded records go now (their numbers change from one
// message to the next).  The top-level record's part files stay: the next
// message writes over them (part_file.hpp), which costs far less than
// creating them anew, and the folder's end removes them.
void MailFolderReader::Release()
{
    const int slots = UsedPartSlots(*msg_);
    for (int i = 0; i < slots; ++i) {
        const qv_part *part = msg_->parts[i];
        qv_message *embedded = part ? part->sub_message : nullptr;
        if (embedded)
            com_Deallocate_All(embedded, call_.work_dir.c_str());
    }
    if (msg_->msg_number != kept_number_)
        RemoveKeptPartFiles(); // the host renumbered its record
    kept_number_ = msg_->msg_number;
    part_files_kept_ = std::max(part_files_kept_, slots);
    com_Deallocate(msg_, call_.work_dir.c_str());
}

void MailFolderReader::RemoveKeptPartFiles()
{
    for (int i = 0; i < part_files_kept_; ++i)
        std::remove(qvcom::part_file_path(call_.work_dir, kept_number_, i).c_str());
    part_files_kept_ = 0;
}

void MailFolderReader::Finish(const std::string &restriction, int *out_count, int *out_size)
{
    UuidEnd();
    RemoveKeptPartFiles();
    for (std::string_view name :
         {kFindItemAnswerFile, kGetItemAnswerFile, kMimeContentFile, kItemIdsFile})
        std::remove(WorkFile(name).c_str());

    // Items the listing never reached are failures, not items the date
    // range left out.  When the folder's total is out of date, at least
    // the page that failed is one.
    if (!listing_complete_ && !ended_early_) {
        const int unlisted = std::max(folder_.total_count - listed_, 1);
        com_Log("QV Error: %d items of %s could not be listed", unlisted,
                folder_.display_name.c_str());
        ReportNotRead(unlisted);
    }
    // Items the server left out for the date range still count for the
    // host; every item of the folder gets exactly one status.
    if (!restriction.empty() && listing_complete_)
        while (reporter_.reported() < folder_.total_count)
            reporter_.Report(msg_, QV_STATUS_OUT_OF_RANGE);

    *out_count = index_;
    *out_size = static_cast<int>(std::min<std::uint64_t>(total_size_, INT_MAX));
    msg_->folder_total = folder_.total_count;
}

void MailFolderReader::UuidStart()
{
    if (!session_.settings.log_uuid)
        return;
    com_Log("[UUID:START]");
    uuid_open_ = true;
}

// Every "[UUID:START]" gets its "[UUID:END]", whichever way the item ended.
void MailFolderReader::UuidEnd()
{
    if (!session_.settings.log_uuid || !uuid_open_)
        return;
    com_Log("[UUID:END]");
    uuid_open_ = false;
}

} // namespace

int ConvertFolderImpl(Session &session, const ConvertFolderArguments &args)
{
    int count_scratch = 0, size_scratch = 0;
    ConvertFolderArguments call = args;
    call.out_count = call.out_count ? call.out_count : &count_scratch;
    call.out_size = call.out_size ? call.out_size : &size_scratch;
    *call.out_count = 0;
    *call.out_size = 0;
    if (call.work_dir.empty())
        call.work_dir = session.state.work_dir;

    const FolderTable &folders = session.state.folders;
    if (!call.msg || call.folder_index < 0 ||
        call.folder_index >= static_cast<int>(folders.size())) {
        com_Log("QV Error: ConvertFolder: no record or folder index %d out of range (%d folders)",
                call.folder_index, static_cast<int>(folders.size()));
        return 0;
    }
    const FolderEntry folder = folders[static_cast<std::size_t>(call.folder_index)];
    if (session.settings.debug)
        com_Log("At ConvertFolder, folder=%s, total messages=%d", folder.display_name.c_str(),
                folder.total_count);

    // The readers of the other item kinds take their folders here.
    switch (folder.folder_type) {
    case kFolderTypeContacts: {
        const int result = contacts::ConvertContactFolder(session, call, folder);
        if (session.settings.debug)
            com_Log("debug: done with ConvertContactFolder");
        return result;
    }
    case kFolderTypeCalendar: calendar::ConvertCalendarFolder(session, call, folder); break;
    case kFolderTypeTasks:
        if (!call.output) {
            com_Log("QV Error: ConvertFolder: the host gave no output callback");
            return 0;
        }
        return tasks::ConvertTaskFolder(session, call, folder);
    default:
        if (!call.output) {
            com_Log("QV Error: ConvertFolder: the host gave no output callback");
            return 0;
        }
        return MailFolderReader(session, call, folder).Run(call.out_count, call.out_size);
    }
    call.msg->folder_total = folder.total_count;
    return 0;
}

} // namespace qvamz
