// The calendar folder reader: lists the folder's items with FindItem, page
// by page, fetches each with GetItem (all properties, plain-text body and
// the meeting's global object id), turns it into a calendar record,
// filters it by date and hands it to the host.
#pragma once

#include <string>
#include <string_view>

namespace qvamz {
struct Session;
struct ConvertFolderArguments;
struct FolderEntry;
} // namespace qvamz

namespace qvamz::calendar {

inline constexpr int kCalendarPageSize = 500;
inline constexpr std::string_view kCalendarIdsFile = "itemids.tmp";
inline constexpr std::string_view kCalendarPageFile = "calendars.xml";
inline constexpr std::string_view kCalendarItemFile = "calendar.xml";

// The FindItem body of one page of item ids (folder id escaped).
std::string CalendarFindItemBody(int offset, std::string_view folder_id);

// The GetItem body of one item (id and change key escaped).
std::string CalendarGetItemBody(std::string_view item_id, std::string_view change_key);

// Reads the calendar folder `folder`; stores in *args.out_count how many
// records the host was given.  Every item of the folder gets one status:
// items that cannot be listed or fetched are reported skipped (6), so a
// failed answer never looks like an empty or shorter calendar.  Returns 0.
int ConvertCalendarFolder(Session &session, const ConvertFolderArguments &args,
                          const FolderEntry &folder);

} // namespace qvamz::calendar
