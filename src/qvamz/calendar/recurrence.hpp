// The recurrence of a calendar series and its exceptions.  A recurring
// master arrives with a Recurrence element (pattern and range) and lists
// of moved and removed occurrences; ParseRecurrence turns the first into
// the record's recurrence fields, ParseOccurrences the others into
// breakout records.  The name tables (days, months, weeks of the month)
// serve the reading and the writing side.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz::calendar {

// recur_type values.
inline constexpr std::int16_t kRecurNone = 0;
inline constexpr std::int16_t kRecurAbsoluteYearly = 1;
inline constexpr std::int16_t kRecurRelativeYearly = 2;
inline constexpr std::int16_t kRecurAbsoluteMonthly = 3;
inline constexpr std::int16_t kRecurRelativeMonthly = 4;
inline constexpr std::int16_t kRecurWeekly = 5;
inline constexpr std::int16_t kRecurDaily = 6;
inline constexpr std::int16_t kRecurEveryWeekday = 7; // written only

// recur_range values.
inline constexpr int kRangeNumbered = 0;
inline constexpr int kRangeEndDate = 1;
inline constexpr int kRangeNoEnd = 2;

// Breakout kinds.
inline constexpr int kBreakoutModified = 0;
inline constexpr int kBreakoutDeleted = 1;

inline constexpr int kWeekdayMask = 62; // Monday to Friday
inline constexpr std::size_t kRecurValueMax = 250;     // bytes of one pattern value
inline constexpr std::size_t kItemTypeMax = 60;        // bytes of CalendarItemType
inline constexpr std::size_t kOccurrenceLineMax = 1023;

// Sets the recurrence fields of a recurring master from its GetItem
// answer (in memory, one tag per line).  Other items keep recur_type 0.
// The MeetingTimeZone element is cut out of `item_text` first: its
// daylight rules are written as RelativeYearlyRecurrence elements.
void ParseRecurrence(std::string &item_text, qv_message *msg);

// Appends a breakout record for every modified (kind 0) and deleted
// (kind 1) occurrence of the answer file, in answer order.  A missing file
// adds none; a full breakout list drops the rest silently.
void ParseOccurrences(qv_message *msg, const std::string &answer_path);

// Day names in `text` as a mask (1 Sunday ... 64 Saturday); "Weekday"
// adds 62.  Names are found anywhere in the text, letter case ignored.
int DaysToMask(std::string_view text);

// A mask as day names separated by blanks, Sunday first; 62 is "Weekday",
// 0 the empty text.
std::string MaskToDays(int mask);

// The month number (1 to 12) of an English month name, whole and letter
// case ignored; `month` is left alone for any other text.
void MonthNumber(std::string_view text, int &month);

// The EWS name of a week of the month (1 First ... 5 Last), "" otherwise.
std::string_view WeekIndexName(int index);

// The English name of a month (1 January ... 12 December), "" otherwise.
std::string_view MonthName(int month);

// An EWS date ("2024-06-30", with "Z" or an offset such as "-05:00" or
// "+01:00") or date-time as a UTC FILETIME; 0 when malformed.
qv_filetime ParseEwsDate(std::string_view text);

} // namespace qvamz::calendar
