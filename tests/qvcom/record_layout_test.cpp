// The record layout is a binary contract with hosts built elsewhere: every
// field must sit where the widths of the fields before it put it.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "c_header_check.h"
#include "qv/record.h"

namespace {

struct Field {
    const char *name;
    size_t offset; // actual
    size_t size;   // actual
    size_t width;  // expected
};

#define QV_FIELD(type, field, expected_width)                                                    \
    Field { #field, offsetof(type, field), sizeof(static_cast<type *>(nullptr)->field), expected_width }

constexpr size_t kPtr = 8; // Linux x86-64
constexpr size_t kFileTime = 8;

// Fields in storage order with their widths; the expected offset of each is
// the sum of the widths before it (the record is byte-packed).
void expect_packed(const std::vector<Field> &fields, size_t record_size) {
    size_t expected_offset = 0;
    for (const auto &f : fields) {
        EXPECT_EQ(f.offset, expected_offset) << f.name;
        EXPECT_EQ(f.size, f.width) << f.name;
        expected_offset += f.width;
    }
    EXPECT_EQ(record_size, expected_offset);
}

TEST(RecordLayout, MessageFieldsInStorageOrder) {
    expect_packed(
        {
            QV_FIELD(qv_message, parts, 500 * kPtr),
            QV_FIELD(qv_message, recipients, 5000 * kPtr),
            QV_FIELD(qv_message, breakouts, 512 * kPtr),
            QV_FIELD(qv_message, part_count, 4),
            QV_FIELD(qv_message, recipient_count, 4),
            QV_FIELD(qv_message, breakout_count, 4),
            QV_FIELD(qv_message, item_type, 4),
            QV_FIELD(qv_message, group_folder, 512),
            QV_FIELD(qv_message, from_name, 512),
            QV_FIELD(qv_message, from_address, 256),
            QV_FIELD(qv_message, sent_representing, 768),
            QV_FIELD(qv_message, subject, 528),
            QV_FIELD(qv_message, date, kFileTime),
            QV_FIELD(qv_message, priority, 4),
            QV_FIELD(qv_message, unread, 4),
            QV_FIELD(qv_message, binary_id, 16),
            QV_FIELD(qv_message, msg_number, 4),
            QV_FIELD(qv_message, message_id, 128),
            QV_FIELD(qv_message, flag_status, 4),
            QV_FIELD(qv_message, forwarded, 4),
            QV_FIELD(qv_message, replied, 4),
            QV_FIELD(qv_message, codepage, 4),
            QV_FIELD(qv_message, uid, 128),
            QV_FIELD(qv_message, message_charset, 32),
            QV_FIELD(qv_message, date_missing, 4),
            QV_FIELD(qv_message, first_name, 512),
            QV_FIELD(qv_message, last_name, 512),
            QV_FIELD(qv_message, middle_name, 512),
            QV_FIELD(qv_message, title, 512),
            QV_FIELD(qv_message, location, 512),
            QV_FIELD(qv_message, department, 512),
            QV_FIELD(qv_message, manager, 512),
            QV_FIELD(qv_message, assistant_name, 512),
            QV_FIELD(qv_message, business_phone, 512),
            QV_FIELD(qv_message, home_phone, 512),
            QV_FIELD(qv_message, other_phone, 512),
            QV_FIELD(qv_message, business_phone2, 512),
            QV_FIELD(qv_message, assistant_phone, 512),
            QV_FIELD(qv_message, business_fax, 512),
            QV_FIELD(qv_message, mobile_phone, 512),
            QV_FIELD(qv_message, company, 512),
            QV_FIELD(qv_message, business_street, 512),
            QV_FIELD(qv_message, business_street2, 512),
            QV_FIELD(qv_message, business_city, 512),
            QV_FIELD(qv_message, business_state, 512),
            QV_FIELD(qv_message, business_postal_code, 512),
            QV_FIELD(qv_message, business_country, 512),
            QV_FIELD(qv_message, email1, 768),
            QV_FIELD(qv_message, email2, 512),
            QV_FIELD(qv_message, email3, 512),
            QV_FIELD(qv_message, contact_kind, 4),
            QV_FIELD(qv_message, pager, 512),
            QV_FIELD(qv_message, web_page, 512),
            QV_FIELD(qv_message, home_street, 512),
            QV_FIELD(qv_message, home_street2, 512),
            QV_FIELD(qv_message, home_city, 512),
            QV_FIELD(qv_message, home_state, 512),
            QV_FIELD(qv_message, home_postal_code, 512),
            QV_FIELD(qv_message, home_country, 512),
            QV_FIELD(qv_message, categories, 1024),
            QV_FIELD(qv_message, address_book_name, 1024),
            QV_FIELD(qv_message, file_as, 512),
            QV_FIELD(qv_message, entry_type, 2),
            QV_FIELD(qv_message, start_time, kFileTime),
            QV_FIELD(qv_message, end_time, kFileTime),
            QV_FIELD(qv_message, complete_date, kFileTime),
            QV_FIELD(qv_message, is_private, 2),
            QV_FIELD(qv_message, busy_status, 2),
            QV_FIELD(qv_message, recur_type, 2),
            QV_FIELD(qv_message, recur_interval, 4),
            QV_FIELD(qv_message, recur_week_index, 4),
            QV_FIELD(qv_message, recur_days, 4),
            QV_FIELD(qv_message, recur_month, 4),
            QV_FIELD(qv_message, recur_day_of_month, 4),
            QV_FIELD(qv_message, recur_range, 4),
            QV_FIELD(qv_message, recur_count, 4),
            QV_FIELD(qv_message, recur_end, kFileTime),
            QV_FIELD(qv_message, percent_complete, 4),
            QV_FIELD(qv_message, organizer_name, 512),
            QV_FIELD(qv_message, reminder_set, 4),
            QV_FIELD(qv_message, reminder_minutes, 4),
            QV_FIELD(qv_message, rsvp, 4),
            QV_FIELD(qv_message, user_is_organizer, 4),
            QV_FIELD(qv_message, delivered_to, 256),
            QV_FIELD(qv_message, reminder_time, kFileTime),
            QV_FIELD(qv_message, organizer_address, 260),
            QV_FIELD(qv_message, all_day, 4),
            QV_FIELD(qv_message, task_status, 4),
            QV_FIELD(qv_message, importance, 4),
            QV_FIELD(qv_message, time_zone, 136),
            QV_FIELD(qv_message, folder_total, 4),
        },
        sizeof(qv_message));
}

TEST(RecordLayout, SubRecordsInStorageOrder) {
    expect_packed(
        {
            QV_FIELD(qv_part, file_name, 512),
            QV_FIELD(qv_part, size, 4),
            QV_FIELD(qv_part, part_type, 4),
            QV_FIELD(qv_part, content_id, 1024),
            QV_FIELD(qv_part, sub_message, kPtr),
            QV_FIELD(qv_part, charset, 32),
        },
        sizeof(qv_part));
    expect_packed(
        {
            QV_FIELD(qv_recipient, name, 512),
            QV_FIELD(qv_recipient, address, 256),
            QV_FIELD(qv_recipient, kind, 4),
            QV_FIELD(qv_recipient, response, 4),
        },
        sizeof(qv_recipient));
    expect_packed(
        {
            QV_FIELD(qv_breakout, kind, 4),
            QV_FIELD(qv_breakout, original_start, kFileTime),
            QV_FIELD(qv_breakout, start, kFileTime),
            QV_FIELD(qv_breakout, end, kFileTime),
            QV_FIELD(qv_breakout, subject, 256),
            QV_FIELD(qv_breakout, location, 256),
            QV_FIELD(qv_breakout, description_file, 256),
            QV_FIELD(qv_breakout, attendee_file, 256),
        },
        sizeof(qv_breakout));
}

TEST(RecordLayout, CompiledAsCTheLayoutIsTheSame) {
    EXPECT_EQ(c_sizeof_message(), sizeof(qv_message));
    EXPECT_EQ(c_sizeof_part(), sizeof(qv_part));
    EXPECT_EQ(c_sizeof_recipient(), sizeof(qv_recipient));
    EXPECT_EQ(c_sizeof_breakout(), sizeof(qv_breakout));
    EXPECT_EQ(c_offset_of_folder_total(), offsetof(qv_message, folder_total));
    EXPECT_EQ(c_offset_of_sub_message(), offsetof(qv_part, sub_message));
    EXPECT_EQ(c_calls_library(), 1);
}

} // namespace
