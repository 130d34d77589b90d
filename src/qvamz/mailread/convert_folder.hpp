// The read driver: ConvertFolder hands every item of one source folder to
// the host, one filled message record at a time.  Mail folders are read
// here (listing with FindItem, each item with GetItem and its MIME content
// through the RFC 822 parser); contact, calendar and task folders go to
// the reader of their kind.
#pragma once

#include <string>

#include "qv/qvamz.h"

namespace qvamz {

// ConvertFolder's result when the host ended the folder with 1235.
inline constexpr int kFolderEndedByHost = 99;

// The ConvertFolder export's work, with the export's fourteen arguments.
// Arguments 5 to 7 go to com_SearchMsg, 8 to com_AttachSize and 10 to
// com_Check_MaxMsgDate as the integers the host passed.
int ConvertFolderImpl(qv_message *msg, qv_output_fn output, int folder_index,
                      void *output_value, void *search1, void *search2, void *search3,
                      void *attach_value, void *unused9, void *max_date_value, char *work_dir,
                      int *out_count, int *out_size, qv_status_fn status);

// Readers of the other folder kinds.  Each reports its items to `status`
// and counts what it handed to `output` in *out_count.
struct FolderKindReaders {
    using NamedFolderReader = int (*)(qv_message *msg, qv_output_fn output, int *out_count,
                                      qv_status_fn status, int folder_index,
                                      const std::string &folder_name);
    using TaskFolderReader = int (*)(int folder_index, qv_message *msg, qv_output_fn output,
                                     int *out_count, qv_status_fn status);
    // Answers a meeting request from its record ("/D207").
    using MeetingResponder = void (*)(qv_message *msg, const std::string &ews_item_id);

    NamedFolderReader contacts;
    NamedFolderReader calendar;
    TaskFolderReader tasks;
    MeetingResponder meeting_response;
};

// The readers in use.  Until a kind has its reader, the default one skips
// every item of the folder with status 6 and logs that the kind cannot be
// read yet; the default meeting responder logs that it cannot answer.
FolderKindReaders &KindReaders();

// Puts the default readers back.
void ResetKindReaders();

} // namespace qvamz
