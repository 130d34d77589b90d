// GetUserList: a UTF-16LE mailbox listing into "address;address;name"
// lines.
#include "frame/user_list.hpp"

#include <algorithm>
#include <fstream>
#include <string>
#include <string_view>

#include <unicode/unistr.h>

#include "frame/session.hpp"
#include "qv/qvcom.h"

namespace qvamz {
namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;
constexpr char16_t kCarriageReturn = 0x000D;
constexpr char16_t kLineFeed = 0x000A;
constexpr std::size_t kLineUnits = kUserListLineBytes / 2;

// Reads the listing one line of UTF-16 code units at a time.
class Utf16LineReader {
public:
    explicit Utf16LineReader(std::ifstream &in) : in_(in) {}

    // The next line without its CR and LF units; false at the end.  Units
    // beyond kLineUnits are dropped up to the line's end.
    bool next(std::u16string &line)
    {
        line.clear();
        char16_t unit = 0;
        bool any = false;
        while (read_unit(unit)) {
            any = true;
            if (unit == kLineFeed)
                return true;
            if (unit == kCarriageReturn)
                continue;
            if (line.size() < kLineUnits)
                line.push_back(unit);
        }
        return any;
    }

private:
    bool read_unit(char16_t &unit)
    {
        char bytes[2];
        if (!in_.read(bytes, 2))
            return false; // an odd last byte is no unit
        unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[0]) |
                                     static_cast<unsigned char>(bytes[1]) << 8);
        if (first_ && unit == kByteOrderMark) {
            first_ = false;
            return read_unit(unit);
        }
        first_ = false;
        return true;
    }

    std::ifstream &in_;
    bool first_ = true;
};

// UTF-8 of a line; unpaired surrogates become U+FFFD.
std::string ToUtf8(const std::u16string &line)
{
    std::string utf8;
    icu::UnicodeString(line.data(), static_cast<int32_t>(line.size())).toUTF8String(utf8);
    std::string limited;
    assign_limited(limited, utf8, kUserListUtf8Max);
    return limited;
}

// The value of "Name : value": the text after the first ":" and the one
// character (normally a blank) that follows it.
std::string_view ValueAfterColon(std::string_view line, std::size_t colon)
{
    std::size_t start = colon + 1;
    if (start < line.size()) {
        ++start; // over a whole UTF-8 sequence, not half of one
        while (start < line.size() && (static_cast<unsigned char>(line[start]) & 0xC0) == 0x80)
            ++start;
    }
    return line.substr(std::min(start, line.size()));
}

} // namespace

int WriteUserList(const char *input_path, const char *output_path)
{
    if (input_path == nullptr || output_path == nullptr)
        return 0;
    std::ifstream in(input_path, std::ios::binary);
    if (!in)
        return 0;
    std::ofstream out(output_path);
    if (!out)
        return 0;

    Utf16LineReader reader(in);
    std::u16string units;
    std::string display_name;
    while (reader.next(units)) {
        std::string line = ToUtf8(units);
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string_view view(line);
        if (view.starts_with("DisplayName")) {
            display_name = ValueAfterColon(view, colon);
        } else if (view.starts_with("PrimarySmtpAddress")) {
            std::string_view address = ValueAfterColon(view, colon);
            out << address << ';' << address << ';' << display_name << '\n';
            display_name.clear();
        }
    }
    out.flush();
    if (!out) {
        com_Log("QV Error: unable to write the user list %s", output_path);
        return 0;
    }
    return 1;
}

} // namespace qvamz
