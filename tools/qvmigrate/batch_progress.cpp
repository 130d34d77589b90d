// batch_progress.cpp - the batch's progress display.
#include "batch_progress.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <ostream>

namespace qvmigrate {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

FinishEstimate estimate_finish(long long items_left, double rate, double now, double deadline) {
    FinishEstimate estimate;
    if (items_left <= 0) {
        estimate.known = true;
    } else if (rate > 0) {
        estimate.known = true;
        estimate.seconds_left = static_cast<double>(items_left) / rate;
    }
    if (deadline > 0 && estimate.known) {
        estimate.margin_seconds = deadline - (now + estimate.seconds_left);
        estimate.fits = estimate.margin_seconds >= 0;
    }
    return estimate;
}

std::string duration_text(double seconds) {
    const long long total = std::max(0LL, std::llround(seconds));
    char text[64];
    if (total >= 86400)
        std::snprintf(text, sizeof text, "%lld d %02lld h", total / 86400, total % 86400 / 3600);
    else if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld h %02lld min", total / 3600, total % 3600 / 60);
    else if (total >= 60)
        std::snprintf(text, sizeof text, "%lld min %02lld s", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld s", total);
    return text;
}

std::string bytes_text(long long bytes) {
    char text[32];
    if (bytes >= 1024LL * 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / (1024.0 * 1024 * 1024));
    else if (bytes >= 1024LL * 1024)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024));
    else
        std::snprintf(text, sizeof text, "%lld KB", (bytes + 1023) / 1024);
    return text;
}

BatchProgress::BatchProgress(bool terminal, std::ostream &out, double deadline)
    : terminal_(terminal), out_(out), deadline_(deadline),
      started_(std::chrono::steady_clock::now()) {}

void BatchProgress::set_known(long long items_total, long long items_done) {
    known_total_ = items_total;
    finished_done_ = items_done;
    finished_total_ = items_done;
    done_before_ = items_done;
}

void BatchProgress::started(const std::string &pair, int expected_items) {
    running_[pair] = {WorkerProgress{}, expected_items, std::chrono::steady_clock::now()};
    if (!terminal_)
        out_ << "started  " << pair << std::endl;
    draw(true);
}

void BatchProgress::update(const std::string &pair, const WorkerProgress &progress) {
    const auto found = running_.find(pair);
    if (found != running_.end())
        found->second.progress = progress;
    draw();
}

void BatchProgress::ended(const std::string &pair, const std::string &outcome) {
    const auto found = running_.find(pair);
    if (found != running_.end()) {
        finished_done_ += found->second.progress.items_done;
        finished_total_ += std::max(found->second.progress.items_total, found->second.expected);
        running_.erase(found);
    }
    clear();
    out_ << "finished " << pair << ": " << outcome << std::endl;
    draw(true);
}

long long BatchProgress::items_done() const {
    long long done = finished_done_;
    for (const auto &[pair, running] : running_)
        done += running.progress.items_done;
    return done;
}

long long BatchProgress::items_total() const {
    long long running_total = 0, running_expected = 0;
    for (const auto &[pair, running] : running_) {
        running_total += std::max(running.progress.items_total, running.expected);
        running_expected += running.expected;
    }
    // The plan's known total already counts the running mailboxes' expected
    // items; what they turned out to hold replaces that.
    return std::max(known_total_ - running_expected + running_total,
                    finished_total_ + running_total);
}

double BatchProgress::items_per_second() const {
    const double seconds = seconds_since(started_);
    return seconds > 1 ? static_cast<double>(items_done() - done_before_) / seconds : 0;
}

std::string BatchProgress::mailbox_line(const std::string &pair, const Running &running) const {
    const WorkerProgress &p = running.progress;
    const double seconds = seconds_since(running.started);
    const double rate = seconds > 1 ? p.items_done / seconds : 0;
    const int total = std::max(p.items_total, running.expected);
    const FinishEstimate left = estimate_finish(total - p.items_done, rate, 0, 0);
    char text[512];
    std::snprintf(text, sizeof text, "  %-40.40s %-6s %5d/%-5d items %9s %6.1f/s %12s  %s %d/%d",
                  pair.c_str(), p.phase.c_str(), p.items_done, total, bytes_text(p.bytes).c_str(),
                  rate, left.known ? (duration_text(left.seconds_left) + " left").c_str() : "",
                  p.folder.c_str(), p.folder_done, p.folder_total);
    return text;
}

std::string BatchProgress::overall_line() const {
    const long long done = items_done(), total = items_total();
    const double rate = items_per_second();
    const FinishEstimate estimate =
        estimate_finish(total - done, rate, static_cast<double>(std::time(nullptr)), deadline_);
    std::string line = "overall " + std::to_string(done) + "/" + std::to_string(total) +
                       " items";
    char figures[64];
    std::snprintf(figures, sizeof figures, ", %.1f items/s", rate);
    line += figures;
    if (estimate.known)
        line += ", " + duration_text(estimate.seconds_left) + " left";
    if (deadline_ > 0 && estimate.known)
        line += estimate.fits ? ", fits the deadline" :
                                ", misses the deadline by " + duration_text(-estimate.margin_seconds);
    return line;
}

void BatchProgress::clear() {
    if (!terminal_ || lines_drawn_ == 0)
        return;
    out_ << "\x1b[" << lines_drawn_ << "F\x1b[J" << std::flush;
    lines_drawn_ = 0;
}

void BatchProgress::draw(bool now) {
    if (!terminal_)
        return;
    const auto clock = std::chrono::steady_clock::now();
    if (!now && clock - drawn_ < kRedrawInterval)
        return;
    drawn_ = clock;
    clear();
    for (const auto &[pair, running] : running_)
        out_ << mailbox_line(pair, running) << "\n";
    out_ << overall_line() << "\n" << std::flush;
    lines_drawn_ = static_cast<int>(running_.size()) + 1;
}

} // namespace qvmigrate
