// The listing half of the mail folder reader: the folder's item ids, page
// by page with FindItem, into "itemids.tmp" (one "id;changekey" line per
// item), optionally limited by the job's date range on the server side.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>

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

// Pages past the folder's total that a listing may still ask for: the
// folder may grow while it is listed, but a server that ignores Offset and
// repeats its pages must not keep the listing going forever.
inline constexpr int kListingMarginPages = 2;

// What one FindItem answer held.
struct FindItemPage {
    bool last = false; // no further page to ask for
    int items = 0;     // item ids appended (new ones only)
    int repeated = 0;  // item ids already listed by an earlier page
};

// Appends every "id;changekey" of the answer that is not in `seen` to
// `ids` and adds it to `seen`.  The page counts as the last one when the
// answer says IncludesLastItemInRange="true", but also when it carries no
// such attribute or lists no item: an answer that never says "true" must
// not keep the listing asking for pages forever.  False when the answer
// file cannot be opened.
bool ScanFindItemPage(const std::string &answer_path, std::FILE *ids,
                      std::unordered_set<std::string> &seen, FindItemPage &page);

enum class ListingResult {
    kListed,
    kIncomplete,       // a page failed after its retries, or the server
                       // kept sending pages past the bound (logged)
    kAnswerUnreadable, // the answer file could not be opened (logged)
};

struct ListingOutcome {
    ListingResult result = ListingResult::kListed;
    int listed = 0; // distinct item ids written
};

// Lists the folder's items into `ids`, page by page, renewing the
// impersonation token before each page.  A page that fails (HTTP, or an
// error answer at HTTP 200) is repeated as GetItem is; when it still
// fails, or when `folder_total` plus kListingMarginPages pages have come
// without a last page, the listing ends incomplete with what it has.
// Work files live in `work_dir`.
ListingOutcome ListFolderItems(Session &session, const std::string &work_dir,
                               const std::string &folder_id, std::string_view restriction,
                               int folder_total, std::FILE *ids);

} // namespace qvamz::mailread
