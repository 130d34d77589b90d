// The host callbacks as the connector drives them: OutputMsg archives the
// record, MsgStatus counts per status, and an item that could not be
// archived counts as failed, not skipped.
#include <gtest/gtest.h>

#include <array>

#include "host_callbacks.hpp"
#include "record_archive.hpp"
#include "record_json.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

// converted, duplicates, outside dates, skipped, failed, lost
std::array<int, 6> counts(const ItemTally &t) {
    return {t.converted, t.duplicates, t.outside_dates, t.skipped, t.failed, t.lost};
}

TEST(HostCallbacks, OutputArchivesAndStatusCounts) {
    TempDir temp;
    std::string work = temp.prefix();
    ArchiveWriter writer(temp.path() / "archive", "a@example.com");
    writer.begin_folder("Inbox", "Inbox", 0, 5);
    ReadContext context;
    context.writer = &writer;
    ActiveRead active(context);

    Record record = new_record(1);
    set_text(record->subject, "first");
    add_part(*record, work, QV_PART_TEXT_BODY, "", "body");
    int c1 = 0, c2 = 0, stop = 0;
    // As the connector does it: output, then the status of the item.
    EXPECT_EQ(on_output(record.get(), &context, work.data(), 0), 0);
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_CONVERTED, &c1, &c2, &stop);
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_DUPLICATE, &c1, &c2, &stop);
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_OUT_OF_RANGE, &c1, &c2, &stop);
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_SKIPPED, &c1, &c2, &stop);
    // A keepalive from the transport is no item.
    on_status(nullptr, const_cast<char *>("keepalive"), 0, &c1, &c2, &stop);

    // An item the archive refuses (nested too deep) is refused to the
    // connector, which then reports it as skipped: the host counts it failed.
    Record deep = nested_record(kMaxEmbeddedDepth + 2, work);
    EXPECT_EQ(on_output(deep.get(), &context, work.data(), 1), QV_OUTPUT_REFUSED);
    EXPECT_FALSE(fs::exists(temp.path() / "archive" / "0001" / "000002.p000")) << "left behind";
    on_status(deep.get(), const_cast<char *>(""), QV_STATUS_SKIPPED, &c1, &c2, &stop);

    EXPECT_EQ(counts(context.tally), (std::array{1, 1, 1, 1, 1, 0}));
    EXPECT_EQ(context.tally.reported(), 5);
    EXPECT_EQ(stop, 0);
    EXPECT_EQ(writer.manifest().folders[0].items, 1);
    EXPECT_NE(context.last_error.find("nest deeper"), std::string::npos);
}

// Items the connector could not read are reported lost and then given
// status 6: they count failed, and only as many of them as were reported.
TEST(HostCallbacks, ItemsReportedLostWhileReadingCountFailed) {
    ReadContext context;
    ActiveRead active(context);
    Record record = new_record(1);
    int c1 = 0, c2 = 0, stop = 0;
    on_read_loss(12, 2, &context);
    for (int i = 0; i < 3; ++i)
        on_status(record.get(), const_cast<char *>(""), QV_STATUS_SKIPPED, &c1, &c2, &stop);
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_CONVERTED, &c1, &c2, &stop);
    on_read_loss(12, 0, &context);
    on_read_loss(12, 5, nullptr); // no folder being read: ignored
    on_status(record.get(), const_cast<char *>(""), QV_STATUS_SKIPPED, &c1, &c2, &stop);
    EXPECT_EQ(context.unread_reported, 0);
    // Bundles lost on the write side add up (ResumeWithoutDuplicates counts
    // them through a copy); with no folder being written, they are ignored.
    on_loss(1, 3, &context.tally);
    on_loss(1, 2, &context.tally);
    on_loss(1, 4, nullptr);
    EXPECT_EQ(counts(context.tally), (std::array{1, 0, 0, 2, 2, 5}));
}

} // namespace
} // namespace qvmigrate
