// Notes of contacts, tasks and calendar items: stored as the record's text
// body part and read back, whole or cut between characters.
#include <gtest/gtest.h>

#include <string>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

using qvcom::part_file_path;

TEST(Notes, StoredAsTextBodyAndReadBack) {
    qvtest::TempDir dir;
    qvtest::Record rec = qvtest::new_record(7);
    qvtest::add_part(*rec, dir.prefix(), QV_PART_ATTACHMENT, "a.bin", "xyz");

    const std::string text = "Line one\r\nZ\xC3\xBCrich \xE2\x82\xAC";
    ASSERT_NE(com_WriteNotes(rec.get(), text.c_str(), dir.prefix().c_str()), 0);
    ASSERT_EQ(rec->part_count, 2);
    EXPECT_EQ(rec->parts[1]->part_type, QV_PART_TEXT_BODY);
    EXPECT_EQ(rec->parts[1]->size, text.size());
    EXPECT_STREQ(rec->parts[1]->charset, "utf-8");
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 7, 1)), text);

    char out[256];
    EXPECT_EQ(com_ReadNotes(rec.get(), out, sizeof out, dir.prefix().c_str()),
              static_cast<int64_t>(text.size()));
    EXPECT_EQ(std::string(out), text);

    // Writing again replaces the notes instead of adding a second body.
    ASSERT_NE(com_WriteNotes(rec.get(), "short", dir.prefix().c_str()), 0);
    EXPECT_EQ(rec->part_count, 2);
    EXPECT_EQ(qvtest::read_file(part_file_path(dir.prefix(), 7, 1)), "short");

    // A buffer too small for the euro sign stops before it.
    ASSERT_NE(com_WriteNotes(rec.get(), text.c_str(), dir.prefix().c_str()), 0);
    char small[21]; // 20 bytes of text: the euro sign would end at 21
    EXPECT_EQ(com_ReadNotes(rec.get(), small, sizeof small, dir.prefix().c_str()), 18);
    EXPECT_EQ(std::string(small), "Line one\r\nZ\xC3\xBCrich ");
}

TEST(Notes, NothingStoredNothingRead) {
    qvtest::TempDir dir;
    qvtest::Record rec = qvtest::new_record(8);
    EXPECT_NE(com_WriteNotes(rec.get(), "", dir.prefix().c_str()), 0);
    EXPECT_EQ(rec->part_count, 0);
    char out[16] = "junk";
    EXPECT_EQ(com_ReadNotes(rec.get(), out, sizeof out, dir.prefix().c_str()), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(com_WriteNotes(nullptr, "x", dir.prefix().c_str()), 0);

    // A part file that cannot be written adds no part.
    EXPECT_EQ(com_WriteNotes(rec.get(), "text", (dir.prefix() + "missing/").c_str()), 0);
    EXPECT_EQ(rec->part_count, 0);
}

} // namespace
