// The <t:Message> element's properties and the per-item results of an
// answer, without a server.
#include <gtest/gtest.h>

#include "mailwrite/message_element.hpp"
#include "mailwrite/response_messages.hpp"
#include "mailwrite_test_support.hpp"

namespace mwtest {
namespace {

std::string PropertyXml(const char *tag, const char *type, const std::string &value)
{
    return std::string("<t:ExtendedProperty>\n<t:ExtendedFieldURI PropertyTag=\"") + tag +
           "\" PropertyType=\"" + type + "\"/>\n<t:Value>" + value +
           "</t:Value>\n</t:ExtendedProperty>\n";
}

TEST(MessageProperties, EveryOptionalPropertyInOrder)
{
    Record msg = NewRecord(1);
    set_text(msg->categories, "A; B;;  C & D;");
    msg->unread = 0;
    msg->replied = 1;
    msg->forwarded = 1;
    msg->priority = 0;
    msg->flag_status = 7;
    qv_filetime date = com_UnixToFileTime(0);
    std::string when = "1970-01-01T00:00:00Z";
    EXPECT_EQ(qvamz::MessagePropertiesXml(*msg, true, date),
              "<t:Categories>\n<t:String>A</t:String>\n<t:String>B</t:String>\n"
              "<t:String>C &amp; D</t:String>\n</t:Categories>\n" +
                  PropertyXml("0x0E07", "Integer", "1") + PropertyXml("0x3004", "String", "via QV") +
                  PropertyXml("0x1080", "Integer", "261") + PropertyXml("0x0017", "Integer", "0") +
                  PropertyXml("0x001A", "String", "IPM.StickyNote") +
                  PropertyXml("0x3007", "SystemTime", when) +
                  PropertyXml("0x0E06", "SystemTime", when) +
                  PropertyXml("0x0039", "SystemTime", when) +
                  PropertyXml("0x1090", "Integer", "2") + PropertyXml("0x1095", "Integer", "6"));
    EXPECT_EQ(msg->flag_status, 2);
}

TEST(MessageProperties, UnsetOnesAreLeftOutAndACompletedFlagHasNoIcon)
{
    Record msg = NewRecord(1);
    msg->flag_status = 1;
    const std::string when = "1970-01-01T00:00:00Z";
    EXPECT_EQ(qvamz::MessagePropertiesXml(*msg, false, com_UnixToFileTime(0)),
              PropertyXml("0x0E07", "Integer", "0") + PropertyXml("0x3004", "String", "via QV") +
                  PropertyXml("0x3007", "SystemTime", when) +
                  PropertyXml("0x0E06", "SystemTime", when) +
                  PropertyXml("0x0039", "SystemTime", when) + PropertyXml("0x1090", "Integer", "1"));
}

TEST(ResponseMessages, ClassesCodesAndTextsInOrder)
{
    WorkDir dir;
    WriteFile(dir.file("answer.xml"),
              "<m:CreateItemResponse>\r\n<m:ResponseMessages>\r\n"
              "<m:CreateItemResponseMessage ResponseClass=\"Success\">\r\n"
              "<m:ResponseCode>\r\nNoError\r\n</m:ResponseCode>\r\n"
              "</m:CreateItemResponseMessage>\r\n"
              "<m:CreateItemResponseMessage ResponseClass=\"Error\">\r\n"
              "<m:MessageText>\r\nThe message exceeds the maximum size.\r\n</m:MessageText>\r\n"
              "<m:ResponseCode>\r\nErrorMessageSizeExceeded\r\n</m:ResponseCode>\r\n"
              "</m:CreateItemResponseMessage>\r\n"
              "<CreateItemResponseMessage ResponseClass=\"Warning\">\r\n"
              "</CreateItemResponseMessage>\r\n"
              "</m:ResponseMessages>\r\n</m:CreateItemResponse>\r\n");
    auto messages = qvamz::ReadResponseMessages(dir.file("answer.xml"), "CreateItemResponseMessage");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_FALSE(messages[0].IsError());
    EXPECT_EQ(messages[0].response_code, "NoError");
    EXPECT_TRUE(messages[1].IsError());
    EXPECT_EQ(messages[1].response_code, "ErrorMessageSizeExceeded");
    EXPECT_EQ(messages[1].message_text, "The message exceeds the maximum size.");
    EXPECT_EQ(messages[2].response_class, "Warning");
    EXPECT_TRUE(qvamz::ReadResponseMessages(dir.file("none.xml"), "X").empty());
}

} // namespace
} // namespace mwtest
