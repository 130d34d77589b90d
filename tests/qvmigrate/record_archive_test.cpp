// The record archive: a record with every kind of sub-record survives a
// round trip unchanged, and damaged archives are refused naming the file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "json_util.hpp"
#include "record_archive.hpp"
#include "record_fields.hpp"
#include "record_json.hpp"
#include "test_support.hpp"

namespace qvmigrate {
namespace {

using namespace qvm_test;

constexpr int kExportNumber = 7;
constexpr int kImportNumber = 42;
const std::string kBinaryAttachment("\x00\x01\xff PNG\r\n\x1a\n", 12);

// A mail with bodies, attachments (one with a hostile name), a moved
// attachment, recipients of every kind, breakouts (one with a description
// file) and a message embedded two levels deep.
void fill_record(qv_message &msg, const std::string &work) {
    set_text(msg.subject, "Grüße – Projektstart");
    set_text(msg.from_name, "J\xfcrgen M\xfcller"); // windows-1252, not UTF-8
    set_text(msg.from_address, "juergen@example.de");
    set_text(msg.message_id, "<a1@example.de>");
    set_text(msg.categories, "Finance; Projekt Alpha");
    set_text(msg.group_folder, "root");
    set_text(msg.time_zone, "W. Europe Standard Time");
    msg.date = 134'177'000'123'456'789ULL; // beyond 2^53: must stay exact
    msg.start_time = 134'177'000'000'000'000ULL;
    msg.priority = 2;
    msg.unread = 1;
    msg.flag_status = 2;
    msg.replied = 1;
    msg.codepage = 1252;
    msg.entry_type = 3;
    msg.recur_type = -1;
    msg.busy_status = 2;
    msg.recur_days = 0x7f;
    msg.reminder_minutes = -15;
    for (int i = 0; i < 16; ++i)
        msg.binary_id[i] = static_cast<uint8_t>(i * 17);

    add_part(msg, work, QV_PART_TEXT_BODY, "", "Hallo,\r\nwir starten.\r\n");
    set_text(msg.parts[0]->charset, "iso-8859-1");
    add_part(msg, work, QV_PART_HTML_BODY, "", "<p>Hallo</p>");
    add_part(msg, work, QV_PART_ATTACHMENT, "../../etc/passwd", kBinaryAttachment.c_str());
    write_file(qvcom::part_file_path(work, msg.msg_number, 2), kBinaryAttachment);
    msg.parts[2]->size = static_cast<uint32_t>(kBinaryAttachment.size());
    qv_part &moved = add_part(msg, work, QV_PART_MOVED_ATTACHMENT, "big.zip", nullptr);
    set_text(moved.content_id, "https://files.example/big.zip");

    qv_part *embedded = com_AllocPart(&msg);
    embedded->part_type = QV_PART_EMBEDDED_MSG;
    set_text(embedded->file_name, "forwarded.eml");
    qv_message *inner = com_AllocSubMsg(&msg, msg.part_count);
    ++msg.part_count;
    set_text(inner->subject, "Inner");
    add_part(*inner, work, QV_PART_TEXT_BODY, "", "inner body");
    add_recipient(*inner, "Inner To", "inner@example.com", QV_RECIP_TO);
    qv_part *deeper = com_AllocPart(inner);
    deeper->part_type = QV_PART_EMBEDDED_MSG;
    qv_message *innermost = com_AllocSubMsg(inner, inner->part_count);
    ++inner->part_count;
    set_text(innermost->subject, "Innermost");
    add_part(*innermost, work, QV_PART_ATTACHMENT, "note.txt", "deepest");

    add_recipient(msg, "Alex Chen", "alex@example.com", QV_RECIP_TO);
    add_recipient(msg, "\"Last, First\" <lf@example.com>", "lf@example.com", QV_RECIP_CC);
    add_recipient(msg, "", "hidden@example.com", QV_RECIP_BCC);
    msg.recipients[2]->response = 3;

    qv_breakout *moved_occurrence = com_AllocBreakout(&msg);
    moved_occurrence->original_start = 134'100'000'000'000'000ULL;
    moved_occurrence->start = 134'100'036'000'000'000ULL;
    moved_occurrence->end = 134'100'072'000'000'000ULL;
    set_text(moved_occurrence->subject, "Moved");
    const std::string description = work + "description.txt";
    write_file(description, "moved to Friday");
    set_text(moved_occurrence->description_file, description);
    ++msg.breakout_count;
    qv_breakout *deleted = com_AllocBreakout(&msg);
    deleted->kind = 1;
    deleted->original_start = 134'200'000'000'000'000ULL;
    set_text(deleted->attendee_file, "/nonexistent/attendees.txt");
    ++msg.breakout_count;
}

void expect_same_fields(const void *a, const void *b, std::span<const FieldInfo> fields,
                        const std::string &where) {
    for (const FieldInfo &field : fields) {
        if (field.kind == FieldKind::Text)
            EXPECT_EQ(text_field(a, field), text_field(b, field)) << where << field.name;
        else
            EXPECT_EQ(0, std::memcmp(static_cast<const char *>(a) + field.offset,
                                     static_cast<const char *>(b) + field.offset, field.size))
                << where << field.name;
    }
}

void expect_same_record(const qv_message &a, const std::string &work_a, const qv_message &b,
                        const std::string &work_b, const std::string &where = "") {
    expect_same_fields(&a, &b, message_fields(), where);
    ASSERT_EQ(a.part_count, b.part_count) << where;
    ASSERT_EQ(a.recipient_count, b.recipient_count) << where;
    ASSERT_EQ(a.breakout_count, b.breakout_count) << where;
    for (int i = 0; i < a.part_count; ++i) {
        const std::string at = where + "parts[" + std::to_string(i) + "].";
        expect_same_fields(a.parts[i], b.parts[i], part_fields(), at);
        const auto file_a = qvcom::part_file_path(work_a, a.msg_number, i);
        const auto file_b = qvcom::part_file_path(work_b, b.msg_number, i);
        ASSERT_EQ(fs::exists(file_a), fs::exists(file_b)) << at;
        if (fs::exists(file_a)) {
            EXPECT_EQ(read_file(file_a), read_file(file_b)) << at;
        }
        ASSERT_EQ(a.parts[i]->sub_message == nullptr, b.parts[i]->sub_message == nullptr) << at;
        if (a.parts[i]->sub_message != nullptr) {
            expect_same_record(*a.parts[i]->sub_message, work_a, *b.parts[i]->sub_message,
                               work_b, at + "sub_message.");
        }
    }
    for (int i = 0; i < a.recipient_count; ++i)
        expect_same_fields(a.recipients[i], b.recipients[i], recipient_fields(), where + "recipients.");
    for (int i = 0; i < a.breakout_count; ++i)
        expect_same_fields(a.breakouts[i], b.breakouts[i], breakout_fields(), where + "breakouts.");
}

class RecordArchiveTest : public ::testing::Test {
  protected:
    TempDir temp;
    std::string export_work = temp.prefix() + "export/";
    std::string import_work = temp.prefix() + "import/";
    fs::path archive = temp.path() / "archive";

    void SetUp() override {
        fs::create_directories(export_work);
        fs::create_directories(import_work);
    }

    // One folder with two copies of the rich record.
    Record write_sample() {
        Record record = new_record(kExportNumber);
        fill_record(*record, export_work);
        ArchiveWriter writer(archive, "alice@example.com");
        writer.begin_folder("Inbox/Projects", "Inbox^Projects", 0, 3);
        writer.write_item(*record, export_work);
        writer.write_item(*record, export_work);
        writer.begin_folder("Contacts", "Contacts", 1, 0);
        writer.finish();
        return record;
    }
};

TEST_F(RecordArchiveTest, RoundTripChangesNothing) {
    Record original = write_sample();
    ArchiveReader reader(archive);
    reader.verify();
    const ArchiveManifest &manifest = reader.manifest();
    std::string folders = manifest.mailbox;
    for (const ArchiveFolder &f : manifest.folders)
        folders += " | " + f.path + " " + f.internal_path + " " + std::to_string(f.folder_type) + " " +
                   std::to_string(f.items) + "/" + std::to_string(f.source_total);
    EXPECT_EQ(folders, "alice@example.com | Inbox/Projects Inbox^Projects 0 2/3 | Contacts Contacts 1 0/0");

    Record copy = new_record(kImportNumber);
    reader.read_item(manifest.folders[0], 2, *copy, import_work);
    // The breakout's description file comes back as a file of the import's
    // work folder with the same content.
    const std::string restored = copy->breakouts[0]->description_file;
    EXPECT_TRUE(restored.starts_with(import_work)) << restored;
    EXPECT_EQ(read_file(restored), "moved to Friday");
    set_text(copy->breakouts[0]->description_file, original->breakouts[0]->description_file);
    expect_same_record(*original, export_work, *copy, import_work);
}

TEST_F(RecordArchiveTest, TakenItemLeavesTheArchiveWholeAndAlone) {
    Record original = write_sample();
    ArchiveReader reader(archive);
    const ArchiveFolder &inbox = reader.manifest().folders[0];
    const auto item_files = [&](const std::string &base) {
        int files = 0;
        for (const auto &entry : fs::directory_iterator(archive / "0001"))
            files += entry.path().filename().string().starts_with(base + ".") ? 1 : 0;
        return files;
    };
    const int files_of_second = item_files("000002");
    ASSERT_GT(files_of_second, 3);

    Record taken = new_record(kImportNumber);
    reader.read_item(inbox, 1, *taken, import_work, ArchiveReader::FileUse::Taken);
    set_text(taken->breakouts[0]->description_file, original->breakouts[0]->description_file);
    expect_same_record(*original, export_work, *taken, import_work, "taken: ");
    EXPECT_EQ(item_files("000001"), 0);
    EXPECT_EQ(item_files("000002"), files_of_second);
    EXPECT_THROW(reader.read_item(inbox, 1, *taken, import_work), ArchiveError);
}

TEST_F(RecordArchiveTest, FileNamesComeFromSequenceNumbersOnly) {
    write_sample();
    for (const auto &entry : fs::recursive_directory_iterator(archive)) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("passwd"), std::string::npos);
        EXPECT_TRUE(name == "manifest.json" || name.find_first_not_of("0123456789.pbjsondeciratl") ==
                                                   std::string::npos)
            << name;
    }
    EXPECT_TRUE(fs::exists(archive / "0001" / "000002.p004.p001.p000"));
}

TEST_F(RecordArchiveTest, EveryRecordByteIsArchivedOrDeliberatelyLeftOut) {
    size_t covered = sizeof(qv_message::parts) + sizeof(qv_message::recipients) +
                     sizeof(qv_message::breakouts) + 3 * sizeof(int32_t) /* counts */ +
                     sizeof(qv_message::msg_number);
    for (const FieldInfo &field : message_fields())
        covered += field.size;
    EXPECT_EQ(covered, sizeof(qv_message));
    size_t part_bytes = sizeof(qv_part::sub_message);
    for (const FieldInfo &field : part_fields())
        part_bytes += field.size;
    EXPECT_EQ(part_bytes, sizeof(qv_part));
    size_t breakout_bytes = sizeof(qv_breakout::description_file) + sizeof(qv_breakout::attendee_file);
    for (const FieldInfo &field : breakout_fields())
        breakout_bytes += field.size;
    EXPECT_EQ(breakout_bytes, sizeof(qv_breakout));
}

TEST_F(RecordArchiveTest, ItemJsonUsesTheRecordsFieldNames) {
    write_sample();
    const auto parsed = parse_json(read_file(archive / "0001" / "000001.json"));
    ASSERT_TRUE(parsed.root);
    const cJSON *root = parsed.root.get();
    EXPECT_EQ(json_string(root, "subject"), "Grüße – Projektstart");
    EXPECT_EQ(json_string(json_member(root, "from_name"), "base64"), "SvxyZ2VuIE38bGxlcg==");
    EXPECT_EQ(json_string(json_member(root, "date"), "filetime"), "134177000123456789");
    EXPECT_EQ(json_string(json_member(root, "date"), "utc"), "2026-03-11T10:53:32.3456789Z");
    EXPECT_EQ(json_string(root, "binary_id"), "ABEiM0RVZneImaq7zN3u/w==");
    EXPECT_EQ(cJSON_GetArraySize(json_member(root, "recipients")), 3);
    EXPECT_EQ(json_member(root, "msg_number"), nullptr);
}

// Each damage, and the file the refusal must name.
struct Damage {
    const char *name;
    std::function<void(const fs::path &)> apply;
    const char *file_named;
};

class RecordArchiveDamageTest : public RecordArchiveTest,
                                public ::testing::WithParamInterface<Damage> {};

TEST_P(RecordArchiveDamageTest, IsRefusedNamingTheFile) {
    write_sample();
    GetParam().apply(archive);
    try {
        ArchiveReader(archive).verify();
        FAIL() << "archive accepted";
    } catch (const ArchiveError &e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().file_named), std::string::npos) << e.what();
    }
}

void replace_in(const fs::path &path, const std::string &from, const std::string &to) {
    write_file(path, replaced(read_file(path), from, to));
}

const Damage kDamages[] = {
    {"NoManifest", [](const fs::path &a) { fs::remove(a / "manifest.json"); }, "manifest.json"},
    {"NewerVersion",
     [](const fs::path &a) { replace_in(a / "manifest.json", "\"format_version\": 1", "\"format_version\": 2"); },
     "format version 2 is newer"},
    {"ManifestCut",
     [](const fs::path &a) { fs::resize_file(a / "manifest.json", 40); }, "manifest.json"},
    {"ItemMissing", [](const fs::path &a) { fs::remove(a / "0001" / "000002.json"); },
     "0001/000002.json"},
    {"ItemCut", [](const fs::path &a) { fs::resize_file(a / "0001" / "000001.json", 300); },
     "0001/000001.json"},
    {"PartCut", [](const fs::path &a) { fs::resize_file(a / "0001" / "000002.p002", 3); },
     "0001/000002.p002"},
    {"PartAltered",
     [](const fs::path &a) { replace_in(a / "0001" / "000001.p001", "Hallo", "Hullo"); },
     "0001/000001.p001"},
    {"NestedPartMissing",
     [](const fs::path &a) { fs::remove(a / "0001" / "000001.p004.p001.p000"); },
     "000001.p004.p001.p000"},
    {"PathInFileName",
     [](const fs::path &a) { replace_in(a / "0001" / "000001.json", "\"000001.p002\"", "\"../../x\""); },
     "0001/000001.json"},
    {"UnknownKey",
     [](const fs::path &a) { replace_in(a / "0001" / "000001.json", "\"subject\"", "\"subjekt\""); },
     "0001/000001.json"},
    {"TextTooLong",
     [](const fs::path &a) {
         replace_in(a / "0001" / "000001.json", "\"<a1@example.de>\"", "\"" + std::string(200, 'x') + "\"");
     },
     "message_id"},
    {"DateDisagrees",
     [](const fs::path &a) { replace_in(a / "0001" / "000001.json", "2026-03-11T10:53:32", "2026-03-12T10:53:32"); },
     "date"},
};

INSTANTIATE_TEST_SUITE_P(Damages, RecordArchiveDamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(RecordArchiveTest, WriterRefusesAFolderInUse) {
    fs::create_directories(archive);
    write_file(archive / "other.txt", "x");
    EXPECT_THROW(ArchiveWriter(archive, "a@example.com"), ArchiveError);
}

} // namespace
} // namespace qvmigrate
