// Date parsing for mail headers: RFC 5322 dates and the obsolete and
// foreign forms that real mail carries (two-digit years, named zones,
// asctime as in mbox separator lines, ISO 8601, US "month/day/year").
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <vector>

#include "mime_internal.hpp"
#include "common/civil_date.hpp"
#include "common/text_case.hpp"

namespace qvcom::mime {
namespace {

constexpr int kMinYear = 1601; // FILETIME starts in 1601
constexpr int kMaxYear = 9999;

const std::array<const char *, 12> kMonths = {"january", "february", "march",     "april",
                                              "may",     "june",     "july",      "august",
                                              "september", "october", "november", "december"};
const std::array<const char *, 7> kWeekdays = {"monday", "tuesday",  "wednesday", "thursday",
                                               "friday", "saturday", "sunday"};

struct NamedZone {
    const char *name;
    int minutes; // east of UTC
};

// RFC 5322 names, then names that agents write although no standard has
// them.  Ambiguous names (IST, CST as China time) keep their RFC meaning
// or are left out.
const NamedZone kZones[] = {
    {"ut", 0},       {"utc", 0},      {"gmt", 0},      {"z", 0},        {"est", -300},
    {"edt", -240},   {"cst", -360},   {"cdt", -300},   {"mst", -420},   {"mdt", -360},
    {"pst", -480},   {"pdt", -420},   {"akst", -540},  {"akdt", -480},  {"hst", -600},
    {"ast", -240},   {"adt", -180},   {"nst", -210},   {"ndt", -150},   {"wet", 0},
    {"west", 60},    {"bst", 60},     {"cet", 60},     {"cest", 120},   {"met", 60},
    {"mest", 120},   {"eet", 120},    {"eest", 180},   {"msk", 180},    {"jst", 540},
    {"kst", 540},    {"hkt", 480},    {"sgt", 480},    {"awst", 480},   {"acst", 570},
    {"aest", 600},   {"aedt", 660},   {"nzst", 720},   {"nzdt", 780},
};

struct DateParts {
    int year = -1, month = -1, day = -1;
    int hour = 0, minute = 0, second = 0;
    bool time = false;
    int zone = 0; // minutes east of UTC
    bool numeric_zone = false, named_zone = false;
    int meridiem = 0; // 1 am, 2 pm
};

bool all_digits(std::string_view s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int to_int(std::string_view s)
{
    int v = 0;
    for (char c : s) {
        if (v > 100000)
            return v;
        v = v * 10 + (c - '0');
    }
    return v;
}

int month_of(const std::string &word)
{
    if (word.size() < 3)
        return -1;
    for (std::size_t m = 0; m < kMonths.size(); ++m) {
        const std::string_view full = kMonths[m];
        // "Jan", "Janu", "January"; "Sept" as well.
        if (word.size() <= full.size() && full.compare(0, word.size(), word) == 0)
            return static_cast<int>(m) + 1;
    }
    return -1;
}

bool is_weekday(const std::string &word)
{
    if (word.size() < 2)
        return false;
    for (std::string_view day : kWeekdays)
        if (word.size() <= day.size() && day.compare(0, word.size(), word) == 0)
            return true;
    return false;
}

enum class TimeToken { kTime, kNotATime, kOutOfRange };

// "hh:mm[:ss[.fraction]]"; text of another shape is not a time at all.
TimeToken read_time(std::string_view token, DateParts &d)
{
    int parts[3] = {0, 0, 0};
    int n = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= token.size() && n < 3; ++i) {
        if (i == token.size() || token[i] == ':' || token[i] == '.') {
            std::string_view piece = token.substr(start, i - start);
            if (!all_digits(piece) || piece.size() > 2)
                return TimeToken::kNotATime;
            parts[n++] = to_int(piece);
            start = i + 1;
            if (i < token.size() && token[i] == '.')
                break; // fraction of a second
        }
    }
    if (n < 2)
        return TimeToken::kNotATime;
    d.hour = parts[0];
    d.minute = parts[1];
    d.second = parts[2] == 60 ? 59 : parts[2];
    d.time = true;
    return d.hour <= 24 && d.minute <= 59 && d.second <= 59 ? TimeToken::kTime
                                                            : TimeToken::kOutOfRange;
}

void read_word(const std::string &word, DateParts &d)
{
    if (const int m = month_of(word); m > 0 && d.month < 0) {
        d.month = m;
    } else if (word == "am" || word == "a.m") {
        d.meridiem = 1;
    } else if (word == "pm" || word == "p.m") {
        d.meridiem = 2;
    } else if (!d.numeric_zone && !d.named_zone && !is_weekday(word)) {
        for (const NamedZone &zone : kZones)
            if (word == zone.name) {
                d.zone = zone.minutes;
                d.named_zone = true;
                return;
            }
        // Military single letters: RFC 5322 says to read them as -0000.
        if (word.size() == 1 && word != "j")
            d.named_zone = true;
    }
}

void read_number(std::string_view digits, DateParts &d)
{
    const int v = to_int(digits);
    if (digits.size() >= 3 || v > 31) {
        if (d.year < 0)
            d.year = v;
    } else if (d.day < 0) {
        d.day = v;
    } else if (d.year < 0) {
        d.year = v;
    }
}

// "M/D/YYYY" (the US form some stores write).
bool read_slashed(std::string_view token, DateParts &d)
{
    const std::size_t a = token.find('/');
    const std::size_t b = token.find('/', a + 1);
    if (a == std::string_view::npos || b == std::string_view::npos)
        return false;
    const std::string_view m = token.substr(0, a), day = token.substr(a + 1, b - a - 1),
                           y = token.substr(b + 1);
    if (!all_digits(m) || !all_digits(day) || !all_digits(y) || m.size() > 2 || day.size() > 2)
        return false;
    d.month = to_int(m);
    d.day = to_int(day);
    d.year = to_int(y);
    return true;
}

// "YYYY-MM-DD[(T| )hh:mm[:ss[.f]]][Z|±hh[:]mm]"
bool read_iso(std::string_view text, DateParts &d)
{
    if (text.size() < 10 || !all_digits(text.substr(0, 4)) || text[4] != '-' ||
        !all_digits(text.substr(5, 2)) || text[7] != '-' || !all_digits(text.substr(8, 2)))
        return false;
    d.year = to_int(text.substr(0, 4));
    d.month = to_int(text.substr(5, 2));
    d.day = to_int(text.substr(8, 2));
    std::string_view rest = text.substr(10);
    if (rest.empty())
        return true;
    if (rest[0] != 'T' && rest[0] != 't' && rest[0] != ' ')
        return false;
    rest.remove_prefix(1);
    std::size_t zone_at = rest.find_first_of("Zz+-");
    if (read_time(rest.substr(0, zone_at), d) != TimeToken::kTime)
        return false;
    if (zone_at == std::string_view::npos)
        return true;
    std::string_view zone = rest.substr(zone_at);
    if (zone == "Z" || zone == "z")
        return true;
    std::string digits;
    for (char c : zone.substr(1))
        if (c != ':')
            digits.push_back(c);
    if (digits.size() != 4 || !all_digits(digits))
        return false;
    const int minutes = to_int(digits.substr(0, 2)) * 60 + to_int(digits.substr(2));
    d.zone = zone[0] == '-' ? -minutes : minutes;
    return true;
}

// Splits the text into tokens: words, numbers, times, signed zones and
// "a/b/c" dates; comments in parentheses are skipped.
bool read_tokens(std::string_view text, DateParts &d)
{
    std::size_t i = 0;
    int comment = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '(') {
            ++comment;
            ++i;
            continue;
        }
        if (c == ')') {
            comment = comment > 0 ? comment - 1 : 0;
            ++i;
            continue;
        }
        if (comment > 0) {
            ++i;
            continue;
        }
        if ((c == '+' || c == '-') && i + 1 < text.size() &&
            std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            std::size_t end = i + 1;
            std::string digits;
            while (end < text.size() &&
                   (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == ':')) {
                if (text[end] != ':')
                    digits.push_back(text[end]);
                ++end;
            }
            if (digits.size() == 4 && !d.numeric_zone && (d.time || d.year >= 0)) {
                const int minutes = to_int(std::string_view(digits).substr(0, 2)) * 60 +
                                    to_int(std::string_view(digits).substr(2));
                if (minutes > 24 * 60)
                    return false;
                d.zone = c == '-' ? -minutes : minutes;
                d.numeric_zone = true;
                d.named_zone = false;
            } else if (c == '-') {
                read_number(digits, d); // "15-Jan-2020" style pieces
            }
            i = end;
            continue;
        }
        if (std::isalnum(static_cast<unsigned char>(c))) {
            std::size_t end = i;
            while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                         text[end] == ':' || text[end] == '/' ||
                                         (text[end] == '.' && end + 1 < text.size() &&
                                          std::isdigit(static_cast<unsigned char>(text[end + 1])))))
                ++end;
            const std::string_view token = text.substr(i, end - i);
            i = end;
            if (token.find(':') != std::string_view::npos) {
                // Words with a colon ("Received:", "id:") are not times.
                if (!d.time && read_time(token, d) == TimeToken::kOutOfRange)
                    return false;
            } else if (token.find('/') != std::string_view::npos) {
                read_slashed(token, d);
            } else if (all_digits(token)) {
                read_number(token, d);
            } else if (std::isalpha(static_cast<unsigned char>(token[0]))) {
                std::string word(token);
                for (char &ch : word)
                    ch = qvcommon::AsciiLower(ch);
                if (word.size() <= 12)
                    read_word(word, d);
            } else if (token.size() >= 3 && all_digits(token.substr(0, token.size() - 2))) {
                // "1st", "2nd", "23rd"
                read_number(token.substr(0, token.size() - 2), d);
            }
            continue;
        }
        ++i; // separators: blanks, ",", ";", "-", "."
    }
    return true;
}

int days_in_month(int year, int month)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

bool finish(DateParts &d, std::int64_t &unix_seconds)
{
    if (d.year < 0 || d.month < 1 || d.month > 12 || d.day < 1)
        return false;
    if (d.year < 50)
        d.year += 2000; // RFC 5322 4.3: two-digit years below 50 are 20xx
    else if (d.year < 1000)
        d.year += 1900;
    if (d.year < kMinYear || d.year > kMaxYear || d.day > days_in_month(d.year, d.month))
        return false;
    if (d.meridiem == 1 && d.hour == 12)
        d.hour = 0;
    else if (d.meridiem == 2 && d.hour < 12)
        d.hour += 12;
    unix_seconds = qvcommon::DaysFromCivil(d.year, d.month, d.day) * 86400 + d.hour * 3600 +
                   d.minute * 60 + d.second - static_cast<std::int64_t>(d.zone) * 60;
    return true;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

} // namespace

bool parse_mime_date(std::string_view text, std::int64_t &unix_seconds)
{
    text = trim(text);
    if (text.size() > 1000)
        text = text.substr(0, 1000);
    DateParts d;
    if (read_iso(text, d))
        return finish(d, unix_seconds);
    d = DateParts{};
    return read_tokens(text, d) && finish(d, unix_seconds);
}

bool parse_setting_date(std::string_view text, std::int64_t &unix_seconds, bool &date_only)
{
    text = trim(text);
    DateParts d;
    if (!read_iso(text, d))
        return false;
    date_only = !d.time;
    return finish(d, unix_seconds);
}

} // namespace qvcom::mime

extern "C" QVCOM_API int com_Parse_Mime_Date(const char *text, qv_message *msg)
{
    if (!msg)
        return 0;
    std::int64_t unix_seconds = 0;
    if (!text || !qvcom::mime::parse_mime_date(text, unix_seconds)) {
        msg->date = 0;
        return 0;
    }
    msg->date = com_UnixToFileTime(unix_seconds);
    return 1;
}
