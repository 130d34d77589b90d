// Shared helpers of the mailwrite tests: a private work directory, message
// records built with the common library, and the host log.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "frame/session.hpp"
#include "gmime_view.hpp"
#include "mailwrite/mime_headers.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"
#include "mailwrite/mime_builder.hpp"
#include "qv/qvcom.h"

namespace mwtest {

using conntest::ReadFile;
using conntest::WriteFile;

// A fresh work directory (ending with "/") whose host log collects every
// com_Log line; removed with everything in it afterwards.
class WorkDir : public conntest::ScratchDir {
  public:
    std::string log() const { return log_.text(); }

  private:
    conntest::LogCapture log_{*this};
};

// A record as the host hands it over: zeroed but for the usual defaults.
using Record = qvtest::Record;
using qvtest::set_text;

inline void SetDefaults(qv_message &msg)
{
    msg.priority = 1;
    msg.importance = 1;
    msg.unread = 1;
    msg.codepage = 65001;
}

inline Record NewRecord(int msg_number)
{
    Record msg = qvtest::new_record(msg_number);
    SetDefaults(*msg);
    return msg;
}

inline std::string PartPath(const std::string &work_dir, const qv_message &msg, int index)
{
    return qvamz::PartFilePath(work_dir, msg.msg_number, index);
}

// Adds a part and writes its file.
inline qv_part &AddPart(qv_message &msg, const std::string &work_dir, int type,
                        std::string_view name, std::string_view content,
                        std::string_view content_id = "")
{
    qv_part *part = com_AllocPart(&msg);
    part->part_type = type;
    set_text(part->file_name, name);
    set_text(part->content_id, content_id);
    part->size = static_cast<uint32_t>(content.size());
    WriteFile(PartPath(work_dir, msg, msg.part_count), std::string(content));
    ++msg.part_count;
    return *part;
}

// Adds a part of type 14 and answers its embedded record.
inline qv_message &AddEmbedded(qv_message &msg)
{
    qv_part *part = com_AllocPart(&msg);
    part->part_type = QV_PART_EMBEDDED_MSG;
    set_text(part->file_name, "Message.eml");
    qv_message *sub = com_AllocSubMsg(&msg, msg.part_count);
    ++msg.part_count;
    SetDefaults(*sub);
    return *sub;
}

inline void AddRecipient(qv_message &msg, std::string_view name, std::string_view address,
                         int kind = QV_RECIP_TO)
{
    qvtest::add_recipient(msg, name, address, kind);
}

// Options of a test build: the session's defaults with a fixed offset and
// a fixed "now" for records without a date.
inline qvamz::MimeBuildOptions TestOptions()
{
    qvamz::MimeBuildOptions options;
    options.utc_offset_text = "+0100";
    options.now = [] { return com_UnixToFileTime(1796569445); };
    return options;
}

// Builds `msg` into "built.eml" of the work directory and answers its path.
inline std::string Build(qv_message &msg, const WorkDir &dir,
                         const qvamz::MimeBuildOptions &options = TestOptions(),
                         std::string_view seed = qvamz::kBundleBoundarySeed)
{
    std::string path = dir.file("built.eml");
    std::FILE *out = std::fopen(path.c_str(), "wb");
    qvamz::BuildMime(msg, out, seed, dir.prefix(), options);
    std::fclose(out);
    return path;
}

// Every line of a built message's header block is 7-bit, within the soft
// limit, and a field or a continuation.
inline void ExpectWellFormedHeader(const std::string &raw)
{
    const std::string header = raw.substr(0, raw.find("\r\n\r\n"));
    for (std::size_t at = 0, end = 0; at < header.size(); at = end + 2) {
        end = std::min(header.find("\r\n", at), header.size());
        const std::string line = header.substr(at, end - at);
        EXPECT_LE(line.size(), qvamz::mime::kHeaderLineSoftMax) << line;
        EXPECT_TRUE(line.starts_with(" ") || line.starts_with("\t") ||
                    qvamz::mime::IsHeaderFieldLine(line))
            << line;
        EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](unsigned char c) { return c < 0x80; }))
            << line;
    }
}

// `text` against the file tests/data/mailwrite/NAME (QV_UPDATE_RECORDS=1
// writes the file anew: read the diff before committing it).
inline void ExpectRecorded(const std::string &name, const std::string &text)
{
    const std::string golden = std::string(QV_TEST_DATA_DIR) + "/mailwrite/" + name;
    if (std::getenv("QV_UPDATE_RECORDS"))
        WriteFile(golden, text);
    EXPECT_EQ(text, ReadFile(golden)) << name;
}

// Builds `msg` and compares what GMime reads of it with NAME.built.
inline GMimeMessageView ExpectBuiltAsRecorded(const std::string &name, qv_message &msg,
                                              const WorkDir &dir,
                                              const qvamz::MimeBuildOptions &options)
{
    const std::string raw = ReadFile(Build(msg, dir, options));
    GMimeMessageView view = ParseWithGMime(dir.file("built.eml"));
    ExpectWellFormedHeader(raw);
    ExpectRecorded(name + ".built", BuiltRecord(raw, view));
    return view;
}

} // namespace mwtest
