// Contact writing (see contact_write.hpp).
#include "contacts/contact_write.hpp"

#include <array>
#include <cstdio>

#include "common/text_case.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "contacts/contact_request.hpp"
#include "contacts/dist_list_write.hpp"
#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "mailwrite/attachment_upload.hpp"
#include "mailwrite/message_element.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"

namespace qvamz::contacts {
namespace {

using qvcommon::XmlRequestEscaped;

std::string Field(const char *field) { return std::string(field); }

// "<t:NAME>value</t:NAME>\n" with the value escaped; nothing when empty.
void AddElement(std::string &out, std::string_view name, std::string_view value)
{
    if (value.empty())
        return;
    out.append("<t:").append(name).append(">").append(XmlRequestEscaped(value));
    out.append("</t:").append(name).append(">\n");
}

void AddEmailAddresses(std::string &out, const qv_message &msg)
{
    const std::array<const char *, 3> addresses = {msg.email1, msg.email2, msg.email3};
    std::string entries;
    for (std::size_t i = 0; i < addresses.size(); ++i)
        if (*addresses[i])
            entries += "<t:Entry Key=\"EmailAddress" + std::to_string(i + 1) + "\">" +
                       XmlRequestEscaped(addresses[i]) + "</t:Entry>\n";
    if (!entries.empty())
        out += "<t:EmailAddresses>\n" + entries + "</t:EmailAddresses>\n";
}

struct AddressFields {
    std::string_view key;
    const char *street, *street2, *city, *state, *country, *postal_code;
    bool Empty() const
    {
        return !*street && !*street2 && !*city && !*state && !*country && !*postal_code;
    }
};

void AddAddressEntry(std::string &out, const AddressFields &a)
{
    // The street's text is its lines, nothing around them: a line break
    // before or after would become part of the street.
    out.append("<t:Entry Key=\"").append(a.key).append("\">\n<t:Street>");
    out.append(XmlRequestEscaped(a.street));
    if (*a.street2)
        out.append("\n").append(XmlRequestEscaped(a.street2));
    out.append("</t:Street>\n");
    // These four are written even when empty.
    out.append("<t:City>").append(XmlRequestEscaped(a.city)).append("</t:City>\n");
    out.append("<t:State>").append(XmlRequestEscaped(a.state)).append("</t:State>\n");
    out.append("<t:CountryOrRegion>").append(XmlRequestEscaped(a.country));
    out.append("</t:CountryOrRegion>\n");
    out.append("<t:PostalCode>").append(XmlRequestEscaped(a.postal_code));
    out.append("</t:PostalCode>\n</t:Entry>\n");
}

void AddPhysicalAddresses(std::string &out, const qv_message &msg)
{
    const AddressFields business{"Business",         msg.business_street, msg.business_street2,
                                 msg.business_city,  msg.business_state,  msg.business_country,
                                 msg.business_postal_code};
    const AddressFields home{"Home",       msg.home_street,  msg.home_street2,
                             msg.home_city, msg.home_state,   msg.home_country,
                             msg.home_postal_code};
    if (business.Empty() && home.Empty())
        return;
    out += "<t:PhysicalAddresses>\n";
    for (const AddressFields *address : {&business, &home})
        if (!address->Empty())
            AddAddressEntry(out, *address);
    out += "</t:PhysicalAddresses>\n";
}

void AddPhoneNumbers(std::string &out, const qv_message &msg)
{
    const std::array<std::pair<std::string_view, const char *>, 8> phones = {{
        {"AssistantPhone", msg.assistant_phone},
        {"BusinessFax", msg.business_fax},
        {"BusinessPhone", msg.business_phone},
        {"BusinessPhone2", msg.business_phone2},
        {"HomePhone", msg.home_phone},
        {"MobilePhone", msg.mobile_phone},
        {"OtherTelephone", msg.other_phone},
        {"Pager", msg.pager},
    }};
    std::string entries;
    for (const auto &[key, value] : phones)
        if (*value)
            entries.append("<t:Entry Key=\"").append(key).append("\">")
                .append(XmlRequestEscaped(value)).append("</t:Entry>\n");
    if (!entries.empty())
        out += "<t:PhoneNumbers>\n" + entries + "</t:PhoneNumbers>\n";
}

bool WriteRequestFile(const std::string &path, const qv_message &msg,
                      const std::string &folder_id, bool with_home_page,
                      const std::string &work_dir)
{
    qvcommon::UniqueFile request = qvcommon::OpenFile(path, "wb");
    if (!request)
        return false;
    const ContactRequest body = ContactRequestBody(msg, folder_id, with_home_page);
    std::fputs(body.before_body.c_str(), request.get());
    WriteBodyElement(request.get(), &msg, work_dir);
    std::fputs(body.after_body.c_str(), request.get());
    return std::fflush(request.get()) == 0 && !std::ferror(request.get());
}

} // namespace

std::string FileAsText(const qv_message &msg)
{
    if (*msg.file_as)
        return msg.file_as;
    if (*msg.last_name) {
        if (!*msg.first_name)
            return msg.last_name;
        std::string text = Field(msg.last_name) + ", " + msg.first_name;
        if (*msg.middle_name)
            text += std::string(" ") + msg.middle_name;
        return text;
    }
    for (const char *field : {msg.first_name, msg.company, msg.email1, msg.middle_name})
        if (*field)
            return field;
    return "No Name";
}

std::string DisplayNameText(const qv_message &msg)
{
    std::string name;
    for (const char *part : {msg.first_name, msg.middle_name, msg.last_name}) {
        if (!*part)
            continue;
        if (!name.empty())
            name += ' ';
        name += part;
    }
    return name.empty() ? FileAsText(msg) : name;
}

std::string WebPageWithScheme(std::string_view web_page)
{
    if (web_page.empty())
        return {};
    for (std::string_view scheme : {"http:", "https:", "ftp:"})
        if (qvcommon::StartsWithNoCase(web_page, scheme))
            return std::string(web_page);
    return "https://" + std::string(web_page);
}

ContactRequest ContactRequestBody(const qv_message &msg, std::string_view folder_id,
                                  bool with_home_page)
{
    ContactRequest request;
    std::string &head = request.before_body;
    head = "<SavedItemFolderId>\n<t:FolderId Id=\"" + XmlRequestEscaped(folder_id) +
           "\"/>\n</SavedItemFolderId>\n<Items>\n<t:Contact>\n";

    std::string &tail = request.after_body;
    tail = CategoriesXml(msg.categories);
    tail += kViaQvProperty;
    AddElement(tail, "FileAs", FileAsText(msg));
    AddElement(tail, "DisplayName", DisplayNameText(msg));
    AddElement(tail, "GivenName", msg.first_name);
    AddElement(tail, "MiddleName", msg.middle_name);
    AddElement(tail, "CompanyName", msg.company);
    AddEmailAddresses(tail, msg);
    AddPhysicalAddresses(tail, msg);
    AddPhoneNumbers(tail, msg);
    AddElement(tail, "AssistantName", msg.assistant_name);
    if (with_home_page)
        AddElement(tail, "BusinessHomePage", WebPageWithScheme(msg.web_page));
    AddElement(tail, "Department", msg.department);
    AddElement(tail, "JobTitle", msg.title);
    AddElement(tail, "Manager", msg.manager);
    AddElement(tail, "Surname", msg.last_name);
    tail += "</t:Contact>\n</Items>\n";
    return request;
}

int WriteContact(Session &session, const qv_message &msg, const std::string &work_dir)
{
    if (session.settings.debug)
        com_Log("debug: at WriteContact, entry_type=%d, email=%s, category=%s, AbookName=%s",
                msg.contact_kind, msg.email1, msg.categories, msg.address_book_name);
    if (msg.contact_kind == 1)
        return WriteDistList(session, msg, work_dir);

    const std::string request_path = work_dir + std::string(kContactRequestFile);
    const std::string answer_path = work_dir + std::string(kContactAnswerFileName);
    const std::string &folder_id = session.state.target_folder_id;
    bool with_home_page = true;
    if (!WriteRequestFile(request_path, msg, folder_id, with_home_page, work_dir)) {
        com_Log("QV Warning: contact %s lost: cannot write %s", msg.last_name,
                request_path.c_str());
        std::remove(request_path.c_str());
        return kContactLost;
    }
    const int copy_number = CopyRequestForDebug(session, request_path);

    PostResult post;
    for (int attempt = 0;;) {
        post = SendCreateItem(session, "", request_path, answer_path, msg.last_name);
        if (IsCreated(post, answer_path))
            break;
        if (post.http_status != kContactRetryStatus || attempt >= session.settings.write_retries) {
            com_Log("QV Warning: unable to create contact, http result=%d", post.http_status);
            CopyAnswerForDebug(session, answer_path, copy_number);
            return kContactLost;
        }
        ++attempt;
        com_Log("QV Info: retrying contact (%s)", msg.last_name);
        clock::SleepMs((attempt + 1) * 1000);
        // A home page the server cannot take is the usual cause of a 500:
        // the contact is sent again without it, with fresh attempts.
        if (with_home_page && *msg.web_page) {
            with_home_page = false;
            attempt = 0;
            if (!WriteRequestFile(request_path, msg, folder_id, with_home_page, work_dir)) {
                com_Log("QV Warning: contact %s lost: cannot write %s", msg.last_name,
                        request_path.c_str());
                return kContactLost;
            }
        }
    }
    std::remove(request_path.c_str());
    ParentItem parent = CreatedItemOf(answer_path);
    std::remove(answer_path.c_str());
    if (!parent.id.empty())
        UploadAttachments(session, msg, work_dir, parent);
    return kContactStored;
}

} // namespace qvamz::contacts
