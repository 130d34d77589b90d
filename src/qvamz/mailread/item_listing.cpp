// Listing a mail folder with FindItem (see item_listing.hpp).
#include "mailread/item_listing.hpp"

#include <algorithm>
#include <ctime>

#include "ews/xml_scan.hpp"
#include "frame/session.hpp"
#include "frame/token.hpp"
#include "qv/qvcom.h"
#include "transport/impersonation_token.hpp"
#include "transport/line_reader.hpp"
#include "transport/retried_request.hpp"
#include "common/unique_file.hpp"

namespace qvamz::mailread {
namespace {

constexpr const char *kRestrictionTemplate = "<Restriction>\n"
                                             "<t:And>\n"
                                             "<t:IsGreaterThan>\n"
                                             "<t:FieldURI FieldURI=\"item:DateTimeSent\"/>\n"
                                             "<t:FieldURIOrConstant>\n"
                                             "<t:Constant Value=\"%s\"/>\n"
                                             "</t:FieldURIOrConstant>\n"
                                             "</t:IsGreaterThan>\n"
                                             "<t:IsLessThan>\n"
                                             "<t:FieldURI FieldURI=\"item:DateTimeSent\"/>\n"
                                             "<t:FieldURIOrConstant>\n"
                                             "<t:Constant Value=\"%s\"/>\n"
                                             "</t:FieldURIOrConstant>\n"
                                             "</t:IsLessThan>\n"
                                             "</t:And>\n"
                                             "</Restriction>\n";

constexpr const char *kFindItemTemplate =
    "<ItemShape>\n"
    "<t:BaseShape>IdOnly</t:BaseShape>\n"
    "</ItemShape>\n"
    "<IndexedPageItemView MaxEntriesReturned=\"%d\" Offset=\"%d\" BasePoint=\"Beginning\"/>%s"
    "<ParentFolderIds>\n"
    "<t:FolderId Id=\"%s\"></t:FolderId>\n"
    "</ParentFolderIds>\n";

constexpr std::string_view kLastItemAttribute = "IncludesLastItemInRange=";

template <typename... Args> std::string Printf(const char *format, Args... args)
{
    const int length = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

// "2024-03-05T14:07:09Z", no zone shift.
std::string EwsUtcText(qv_filetime date)
{
    const std::time_t seconds = static_cast<std::time_t>(com_FileTimeToUnix(date));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return Printf("%d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
}

// The value of IncludesLastItemInRange on the first line that carries it:
// 1 true, 0 false, -1 no such line.
int IncludesLastItem(std::FILE *answer)
{
    std::string line;
    while (ReadAnswerLine(answer, line, kListingLineMax)) {
        const char *at = com_stristr(line.c_str(), kLastItemAttribute.data(), 0);
        if (!at)
            continue;
        // The value's first letter follows the attribute and its quote.
        const std::size_t value_at = static_cast<std::size_t>(at - line.c_str()) +
                                     kLastItemAttribute.size() + 1;
        return value_at < line.size() && line[value_at] == 't' ? 1 : 0;
    }
    return -1;
}

} // namespace

std::string DateTimeSentRestriction(qv_filetime start, qv_filetime end)
{
    return Printf(kRestrictionTemplate, EwsUtcText(start).c_str(), EwsUtcText(end).c_str());
}

std::string JobDateRestriction()
{
    qv_filetime start = 0, end = 0;
    com_GetDateRange(&start, &end);
    if (com_DateIsNull(start))
        return {};
    return DateTimeSentRestriction(start, end);
}

std::string FindItemBody(int offset, std::string_view restriction, std::string_view folder_id)
{
    return Printf(kFindItemTemplate, kFindItemPageSize, offset, std::string(restriction).c_str(),
                  std::string(folder_id).c_str());
}

bool ScanFindItemPage(const std::string &answer_path, std::FILE *ids,
                      std::unordered_set<std::string> &seen, FindItemPage &page)
{
    page = {};
    qvcommon::UniqueFile answer = qvcommon::OpenFile(answer_path, "rb");
    if (!answer)
        return false;
    const int includes_last = IncludesLastItem(answer.get());
    std::rewind(answer.get());
    std::string id, change_key;
    while (ExtractItemId(answer.get(), id, change_key)) {
        if (!seen.insert(id).second) {
            ++page.repeated;
            continue;
        }
        std::fprintf(ids, "%s;%s\n", id.c_str(), change_key.c_str());
        ++page.items;
    }
    page.last = includes_last != 0 || page.items + page.repeated == 0;
    return true;
}

ListingOutcome ListFolderItems(Session &session, const std::string &work_dir,
                               const std::string &folder_id, std::string_view restriction,
                               int folder_total, std::FILE *ids)
{
    const std::string answer_path = work_dir + std::string(kFindItemAnswerFile);
    const int rows_max = std::max(folder_total, 0) + kListingMarginPages * kFindItemPageSize;
    std::unordered_set<std::string> seen;
    ListingOutcome outcome;
    int rows = 0;
    for (int offset = 0;; offset += kFindItemPageSize) {
        RenewTokenIfDue(session);
        const std::string body = FindItemBody(offset, restriction, folder_id);
        const OperationAnswer answer = RequestWithRetries(
            session, "FindItem", "Traversal=\"Shallow\"", body, answer_path,
            "FindItemResponseMessage", ErrorRetry::kEveryError,
            "QV Info: unable to obtain message list, retrying");
        if (answer.kind != AnswerKind::kSuccess) {
            com_Log("QV Error: unable to obtain message list (http status %d%s%s), %d items "
                    "listed",
                    answer.http_status, answer.status.response_code.empty() ? "" : ", ",
                    answer.status.response_code.c_str(), outcome.listed);
            std::remove(answer_path.c_str());
            outcome.result = ListingResult::kIncomplete;
            return outcome;
        }
        FindItemPage page;
        if (!ScanFindItemPage(answer_path, ids, seen, page)) {
            com_Log("QV Warning: unable to open %s", answer_path.c_str());
            outcome.result = ListingResult::kAnswerUnreadable;
            return outcome;
        }
        std::remove(answer_path.c_str());
        outcome.listed += page.items;
        rows += page.items + page.repeated;
        if (page.last)
            return outcome;
        // A page of nothing new, or more rows than the folder can hold: the
        // server is not paging as asked.
        if (page.items == 0 || rows >= rows_max) {
            com_Log("QV Error: the server keeps listing items past the folder's %d (offset %d, "
                    "%d new on this page); listing ended with %d items",
                    folder_total, offset, page.items, outcome.listed);
            outcome.result = ListingResult::kIncomplete;
            return outcome;
        }
    }
}

} // namespace qvamz::mailread
