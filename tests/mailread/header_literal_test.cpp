// Header text is kept as the sender wrote it: "&amp;" in a MIME header is
// five characters, not an escaped ampersand (only XML answers carry entities).
#include <gtest/gtest.h>

#include <string>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;

class HeaderLiteral : public ParserTest {};

TEST_F(HeaderLiteral, EntitiesInSubjectSenderAndRecipientsStayLiteral)
{
    const std::string message = "From: \"R&amp;D Team\" <rd@example.com>\r\n"
                                "To: \"Q&amp;A &lt;desk&gt;\" <qa@example.com>, plain@example.com\r\n"
                                "Subject: Fish &amp; Chips &lt;3 and &#65;\r\n"
                                "Date: Mon, 2 Mar 2026 10:00:00 +0000\r\n"
                                "\r\n"
                                "body\r\n";
    ASSERT_EQ(ParseText(message), 0);
    EXPECT_STREQ(msg->subject, "Fish &amp; Chips &lt;3 and &#65;");
    EXPECT_STREQ(msg->from_name, "R&amp;D Team");
    EXPECT_STREQ(msg->from_address, "rd@example.com");
    ASSERT_GE(msg->recipient_count, 2);
    EXPECT_STREQ(msg->recipients[0]->name, "Q&amp;A &lt;desk&gt;");
    EXPECT_STREQ(msg->recipients[0]->address, "qa@example.com");
    EXPECT_STREQ(msg->recipients[1]->address, "plain@example.com");
}

TEST_F(HeaderLiteral, EncodedWordsAreDecodedButTheirEntitiesAreNot)
{
    const std::string message = "From: =?utf-8?Q?M=C3=BCller_&amp;_Co?= <m@example.com>\r\n"
                                "Subject: =?utf-8?B?RmlzaCAmYW1wOyBDaGlwcyDDpA==?=\r\n"
                                "\r\n"
                                "body\r\n";
    ASSERT_EQ(ParseText(message), 0);
    EXPECT_STREQ(msg->subject, "Fish &amp; Chips \xC3\xA4");
    EXPECT_STREQ(msg->from_name, "M\xC3\xBCller &amp; Co");
}

} // namespace
