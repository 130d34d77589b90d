// Address translation: a CSV file maps old addresses to new ones, applied
// to every address of an item before the host writes it.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <unordered_map>
#include <vector>

#include "mime_internal.hpp"
#include "common/text_case.hpp"

namespace qvcom::mime {
namespace {

// Embedded messages deeper than the parser's nesting limit are left alone.
constexpr int kMaxTranslateDepth = 31;

struct Translation {
    std::optional<std::string> api_path; // set by the host; "" = none
    std::string loaded_path;
    std::filesystem::file_time_type loaded_time{};
    std::unordered_map<std::string, std::string> map; // lower-case old -> new
};

Translation &translation()
{
    static Translation t;
    return t;
}

std::string lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = qvcommon::AsciiLower(c);
    return out;
}

std::string trim(std::string_view s)
{
    const std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return {};
    const std::size_t e = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(b, e - b + 1));
}

// The fields of one CSV line (RFC 4180 quoting, no line breaks in fields).
std::vector<std::string> csv_fields(std::string_view line)
{
    char separator = ',';
    if (line.find(',') == std::string_view::npos)
        separator = line.find(';') != std::string_view::npos ? ';' : '\t';
    std::vector<std::string> fields;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                field.push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field.push_back(c);
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == separator) {
            fields.push_back(trim(field));
            field.clear();
        } else {
            field.push_back(c);
        }
    }
    fields.push_back(trim(field));
    return fields;
}

int load(Translation &t, const std::string &path)
{
    t.map.clear();
    t.loaded_path = path;
    std::error_code ec;
    t.loaded_time = std::filesystem::last_write_time(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        com_Log("QV Warning: cannot read the address translation file %s", path.c_str());
        return -1;
    }
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3); // byte order mark of spreadsheet exports
        first = false;
        if (trim(line).empty() || trim(line)[0] == '#')
            continue;
        const std::vector<std::string> f = csv_fields(line);
        if (f.size() < 2 || f[0].empty() || f[1].empty())
            continue;
        t.map[lower(f[0])] = f[1];
    }
    return static_cast<int>(t.map.size());
}

// The current mapping, reloaded when its file changed.
const std::unordered_map<std::string, std::string> &mapping()
{
    Translation &t = translation();
    std::string path;
    if (t.api_path)
        path = *t.api_path;
    else
        switch_value("/ADDRMAP", path);
    if (path.empty()) {
        t.map.clear();
        t.loaded_path.clear();
        return t.map;
    }
    std::error_code ec;
    const auto time = std::filesystem::last_write_time(path, ec);
    if (path != t.loaded_path || (!ec && time != t.loaded_time))
        load(t, path);
    return t.map;
}

class Translator {
  public:
    explicit Translator(const std::unordered_map<std::string, std::string> &map) : map_(map) {}

    // Replaces a whole address field.
    template <std::size_t N> void address(char (&field)[N])
    {
        const auto hit = map_.find(lower(trim(std::string_view(field, strnlen(field, N)))));
        if (hit == map_.end())
            return;
        copy_out(hit->second, field, N);
        ++count_;
    }

    // Replaces the address in angle brackets of a "Name <address>" text.
    template <std::size_t N> void bracketed(char (&field)[N])
    {
        std::string text(field, strnlen(field, N));
        const std::size_t open = text.rfind('<');
        const std::size_t close = open == std::string::npos ? open : text.find('>', open);
        if (close == std::string::npos)
            return;
        const auto hit =
            map_.find(lower(trim(std::string_view(text).substr(open + 1, close - open - 1))));
        if (hit == map_.end())
            return;
        text.replace(open + 1, close - open - 1, hit->second);
        copy_out(text, field, N);
        ++count_;
    }

    void message(qv_message &m, int depth)
    {
        address(m.from_address);
        bracketed(m.from_name);
        address(m.organizer_address);
        address(m.email1);
        address(m.email2);
        address(m.email3);
        for (int i = 0; i < std::min(m.recipient_count, QV_MAX_RECIPIENTS); ++i)
            if (qv_recipient *r = m.recipients[i]) {
                address(r->address);
                bracketed(r->name);
            }
        for (int i = 0; i < std::min(m.part_count, QV_MAX_PARTS); ++i)
            if (qv_part *p = m.parts[i]; p && p->part_type == QV_PART_EMBEDDED_MSG &&
                                         p->sub_message && depth < kMaxTranslateDepth)
                message(*p->sub_message, depth + 1);
    }

    int count() const { return count_; }

  private:
    const std::unordered_map<std::string, std::string> &map_;
    int count_ = 0;
};

} // namespace

void reset_address_translation()
{
    translation() = Translation{};
}

} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_AddressTranslate(qv_message *msg)
{
    if (!msg)
        return 0;
    const auto &map = mapping();
    if (map.empty())
        return 0;
    Translator translator(map);
    translator.message(*msg, 0);
    return translator.count();
}

extern "C" QVCOM_API int qvcom_set_address_translation(const char *csv_path)
{
    Translation &t = translation();
    t.api_path = std::string(csv_path ? csv_path : "");
    if (t.api_path->empty()) {
        t.map.clear();
        t.loaded_path.clear();
        return 0;
    }
    return load(t, *t.api_path);
}
