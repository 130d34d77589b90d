// The read driver: ConvertFolder hands every item of one source folder to
// the host, one filled message record at a time.  Mail folders are read
// here (listing with FindItem, each item with GetItem and its MIME content
// through the RFC 822 parser); contact, calendar and task folders go to
// the reader of their kind (ConvertFolderImpl's switch on the folder type
// is where those readers plug in).
#pragma once

#include <cstdint>
#include <string>

#include "qv/qvamz.h"

namespace qvamz {

// ConvertFolder's result when the host ended the folder with 1235.
inline constexpr int kFolderEndedByHost = 99;
// Kind of item in the host's loss report (com_ReportLoss) for source items
// that could not be read: not listed, or not fetched after the retries.
// Each such item also gets status 6 right after the report.
inline constexpr int kLossKindMailRead = 12;

struct Session;

// The ConvertFolder export's arguments, decoded.
struct ConvertFolderArguments {
    qv_message *msg = nullptr;
    qv_output_fn output = nullptr;
    void *output_value = nullptr; // handed back to `output`
    int folder_index = -1;
    int search_fields = 0, search_reserved1 = 0, search_reserved2 = 0; // for com_SearchMsg
    std::int64_t attach_limit = 0; // for com_AttachSize
    std::int64_t max_date = 0;     // for com_Check_MaxMsgDate
    std::string work_dir{};        // where part files go; empty: the session's
    int *out_count = nullptr;      // records handed to `output`
    int *out_size = nullptr;       // their total size
    qv_status_fn status = nullptr; // one status per item of the folder
};

// The ConvertFolder export's work.  Mail folders are read here, calendar
// folders by the calendar reader; contact and task folders have no reader
// yet: their items are reported skipped.
int ConvertFolderImpl(Session &session, const ConvertFolderArguments &args);

} // namespace qvamz
