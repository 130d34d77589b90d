// The item list with read-ahead (see read_ahead.hpp).
#include "mailread/read_ahead.hpp"

#include "frame/session.hpp"
#include "mailread/item_fetch.hpp"
#include "mailread/item_listing.hpp"
#include "transport/line_reader.hpp"
#include "transport/soap_request.hpp"

namespace qvamz::mailread {

ListedItem SplitListLine(std::string_view line)
{
    const std::size_t semicolon = line.find(';');
    ListedItem item;
    item.item_id = std::string(line.substr(0, semicolon));
    if (semicolon != std::string_view::npos)
        item.change_key = std::string(line.substr(semicolon + 1));
    return item;
}

ItemReadAhead::ItemReadAhead(Session &session, std::FILE *ids, std::string properties)
    : session_(session), ids_(ids), properties_(std::move(properties))
{
    if (session.settings.prefetch <= 1)
        return;
    pipeline_ = std::make_unique<RequestPipeline>(session, session.settings.prefetch);
    scope_ = std::make_unique<ReadAheadScope>(session, pipeline_.get());
}

bool ItemReadAhead::ReadLine(std::string &line)
{
    return ReadAnswerLine(ids_, line, kListingLineMax);
}

void ItemReadAhead::SendAhead(int may_read)
{
    if (!pipeline_)
        return;
    std::string line;
    while (pipeline_->HasRoom() && static_cast<int>(lines_.size()) < may_read && ReadLine(line)) {
        lines_.push_back(line);
        if (line.empty())
            continue;
        const ListedItem item = SplitListLine(line);
        const std::string body = GetItemBody(properties_, item.item_id, item.change_key);
        // A request that cannot be sent ahead is simply posted in its turn.
        if (!pipeline_->Start(SoapEnvelope(session_, "GetItem", "", body)))
            break;
    }
}

bool ItemReadAhead::Next(std::string &line)
{
    if (lines_.empty())
        return ReadLine(line);
    line = std::move(lines_.front());
    lines_.pop_front();
    return true;
}

} // namespace qvamz::mailread
