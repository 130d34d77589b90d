// The demo mailbox's Contacts: contacts with every field group, names in
// several scripts, one with a file attachment, and a list with internal
// and external members.  They are written as a client's CreateItem would
// send them and stored through the same code, with fixed dates, so two
// stores seeded alike hold the same contacts.
#include <libxml/parser.h>

#include <memory>

#include "contact_item.hpp"
#include "contact_seed.hpp"
#include "sqlite_stmt.hpp"

namespace sandbox {

namespace {

constexpr UnixTime kCreated = 1767261600; // 2026-01-01T10:00:00Z

const char *const kDemoContacts[] = {
    "<t:Contact><t:Body BodyType=\"Text\">Met at the Hannover fair.\nPrefers calls before 10:00 &amp; "
    "e-mail in German.</t:Body><t:Categories><t:String>Kunden</t:String><t:String>VIP</t:String>"
    "</t:Categories><t:FileAs>Müller, Jürgen</t:FileAs><t:DisplayName>Jürgen Müller</t:DisplayName>"
    "<t:GivenName>Jürgen</t:GivenName><t:Initials>J.M.</t:Initials><t:MiddleName>Karl</t:MiddleName>"
    "<t:Nickname>Jürgi</t:Nickname><t:CompanyName>Müller &amp; Söhne GmbH</t:CompanyName>"
    "<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">juergen.mueller@example.de</t:Entry>"
    "<t:Entry Key=\"EmailAddress2\">jm@example.org</t:Entry><t:Entry Key=\"EmailAddress3\">"
    "j.mueller@example.net</t:Entry></t:EmailAddresses><t:PhysicalAddresses>"
    "<t:Entry Key=\"Business\"><t:Street>Königstraße 12</t:Street><t:City>Stuttgart</t:City>"
    "<t:State>BW</t:State><t:CountryOrRegion>Deutschland</t:CountryOrRegion><t:PostalCode>70173"
    "</t:PostalCode></t:Entry><t:Entry Key=\"Home\"><t:Street>Am Weiher 3</t:Street><t:City>Esslingen"
    "</t:City><t:CountryOrRegion>Deutschland</t:CountryOrRegion><t:PostalCode>73728</t:PostalCode>"
    "</t:Entry><t:Entry Key=\"Other\"><t:City>Zürich</t:City><t:CountryOrRegion>Schweiz"
    "</t:CountryOrRegion></t:Entry></t:PhysicalAddresses><t:PhoneNumbers>"
    "<t:Entry Key=\"AssistantPhone\">+49 711 1000 20</t:Entry><t:Entry Key=\"BusinessFax\">+49 711 1000 99"
    "</t:Entry><t:Entry Key=\"BusinessPhone\">+49 711 1000 0</t:Entry><t:Entry Key=\"BusinessPhone2\">"
    "+49 711 1000 1</t:Entry><t:Entry Key=\"HomePhone\">+49 711 555 12</t:Entry><t:Entry Key=\"MobilePhone\">"
    "+49 170 555 1234</t:Entry><t:Entry Key=\"OtherTelephone\">+41 44 555 00</t:Entry>"
    "<t:Entry Key=\"Pager\">+49 711 1000 77</t:Entry></t:PhoneNumbers><t:AssistantName>Petra Weiß"
    "</t:AssistantName><t:Birthday>1971-03-14T11:59:00Z</t:Birthday><t:BusinessHomePage>"
    "https://www.example.de/müller</t:BusinessHomePage><t:Department>Einkauf</t:Department>"
    "<t:JobTitle>Leiter Einkauf</t:JobTitle><t:Manager>Dr. Anna Schäfer</t:Manager>"
    "<t:Surname>Müller</t:Surname></t:Contact>",
    "<t:Contact><t:Body BodyType=\"Text\">日本支社の窓口。</t:Body><t:GivenName>太郎</t:GivenName>"
    "<t:CompanyName>山田商事株式会社</t:CompanyName><t:EmailAddresses><t:Entry Key=\"EmailAddress1\">"
    "taro.yamada@example.jp</t:Entry></t:EmailAddresses><t:PhoneNumbers><t:Entry Key=\"MobilePhone\">"
    "+81 90 5555 0101</t:Entry></t:PhoneNumbers><t:JobTitle>部長</t:JobTitle><t:Surname>山田</t:Surname>"
    "</t:Contact>",
    "<t:Contact><t:Body BodyType=\"Text\">Первая строка.\nВторая строка: «кавычки».</t:Body>"
    "<t:GivenName>Иван</t:GivenName><t:EmailAddresses><t:Entry Key=\"EmailAddress1\">"
    "ivan.petrov@example.ru</t:Entry></t:EmailAddresses><t:PhysicalAddresses><t:Entry Key=\"Home\">"
    "<t:Street>ул. Тверская, 7\nкв. 15</t:Street><t:City>Москва</t:City><t:CountryOrRegion>Россия"
    "</t:CountryOrRegion><t:PostalCode>125009</t:PostalCode></t:Entry></t:PhysicalAddresses>"
    "<t:Surname>Петров</t:Surname></t:Contact>",
    "<t:Contact><t:CompanyName>Société Générale de Démo</t:CompanyName><t:PhoneNumbers>"
    "<t:Entry Key=\"BusinessPhone\">+33 1 55 55 00 00</t:Entry></t:PhoneNumbers>"
    "<t:BusinessHomePage>www.example.fr</t:BusinessHomePage></t:Contact>",
    "<t:Contact><t:GivenName>María José</t:GivenName><t:EmailAddresses><t:Entry Key=\"EmailAddress1\">"
    "mj.garcia@example.es</t:Entry></t:EmailAddresses><t:Department>Ventas</t:Department>"
    "<t:Surname>García</t:Surname></t:Contact>",
};

// The owner and colleagues of the same domain are members from the
// directory; the others are one-off addresses.
std::string demo_list(const std::string &owner) {
    return "<t:DistributionList><t:DisplayName>Projektteam Ωmega</t:DisplayName><t:Members>"
           "<t:Member><t:Mailbox><t:Name>Mailbox owner</t:Name><t:EmailAddress>" + owner +
           "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Mailbox</t:MailboxType>"
           "</t:Mailbox></t:Member><t:Member><t:Mailbox><t:Name>Jürgen Müller</t:Name><t:EmailAddress>"
           "juergen.mueller@example.de</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>"
           "OneOff</t:MailboxType></t:Mailbox></t:Member><t:Member><t:Mailbox><t:Name>山田 太郎</t:Name>"
           "<t:EmailAddress>taro.yamada@example.jp</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>"
           "<t:MailboxType>OneOff</t:MailboxType></t:Mailbox></t:Member></t:Members></t:DistributionList>";
}

std::optional<StoredItem> parse_contact(const OpEnv &env, const std::string &xml, EwsError &error) {
    std::string doc_text = xml;
    doc_text.insert(doc_text.find_first_of(" >"), std::string(" xmlns:t=\"") + kTypesNs + "\"");
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> doc(
        xmlReadMemory(doc_text.data(), static_cast<int>(doc_text.size()), "contact.xml", nullptr, XML_PARSE_NONET),
        xmlFreeDoc);
    if (!doc) throw StoreError("demo contact is not well formed");
    return contact_from_element(env, xmlDocGetRootElement(doc.get()), error);
}

} // namespace

int seed_demo_contacts(MailStore &store, std::int64_t mailbox, const std::string &owner) {
    SandboxConfig config;
    RequestContext ctx;
    ctx.mailbox = owner;
    const std::string domain = owner.substr(owner.find('@') + 1);
    ctx.mailbox_exists = [domain](const std::string &address) {
        return address.size() > domain.size() && address.substr(address.size() - domain.size()) == domain;
    };
    OpEnv env{store, ctx, config, mailbox, owner};
    const FolderInfo folder = *store.distinguished_folder(mailbox, "contacts");
    std::vector<std::string> all(std::begin(kDemoContacts), std::end(kDemoContacts));
    all.push_back(demo_list(owner));
    int n = 0;
    for (const auto &xml : all) {
        EwsError error;
        auto item = parse_contact(env, xml, error);
        if (!item) throw StoreError("demo contact refused: " + error.text);
        item->info.mailbox = mailbox;
        item->info.folder = folder.id;
        item->info.date_created = item->info.date_received = item->info.last_modified = kCreated + 60 * n++;
        ItemInfo made = store.add_item(*item);
        if (n == 1) {
            StoredAttachment card;
            card.name = "Visitenkarte Müller.txt";
            card.content_type = "text/plain";
            card.content = "Jürgen Müller\r\nLeiter Einkauf\r\nMüller & Söhne GmbH\r\n";
            store.add_attachment(mailbox, made.id, card, &made);
        }
    }
    return n;
}

} // namespace sandbox
