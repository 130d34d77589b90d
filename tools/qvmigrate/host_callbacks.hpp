// host_callbacks.hpp - the callbacks the connector calls back into the
// host: OutputMsg (each converted record, written to the archive),
// MsgStatus (each item's status, and the transport's keepalive) and the
// loss handler (items of a failed write request).
//
// MsgStatus carries no context of its own, so the read in progress is
// registered module-wide for the length of one ConvertFolder call
// (ActiveRead); the connector calls back only on the host's thread.
#pragma once

#include <string>

#include "qv/qvamz.h"
#include "summary.hpp"

namespace qvmigrate {

class ArchiveWriter;

// Items of one folder as the host counted them.
struct ItemTally {
    int converted = 0; // exported (read side) or written (write side)
    int duplicates = 0;
    int outside_dates = 0;
    int skipped = 0;
    int failed = 0; // could not be archived, refused by the target, or lost
    int lost = 0;   // of the failed: reported lost after they were queued
    int reported() const { return converted + duplicates + outside_dates + skipped + failed; }
};

// The state of one ConvertFolder call; its address is OutputMsg's host
// value.
struct ReadContext {
    ArchiveWriter *writer = nullptr;
    Progress *progress = nullptr;
    ItemTally tally;
    bool last_output_failed = false; // the next status 6 is this failure
    int unread_reported = 0;         // items reported lost, whose status 6 is still to come
    std::string last_error;
};

// Registers `context` for MsgStatus while it lives.
class ActiveRead {
  public:
    explicit ActiveRead(ReadContext &context);
    ~ActiveRead();
    ActiveRead(const ActiveRead &) = delete;
    ActiveRead &operator=(const ActiveRead &) = delete;
};

int QV_STDCALL on_output(qv_message *msg, void *host_value, char *work_dir, int index);
int QV_STDCALL on_status(qv_message *msg, char *text, int status, int *counter1, int *counter2,
                         int *stop);

// The progress line to refresh on keepalives outside a folder read.
void set_keepalive_progress(Progress *progress);

// libqvcom's loss handler; `context` is the ItemTally of the folder being
// written.
void on_loss(int kind, int count, void *context);

// The loss handler while a folder is read; `context` is its ReadContext.
// The connector reports an item it could not read (not listed, or not
// fetched) lost and then gives it status 6: such an item counts failed,
// not skipped.
void on_read_loss(int kind, int count, void *context);

// Ctrl-C: ends the folder in progress at the next item and the job after
// it, so the archive and the summary stay whole.
void install_interrupt_handler();
// SIGTERM does the same (a batch worker whose coordinator died); when the
// job has not ended `grace_seconds` later, SIGALRM ends the process.
void install_termination_handler(unsigned grace_seconds);
bool stop_requested();

} // namespace qvmigrate
