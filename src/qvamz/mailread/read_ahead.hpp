// The folder reader's item list with read-ahead: hands out the listing's
// lines ("id;changekey") one by one, in order, and keeps the GetItem
// requests of the lines after the current one in flight ("/EWSPREFETCH"),
// so that the server works while the host handles an item.  Only as many
// lines are sent ahead as the caller says may still be read, so a host's
// stop or an item limit wastes at most a window of requests.
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "transport/request_pipeline.hpp"

namespace qvamz {
struct Session;
}

namespace qvamz::mailread {

// One line of the item list.
struct ListedItem {
    std::string item_id, change_key;
};
ListedItem SplitListLine(std::string_view line);

class ItemReadAhead {
  public:
    // `ids`: the item list, read from its current position; `properties`:
    // the AdditionalProperties of every GetItem of the folder.
    ItemReadAhead(Session &session, std::FILE *ids, std::string properties);

    // Sends the requests of lines ahead while the window has room, for at
    // most `may_read` items still to come (the current one not counted).
    void SendAhead(int may_read);
    // The next line of the list; false at its end.
    bool Next(std::string &line);

    // Requests in flight at once at most, so far (1 without read-ahead).
    int most_in_flight() const { return pipeline_ ? pipeline_->most_in_flight() : 1; }

  private:
    bool ReadLine(std::string &line);

    Session &session_;
    std::FILE *ids_;
    std::string properties_;
    std::unique_ptr<RequestPipeline> pipeline_; // none for "/EWSPREFETCH 1"
    std::unique_ptr<ReadAheadScope> scope_;
    std::deque<std::string> lines_; // read from the list and sent ahead, not yet handed out
};

} // namespace qvamz::mailread
