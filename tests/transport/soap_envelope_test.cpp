// The SOAP envelope around an operation: header rules, escaping, and every
// variant (with and without the delegate mailbox) checked against the EWS
// schema.
#include <gtest/gtest.h>

#include <string>

#include "ews/folder_discovery.hpp"
#include "test_support.hpp"
#include "transport/soap_request.hpp"

namespace {

using namespace qvamz;

constexpr const char *kGetFolderBody =
    "<FolderShape>\n<t:BaseShape>Default</t:BaseShape>\n</FolderShape>\n<FolderIds>\n"
    "<t:DistinguishedFolderId Id=\"msgfolderroot\">#Delegate</t:DistinguishedFolderId>\n"
    "</FolderIds>\n";

std::string Compose(std::string_view operation, std::string_view attributes,
                    std::string_view body, const EnvelopeSettings &settings,
                    std::string_view delegate = "")
{
    return EnvelopeHead(operation, attributes, settings) + ReplaceDelegateMarker(body, delegate) +
           EnvelopeTail(operation);
}

std::string Between(const std::string &text, const std::string &from, const std::string &to)
{
    const std::size_t start = text.find(from);
    if (start == std::string::npos)
        return "<absent>";
    const std::size_t end = text.find(to, start);
    return text.substr(start, end == std::string::npos ? end : end + to.size() - start);
}

TEST(SoapEnvelope, HeaderRules)
{
    struct Case {
        const char *name;
        EnvelopeSettings settings;
        std::string header; // "<absent>" when no header is written
    };
    const std::string version = "<soap:Header>\n<t:RequestServerVersion Version=\"Exchange20";
    const Case cases[] = {
        {"version 0, nothing set", {false, false, false, 0, "", "user@example.com"}, "<absent>"},
        {"version 14: empty header", {false, false, false, 14, "", "user@example.com"},
         "<soap:Header>\n</soap:Header>"},
        {"forced, version 15", {false, false, true, 15, "", "user@example.com"},
         version + "10_SP1\"/>\n</soap:Header>"},
        {"archive, version 8", {true, false, false, 8, "", "user@example.com"},
         version + "07_SP1\"/>\n</soap:Header>"},
        {"public folders, version 0", {false, true, false, 0, "", "user@example.com"},
         version + "07_SP1\"/>\n</soap:Header>"},
        {"administrator, the mailbox escaped",
         {false, false, false, 0, "a&b@example.com", "a&b@example.com"},
         "<soap:Header>\n<t:ExchangeImpersonation>\n<t:ConnectingSID>\n<t:PrimarySmtpAddress>"
         "a&amp;b@example.com</t:PrimarySmtpAddress>\n</t:ConnectingSID>\n"
         "</t:ExchangeImpersonation>\n</soap:Header>"},
    };
    for (const Case &c : cases) {
        const std::string xml = Compose("GetFolder", "", kGetFolderBody, c.settings);
        EXPECT_EQ(Between(xml, "<soap:Header>", "</soap:Header>"), c.header) << c.name;
    }
}

// Every envelope this layer writes for logon and discovery must pass the
// server's schema check; the plain ones meet the sandbox's check in every
// sandbox suite, the rarer headers are checked here.
TEST(SoapEnvelope, VariantsValidateAgainstTheSchema)
{
    const std::string mailbox =
        "<t:Mailbox><t:EmailAddress>user@example.com</t:EmailAddress></t:Mailbox>";
    struct Variant {
        const char *name;
        std::string xml;
    };
    const Variant variants[] = {
        {"GetFolder, delegate", Compose("GetFolder", "", kGetFolderBody, {false, false, true, 15, "", ""}, mailbox)},
        {"GetFolder, impersonation",
         Compose("GetFolder", "", kGetFolderBody,
                 {false, false, true, 15, "user@example.com", "user@example.com"})},
        {"FindFolder deep, page 2",
         Compose("FindFolder", "Traversal=\"Deep\"", FindFolderBody(500, "msgfolderroot"),
                 {false, false, true, 15, "", ""}, mailbox)},
        {"FindFolder shallow, public",
         Compose("FindFolder", "Traversal=\"Shallow\"", FindFolderBody(0, "publicfoldersroot"),
                 {false, true, false, 14, "", ""})},
        {"FindFolder archive", Compose("FindFolder", "Traversal=\"Deep\"",
                                       FindFolderBody(0, "archivemsgfolderroot"),
                                       {true, false, false, 15, "", ""})},
    };
    // The check itself must be able to say no.
    EXPECT_FALSE(conntest::TextValidatesAgainstSchema(
        Compose("GetFolder", "", "<FolderIds/>\n<Bogus/>\n", {})));
    for (const Variant &v : variants) {
        std::string findings;
        EXPECT_TRUE(conntest::TextValidatesAgainstSchema(v.xml, &findings))
            << v.name << "\n" << findings << v.xml;
    }
}

} // namespace
