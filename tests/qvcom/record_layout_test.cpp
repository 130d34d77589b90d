// The record layout is a binary contract with hosts built elsewhere
// (Linux x86-64, byte-packed).  A field that changes width moves every
// field after it, so the offsets of fields spread over each record, and
// the record sizes, pin the whole layout.
#include <gtest/gtest.h>

#include <cstddef>

#include "c_header_check.h"
#include "qv/record.h"

namespace {

struct Offset {
    const char *name;
    std::size_t actual, expected;
};
#define QV_AT(type, field, expected) Offset{#field, offsetof(type, field), expected}

TEST(RecordLayout, FieldsSitWhereTheHostExpectsThem)
{
    const Offset offsets[] = {
        QV_AT(qv_message, recipients, 500 * 8),  QV_AT(qv_message, part_count, 48096),
        QV_AT(qv_message, group_folder, 48112),  QV_AT(qv_message, subject, 50160),
        QV_AT(qv_message, date, 50688),          QV_AT(qv_message, binary_id, 50704),
        QV_AT(qv_message, msg_number, 50720),    QV_AT(qv_message, message_charset, 50996),
        QV_AT(qv_message, first_name, 51032),    QV_AT(qv_message, email1, 62296),
        QV_AT(qv_message, contact_kind, 64088),  QV_AT(qv_message, categories, 68188),
        QV_AT(qv_message, entry_type, 70748),    QV_AT(qv_message, start_time, 70750),
        QV_AT(qv_message, is_private, 70774),    QV_AT(qv_message, recur_type, 70778),
        QV_AT(qv_message, recur_interval, 70780), QV_AT(qv_message, recur_end, 70808),
        QV_AT(qv_message, organizer_name, 70820), QV_AT(qv_message, delivered_to, 71348),
        QV_AT(qv_message, reminder_time, 71604), QV_AT(qv_message, organizer_address, 71612),
        QV_AT(qv_message, time_zone, 71884),     QV_AT(qv_message, folder_total, 72020),
        QV_AT(qv_part, size, 512),               QV_AT(qv_part, content_id, 520),
        QV_AT(qv_part, sub_message, 1544),       QV_AT(qv_part, charset, 1552),
        QV_AT(qv_recipient, address, 512),       QV_AT(qv_recipient, kind, 768),
        QV_AT(qv_breakout, start, 12),           QV_AT(qv_breakout, attendee_file, 796),
    };
    for (const Offset &o : offsets)
        EXPECT_EQ(o.actual, o.expected) << o.name;
    EXPECT_EQ(sizeof(qv_message), 72024u);
    EXPECT_EQ(sizeof(qv_part), 1584u);
    EXPECT_EQ(sizeof(qv_recipient), 776u);
    EXPECT_EQ(sizeof(qv_breakout), 1052u);
}

TEST(RecordLayout, CompiledAsCTheLayoutIsTheSame)
{
    EXPECT_EQ(c_sizeof_message(), sizeof(qv_message));
    EXPECT_EQ(c_sizeof_part(), sizeof(qv_part));
    EXPECT_EQ(c_sizeof_recipient(), sizeof(qv_recipient));
    EXPECT_EQ(c_sizeof_breakout(), sizeof(qv_breakout));
    EXPECT_EQ(c_offset_of_folder_total(), offsetof(qv_message, folder_total));
    EXPECT_EQ(c_offset_of_sub_message(), offsetof(qv_part, sub_message));
    EXPECT_EQ(c_calls_library(), 1);
}

} // namespace
