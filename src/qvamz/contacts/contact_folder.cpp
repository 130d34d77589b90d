// The contacts folder reader (see contact_folder.hpp).
#include "contacts/contact_folder.hpp"

#include <cstdio>

#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "contacts/contact_parse.hpp"
#include "ews/folder_table.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "mailread/convert_folder.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "qv/qvcom.h"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::contacts {
namespace {

constexpr std::string_view kGetItemTemplate = "<ItemShape>\n"
                                              "<t:BaseShape>AllProperties</t:BaseShape>\n"
                                              "<t:IncludeMimeContent>true</t:IncludeMimeContent>\n"
                                              "<t:BodyType>Text</t:BodyType>\n"
                                              "</ItemShape>\n"
                                              "<ItemIds>\n"
                                              "<t:ItemId Id=\"{id}\" ChangeKey=\"{ck}\"/>\n"
                                              "</ItemIds>\n";

constexpr std::string_view kEditFlagTemplate =
    "<ItemChanges>\n"
    "<t:ItemChange>\n"
    "<t:ItemId Id=\"{id}\" ChangeKey=\"{ck}\"/>\n"
    "<t:Updates>\n"
    "<t:SetItemField>\n"
    "<t:ExtendedFieldURI PropertyTag=\"0x3016\" PropertyType=\"Boolean\"/>\n"
    "<t:DistributionList>\n"
    "<t:ExtendedProperty>\n"
    "<t:ExtendedFieldURI PropertyTag=\"0x3016\" PropertyType=\"Boolean\"/>\n"
    "<t:Value>true</t:Value>\n"
    "</t:ExtendedProperty>\n"
    "</t:DistributionList>\n"
    "</t:SetItemField>\n"
    "</t:Updates>\n"
    "</t:ItemChange>\n"
    "</ItemChanges>\n";

constexpr char kUpdateAttributes[] =
    "MessageDisposition=\"SaveOnly\" ConflictResolution=\"AlwaysOverwrite\"";

std::string WithIds(std::string_view templ, std::string_view id, std::string_view change_key)
{
    std::string body(templ);
    body.replace(body.find("{id}"), 4, qvcommon::XmlRequestEscaped(id));
    body.replace(body.find("{ck}"), 4, qvcommon::XmlRequestEscaped(change_key));
    return body;
}

class ContactFolderReader {
  public:
    ContactFolderReader(Session &session, const ConvertFolderArguments &call,
                        const FolderEntry &folder)
        : session_(session), call_(call), folder_(folder), msg_(*call.msg)
    {
    }

    int Run();

  private:
    enum class Next { kItem, kEndFolder };

    bool List();
    void ReportNotRead(int count);
    Next ReadItem(const std::string &line);
    Next HandOver();
    void UpdateEditFlag(const std::string &id, const std::string &change_key);
    void Report(int status);
    void Release();
    std::string WorkFile(std::string_view name) const { return call_.work_dir + std::string(name); }

    Session &session_;
    const ConvertFolderArguments &call_;
    const FolderEntry &folder_;
    qv_message &msg_;
    int index_ = 0; // records handed to the host
    int counter1_ = 0, counter2_ = 0, stop_ = 0; // the host's status values
    bool ended_by_host_ = false;
    int unlisted_ = 0; // items an incomplete listing left out
};

int ContactFolderReader::Run()
{
    if (!List())
        return 0;
    qvcommon::UniqueFile ids = qvcommon::OpenFile(WorkFile(kContactIdsFile), "rb");
    std::string line;
    while (ids && ReadAnswerLine(ids.get(), line, mailread::kListingLineMax)) {
        RenewTokenIfDue(session_);
        if (stop_)
            break;
        if (line.empty())
            continue;
        if (ReadItem(line) == Next::kEndFolder)
            break;
    }
    ids.reset();
    ReportNotRead(unlisted_);
    for (std::string_view name : {kContactIdsFile, kContactAnswerFile})
        std::remove(WorkFile(name).c_str());
    *call_.out_count = index_;
    msg_.folder_total = folder_.total_count;
    return ended_by_host_ ? kFolderEndedByHost : 0;
}

bool ContactFolderReader::List()
{
    const std::string ids_path = WorkFile(kContactIdsFile);
    qvcommon::UniqueFile ids = qvcommon::OpenFile(ids_path, "wb");
    if (!ids)
        return false;
    const mailread::ListingOutcome listed = mailread::ListFolderItems(
        session_, call_.work_dir, folder_.folder_id, "", folder_.total_count, ids.get());
    const bool written = std::fflush(ids.get()) == 0;
    ids.reset();
    if (listed.result == mailread::ListingResult::kAnswerUnreadable || !written) {
        com_Log("QV Warning: unable to retrieve contacts");
        std::remove(ids_path.c_str());
        ReportNotRead(folder_.total_count);
        return false;
    }
    // What an incomplete listing found is still read; the items it could
    // not list are lost, and said so.
    if (listed.result == mailread::ListingResult::kIncomplete) {
        com_Log("QV Warning: unable to retrieve contacts");
        unlisted_ = folder_.total_count > listed.listed ? folder_.total_count - listed.listed : 0;
    }
    return true;
}

void ContactFolderReader::ReportNotRead(int count)
{
    if (count <= 0)
        return;
    com_ReportLoss(kLossKindContactRead, count, 0);
    for (int i = 0; i < count; ++i)
        Report(QV_STATUS_SKIPPED);
}

ContactFolderReader::Next ContactFolderReader::ReadItem(const std::string &line)
{
    const std::size_t semicolon = line.find(';');
    const std::string id = line.substr(0, semicolon);
    const std::string change_key =
        semicolon == std::string::npos ? std::string() : line.substr(semicolon + 1);
    const std::string answer_path = WorkFile(kContactAnswerFile);

    com_ResetObject(&msg_);
    const mailread::FetchOutcome fetched =
        mailread::FetchItem(session_, ContactGetItemBody(id, change_key), answer_path);
    if (fetched != mailread::FetchOutcome::kFetched) {
        // A contact gone from the server is skipped; one that could not be
        // read after the retries is lost.  The ones after it are still read.
        std::remove(answer_path.c_str());
        if (fetched == mailread::FetchOutcome::kNotRead) {
            com_Log("QV Warning: unable to retrieve contact");
            ReportNotRead(1);
        } else {
            Report(QV_STATUS_SKIPPED);
        }
        return stop_ ? Next::kEndFolder : Next::kItem;
    }
    if (!ContactParse(session_, answer_path, msg_, call_.work_dir)) {
        Report(QV_STATUS_SKIPPED);
        Release();
        return stop_ ? Next::kEndFolder : Next::kItem;
    }
    std::string name;
    if (msg_.contact_kind == 1) {
        name = msg_.title;
        if (session_.settings.update_dl_edit_flag) {
            com_Log("Updating edit flag for distribution list %s", name.c_str());
            UpdateEditFlag(id, change_key);
        }
    } else {
        name = std::string(msg_.last_name) + ", " + msg_.first_name;
    }
    if (session_.settings.log_subjects)
        com_Log("WorkMail contact name: %s", name.c_str());
    return HandOver();
}

ContactFolderReader::Next ContactFolderReader::HandOver()
{
    // A list carries no categories of its own: it is filed under its folder.
    if (msg_.contact_kind == 1)
        qvcommon::CopyToField(msg_.categories, folder_.display_name);
    qvcommon::CopyToField(msg_.address_book_name, folder_.display_name);
    msg_.item_type = QV_ITEM_CONTACT;
    com_AttachSize(&msg_, call_.work_dir.c_str(), 0, session_.settings.max_attach_size);
    com_AddressTranslate(&msg_);
    const std::string store(kDuplicateStoreName);
    if (com_MsgIsDuplicate(&msg_, call_.work_dir.c_str(), QVCOM_DUP_CHECK, store.c_str()) != 0) {
        Report(QV_STATUS_DUPLICATE);
        Release();
        return stop_ ? Next::kEndFolder : Next::kItem;
    }
    std::string work_dir = call_.work_dir; // the host takes a writable text
    const int answer = call_.output(&msg_, call_.output_value, work_dir.data(), index_);
    int status = QV_STATUS_CONVERTED;
    if (answer == QV_OUTPUT_REFUSED || answer == QV_OUTPUT_REFUSED_END_FOLDER)
        status = QV_STATUS_SKIPPED;
    else
        com_MsgIsDuplicate(&msg_, call_.work_dir.c_str(), QVCOM_DUP_REMEMBER, store.c_str());
    ++index_;
    Report(status);
    Release();
    if (answer == QV_OUTPUT_REFUSED_END_FOLDER) {
        ended_by_host_ = true;
        return Next::kEndFolder;
    }
    if (index_ == session_.state.max_messages || stop_)
        return Next::kEndFolder;
    return Next::kItem;
}

void ContactFolderReader::UpdateEditFlag(const std::string &id, const std::string &change_key)
{
    const std::string answer_path = WorkFile(kUpdateAnswerFile);
    const PostResult post = SoapRequest(session_, "UpdateItem", kUpdateAttributes,
                                        EditFlagUpdateBody(id, change_key), answer_path);
    if (!IsUsableAnswer(post))
        com_Log("QV Warning: unable to update list");
    std::remove(answer_path.c_str());
}

void ContactFolderReader::Report(int status)
{
    if (!call_.status)
        return;
    char empty[1] = "";
    call_.status(&msg_, empty, status, &counter1_, &counter2_, &stop_);
}

void ContactFolderReader::Release()
{
    com_Deallocate_All(&msg_, call_.work_dir.c_str());
    com_Deallocate(&msg_, call_.work_dir.c_str());
}

} // namespace

std::string ContactGetItemBody(std::string_view item_id, std::string_view change_key)
{
    return WithIds(kGetItemTemplate, item_id, change_key);
}

std::string EditFlagUpdateBody(std::string_view item_id, std::string_view change_key)
{
    return WithIds(kEditFlagTemplate, item_id, change_key);
}

int ConvertContactFolder(Session &session, const ConvertFolderArguments &args,
                         const FolderEntry &folder)
{
    if (!args.msg || !args.output) {
        com_Log("QV Error: ConvertFolder: the host gave no record or output callback");
        return 0;
    }
    return ContactFolderReader(session, args, folder).Run();
}

} // namespace qvamz::contacts
