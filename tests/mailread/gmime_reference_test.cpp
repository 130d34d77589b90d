// GMime as an independent reader of the same messages: every attachment
// it finds has the same name and the same decoded bytes in our part files,
// and the plain-text body reads the same.  Built only when GMime is there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <gmime/gmime.h>

#include <map>
#include <string>

#include "parse_fixture.hpp"

namespace {

using mailread_test::ParserTest;

struct Reference {
    std::map<std::string, std::string> attachments; // name -> decoded bytes
    std::string first_text;                          // UTF-8, without CR
};

std::string decoded_bytes(GMimePart *part)
{
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    if (!content)
        return {};
    GMimeStream *mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(content, mem);
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    std::string bytes(reinterpret_cast<const char *>(array->data), array->len);
    g_object_unref(mem);
    return bytes;
}

void collect(GMimeObject *, GMimeObject *object, gpointer data)
{
    auto *ref = static_cast<Reference *>(data);
    if (!GMIME_IS_PART(object))
        return;
    GMimePart *part = GMIME_PART(object);
    if (const char *name = g_mime_part_get_filename(part)) {
        ref->attachments[name] = decoded_bytes(part);
    } else if (GMIME_IS_TEXT_PART(object) && ref->first_text.empty() &&
               g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", "plain")) {
        char *text = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
        for (const char *c = text; c && *c; ++c)
            if (*c != '\r')
                ref->first_text.push_back(*c);
        g_free(text);
    }
}

Reference read_with_gmime(const std::string &path)
{
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
    Reference ref;
    GMimeStream *stream = g_mime_stream_fs_open(path.c_str(), O_RDONLY, 0644, nullptr);
    EXPECT_NE(stream, nullptr) << path;
    if (!stream)
        return ref;
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    if (message) {
        g_mime_message_foreach(message, collect, &ref);
        g_object_unref(message);
    }
    g_object_unref(parser);
    g_object_unref(stream);
    return ref;
}

// Text as both readers should agree on it: without CR, without the line
// end before a boundary (GMime gives it to the boundary, the part files
// keep it), and with tabs as blanks (text bodies carry no tabs).
std::string comparable_text(const std::string &text)
{
    std::string out;
    for (char c : text)
        if (c != '\r')
            out.push_back(c == '\t' ? ' ' : c);
    if (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

class AgreesWithGMime : public ParserTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(AgreesWithGMime, AttachmentsAndTextBody)
{
    const std::string file = GetParam();
    const Reference ref = read_with_gmime(mailread_test::data_file(file));
    ASSERT_EQ(ParseFile(file), 0);
    std::map<std::string, std::string> ours;
    std::string our_text;
    for (int i = 0; i < msg->part_count; ++i) {
        const qv_part *p = msg->parts[i];
        if (p->part_type == QV_PART_ATTACHMENT || p->part_type == QV_PART_EMBEDDED_MSG)
            ours[p->file_name] = p->part_type == QV_PART_ATTACHMENT ? Part(i) : "";
        else if (p->part_type == QV_PART_TEXT_BODY && our_text.empty())
            our_text = comparable_text(Part(i));
    }
    for (const auto &[name, bytes] : ref.attachments) {
        ASSERT_EQ(ours.count(name), 1u) << "GMime found " << name;
        if (!ours[name].empty()) { // an attachment we expanded into a message has no bytes
            EXPECT_TRUE(ours[name] == bytes) << name << ": bytes differ";
        }
    }
    if (!ref.first_text.empty()) {
        EXPECT_EQ(our_text, comparable_text(ref.first_text));
    }
}

INSTANTIATE_TEST_SUITE_P(DataFiles, AgreesWithGMime,
                         ::testing::Values("nested_related.eml", "latin1_qp.eml", "no_closing.eml",
                                           "iso2022jp.eml", "eml_attachments.eml"));

} // namespace
