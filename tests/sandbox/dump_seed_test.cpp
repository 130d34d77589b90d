// seed --eml-dir, seed --demo and dump: the bytes survive, the demo is what
// it claims to be, and dumps describe mailboxes well enough to compare them.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "mailbox_tools.hpp"
#include "mime_summary.hpp"
#include "ops_harness.hpp"

using namespace sandbox;
using ops_test::TempDir;
namespace fs = std::filesystem;

namespace {

using qvtest::read_file;

struct JsonDoc {
    cJSON *json;
    explicit JsonDoc(const fs::path &p) : json(cJSON_Parse(read_file(p).c_str())) {}
    ~JsonDoc() { cJSON_Delete(json); }
    std::string str(const char *key) const {
        cJSON *v = cJSON_GetObjectItemCaseSensitive(json, key);
        return cJSON_IsString(v) ? v->valuestring : "";
    }
};

std::vector<fs::path> files_with(const fs::path &dir, const std::string &ext) {
    std::vector<fs::path> out;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ext) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// folders.json of a dump: each folder's path and its "total unread class".
std::map<std::string, std::string> dumped_folders(const fs::path &dump) {
    std::map<std::string, std::string> out;
    JsonDoc doc(dump / "folders.json");
    const auto text = [](cJSON *f, const char *key) {
        cJSON *v = cJSON_GetObjectItem(f, key);
        return cJSON_IsString(v) ? std::string(v->valuestring) : cJSON_IsNumber(v) ? std::to_string(v->valueint) : "";
    };
    cJSON *f;
    cJSON_ArrayForEach(f, cJSON_GetObjectItem(doc.json, "folders"))
        out[text(f, "path")] = text(f, "total") + " " + text(f, "unread") + " " + text(f, "class");
    return out;
}

const fs::path kEmlDir = fs::path(QV_TEST_DATA_DIR) / "eml";

} // namespace

TEST(DumpSeed, DumpAfterEmlSeedReproducesTheBytes) {
    TempDir data, out;
    ASSERT_EQ(seed_eml_dir(data.path().string(), "alice@example.com", kEmlDir.string(), "Inbox/Imported/2024"), 0);
    ASSERT_EQ(dump_mailbox(data.path().string(), "alice@example.com", out.path().string()), 0);
    auto emls = files_with(out.path(), ".eml");
    std::vector<fs::path> inputs = {kEmlDir / "01-crlf.eml", kEmlDir / "02-lf-only.eml", kEmlDir / "03-multipart.eml"};
    ASSERT_EQ(emls.size(), inputs.size()); // the dot file is left out
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(read_file(emls[i]), read_file(inputs[i])) << inputs[i];
        JsonDoc j(fs::path(emls[i]).replace_extension(".json"));
        EXPECT_EQ(j.str("folder"), "Inbox/Imported/2024");
        EXPECT_EQ(j.str("tree"), "msgfolderroot");
        EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(j.json, "is_read")));
    }
    JsonDoc first(out.path() / "000001.json");
    EXPECT_EQ(first.str("subject"), "śżb and a folded  subject line");
    EXPECT_EQ(first.str("date_sent"), "2024-03-04T09:00:00Z");
    EXPECT_EQ(first.str("date_received"), "2024-03-04T09:00:00Z");
    JsonDoc third(out.path() / "000003.json");
    cJSON *atts = cJSON_GetObjectItem(third.json, "attachments");
    ASSERT_EQ(cJSON_GetArraySize(atts), 1);
    EXPECT_EQ(std::string(cJSON_GetObjectItem(cJSON_GetArrayItem(atts, 0), "name")->valuestring), "data.bin");
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(atts, 0), "size")->valueint, 10);

    EXPECT_EQ(dumped_folders(out.path())["Inbox/Imported/2024"], "3 3 IPF.Note");
}

TEST(DumpSeed, SeedAndDumpReportBadArguments) {
    TempDir data, out;
    EXPECT_NE(seed_eml_dir(data.path().string(), "a@example.com", (data.path() / "missing").string(), "Inbox"), 0);
    EXPECT_NE(dump_mailbox(data.path().string(), "nobody@example.com", out.path().string()), 0);
    ASSERT_EQ(seed_demo(data.path().string(), "demo@example.com"), 0);
    EXPECT_NE(seed_demo(data.path().string(), "demo@example.com"), 0); // only into an empty mailbox
}

TEST(DumpSeed, DemoMailboxIsDeterministicAndCoversTheHardCases) {
    TempDir a, b, out_a, out_b;
    ASSERT_EQ(seed_demo(a.path().string(), "demo@example.com"), 0);
    ASSERT_EQ(seed_demo(b.path().string(), "demo@example.com"), 0);
    ASSERT_EQ(dump_mailbox(a.path().string(), "demo@example.com", out_a.path().string()), 0);
    ASSERT_EQ(dump_mailbox(b.path().string(), "demo@example.com", out_b.path().string()), 0);
    auto emls = files_with(out_a.path(), ".eml");
    ASSERT_GE(emls.size(), 30u);
    for (const auto &p : emls) EXPECT_EQ(read_file(p), read_file(out_b.path() / p.filename())) << p;

    const auto folders = dumped_folders(out_a.path());
    for (const char *p : {"Inbox/Projects/2026", "Inbox/Projects/Archive 2019", "Inbox/Réunions", "Archive/2021"})
        EXPECT_TRUE(folders.count(p)) << p;

    std::set<std::string> charsets, types;
    // Flags, categories and read states of the demo are checked by the
    // connector's ConvertFolderSandbox.FlagsAndCategoriesFromExtendedProperties.
    int inline_png = 0, item_attachments = 0;
    std::set<int> years;
    for (const auto &p : emls) {
        std::string mime = read_file(p);
        for (const char *cs : {"ISO-8859-1", "ISO-8859-15", "KOI8-R", "ISO-2022-JP", "windows-1252", "ISO-8859-2"})
            if (mime.find(std::string("=?") + cs + "?") != std::string::npos) charsets.insert(cs);
        for (const char *t : {"quoted-printable", "base64", "multipart/alternative", "multipart/related"})
            if (mime.find(t) != std::string::npos) types.insert(t);
        MimeSummary s = summarize_mime(mime);
        EXPECT_TRUE(s.parsed && !s.subject.empty() && s.from && s.date) << p;
        for (const auto &att : s.attachments) {
            if (att.is_inline && att.content_type == "image/png") {
                ++inline_png;
                std::size_t index = &att - s.attachments.data();
                std::string png = attachment_content(mime, index).value_or("");
                EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
                EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
            }
            item_attachments += att.is_message;
        }
        years.insert(std::stoi(format_ews_time(*s.date).substr(0, 4)));
    }
    EXPECT_EQ(charsets.size(), 6u);
    EXPECT_EQ(types.size(), 4u);
    EXPECT_GE(years.size(), 4u);
    EXPECT_EQ(inline_png, 1);
    EXPECT_EQ(item_attachments, 1);
}
