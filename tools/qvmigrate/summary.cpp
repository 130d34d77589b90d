// summary.cpp - the summary table, its JSON form and the progress line.
#include "summary.hpp"

#include <algorithm>
#include <cstdio>
#include <ostream>

#include "json_util.hpp"

namespace qvmigrate {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr size_t kMaxPathColumn = 40;

cJSON *counts_to_json(const FolderCounts &counts, bool with_path) {
    cJSON *object = cJSON_CreateObject();
    if (with_path) {
        cJSON_AddStringToObject(object, "path", counts.path.c_str());
        cJSON_AddStringToObject(object, "kind", counts.kind.c_str());
    }
    cJSON_AddNumberToObject(object, "source_total", counts.source_total);
    cJSON_AddNumberToObject(object, "migrated", counts.migrated);
    cJSON_AddNumberToObject(object, "duplicates", counts.duplicates);
    cJSON_AddNumberToObject(object, "outside_dates", counts.outside_dates);
    cJSON_AddNumberToObject(object, "skipped", counts.skipped);
    cJSON_AddNumberToObject(object, "failed", counts.failed);
    cJSON_AddNumberToObject(object, "seconds", counts.seconds);
    if (with_path) {
        cJSON *notes = cJSON_AddArrayToObject(object, "notes");
        for (const std::string &note : counts.notes)
            cJSON_AddItemToArray(notes, cJSON_CreateString(note.c_str()));
    }
    return object;
}

// Columns a UTF-8 text takes (one per character; wide scripts aside).
size_t columns(const std::string &text) {
    size_t count = 0;
    for (unsigned char c : text)
        count += (c & 0xc0) != 0x80 ? 1 : 0;
    return count;
}

// The text padded to `width` columns, or its end after "..." when longer
// (cut at a character boundary).
std::string fit(const std::string &text, size_t width) {
    const size_t have = columns(text);
    if (have <= width)
        return text + std::string(width - have, ' ');
    size_t start = text.size();
    for (size_t kept = 0; start > 0 && kept < width - 3;) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xc0) != 0x80)
            ++kept;
    }
    return "..." + text.substr(start);
}

void print_row(std::ostream &out, const std::string &path, const std::string &kind,
               const FolderCounts &c) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, " %-8s %8d %8d %10d %8d %8d %6d", kind.c_str(),
                  c.source_total, c.migrated, c.duplicates, c.outside_dates, c.skipped,
                  c.failed);
    out << fit(path, kMaxPathColumn) << numbers << "\n";
}

} // namespace

void FolderCounts::add(const FolderCounts &other) {
    source_total += other.source_total;
    migrated += other.migrated;
    duplicates += other.duplicates;
    outside_dates += other.outside_dates;
    skipped += other.skipped;
    failed += other.failed;
    seconds += other.seconds;
}

FolderCounts JobSummary::totals() const {
    FolderCounts total;
    total.path = "total";
    for (const FolderCounts &folder : folders)
        total.add(folder);
    return total;
}

void JobSummary::settle_exit_status() {
    // A job that ended early (interrupted, or its other half gone) did not
    // do all it was asked, even when nothing it did failed.
    if (exit_status == kExitOk && (totals().failed > 0 || !error.empty()))
        exit_status = kExitItemsFailed;
}

void print_summary_table(std::ostream &out, const JobSummary &summary) {
    if (!summary.source.empty() || !summary.target.empty()) {
        out << summary.command << ":";
        if (!summary.source.empty())
            out << " from " << summary.source;
        if (!summary.target.empty())
            out << " to " << summary.target;
        out << "\n";
    }
    if (!summary.folders.empty()) {
        out << fit("folder", kMaxPathColumn)
            << " kind        total migrated duplicates  outside  skipped failed\n";
        for (const FolderCounts &folder : summary.folders) {
            print_row(out, folder.path, folder.kind, folder);
            for (const std::string &note : folder.notes)
                out << "    note: " << note << "\n";
        }
        print_row(out, "total", "", summary.totals());
    }
    if (!summary.archive.empty())
        out << "archive: " << summary.archive << "\n";
    if (!summary.error.empty())
        out << "error: " << summary.error << "\n";
    if (summary.check) {
        out << "check: " << (summary.check->passed ? "target matches source" : "DIFFERENCES")
            << "\n";
        for (const std::string &difference : summary.check->differences)
            out << "  " << difference << "\n";
    }
    out << "log: " << summary.log_file << "\n";
}

std::string summary_json(const JobSummary &summary) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "command", summary.command.c_str());
    if (!summary.source.empty())
        cJSON_AddStringToObject(root.get(), "source", summary.source.c_str());
    if (!summary.target.empty())
        cJSON_AddStringToObject(root.get(), "target", summary.target.c_str());
    if (!summary.archive.empty())
        cJSON_AddStringToObject(root.get(), "archive", summary.archive.c_str());
    cJSON_AddStringToObject(root.get(), "log", summary.log_file.c_str());
    cJSON_AddNumberToObject(root.get(), "exit_status", summary.exit_status);
    if (!summary.error.empty())
        cJSON_AddStringToObject(root.get(), "error", summary.error.c_str());
    cJSON *folders = cJSON_AddArrayToObject(root.get(), "folders");
    for (const FolderCounts &folder : summary.folders)
        cJSON_AddItemToArray(folders, counts_to_json(folder, true));
    cJSON_AddItemToObject(root.get(), "totals", counts_to_json(summary.totals(), false));
    if (summary.check) {
        cJSON *check = cJSON_AddObjectToObject(root.get(), "check");
        cJSON_AddBoolToObject(check, "passed", summary.check->passed);
        cJSON *differences = cJSON_AddArrayToObject(check, "differences");
        for (const std::string &difference : summary.check->differences)
            cJSON_AddItemToArray(differences, cJSON_CreateString(difference.c_str()));
    }
    return print_json(root.get());
}

void Progress::start(const std::string &folder, int total) {
    folder_ = folder;
    total_ = total;
    done_ = 0;
    active_ = true;
    started_ = std::chrono::steady_clock::now();
    drawn_ = {};
    draw();
}

void Progress::update(int done) {
    done_ = done;
    if (std::chrono::steady_clock::now() - drawn_ >= kRedrawInterval)
        draw();
}

void Progress::finish() {
    if (!active_)
        return;
    draw();
    if (enabled_)
        out_ << "\n" << std::flush;
    active_ = false;
}

void Progress::draw() {
    if (!enabled_ || !active_)
        return;
    drawn_ = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(drawn_ - started_).count();
    const double rate = seconds > 0.05 ? done_ / seconds : 0.0;
    char line[96];
    std::snprintf(line, sizeof line, " %6d of %-6d %7.1f items/s", done_, total_, rate);
    out_ << "\r" << fit(folder_, kMaxPathColumn) << line << "\x1b[K" << std::flush;
}

} // namespace qvmigrate
