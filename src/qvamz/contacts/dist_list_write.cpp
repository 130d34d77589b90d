// Distribution list writing (see dist_list_write.hpp).
#include "contacts/dist_list_write.hpp"

#include <array>
#include <cstdio>

#include "common/base64.hpp"
#include "common/unique_file.hpp"
#include "common/xml_request_text.hpp"
#include "contacts/contact_request.hpp"
#include "contacts/contact_write.hpp"
#include "frame/session.hpp"
#include "qv/qvcom.h"
#include "transport/clock.hpp"

namespace qvamz::contacts {
namespace {

using qvcommon::XmlRequestEscaped;

constexpr std::array<unsigned char, 16> kOneOffProviderUid = {
    0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
    0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
constexpr int kFirstMemberFormVersion = 15;
constexpr int kFirstListElementVersion = 14;
constexpr int kListRetryStatusMin = 500;

// UTF-8 (already filtered valid) to UTF-16 units.
std::u16string Utf16Of(std::string_view text)
{
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t c = lead;
        std::size_t length = 1;
        if (lead >= 0xF0)
            c = lead & 0x07, length = 4;
        else if (lead >= 0xE0)
            c = lead & 0x0F, length = 3;
        else if (lead >= 0xC0)
            c = lead & 0x1F, length = 2;
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += length;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

void AppendUtf16z(std::string &bytes, const std::u16string &units)
{
    for (char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    bytes.append(2, '\0');
}

// Drops a surrogate pair's first half left at the end by a cut.
std::u16string CutUnits(std::u16string units, std::size_t max)
{
    if (units.size() > max) {
        units.resize(max);
        if (!units.empty() && units.back() >= 0xD800 && units.back() <= 0xDBFF)
            units.pop_back();
    }
    return units;
}

std::string Property(std::string_view uri, std::string_view value)
{
    return "<t:ExtendedProperty>\n" + std::string(uri) + "\n<t:Value>" + std::string(value) +
           "</t:Value>\n</t:ExtendedProperty>\n";
}

std::string TagUri(std::string_view tag, std::string_view type)
{
    return "<t:ExtendedFieldURI PropertyTag=\"" + std::string(tag) + "\" PropertyType=\"" +
           std::string(type) + "\"/>";
}

std::string NamedUri(int id, std::string_view type)
{
    return "<t:ExtendedFieldURI PropertySetId=\"" + std::string(kAddressPropertySet) +
           "\" PropertyId=\"" + std::to_string(id) + "\" PropertyType=\"" + std::string(type) +
           "\"/>";
}

const char *RoutingType(std::string_view address)
{
    return address.find('@') != std::string_view::npos ? "SMTP" : "UNKNOWN";
}

std::string PropertyForm(const qv_message &msg, int major_version)
{
    const std::string element =
        major_version >= kFirstListElementVersion ? "DistributionList" : "Item";
    const std::string title = XmlRequestEscaped(msg.title);
    std::string out = "<t:" + element + ">\n";
    out += Property(TagUri("0x001A", "String"), "IPM.DistList");
    out += Property(TagUri("0x3001", "String"), title);
    out += Property(TagUri("0x3016", "Boolean"), "true");
    out += Property(NamedUri(32773, "String"), title); // file under
    out += Property(NamedUri(32851, "String"), title); // list name
    if (msg.recipient_count > 0) {
        std::string values;
        for (int i = 0; i < msg.recipient_count && i < QV_MAX_RECIPIENTS; ++i)
            if (const qv_recipient *r = msg.recipients[i])
                values += "<t:Value>" + EncodeOneOffEntryId(r->address, r->name) + "</t:Value>\n";
        for (int id : {32852, 32853})
            out += "<t:ExtendedProperty>\n" + NamedUri(id, "BinaryArray") + "\n<t:Values>\n" +
                   values + "</t:Values>\n</t:ExtendedProperty>\n";
    }
    return out + "</t:" + element + ">\n";
}

std::string MemberForm(const qv_message &msg)
{
    const std::string title = XmlRequestEscaped(msg.title);
    std::string out = "<t:DistributionList>\n<t:ItemClass>IPM.DistList</t:ItemClass>\n";
    out += "<t:Subject>" + title + "</t:Subject>\n";
    out += "<t:DisplayName>" + title + "</t:DisplayName>\n<t:Members>\n";
    for (int i = 0; i < msg.recipient_count && i < QV_MAX_RECIPIENTS; ++i) {
        const qv_recipient *r = msg.recipients[i];
        if (!r || (!*r->name && !*r->address))
            continue;
        out += "<t:Member>\n<t:Mailbox>\n<t:Name>" + XmlRequestEscaped(r->name) + "</t:Name>\n";
        if (*r->address)
            out += "<t:EmailAddress>" + XmlRequestEscaped(r->address) + "</t:EmailAddress>\n";
        out += std::string("<t:RoutingType>") + RoutingType(r->address) + "</t:RoutingType>\n";
        out += "<t:MailboxType>OneOff</t:MailboxType>\n</t:Mailbox>\n</t:Member>\n";
    }
    return out + "</t:Members>\n</t:DistributionList>\n";
}

} // namespace

std::string EncodeOneOffEntryId(std::string_view address, std::string_view display_name)
{
    const std::string clean_address = qvcommon::XmlRequestText(address);
    const std::string clean_name =
        qvcommon::XmlRequestText(display_name.empty() ? address : display_name);
    const std::u16string type_units = Utf16Of(RoutingType(clean_address));
    const std::u16string name_units = CutUnits(Utf16Of(clean_name), kEntryNameUnitsMax);
    const std::u16string address_units = CutUnits(
        Utf16Of(clean_address),
        kEntryAddressUnitsMax > type_units.size() ? kEntryAddressUnitsMax - type_units.size() : 0);

    std::string bytes(4, '\0'); // flags
    bytes.append(reinterpret_cast<const char *>(kOneOffProviderUid.data()),
                 kOneOffProviderUid.size());
    bytes.append(2, '\0');            // version
    bytes += static_cast<char>(0x01); // 0x8001: Unicode, no rich information
    bytes += static_cast<char>(0x80);
    AppendUtf16z(bytes, name_units);
    AppendUtf16z(bytes, type_units);
    AppendUtf16z(bytes, address_units);
    return qvcommon::Base64Encode(bytes);
}

ListForm ListFormFor(const Session &session)
{
    return session.state.force_version_header ||
                   session.state.server_major_version >= kFirstMemberFormVersion
               ? ListForm::kMembers
               : ListForm::kProperties;
}

std::string DistListRequestBody(const qv_message &msg, std::string_view folder_id, ListForm form,
                                int major_version)
{
    std::string body = "<SavedItemFolderId>\n<t:FolderId Id=\"" + XmlRequestEscaped(folder_id) +
                       "\"/>\n</SavedItemFolderId>\n<Items>\n";
    body += form == ListForm::kMembers ? MemberForm(msg) : PropertyForm(msg, major_version);
    return body + "</Items>\n";
}

int WriteDistList(Session &session, const qv_message &msg, const std::string &work_dir)
{
    const ListForm form = ListFormFor(session);
    const bool member_form = form == ListForm::kMembers;
    const std::string request_path = work_dir + std::string(kContactRequestFile);
    const std::string answer_path = work_dir + std::string(kContactAnswerFileName);
    {
        qvcommon::UniqueFile request = qvcommon::OpenFile(request_path, "wb");
        const std::string body = DistListRequestBody(msg, session.state.target_folder_id, form,
                                                     session.state.server_major_version);
        if (!request || std::fwrite(body.data(), 1, body.size(), request.get()) != body.size() ||
            std::fflush(request.get()) != 0) {
            com_Log("QV Warning: list %s lost: cannot write %s", msg.title, request_path.c_str());
            request.reset();
            std::remove(request_path.c_str());
            return kContactLost;
        }
    }
    const int copy_number = CopyRequestForDebug(session, request_path);
    for (int attempt = 0;; ++attempt) {
        const PostResult post = SendCreateItem(session, "MessageDisposition=\"SaveOnly\"",
                                               request_path, answer_path, msg.title);
        if (IsCreated(post, answer_path))
            break;
        if (post.http_status < kListRetryStatusMin || attempt >= session.settings.write_retries) {
            com_Log(member_form ? "QV Warning: unable to create dlist (2)"
                                : "QV Warning: unable to create dlist");
            CopyAnswerForDebug(session, answer_path, copy_number);
            return kContactLost;
        }
        com_Log(member_form ? "QV Info: retrying dlist (2) (%s)" : "QV Info: retrying dlist (%s)",
                msg.title);
        clock::SleepMs((attempt + 2) * 1000);
    }
    std::remove(request_path.c_str());
    std::remove(answer_path.c_str());
    return kContactStored;
}

} // namespace qvamz::contacts
