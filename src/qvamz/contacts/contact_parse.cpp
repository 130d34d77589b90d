// Reading one contact or list answer (see contact_parse.hpp).
#include "contacts/contact_parse.hpp"


#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "contacts/dist_list_members.hpp"
#include "ews/attachment_download.hpp"
#include "ews/xml_scan.hpp"
#include "qv/qvcom.h"

namespace qvamz::contacts {
namespace {

// Reads one value; with `fallback`, that element is tried when the first
// gives nothing.
std::string Value(const char *text, std::string_view element, std::string_view key = {},
                  std::string_view fallback = {})
{
    std::string value;
    GetElementValue(text, element, value, kContactFieldMax, key);
    if (value.empty() && !fallback.empty())
        GetElementValue(text, fallback, value, kContactFieldMax, key);
    return value;
}

template <std::size_t N> void Store(char (&field)[N], std::string_view value)
{
    qvcommon::CopyToField(field, value, kContactFieldMax);
}

// A street of two lines or more fills both street fields: the first line,
// then the rest.  Line breaks around the text are not part of it.
template <std::size_t N>
void StoreStreet(char (&first)[N], char (&second)[N], std::string_view street)
{
    constexpr std::string_view kBreaks = "\r\n";
    const std::size_t start = street.find_first_not_of(kBreaks);
    if (start == std::string_view::npos) {
        Store(first, "");
        return;
    }
    street = street.substr(start, street.find_last_not_of(kBreaks) + 1 - start);
    const std::size_t line_end = street.find_first_of(kBreaks);
    Store(first, street.substr(0, line_end));
    if (line_end != std::string_view::npos)
        Store(second, street.substr(street.find_first_not_of(kBreaks, line_end)));
}

void ReadAddress(const char *text, std::string_view key, char (&street)[512],
                 char (&street2)[512], char (&city)[512], char (&state)[512],
                 char (&country)[512], char (&postal_code)[512])
{
    StoreStreet(street, street2, Value(text, "Street", key));
    Store(city, Value(text, "City", key));
    Store(state, Value(text, "State", key));
    Store(country, Value(text, "CountryOrRegion", key));
    Store(postal_code, Value(text, "PostalCode", key));
}

void ReadContactFields(const char *text, qv_message &msg)
{
    // The name parts of CompleteName, else the contact's own elements.
    Store(msg.first_name, Value(text, "GivenName", {}, "FirstName"));
    Store(msg.middle_name, Value(text, "MiddleName"));
    Store(msg.last_name, Value(text, "LastName", {}, "Surname"));
    Store(msg.file_as, Value(text, "FileAs"));
    Store(msg.email1, Value(text, "", "EmailAddress1"));
    Store(msg.email2, Value(text, "", "EmailAddress2"));
    Store(msg.email3, Value(text, "", "EmailAddress3"));
    Store(msg.company, Value(text, "CompanyName"));
    ReadAddress(text, "Business", msg.business_street, msg.business_street2, msg.business_city,
                msg.business_state, msg.business_country, msg.business_postal_code);
    ReadAddress(text, "Home", msg.home_street, msg.home_street2, msg.home_city, msg.home_state,
                msg.home_country, msg.home_postal_code);
    Store(msg.assistant_phone, Value(text, "", "AssistantPhone"));
    Store(msg.business_fax, Value(text, "", "BusinessFax"));
    Store(msg.business_phone, Value(text, "", "BusinessPhone"));
    Store(msg.business_phone2, Value(text, "", "BusinessPhone2"));
    Store(msg.home_phone, Value(text, "", "HomePhone"));
    Store(msg.mobile_phone, Value(text, "", "MobilePhone"));
    Store(msg.other_phone, Value(text, "", "OtherTelephone"));
    Store(msg.pager, Value(text, "", "Pager"));
    Store(msg.assistant_name, Value(text, "AssistantName"));
    Store(msg.web_page, Value(text, "BusinessHomePage"));
    Store(msg.department, Value(text, "Department"));
    Store(msg.title, Value(text, "JobTitle"));
    Store(msg.manager, Value(text, "Manager"));
}

// The text body: Exchange adds attributes after BodyType (IsTruncated), so
// the tag is matched by its start.  The transport put the text on lines of
// its own; its own line breaks stay.
std::string NotesText(std::string_view text)
{
    const std::size_t at = text.find("<t:Body BodyType=\"Text\"");
    const std::size_t tag_end = at == std::string_view::npos ? at : text.find('>', at);
    if (tag_end == std::string_view::npos || text[tag_end - 1] == '/')
        return {};
    std::size_t start = tag_end + 1;
    if (text.compare(start, 2, "\r\n") == 0)
        start += 2;
    std::size_t end = text.find('<', start);
    if (end == std::string_view::npos)
        end = text.size();
    if (end >= start + 2 && text.compare(end - 2, 2, "\r\n") == 0)
        end -= 2;
    std::string notes(qvcommon::Utf8Prefix(text.substr(start, end - start), kNotesMax));
    com_Unescape(notes.data());
    notes.resize(std::char_traits<char>::length(notes.c_str()));
    return notes;
}

} // namespace

int ParseContactText(std::string_view answer_text, qv_message &msg, const std::string &work_dir)
{
    const std::string buffer(answer_text);
    const char *text = buffer.c_str();
    if (Value(text, "ItemClass") == kDistListClass) {
        Store(msg.title, Value(text, "DisplayName"));
        ReadDistListMembers(buffer, msg);
        msg.contact_kind = 1;
        return 1;
    }
    if (Value(text, "DisplayName").empty())
        return 0;
    ReadContactFields(text, msg);
    // The contact's own categories travel with it; its folder reaches the
    // host as the address book name.
    msg.categories[0] = '\0';
    ParseCategories(text, &msg);
    const std::string notes = NotesText(buffer);
    if (!notes.empty() && !com_WriteNotes(&msg, notes.c_str(), work_dir.c_str()))
        com_Log("QV Warning: the notes of contact %s could not be kept", msg.last_name);
    return 1;
}

int ContactParse(Session &session, const std::string &answer_path, qv_message &msg,
                 const std::string &work_dir)
{
    std::string answer;
    if (!qvcommon::ReadWholeFile(answer_path, answer))
        return 0;
    if (!ParseContactText(answer, msg, work_dir))
        return 0;
    if (msg.contact_kind != 1)
        DownloadAttachments(session, answer, msg, work_dir);
    return 1;
}

} // namespace qvamz::contacts
