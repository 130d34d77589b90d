// host_callbacks.cpp - OutputMsg, MsgStatus, keepalive and loss reports.
#include "host_callbacks.hpp"

#include <atomic>
#include <csignal>
#include <cstring>
#include <exception>

#include <unistd.h>

#include "qv/qvcom.h"
#include "record_archive.hpp"

namespace qvmigrate {

namespace {

ReadContext *gActiveRead = nullptr;
Progress *gKeepaliveProgress = nullptr;
std::atomic<bool> gStopRequested{false};

extern "C" void handle_interrupt(int) {
    gStopRequested.store(true);
}

std::atomic<unsigned> gTerminationGrace{0};

extern "C" void handle_termination(int) {
    gStopRequested.store(true);
    alarm(gTerminationGrace.load()); // SIGALRM ends the process if the job hangs
}

} // namespace

ActiveRead::ActiveRead(ReadContext &context) {
    gActiveRead = &context;
}

ActiveRead::~ActiveRead() {
    gActiveRead = nullptr;
}

int QV_STDCALL on_output(qv_message *msg, void *host_value, char *work_dir, int /*index*/) {
    auto *context = static_cast<ReadContext *>(host_value);
    if (context == nullptr || msg == nullptr || context->writer == nullptr)
        return QV_OUTPUT_REFUSED;
    try {
        context->writer->write_item(*msg, work_dir != nullptr ? work_dir : "");
        context->last_output_failed = false;
        return 0;
    } catch (const std::exception &e) {
        context->last_error = e.what();
    } catch (...) {
        context->last_error = "unknown failure";
    }
    com_Log("QV Error: qvmigrate could not archive the item \"%s\": %s", msg->subject,
            context->last_error.c_str());
    context->last_output_failed = true;
    return QV_OUTPUT_REFUSED;
}

int QV_STDCALL on_status(qv_message *msg, char *text, int status, int * /*counter1*/,
                         int * /*counter2*/, int *stop) {
    const bool keepalive = msg == nullptr && text != nullptr && std::strcmp(text, "keepalive") == 0;
    ReadContext *context = gActiveRead;
    if (keepalive || context == nullptr) {
        if (context != nullptr && context->progress != nullptr)
            context->progress->update(context->tally.reported());
        else if (gKeepaliveProgress != nullptr)
            gKeepaliveProgress->update(0);
        return 0;
    }
    ItemTally &tally = context->tally;
    switch (status) {
    case QV_STATUS_CONVERTED:
        ++tally.converted;
        break;
    case QV_STATUS_DUPLICATE:
        ++tally.duplicates;
        break;
    case QV_STATUS_OUT_OF_RANGE:
        ++tally.outside_dates;
        break;
    default: // QV_STATUS_SKIPPED, and anything the host does not know
        if (context->last_output_failed) {
            ++tally.failed;
        } else if (context->unread_reported > 0) {
            ++tally.failed;
            --context->unread_reported;
        } else {
            ++tally.skipped;
        }
        context->last_output_failed = false;
        break;
    }
    if (context->progress != nullptr)
        context->progress->update(tally.reported());
    if (stop != nullptr && stop_requested())
        *stop = 1;
    return 0;
}

void set_keepalive_progress(Progress *progress) {
    gKeepaliveProgress = progress;
}

void on_loss(int /*kind*/, int count, void *context) {
    auto *tally = static_cast<ItemTally *>(context);
    if (tally != nullptr && count > 0)
        tally->lost += count;
}

void on_read_loss(int /*kind*/, int count, void *context) {
    auto *read = static_cast<ReadContext *>(context);
    if (read != nullptr && count > 0)
        read->unread_reported += count;
}

void install_interrupt_handler() {
    struct sigaction action{};
    action.sa_handler = handle_interrupt;
    action.sa_flags = SA_RESETHAND; // a second Ctrl-C ends the program at once
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

void install_termination_handler(unsigned grace_seconds) {
    gTerminationGrace.store(grace_seconds);
    struct sigaction action{};
    action.sa_handler = handle_termination;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

bool stop_requested() {
    return gStopRequested.load();
}

} // namespace qvmigrate
