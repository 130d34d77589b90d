// The job filters the readers apply to every item: date range, maximum
// date, skipped subjects and the search text, with their host settings.
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <unicode/ucasemap.h>

#include "mime_internal.hpp"
#include "common/text_case.hpp"
#include "common/unique_file.hpp"

namespace qvcom::mime {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
// Part files are searched in pieces of this size.
constexpr std::size_t kSearchChunk = 64 * 1024;
// Embedded messages deeper than the parser's nesting limit are not searched.
constexpr int kMaxSearchDepth = 31;

struct FilterSettings {
    std::optional<DateRange> range;
    std::optional<qv_filetime> max_date;
    std::optional<std::string> skip_subjects;
    std::optional<std::string> search_text;
};

FilterSettings &settings()
{
    static FilterSettings s;
    return s;
}

qv_filetime from_unix(std::int64_t seconds)
{
    return com_UnixToFileTime(seconds);
}

// A switch date; `end_of_range` makes a bare day mean its last second.
std::optional<std::int64_t> switch_date(const char *name, bool end_of_range)
{
    std::string text;
    std::int64_t seconds = 0;
    bool date_only = false;
    if (!switch_value(name, text) || !parse_setting_date(text, seconds, date_only))
        return std::nullopt;
    if (end_of_range && date_only)
        seconds += kSecondsPerDay - 1;
    return seconds;
}

std::vector<std::string> split_list(std::string_view list)
{
    std::vector<std::string> items;
    while (!list.empty()) {
        const std::size_t bar = list.find('|');
        std::string_view item = list.substr(0, bar);
        if (!item.empty())
            items.emplace_back(item);
        list = bar == std::string_view::npos ? std::string_view() : list.substr(bar + 1);
    }
    return items;
}

std::optional<std::string> list_setting(const std::optional<std::string> &api, const char *sw)
{
    if (api)
        return api->empty() ? std::nullopt : api;
    std::string value;
    if (switch_value(sw, value) && !value.empty())
        return value;
    return std::nullopt;
}

} // namespace

DateRange current_date_range()
{
    if (settings().range)
        return *settings().range;
    DateRange range;
    const auto first = switch_date("/FROMDATE", false);
    const auto last = switch_date("/TODATE", true);
    if (first)
        range.first = from_unix(*first);
    if (last)
        range.last = from_unix(*last);
    if (!first && last)
        range.first = from_unix(0);
    return range;
}

// ---- case folding ------------------------------------------------------------

namespace {

struct CaseMapCloser {
    void operator()(UCaseMap *m) const { ucasemap_close(m); }
};

// Full Unicode case folding of UTF-8 text; ASCII lower case when ICU
// refuses the text (it is not UTF-8).
std::string fold(std::string_view text)
{
    static const std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
        UErrorCode err = U_ZERO_ERROR;
        return std::unique_ptr<UCaseMap, CaseMapCloser>(
            ucasemap_open("", U_FOLD_CASE_DEFAULT, &err));
    }();
    std::string out(text.size() * 3 + 16, '\0');
    UErrorCode err = U_ZERO_ERROR;
    if (map && is_valid_utf8(text)) {
        const int32_t n =
            ucasemap_utf8FoldCase(map.get(), out.data(), static_cast<int32_t>(out.size()),
                                  text.data(), static_cast<int32_t>(text.size()), &err);
        if (U_SUCCESS(err)) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
    }
    out.assign(text);
    for (char &c : out)
        c = qvcommon::AsciiLower(c);
    return out;
}

struct Search {
    std::vector<std::string> needles; // folded
    std::size_t longest = 0;

    bool in(std::string_view text) const
    {
        const std::string folded = fold(text);
        for (const std::string &n : needles)
            if (folded.find(n) != std::string::npos)
                return true;
        return false;
    }

    // Streams a part file through the search, keeping the folded tail of
    // each piece so that a match across two pieces is found.
    bool in_file(const std::string &path) const
    {
        qvcommon::UniqueFile f = qvcommon::OpenFile(path.c_str(), "rb");
        if (!f)
            return false;
        std::string carry, tail;
        std::vector<char> buf(kSearchChunk);
        for (;;) {
            const std::size_t got = std::fread(buf.data(), 1, buf.size(), f.get());
            std::string piece = carry + std::string(buf.data(), got);
            carry.clear();
            if (got == buf.size()) { // keep an unfinished UTF-8 sequence
                const std::size_t cut = utf8_cut(piece, piece.size() - 1);
                if (piece.size() - cut < 4) {
                    carry = piece.substr(cut);
                    piece.resize(cut);
                }
            }
            const std::string window = tail + fold(piece);
            for (const std::string &n : needles)
                if (window.find(n) != std::string::npos)
                    return true;
            if (got < buf.size())
                return false;
            tail = window.substr(window.size() > longest ? window.size() - longest : 0);
        }
    }
};

std::string part_path(const char *work_dir, int msg_number, int index)
{
    char name[64];
    std::snprintf(name, sizeof name, "PRT%03d%02d.TMP", msg_number, index);
    return std::string(work_dir ? work_dir : "") + name;
}

bool message_matches(const qv_message *msg, const char *work_dir, int fields, const Search &search,
                     int depth)
{
    const auto want = [fields](int f) { return fields == 0 || (fields & f) != 0; };
    if (want(QVCOM_SEARCH_SUBJECT) && search.in(msg->subject))
        return true;
    if (want(QVCOM_SEARCH_SENDER) &&
        (search.in(msg->from_name) || search.in(msg->from_address)))
        return true;
    if (want(QVCOM_SEARCH_RECIPIENTS))
        for (int i = 0; i < msg->recipient_count && i < QV_MAX_RECIPIENTS; ++i)
            if (const qv_recipient *r = msg->recipients[i];
                r && (search.in(r->name) || search.in(r->address)))
                return true;
    for (int i = 0; i < msg->part_count && i < QV_MAX_PARTS; ++i) {
        const qv_part *part = msg->parts[i];
        if (!part)
            continue;
        if (part->part_type == QV_PART_EMBEDDED_MSG && part->sub_message &&
            depth < kMaxSearchDepth) {
            if (message_matches(part->sub_message, work_dir, fields, search, depth + 1))
                return true;
        } else if (want(QVCOM_SEARCH_BODY) &&
                   (part->part_type == QV_PART_TEXT_BODY || part->part_type == QV_PART_HTML_BODY ||
                    part->part_type == QV_PART_INLINE_TEXT) &&
                   search.in_file(part_path(work_dir, msg->msg_number, i))) {
            return true;
        }
    }
    return false;
}

} // namespace
} // namespace qvcom::mime

using namespace qvcom::mime;

extern "C" QVCOM_API int com_GetDateRange(qv_filetime *start, qv_filetime *end)
{
    const DateRange range = current_date_range();
    const bool set = range.first != 0 || range.last != 0;
    const qv_filetime second = static_cast<qv_filetime>(kFileTimeTicksPerSecond);
    if (start)
        *start = set ? range.first - second : 0;
    if (end)
        *end = !set         ? 0
               : range.last ? range.last + second
                            : com_UnixToFileTime(253402300799); // 9999-12-31
    return set ? 1 : 0;
}

extern "C" QVCOM_API int com_Check_MaxMsgDate(const qv_message *msg, int64_t host_value)
{
    if (!msg || msg->date == 0)
        return 0;
    qv_filetime max = 0;
    if (host_value != 0) {
        max = com_UnixToFileTime(host_value);
    } else if (settings().max_date) {
        max = *settings().max_date;
    } else if (const auto sw = switch_date("/MAXDATE", true)) {
        max = from_unix(*sw);
    }
    if (max == 0)
        return 0;
    return msg->date > max ? 2 : 1;
}

extern "C" QVCOM_API int com_Check_MaxCalDate(qv_filetime start)
{
    const DateRange range = current_date_range();
    if (start == 0 || (range.first == 0 && range.last == 0))
        return 1;
    if (start < range.first)
        return 0;
    return (range.last != 0 && start > range.last) ? 0 : 1;
}

extern "C" QVCOM_API int com_Check_MaxTaskDate(const qv_filetime *start)
{
    if (!start)
        return 1;
    // The pointer is usually to a field of the byte-packed record: read it
    // without assuming alignment.
    qv_filetime value;
    std::memcpy(&value, start, sizeof value);
    return com_Check_MaxCalDate(value);
}

extern "C" QVCOM_API int com_ExcludeSubject(const char *line)
{
    if (!line)
        return 0;
    const auto list = list_setting(settings().skip_subjects, "/SKIPSUBS");
    if (!list)
        return 0;
    const std::string folded_line = fold(line);
    for (const std::string &item : split_list(*list))
        if (folded_line.find(fold(item)) != std::string::npos)
            return 1;
    return 0;
}

extern "C" QVCOM_API int com_SearchMsg(const qv_message *msg, const char *work_dir, int fields,
                                      int reserved1, int reserved2)
{
    (void)reserved1;
    (void)reserved2;
    const auto text = list_setting(settings().search_text, "/SEARCH");
    if (!text)
        return 1;
    if (!msg)
        return 0;
    Search search;
    for (const std::string &item : split_list(*text)) {
        search.needles.push_back(fold(item));
        search.longest = std::max(search.longest, search.needles.back().size());
    }
    if (search.needles.empty())
        return 1;
    return message_matches(msg, work_dir, fields, search, 0) ? 1 : 0;
}

extern "C" QVCOM_API void qvcom_set_date_range(qv_filetime first, qv_filetime last)
{
    if (first == 0 && last == 0) {
        settings().range = DateRange{};
        return;
    }
    settings().range = DateRange{first ? first : com_UnixToFileTime(0), last};
}

extern "C" QVCOM_API void qvcom_set_max_date(qv_filetime last)
{
    settings().max_date = last;
}

extern "C" QVCOM_API void qvcom_set_skip_subjects(const char *list)
{
    settings().skip_subjects = std::string(list ? list : "");
}

extern "C" QVCOM_API void qvcom_set_search_text(const char *text)
{
    settings().search_text = std::string(text ? text : "");
}

extern "C" QVCOM_API void qvcom_reset_filters(void)
{
    settings() = FilterSettings{};
    reset_duplicate_store();
    reset_address_translation();
}
