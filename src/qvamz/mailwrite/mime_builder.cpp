// The MIME message builder's entry points (see mime_builder.hpp).
#include "mailwrite/mime_builder.hpp"
#include "common/unique_file.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "frame/session.hpp"
#include "mailwrite/mime_message_writer.hpp"
#include "mailwrite/part_content.hpp"
#include "common/text_case.hpp"

namespace qvamz {
namespace {


// Lines go out as they are: the message goes to a mail store, never into
// an mbox file, so a line beginning "From " needs no quoting.
void WriteBodyLine(std::FILE *out, std::string_view line)
{
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputs("\r\n", out);
}

} // namespace

MimeBuildOptions MimeBuildOptions::FromSession(const Session &session)
{
    MimeBuildOptions options;
    options.raw_passthrough = session.settings.raw_passthrough != 0;
    options.own_headers = session.settings.own_headers != 0;
    options.keep_headers = session.settings.keep_headers != 0;
    options.utc_offset_text = session.state.utc_offset_text;
    return options;
}

int BuildMime(qv_message &msg, std::FILE *out, std::string_view boundary_seed,
              const std::string &work_dir, const MimeBuildOptions &options)
{
    std::vector<std::string> open_boundaries;
    mime::MessageWriter writer(msg, out, work_dir, options, open_boundaries, 0);
    writer.Write(boundary_seed);
    return 0;
}

int CopyBodyText(std::FILE *out, const std::string &text_path)
{
    qvcommon::UniqueFile in(std::fopen(text_path.c_str(), "rb"));
    if (!in)
        return 1;
    mime::CopyBodyLines(out, in.get());
    return 0;
}

void CopyHeaderWithContinuation(std::FILE *in, std::string_view line, std::FILE *out)
{
    mime::FileLines lines(in);
    mime::CopyWithContinuation(lines, line, out);
}

std::string PartFilePath(const std::string &work_dir, int msg_number, int part_index)
{
    char name[64];
    std::snprintf(name, sizeof name, "PRT%03d%02d.TMP", msg_number, part_index);
    return work_dir + name;
}

namespace mime {

BodyLineSplitter::BodyLineSplitter(const std::function<void(std::string_view)> &emit)
    : emit_(emit)
{
}

// Adds `run` to the line, handing on every kBodyLineMax characters: a line
// is full only once one more character arrives for it.
void BodyLineSplitter::AppendLimited(const char *run, std::size_t size)
{
    while (size > 0) {
        if (line_.size() == kBodyLineMax) {
            emit_(line_);
            line_.clear();
        }
        const std::size_t take = std::min(size, kBodyLineMax - line_.size());
        line_.append(run, take);
        run += take;
        size -= take;
    }
}

void BodyLineSplitter::Feed(const char *at, std::size_t size)
{
    const char *const end = at + size;
    if (at < end && after_cr_ && *at == '\n')
        ++at;
    if (size > 0)
        after_cr_ = false;
    while (at < end) {
        const char *eol = at;
        while (eol < end && *eol != '\n' && *eol != '\r')
            ++eol;
        AppendLimited(at, static_cast<std::size_t>(eol - at));
        if (eol == end)
            break;
        emit_(line_); // CR LF is one line end; a lone CR ends the line too
        line_.clear();
        at = eol + 1;
        if (*eol == '\r') {
            if (at == end)
                after_cr_ = true;
            else if (*at == '\n')
                ++at;
        }
    }
}

void BodyLineSplitter::Finish()
{
    emit_(line_);
    line_.clear();
}

void SplitBodyLines(std::FILE *in, const std::function<void(std::string_view)> &emit)
{
    // Read in blocks: a character at a time through the locked stdio calls
    // cost more than the rest of a message's MIME writing.
    std::vector<char> block(kSplitBlockBytes);
    BodyLineSplitter splitter(emit);
    std::size_t got;
    while ((got = std::fread(block.data(), 1, block.size(), in)) > 0)
        splitter.Feed(block.data(), got);
    splitter.Finish();
}

void SplitBodyLines(std::string_view text, const std::function<void(std::string_view)> &emit)
{
    BodyLineSplitter splitter(emit);
    splitter.Feed(text.data(), text.size());
    splitter.Finish();
}

void CopyBodyLines(std::FILE *out, std::FILE *in)
{
    SplitBodyLines(in, [out](std::string_view line) { WriteBodyLine(out, line); });
}

} // namespace mime
} // namespace qvamz
