// A GetItem answer read in memory must give what the file readers give on
// the same answer (the MIME bytes, IsRead, the ItemId, the meeting mark,
// categories and flags), however the network split the answer before the
// transport laid it out one tag per line.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "common/base64.hpp"
#include "ews/xml_scan.hpp"
#include "mailread/item_answer.hpp"
#include "mailread/item_fetch.hpp"
#include "test_support.hpp"
#include "transport/response_writer.hpp"

namespace {

using namespace qvamz;
using namespace qvamz::mailread;

const std::string kMessage = "From: Ann <ann@example.com>\r\nSubject: caf\xC3\xA9\r\n"
                             "Content-Type: text/plain; charset=utf-8\r\n\r\n"
                             "line one\r\n\tline two\r\n";

std::string Extended(const char *tag, const char *value)
{
    return std::string("<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"") + tag +
           "\" PropertyType=\"Integer\"/><t:Value>" + value + "</t:Value></t:ExtendedProperty>";
}

// A GetItem answer as the server sends it (no line breaks).
std::string RawAnswer(const std::string &item_start, const std::string &mime_element,
                      const std::string &after_id, const std::string &id = "AAMk/x+1=")
{
    return "<?xml version=\"1.0\"?><s:Envelope><s:Body><m:GetItemResponse><m:ResponseMessages>"
           "<m:GetItemResponseMessage ResponseClass=\"Success\"><m:ResponseCode>NoError"
           "</m:ResponseCode><m:Items>" +
           item_start + mime_element + "<t:ItemId Id=\"" + id + "\" ChangeKey=\"CQAA\"/>" +
           after_id + "</t:Message></m:Items></m:GetItemResponseMessage></m:ResponseMessages>"
                      "</m:GetItemResponse></s:Body></s:Envelope>";
}

std::string Mime(const std::string &base64)
{
    return "<t:MimeContent CharacterSet=\"UTF-8\">" + base64 + "</t:MimeContent>";
}

// The transport's layout of `raw`, fed in pieces of random size.
std::string Formatted(const std::string &raw, unsigned seed)
{
    std::mt19937 random(seed);
    TagLineFormatter formatter;
    std::string out;
    for (std::size_t at = 0; at < raw.size();) {
        const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 97)(random);
        formatter.Feed(std::string_view(raw).substr(at, piece), out);
        at += piece;
    }
    return out;
}

struct Reading {
    bool has_mime = false;
    std::string mime;
    int is_read = -1;
    ItemDetails details;
    std::unique_ptr<qv_message> msg = std::make_unique<qv_message>();
};

Reading FromFile(const conntest::ScratchDir &dir, const std::string &answer)
{
    Reading r;
    const std::string answer_path = dir.file("message.xml"), mime_path = dir.file("message.eml");
    conntest::WriteFile(answer_path, answer);
    r.has_mime = ExtractBase64Element(answer_path, mime_path, "MimeContent", &r.is_read) == 1;
    if (!r.has_mime)
        return r;
    r.mime = conntest::ReadFile(mime_path);
    ReadItemDetails(answer_path, r.msg.get(), r.details);
    return r;
}

Reading InMemory(const std::string &answer)
{
    Reading r;
    r.has_mime = DecodeMimeContent(answer, r.mime);
    if (!r.has_mime)
        return r;
    ReadIsRead(answer, r.is_read);
    ScanItemDetails(answer, r.msg.get(), r.details);
    return r;
}

// Everything a reading gives, as one text.
std::string Summary(const Reading &r)
{
    return std::to_string(r.has_mime) + " [" + r.mime + "] read " + std::to_string(r.is_read) +
           " id " + r.details.ews_item_id + " meeting " + std::to_string(r.details.meeting_request) +
           " [" + r.msg->categories + "] flag " + std::to_string(r.msg->flag_status) +
           " replied " + std::to_string(r.msg->replied) + " forwarded " +
           std::to_string(r.msg->forwarded);
}

TEST(ItemAnswerInMemory, ReadsWhatTheFileReadersRead)
{
    const std::string body = qvcommon::Base64Encode(kMessage);
    const std::string properties =
        "<t:IsRead>true</t:IsRead><t:Categories><t:String>Red &amp; Blue</t:String>"
        "<t:String>Work</t:String></t:Categories>" +
        Extended("0x1090", "2") + Extended("0x1080", "262");
    struct Case {
        const char *name;
        std::string raw;
    };
    const std::vector<Case> cases = {
        {"message", RawAnswer("<t:Message>", Mime(body), properties)},
        {"meeting request, unread",
         RawAnswer("<t:MeetingRequest>", Mime(body),
                   "<t:IsRead>false</t:IsRead>" + Extended("0x1090", "1"))},
        {"no IsRead", RawAnswer("<t:Message>", Mime(body), Extended("0x1080", "261"))},
        {"empty content", RawAnswer("<t:Message>", Mime(""), properties)},
        {"no content: not a message", RawAnswer("<t:Contact>", "", properties)},
        // Padding inside the text ends a group; foreign characters are skipped.
        {"padding and blanks inside",
         RawAnswer("<t:Message>", Mime("QQ== QkM=\tRA"), "<t:IsRead>TRUE</t:IsRead>")},
        {"long id, long line before it",
         RawAnswer("<t:Message><t:Note>" + std::string(9000, 'n') + "</t:Note>", Mime(body),
                   properties, std::string(1500, 'I'))},
        // Only the first 4096 bytes after the ItemId are looked at.
        {"categories out of reach",
         RawAnswer("<t:Message>", Mime(body),
                   "<t:Size>" + std::string(4100, '9') + "</t:Size>" + properties)},
        {"zero byte ends the properties",
         RawAnswer("<t:Message>", Mime(body), std::string("<t:X>\0</t:X>", 12) + properties)},
    };
    conntest::ScratchDir dir;
    for (const Case &c : cases) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
            const std::string answer = Formatted(c.raw, seed);
            EXPECT_EQ(Summary(InMemory(answer)), Summary(FromFile(dir, answer)));
        }
    }
    // And what both read is right.
    EXPECT_EQ(Summary(InMemory(Formatted(cases[0].raw, 7))),
              "1 [" + kMessage + "] read 1 id AAMk/x+1= meeting 0 [Red & Blue;Work] flag 2 "
                                 "replied 0 forwarded 1");
    EXPECT_EQ(InMemory(Formatted(cases[5].raw, 7)).mime, "ABCD");
}

// The flag and icon values of the laid-out properties (values other than
// these are no flag; a Value counts only after its own tag).
TEST(ExtendedFlags, FlagAndIconValues)
{
    const std::tuple<std::string, int, int, int> cases[] = { // text, flag, replied, forwarded
        {Extended("0x1090", "2"), 2, 0, 0},     {Extended("0x1090", "1"), 1, 0, 0},
        {Extended("0x1090", "3"), 0, 0, 0},     {Extended("0x1080", "261"), 0, 1, 0},
        {Extended("0x1080", "262"), 0, 0, 1},   {Extended("0x1080", "263"), 0, 0, 0},
        {Extended("0x1090", "2") + Extended("0x1080", "262"), 2, 0, 1},
        {Extended("0x1080", "2"), 0, 0, 0},     {"<t:IsRead>true</t:IsRead>", 0, 0, 0},
    };
    for (const auto &[text, flag, replied, forwarded] : cases) {
        auto msg = std::make_unique<qv_message>();
        ApplyExtendedFlags(Formatted(text, 1).c_str(), msg.get());
        EXPECT_EQ(std::tuple(+msg->flag_status, +msg->replied, +msg->forwarded),
                  std::tuple(flag, replied, forwarded))
            << text;
    }
}

} // namespace
