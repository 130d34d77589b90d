// The listing half of the mail folder reader: the folder's item ids, page
// by page with FindItem, into "itemids.tmp" (one "id;changekey" line per
// item), optionally limited by the job's date range on the server side.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {
struct Session;
}

namespace qvamz::mailread {

inline constexpr int kFindItemPageSize = 500;           // item ids asked for per page
inline constexpr std::size_t kListingLineMax = 1024;    // bytes of one answer or list line
inline constexpr std::string_view kItemIdsFile = "itemids.tmp";
inline constexpr std::string_view kFindItemAnswerFile = "messages.xml";

// The <Restriction> of FindItem for DateTimeSent strictly between `start`
// and `end` (UTC, both exclusive).
std::string DateTimeSentRestriction(qv_filetime start, qv_filetime end);

// The restriction for the job's date range, "" when the job has none.
std::string JobDateRestriction();

// The inside of one FindItem page request.
std::string FindItemBody(int offset, std::string_view restriction, std::string_view folder_id);

// What one FindItem answer held.
struct FindItemPage {
    bool last = false; // no further page to ask for
    int items = 0;     // item ids appended
};

// Appends every "id;changekey" of the answer to `ids`.  The page counts as
// the last one when the answer says IncludesLastItemInRange="true", but
// also when it carries no such attribute or lists no item: an answer that
// never says "true" must not keep the listing asking for pages forever.
// False when the answer file cannot be opened.
bool ScanFindItemPage(const std::string &answer_path, std::FILE *ids, FindItemPage &page);

enum class ListingResult {
    kListed,
    kRequestFailed,    // FindItem failed (logged)
    kAnswerUnreadable, // the answer file could not be opened (logged)
};

// Lists the folder's items into `ids`, page by page, renewing the
// impersonation token before each page.  Work files live in `work_dir`.
ListingResult ListFolderItems(Session &session, const std::string &work_dir,
                              const std::string &folder_id,
                              std::string_view restriction, std::FILE *ids);

} // namespace qvamz::mailread
