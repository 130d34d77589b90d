// Real-shaped messages from tests/data/mailread: the record's fields and
// the bytes of every part file.
#include <gtest/gtest.h>

#include <string>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;
using mailread_test::filetime_utc;
using mailread_test::ReadFile;


void expect_part(const qv_message *msg, int index, int type, const char *name, const char *charset,
                 const char *content_id = "")
{
    ASSERT_LT(index, msg->part_count);
    const qv_part *p = msg->parts[index];
    EXPECT_EQ(p->part_type, type) << "part " << index;
    EXPECT_STREQ(p->file_name, name) << "part " << index;
    EXPECT_STREQ(p->charset, charset) << "part " << index;
    EXPECT_STREQ(p->content_id, content_id) << "part " << index;
}

void expect_recipient(const qv_message *msg, int index, int kind, const char *name,
                      const char *address)
{
    ASSERT_LT(index, msg->recipient_count);
    const qv_recipient *r = msg->recipients[index];
    EXPECT_EQ(r->kind, kind) << "recipient " << index;
    EXPECT_STREQ(r->name, name) << "recipient " << index;
    EXPECT_STREQ(r->address, address) << "recipient " << index;
}

// The decoded bytes the test data generator put into the message.
std::string pattern_image()
{
    std::string bytes;
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 256; ++i)
            bytes.push_back(static_cast<char>(i));
    return bytes;
}

std::string pattern_pdf()
{
    std::string bytes = "%PDF-1.4\n";
    for (int i = 0; i < 1000; ++i)
        bytes.push_back(static_cast<char>((i * 7) % 256));
    return bytes + "\n%%EOF\n";
}

TEST_F(ParserTest, NestedMultipartsWithAttachmentsAndAnAttachedMessage)
{
    ASSERT_EQ(ParseFile("nested_related.eml"), 0);
    EXPECT_STREQ(msg->from_name, "M\xC3\xBCller, J\xC3\xB6rg");
    EXPECT_STREQ(msg->from_address, "joerg.mueller@example.com");
    EXPECT_STREQ(msg->subject, "Re: Quartalsbericht \xC3\xBC" "ber f\xC3\xBCr Q3");
    EXPECT_STREQ(msg->message_id, "<20261207091430.1234@example.com>");
    EXPECT_EQ(msg->date, filetime_utc(2026, 12, 7, 8, 14, 30));
    EXPECT_EQ(msg->date_missing, 0);
    EXPECT_EQ(msg->codepage, 65001);
    EXPECT_STREQ(msg->message_charset, "utf-8");
    EXPECT_EQ(msg->unread, 0);
    EXPECT_EQ(msg->replied, 1);
    EXPECT_EQ(msg->forwarded, 1);
    EXPECT_EQ(msg->importance, 2);
    EXPECT_EQ(msg->priority, 1);

    // The group travels as marks around its members.
    ASSERT_EQ(msg->recipient_count, 6);
    expect_recipient(msg.get(), 0, QV_RECIP_TO, "Team:", "");
    expect_recipient(msg.get(), 1, QV_RECIP_TO, "", "alice@example.org");
    expect_recipient(msg.get(), 2, QV_RECIP_TO, "Bob (Ops)", "bob@example.org");
    expect_recipient(msg.get(), 3, QV_RECIP_TO, ";", "");
    expect_recipient(msg.get(), 4, QV_RECIP_TO, "Carol C.", "carol@example.org");
    expect_recipient(msg.get(), 5, QV_RECIP_CC, "Andr\xC3\xA9", "andre@example.fr");

    ASSERT_EQ(msg->part_count, 6);
    expect_part(msg.get(), 0, QV_PART_HEADERS, "Internet Headers.txt", "");
    const std::string headers = Part(0);
    EXPECT_EQ(headers.rfind("From sender@example.com Sun Dec  6 15:04:05 2026\n", 0), 0u);
    EXPECT_NE(headers.find("Subject: =?UTF-8?B?UmU6IFF1YXJ0YWxzYmVyaWNodCDDvGJlcg==?=\n"
                           " =?ISO-8859-1?Q?_f=FCr_Q3?=\n"),
              std::string::npos);
    EXPECT_EQ(headers.substr(headers.size() - 21), "\tboundary=\"outer_b\"\n\n");
    EXPECT_EQ(msg->parts[0]->size, headers.size());

    expect_part(msg.get(), 1, QV_PART_TEXT_BODY, "Message Text", "UTF-8");
    EXPECT_EQ(Part(1), "Hallo J\xC3\xB6rg,\r\nder Bericht ist angeh\xC3\xA4ngt. Dies ist eine sehr "
                       "lange Zeile, die weich umbrochen wurde.");

    // The HTML keeps its bytes; the charset its meta line declares wins
    // over the MIME header and is named in the META line put before it.
    expect_part(msg.get(), 2, QV_PART_HTML_BODY, "Message Text", "windows-1252");
    const std::string html = Part(2);
    EXPECT_EQ(html.rfind("<html><META http-equiv=\"Content-Type\" content=\"text/html; "
                         "charset=windows-1252\">\n<html><head>\n",
                         0),
              0u);
    EXPECT_NE(html.find("Preis: 5 \x80 &amp; mehr"), std::string::npos);

    expect_part(msg.get(), 3, QV_PART_ATTACHMENT, "embedded image.png", "utf-8",
                "logo@example.com");
    EXPECT_EQ(Part(3), pattern_image());
    expect_part(msg.get(), 4, QV_PART_ATTACHMENT, "Quartalsbericht \xC3\xBC" "ber Q3.pdf", "utf-8");
    EXPECT_EQ(Part(4), pattern_pdf());
    for (int i = 0; i < msg->part_count; ++i) {
        if (msg->parts[i]->part_type != QV_PART_EMBEDDED_MSG) {
            EXPECT_EQ(msg->parts[i]->size, Part(i).size()) << "part " << i;
        }
    }

    expect_part(msg.get(), 5, QV_PART_EMBEDDED_MSG, "Message Text", "");
    const qv_message *sub = msg->parts[5]->sub_message;
    ASSERT_NE(sub, nullptr);
    EXPECT_NE(sub->msg_number, msg->msg_number);
    EXPECT_STREQ(sub->from_name, "Alice");
    EXPECT_STREQ(sub->subject, "Original");
    EXPECT_EQ(sub->date, filetime_utc(2026, 12, 4, 13, 0, 0));
    ASSERT_EQ(sub->recipient_count, 1);
    ASSERT_EQ(sub->part_count, 3);
    expect_part(sub, 1, QV_PART_TEXT_BODY, "Message Text", "UTF-8");
    EXPECT_EQ(Part(1, sub), "Original text.");
    expect_part(sub, 2, QV_PART_HTML_BODY, "Message Text", "us-ascii");
    EXPECT_EQ(Part(2, sub), "<html><META http-equiv=\"Content-Type\" content=\"text/html; "
                            "charset=us-ascii\">\n<p>Original text.</p>");
}

// Single-part files: subject, charset and the decoded UTF-8 text body.
TEST_F(ParserTest, SinglePartFilesInTheirCharsets)
{
    const struct {
        const char *file, *subject;
        int codepage;
        const char *charset, *body;
    } cases[] = {
        {"latin1_qp.eml", "Caf\xC3\xA9 au lait", 28591, "iso-8859-1",
         "caf\xC3\xA9s\r\nTab here\r\nLine with = sign\r\n"},
        {"mbox_date.eml", "bounce", -1, nullptr, "body\r\n"},
        {"missing_boundary.eml", nullptr, -1, nullptr, "line one\r\nline two\r\n"},
        {"iso2022jp.eml", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", 50220, "ISO-2022-JP",
         "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE3\x80\x81"
         "\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x82\r\n"
         "\xE4\xBA\x8C\xE8\xA1\x8C\xE7\x9B\xAE\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82\r\n"},
        // UTF-16 is converted whole: its line ends stay as they are.
        {"utf16_body.eml", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 20866,
         nullptr, "Zeile 1\nZeile 2 \xE2\x82\xAC\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const qv_filetime before = com_FileTimeNow();
        ASSERT_EQ(ParseFile(c.file), 0);
        if (c.subject) {
            EXPECT_STREQ(msg->subject, c.subject);
        }
        if (c.codepage >= 0) {
            EXPECT_EQ(msg->codepage, c.codepage);
        }
        if (c.charset) {
            EXPECT_STREQ(msg->message_charset, c.charset);
        }
        ASSERT_EQ(msg->part_count, 2);
        expect_part(msg.get(), 1, QV_PART_TEXT_BODY, "Message Text", "UTF-8");
        EXPECT_EQ(Part(1), c.body);
        const std::string file = c.file;
        if (file == "latin1_qp.eml") {
            EXPECT_STREQ(msg->from_name, "Doe, John");
            EXPECT_STREQ(msg->from_address, "john.doe@example.com");
            EXPECT_EQ(msg->date, filetime_utc(2005, 1, 2, 15, 0, 0));
            EXPECT_EQ(msg->unread, 0);
            EXPECT_EQ(msg->priority, 2);
        } else if (file == "mbox_date.eml") { // the date of the "From " separator line
            EXPECT_EQ(msg->date, filetime_utc(2026, 12, 6, 15, 4, 5));
            EXPECT_EQ(msg->date_missing, 0);
        } else if (file == "missing_boundary.eml") { // no date: now
            EXPECT_EQ(msg->date_missing, 1);
            EXPECT_GE(msg->date, before);
            EXPECT_LE(msg->date, com_FileTimeNow());
        } else if (file == "iso2022jp.eml") {
            EXPECT_STREQ(msg->from_name, "\xE5\xB1\xB1\xE7\x94\xB0");
        }
        Reset();
    }
    EXPECT_EQ(ParseFile("deleted.eml"), 1);
}

TEST_F(ParserTest, LastPartWithoutClosingLineRunsToTheEnd)
{
    ASSERT_EQ(ParseFile("no_closing.eml"), 0);
    ASSERT_EQ(msg->part_count, 3);
    expect_part(msg.get(), 1, QV_PART_TEXT_BODY, "Message Text", "UTF-8");
    EXPECT_EQ(Part(1), "first");
    expect_part(msg.get(), 2, QV_PART_ATTACHMENT, "data.bin", "ISO-8859-1");
    EXPECT_EQ(Part(2), "tab\tseparated\tvalues\r\nlast line\r\n");
}

TEST_F(ParserTest, AttachedMboxFileBecomesAnEmbeddedMessage)
{
    ASSERT_EQ(ParseFile("eml_attachments.eml"), 0);
    ASSERT_EQ(msg->part_count, 4);
    expect_part(msg.get(), 1, QV_PART_TEXT_BODY, "Message Text", "UTF-8");
    expect_part(msg.get(), 2, QV_PART_EMBEDDED_MSG, "note.eml", "ISO-8859-1");
    const qv_message *note = msg->parts[2]->sub_message;
    ASSERT_NE(note, nullptr);
    EXPECT_STREQ(note->subject, "inner note");
    ASSERT_EQ(note->part_count, 2);
    EXPECT_EQ(Part(1, note), "note body\r\n");
    expect_part(msg.get(), 3, QV_PART_ATTACHMENT, "other.eml", "ISO-8859-1");
    EXPECT_EQ(Part(3), "Subject: not mbox\nFrom: y@example.com\n\nplain body\n");
}

TEST_F(ParserTest, MessageRfc822WrapperHoldsTheMessage)
{
    ASSERT_EQ(ParseFile("wrapped.eml"), 0);
    ASSERT_EQ(msg->part_count, 2);
    EXPECT_EQ(msg->parts[1]->part_type, QV_PART_EMBEDDED_MSG);
    const qv_message *inner = msg->parts[1]->sub_message;
    ASSERT_NE(inner, nullptr);
    EXPECT_STREQ(inner->from_address, "inner@example.com");
    EXPECT_STREQ(inner->subject, "inner");
    ASSERT_EQ(inner->part_count, 2);
    EXPECT_EQ(Part(1, inner), "inner body\r\n");
}

} // namespace
