// job_import.cpp - the target job: records from a record archive are
// written folder by folder with InitWrite / WriteMsg / CloseWrite.
//
// Duplicates are the host's business on this side: an item is looked up in
// the duplicate store (scope: the archive's mailbox and the target) before
// it is written, and remembered as soon as the target acknowledged the
// bundle that carried it, so that a run killed half way does not write it
// again.  The host cannot see when the connector sends a bundle, so it
// closes the bundle itself (CloseWrite(0)) after as many items as a bundle
// holds (/D251; kDefaultBundleItems unless the target's switches say) and
// remembers the items of that bundle when no loss was reported for them.
// An item in a bundle that failed is never taken for copied.  The key an
// item is remembered by is the one its check computed before it was
// written: the connector changes records and deletes part files.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "connector_session.hpp"
#include "host_callbacks.hpp"
#include "host_environment.hpp"
#include "import_feed.hpp"
#include "jobs.hpp"
#include "qv/qvcom.h"
#include "record_archive.hpp"
#include "text_codec.hpp"

namespace qvmigrate {

namespace fs = std::filesystem;

namespace {

// The host's run number for records it writes; names their part files.
constexpr int kWriteMsgNumber = 2;
constexpr const char *kRootGroup = "root";

struct RecordDeleter {
    void operator()(qv_message *msg) const {
        com_ResetObject(msg);
        delete msg;
    }
};
using HostRecord = std::unique_ptr<qv_message, RecordDeleter>;

// Clears the record and its part files between items.
void release(qv_message &record, const std::string &work) {
    com_Deallocate_All(&record, work.c_str());
    com_ResetObject(&record);
    record.msg_number = kWriteMsgNumber;
}

qv_filetime date_for_range(const qv_message &record) {
    switch (record.item_type) {
    case QV_ITEM_CONTACT:
    case QV_ITEM_TASK:
        return 0; // contacts and tasks are taken whatever their dates
    case QV_ITEM_CALENDAR:
        return record.start_time;
    default:
        return record.date;
    }
}

bool outside_range(const qv_message &record, const JobLimits &limits) {
    const qv_filetime date = date_for_range(record);
    if (!limits.has_dates() || date == 0)
        return false;
    return (limits.first != 0 && date < limits.first) || (limits.last != 0 && date > limits.last);
}

// A row's counts from the tally of the items handled so far: items reported
// lost after they were queued count failed, not written.
FolderCounts tally_counts(const ItemTally &tally) {
    FolderCounts counts;
    const int lost = std::min(tally.lost, tally.converted);
    counts.migrated = tally.converted - lost;
    counts.duplicates = tally.duplicates;
    counts.outside_dates = tally.outside_dates;
    counts.skipped = tally.skipped;
    counts.failed = tally.failed + lost;
    return counts;
}

using DuplicateKey = std::array<unsigned char, 32>;

struct FolderWriter {
    const HostEnvironment &env;
    const ConnectorSession &session;
    const JobSettings &settings;
    ImportFeed &feed;
    qv_message &record;
    std::vector<FailedItem> failed_items = {}; // of the folder being written

    FolderCounts write(const ArchiveFolder &folder);

  private:
    // Items handed to WriteMsg since the last acknowledged bundle.
    struct Pending {
        std::vector<int> sequences;
        std::vector<DuplicateKey> keys; // of the items checked with a store

        bool tainted = false; // a loss was reported while they were queued
        int unremembered = 0; // items of failed bundles, for the note
    };
    void write_items(const ArchiveFolder &folder, ItemTally &tally, Pending &pending,
                     FolderCounts &counts);
    void write_one(const ArchiveFolder &folder, int sequence, ItemTally &tally, Pending &pending);
    void acknowledge(const ArchiveFolder &folder, ItemTally &tally, Pending &pending);
    void remember(const ArchiveFolder &folder, const std::vector<DuplicateKey> &keys);
    void note_failure(const ArchiveFolder &folder, const std::string &reason);
};

FolderCounts FolderWriter::write(const ArchiveFolder &folder) {
    FolderCounts counts;
    counts.path = folder.path;
    counts.kind = folder_kind_name(folder.folder_type);
    counts.source_total = folder.source_total;
    const auto started = std::chrono::steady_clock::now();

    std::string name = folder.internal_path;
    std::strncpy(record.group_folder, kRootGroup, sizeof record.group_folder - 1);
    if (session.exports().InitWrite(&record, name.data(), nullptr, folder.folder_type) != 0) {
        while (feed.has_item(folder, counts.failed + 1))
            ++counts.failed;
        counts.notes.push_back("the target folder could not be found or created (see the log)");
        return counts;
    }
    ItemTally tally;
    Pending pending;
    qvcom_set_loss_handler(on_loss, &tally);
    if (settings.progress != nullptr)
        settings.progress->start("write " + folder.path, folder.items);
    write_items(folder, tally, pending, counts);
    acknowledge(folder, tally, pending); // sends what is still queued
    qvcom_set_loss_handler(nullptr, nullptr);
    if (settings.progress != nullptr)
        settings.progress->finish();

    const FolderCounts settled = tally_counts(tally);
    const int lost = settled.failed - tally.failed;
    counts.migrated = settled.migrated;
    counts.duplicates = settled.duplicates;
    counts.outside_dates = settled.outside_dates;
    counts.skipped = settled.skipped;
    counts.failed = settled.failed;
    counts.failed_items = std::exchange(failed_items, {});
    if (lost > 0)
        counts.notes.push_back(std::to_string(lost) + " queued items were lost; the " +
                               std::to_string(pending.unremembered) +
                               " items of the failed bundles were not remembered as copied");
    counts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return counts;
}

void FolderWriter::write_items(const ArchiveFolder &folder, ItemTally &tally, Pending &pending,
                               FolderCounts &counts) {
    std::string work = env.work_prefix();
    const int limit = settings.limits.max_items;
    for (int sequence = 1;; ++sequence) {
        if (stop_requested()) {
            counts.notes.push_back("interrupted");
            break;
        }
        if (limit > 0 && tally.converted >= limit) {
            counts.notes.push_back("stopped after --max-items " + std::to_string(limit));
            break;
        }
        if (!feed.has_item(folder, sequence)) {
            if (!feed.stopped().empty())
                counts.notes.push_back(feed.stopped());
            break;
        }
        release(record, work);
        feed.reader().read_item(folder, sequence, record, work, feed.file_use());
        if (record.item_type == QV_ITEM_SKIP) {
            ++tally.skipped;
        } else if (outside_range(record, settings.limits)) {
            ++tally.outside_dates;
        } else if (com_MsgIsDuplicate(&record, work.c_str(), QVCOM_DUP_CHECK,
                                      folder.internal_path.c_str()) != 0) {
            ++tally.duplicates;
        } else {
            write_one(folder, sequence, tally, pending);
        }
        if (settings.progress != nullptr)
            settings.progress->update(tally.reported());
        if (pending.sequences.empty())
            feed.settled(folder, tally.reported(), tally_counts(tally));
    }
    release(record, work);
}

void FolderWriter::write_one(const ArchiveFolder &folder, int sequence, ItemTally &tally,
                             Pending &pending) {
    std::string work = env.work_prefix();
    const int lost_before = tally.lost;
    DuplicateKey key{};
    const bool checked = qvcom_last_duplicate_key(key.data()) != 0; // the check just made
    const int result = session.exports().WriteMsg(&record, nullptr, work.data(), nullptr);
    if (result != 0) {
        ++tally.failed;
        note_failure(folder, "the target refused it (WriteMsg " + std::to_string(result) +
                                 "; the log has the reason)");
        // A refused item that was also reported lost counts once; other
        // items lost in the same call still count, and spoil the bundle.
        const int lost_in_call = tally.lost - lost_before;
        tally.lost = lost_before + std::max(0, lost_in_call - 1);
        pending.tainted = pending.tainted || lost_in_call > 1;
        if (settings.bundle_items > 1 && lost_in_call > 0)
            acknowledge(folder, tally, pending); // that bundle is over
        return;
    }
    ++tally.converted;
    const bool lost_in_call = tally.lost != lost_before;
    if (settings.bundle_items <= 1) {
        // Sent on its own: a loss in this call was this item's.  Otherwise
        // the key of the check just made is remembered at once.
        if (lost_in_call) {
            ++pending.unremembered;
            note_failure(folder, "the target did not store it (the log has the reason)");
        } else {
            com_MsgIsDuplicate(&record, work.c_str(), QVCOM_DUP_REMEMBER,
                               folder.internal_path.c_str());
        }
        return;
    }
    // A loss in this call may be of any item of the bundle being filled.
    pending.tainted = pending.tainted || lost_in_call;
    pending.sequences.push_back(sequence);
    if (checked)
        pending.keys.push_back(key);
    if (static_cast<int>(pending.sequences.size()) >= settings.bundle_items)
        acknowledge(folder, tally, pending);
}

void FolderWriter::note_failure(const ArchiveFolder & /*folder*/, const std::string &reason) {
    failed_items.push_back({std::string(record.subject, strnlen(record.subject, sizeof record.subject)),
                            record.date != 0 ? filetime_to_iso(record.date) : "", reason});
}

// Sends what is queued and remembers it when the target took all of it.
void FolderWriter::acknowledge(const ArchiveFolder &folder, ItemTally &tally, Pending &pending) {
    const int lost_before = tally.lost;
    session.exports().CloseWrite(0);
    if (tally.lost == lost_before && !pending.tainted) {
        remember(folder, pending.keys);
    } else {
        pending.unremembered += static_cast<int>(pending.sequences.size());
    }
    pending.sequences.clear();
    pending.keys.clear();
    pending.tainted = false;
}

// Records the items of an acknowledged bundle in the duplicate store, in
// one transaction.
void FolderWriter::remember(const ArchiveFolder &folder, const std::vector<DuplicateKey> &keys) {
    if (!keys.empty())
        qvcom_remember_duplicate_keys(keys.front().data(), keys.size(),
                                      folder.internal_path.c_str());
}

bool is_bundle_switch(const std::string &token) {
    return token.size() == 5 && (token[0] == '/') && (token[1] == 'D' || token[1] == 'd') &&
           token.substr(2) == "251";
}

std::vector<ArchiveFolder> select_archive_folders(const ArchiveManifest &manifest,
                                                  const std::vector<std::string> &selections) {
    std::vector<ArchiveFolder> chosen;
    for (const ArchiveFolder &folder : manifest.folders) {
        bool wanted = selections.empty();
        for (const std::string &selection : selections)
            wanted = wanted || path_is_at_or_below(folder.path, selection);
        if (wanted)
            chosen.push_back(folder);
    }
    for (const std::string &selection : selections) {
        bool used = false;
        for (const ArchiveFolder &folder : manifest.folders)
            used = used || path_is_at_or_below(folder.path, selection);
        if (!used)
            throw UsageError("--folder " + selection + " matches no folder of the archive");
    }
    return chosen;
}

// The folders of a finished archive, every item of them there already.
class ArchiveFeed : public ImportFeed {
  public:
    ArchiveFeed(const ArchiveReader &reader, std::vector<ArchiveFolder> folders)
        : reader_(reader), folders_(std::move(folders)) {}

    std::string mailbox() const override { return reader_.manifest().mailbox; }
    const ArchiveReader &reader() const override { return reader_; }
    std::optional<ArchiveFolder> next_folder() override {
        if (next_ >= folders_.size())
            return std::nullopt;
        return folders_[next_++];
    }
    bool has_item(const ArchiveFolder &folder, int sequence) override {
        return sequence <= folder.items;
    }

  private:
    const ArchiveReader &reader_;
    std::vector<ArchiveFolder> folders_;
    size_t next_ = 0;
};

} // namespace

int bundle_items_from_switches(const std::string &switches) {
    const std::vector<std::string> tokens = split_switches(switches);
    int items = 1;
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (!is_bundle_switch(tokens[i]))
            continue;
        char *end = nullptr;
        const long value = std::strtol(tokens[i + 1].c_str(), &end, 10);
        if (end != tokens[i + 1].c_str())
            items = static_cast<int>(std::clamp(value, 1L, 100000L));
    }
    return items;
}

std::string with_default_bundle(const std::string &switches) {
    for (const std::string &token : split_switches(switches))
        if (is_bundle_switch(token))
            return switches;
    const std::string bundle = "/D251 " + std::to_string(kDefaultBundleItems);
    return switches.empty() ? bundle : switches + ";" + bundle;
}

JobSummary run_import(HostEnvironment &env, const JobSettings &settings,
                      const Connection &given_connection, const Credentials &credentials,
                      const fs::path &in_dir) {
    // Everything is read and checked before anything is written.
    ArchiveReader reader(in_dir);
    reader.verify();
    ArchiveFeed feed(reader, select_archive_folders(reader.manifest(), settings.folders));
    JobSummary summary = run_import_feed(env, settings, given_connection, credentials, feed);
    summary.archive = fs::absolute(in_dir).string();
    return summary;
}

JobSummary run_import_feed(HostEnvironment &env, const JobSettings &settings,
                           const Connection &given_connection, const Credentials &credentials,
                           ImportFeed &feed) {
    Connection connection = given_connection;
    connection.auth.extra_switches = with_default_bundle(connection.auth.extra_switches);
    JobSummary summary;
    summary.command = "import";
    summary.source = feed.mailbox();
    summary.target = connection.user;
    summary.log_file = env.log_file().string();

    qvcom_reset_filters();
    const std::string scope = feed.mailbox() + "|" + connection.user;
    if (qvcom_set_duplicate_store(env.duplicate_store().c_str(), scope.c_str()) == 0)
        throw std::runtime_error("cannot open the duplicate store " + env.duplicate_store());

    ConnectorSession session(env, settings.plugin, connection, credentials, Side::Target,
                             logon_item_kind(kAllKinds), settings.transport);
    feed.logged_on();
    HostRecord record(new qv_message{});
    record->msg_number = kWriteMsgNumber;
    JobSettings write_settings = settings;
    write_settings.bundle_items = bundle_items_from_switches(connection.auth.extra_switches);
    FolderWriter writer{env, session, write_settings, feed, *record};
    while (!stop_requested() && feed.stopped().empty()) {
        const std::optional<ArchiveFolder> folder = feed.next_folder();
        if (!folder)
            break;
        summary.folders.push_back(writer.write(*folder));
        feed.folder_written(summary.folders.back());
    }
    // A stop heard from the feed (a copy's read side) ends the job as one
    // heard here does: what was not written is left for the next run.
    if (stop_requested())
        summary.error = "interrupted";
    else
        summary.error = feed.stopped();
    summary.settle_exit_status();
    return summary;
}

} // namespace qvmigrate
