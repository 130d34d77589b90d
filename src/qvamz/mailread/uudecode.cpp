// Decoding uuencoded blocks (see uudecode.hpp).
#include "mailread/uudecode.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "mailread/header_text.hpp"
#include "mailread/parser_limits.hpp"
#include "mailread/part_file.hpp"
#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.hpp"
#include "common/unique_file.hpp"

namespace qvamz::mailread {
namespace {

constexpr std::size_t kUuLineMax = 512; // longer lines are no uuencoded data

// One line without its line end; `raw` gets it with its line end.  False
// at the end of the file.
bool read_line(FILE *f, std::string &line, std::string &raw)
{
    line.clear();
    raw.clear();
    int c;
    while ((c = getc_unlocked(f)) != EOF) {
        raw.push_back(static_cast<char>(c));
        if (c == '\n')
            break;
        line.push_back(static_cast<char>(c));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return !raw.empty();
}

// "begin 644 name": the name, or nothing when the line is no begin line.
std::optional<std::string> begin_line_name(const std::string &line)
{
    if (line.compare(0, 6, "begin ") != 0)
        return std::nullopt;
    std::size_t i = 6, digits = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '7'; ++i)
        ++digits;
    if (digits < 3 || digits > 4 || i >= line.size() || line[i] != ' ' || i + 1 >= line.size() ||
        line[i + 1] == ' ')
        return std::nullopt;
    return line.substr(i + 1);
}

// Writes the bytes of one line of uuencoded data; false for a line that
// is not one.
bool decode_line(const std::string &line, FILE *out)
{
    if (line.empty() || line.size() > kUuLineMax)
        return false;
    const int count = (line[0] - ' ') & 0x3f;
    if (static_cast<std::size_t>(1 + (count + 2) / 3 * 4) > line.size() + 1) // a blank may be cut
        return false;
    for (std::size_t i = 1; i < line.size(); ++i)
        if (line[i] < ' ' || line[i] > '`')
            return false;
    auto six = [&](std::size_t i) { return i < line.size() ? (line[i] - ' ') & 0x3f : 0; };
    std::string bytes;
    for (std::size_t i = 1; bytes.size() < static_cast<std::size_t>(count); i += 4) {
        const int a = six(i), b = six(i + 1), c = six(i + 2), d = six(i + 3);
        bytes.push_back(static_cast<char>((a << 2) | (b >> 4)));
        bytes.push_back(static_cast<char>(((b & 0xf) << 4) | (c >> 2)));
        bytes.push_back(static_cast<char>(((c & 0x3) << 6) | d));
    }
    bytes.resize(static_cast<std::size_t>(count));
    return std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
}

// Decodes the data lines after a begin line, up to "end", into the file
// `path`.  False (and no file) when a line is no uuencoded data or "end"
// never comes.
bool decode_block(FILE *in, const std::string &path, std::uint64_t &size)
{
    qvcommon::UniqueFile out = OpenPartFile(path);
    bool complete = false;
    std::string line, raw;
    while (out && read_line(in, line, raw)) {
        if (line == "end") {
            complete = true;
            break;
        }
        if (line != "`" && !decode_line(line, out.get()))
            break;
    }
    size = out ? static_cast<std::uint64_t>(std::ftell(out.get())) : 0;
    out.reset();
    if (!complete)
        std::remove(path.c_str());
    return complete;
}

template <std::size_t N> void store(char (&field)[N], std::string_view text)
{
    const std::string cut = Cut(text, N - 1);
    std::memcpy(field, cut.data(), cut.size());
    field[cut.size()] = '\0';
}

// Copies the first `count` bytes of `in` to `out` and comes back to where
// `in` was.
bool copy_prefix(FILE *in, long count, FILE *out)
{
    const long here = std::ftell(in);
    if (here < 0 || std::fseek(in, 0, SEEK_SET) != 0)
        return false;
    char buf[65536];
    for (long left = count; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<long>(left, sizeof buf));
        const std::size_t got = std::fread(buf, 1, want, in);
        if (got == 0 || std::fwrite(buf, 1, got, out) != got)
            return false;
        left -= static_cast<long>(got);
    }
    return std::fseek(in, here, SEEK_SET) == 0;
}

// The blocks of one body file become part files of their own; the text
// without them goes to `text_path`, which is only created once a begin
// line turns up (most bodies have none) and removed again when no block
// decodes.  Answers whether any block was found.
bool split_body(qv_message *msg, const std::string &path, const std::string &text_path,
                const std::string &work_dir, ParseTree &tree)
{
    qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
    qvcommon::UniqueFile text;
    if (!in)
        return false;
    bool found = false;
    std::string line, raw;
    long position = 0; // counted, as ftell() costs a system call per line
    while (read_line(in.get(), line, raw)) {
        const long line_start = position;
        position += static_cast<long>(raw.size());
        const std::optional<std::string> name = begin_line_name(line);
        if (name && !text) {
            text.reset(std::fopen(text_path.c_str(), "wb"));
            if (!text || !copy_prefix(in.get(), line_start, text.get())) {
                std::remove(text_path.c_str());
                return false;
            }
        }
        if (!text)
            continue;
        const long after_begin = position;
        const int index = msg->part_count;
        const std::string file = qvcom::part_file_path(work_dir, msg->msg_number, index);
        std::uint64_t size = 0;
        qv_part *part = nullptr;
        if (name && index < QV_MAX_PARTS && decode_block(in.get(), file, size)) {
            part = AllocPart(msg, tree);
            if (!part)
                std::remove(file.c_str());
        }
        if (!part) {
            std::fwrite(raw.data(), 1, raw.size(), text.get()); // the line stays text
            if (name) // a block that did not decode was read past
                std::fseek(in.get(), after_begin, SEEK_SET);
            continue;
        }
        part->part_type = QV_PART_ATTACHMENT;
        store(part->file_name, Cut(*name, kPartNameMax));
        part->size = size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(size);
        msg->part_count = index + 1;
        found = true;
        position = std::ftell(in.get()); // past the block's "end" line
    }
    if (!found && text) {
        text.reset();
        std::remove(text_path.c_str());
    }
    return found;
}

// Whether a line of a body held in memory starts with "begin ".
bool body_has_begin_line(std::string_view body)
{
    return body.starts_with("begin ") || body.find("\nbegin ") != std::string_view::npos;
}

// Whether a line of the file starts with "begin ", read in large pieces:
// most bodies have none and are then left without a line-by-line read.
bool has_begin_line(const std::string &path)
{
    qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
    if (!in)
        return false;
    constexpr std::string_view kLineStart = "\nbegin ";
    std::string window = "\n"; // the file's start is a line start
    std::vector<char> buffer(65536);
    std::size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
        window.append(buffer.data(), got);
        if (window.find(kLineStart) != std::string::npos)
            return true;
        // A line start cut by the piece's end is found with the next one.
        window.erase(0, window.size() - (kLineStart.size() - 1));
    }
    return false;
}

} // namespace

bool DecodeUuencodedPart(const std::string &path, const std::string &work_dir, std::string &name)
{
    const std::string temp = work_dir + "TEMPFILE.TMP";
    {
        qvcommon::UniqueFile in(std::fopen(path.c_str(), "rb"));
        if (!in)
            return false;
        std::string line, raw;
        std::optional<std::string> begin;
        while (!begin && read_line(in.get(), line, raw))
            begin = begin_line_name(line);
        std::uint64_t size = 0;
        if (!begin || !decode_block(in.get(), temp, size))
            return false;
        name = *begin;
    }
    std::remove(path.c_str());
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

void ExtractUuencodedFiles(qv_message *msg, const std::string &work_dir, ParseTree &tree,
                           PartBytes *kept)
{
    const int parts = msg->part_count;
    const std::string temp = work_dir + "TEMPFILE.TMP";
    for (int i = 0; i < parts; ++i) {
        if (msg->parts[i]->part_type != QV_PART_TEXT_BODY)
            continue;
        const std::string path = qvcom::part_file_path(work_dir, msg->msg_number, i);
        const bool begins = kept && kept->Load(path) ? body_has_begin_line(kept->bytes())
                                                      : has_begin_line(path);
        if (!begins || !split_body(msg, path, temp, work_dir, tree))
            continue;
        if (kept)
            kept->Forget(); // its file is replaced
        std::remove(path.c_str());
        std::rename(temp.c_str(), path.c_str());
        msg->parts[i]->size = static_cast<std::uint32_t>(com_GetFileSize(path.c_str(), nullptr));
    }
}

} // namespace qvamz::mailread
