// copy_channel.cpp - the line channel of an overlapped copy and its
// messages.
#include "copy_channel.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "json_util.hpp"

namespace qvmigrate {

namespace {

constexpr std::int64_t kMaxCount = INT32_MAX;

int count_of(const cJSON *object, const char *key) {
    return static_cast<int>(json_integer(object, key, 0, kMaxCount).value_or(0));
}

} // namespace

LineChannel::LineChannel(int fd) : fd_(fd) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

LineChannel::~LineChannel() {
    close(fd_);
}

// Takes in what has arrived; false when nothing could be read now.
bool LineChannel::read_some() {
    char chunk[16384];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0) {
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        closed_ = true;
    return false;
}

bool LineChannel::send(const std::string &line) {
    // A line break inside a message (an error text) would split it in two.
    std::string text = line;
    for (char &c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    text += '\n';
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t put = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (put > 0) {
            sent += static_cast<size_t>(put);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false; // EPIPE, ECONNRESET: the other side is gone
        pollfd ready{fd_, POLLOUT | POLLIN, 0};
        if (poll(&ready, 1, -1) > 0 && (ready.revents & POLLIN) != 0)
            while (read_some()) {
            }
        if ((ready.revents & (POLLERR | POLLHUP)) != 0 && (ready.revents & POLLOUT) == 0)
            return false;
    }
    return true;
}

std::optional<std::string> LineChannel::receive(int timeout_ms) {
    for (;;) {
        const size_t end = buffer_.find('\n', taken_);
        if (end != std::string::npos) {
            std::string line = buffer_.substr(taken_, end - taken_);
            taken_ = end + 1;
            return line;
        }
        // Lines are taken from the front without moving the rest each time.
        buffer_.erase(0, taken_);
        taken_ = 0;
        if (closed_)
            return std::nullopt;
        if (read_some())
            continue;
        if (closed_ || timeout_ms == 0)
            return std::nullopt;
        pollfd ready{fd_, POLLIN, 0};
        const int polled = poll(&ready, 1, timeout_ms);
        if (polled <= 0)
            return std::nullopt; // time-out or a signal: the caller looks again
    }
}

ChannelMessage split_message(const std::string &line) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos)
        return {line, ""};
    return {line.substr(0, blank), line.substr(blank + 1)};
}

std::string folder_begin_line(const ArchiveFolder &folder) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "number", folder.number);
    cJSON_AddStringToObject(root.get(), "path", folder.path.c_str());
    cJSON_AddStringToObject(root.get(), "internal_path", folder.internal_path.c_str());
    cJSON_AddNumberToObject(root.get(), "type", folder.folder_type);
    cJSON_AddNumberToObject(root.get(), "source_total", folder.source_total);
    return "begin " + print_json_line(root.get());
}

std::optional<ArchiveFolder> parse_folder_begin(const std::string &rest) {
    const JsonParse parsed = parse_json(rest);
    const cJSON *root = parsed.root.get();
    const auto number = json_integer(root, "number", 1, 9999);
    const auto path = json_string(root, "path");
    const auto internal_path = json_string(root, "internal_path");
    const auto type = json_integer(root, "type", 0, 3);
    if (!number || !path || !internal_path || !type)
        return std::nullopt;
    ArchiveFolder folder;
    folder.number = static_cast<int>(*number);
    folder.path = *path;
    folder.internal_path = *internal_path;
    folder.folder_type = static_cast<int>(*type);
    folder.source_total = count_of(root, "source_total");
    return folder;
}

std::string settled_line(const SettledCounts &s) {
    char line[160];
    std::snprintf(line, sizeof line, "settled %d %d %d %d %d %d %d", s.folder, s.items,
                  s.counts.migrated, s.counts.duplicates, s.counts.outside_dates, s.counts.skipped,
                  s.counts.failed);
    return line;
}

std::optional<SettledCounts> parse_settled(const std::string &rest) {
    SettledCounts s;
    FolderCounts &c = s.counts;
    int consumed = 0;
    if (std::sscanf(rest.c_str(), "%d %d %d %d %d %d %d%n", &s.folder, &s.items, &c.migrated,
                    &c.duplicates, &c.outside_dates, &c.skipped, &c.failed, &consumed) != 7 ||
        static_cast<size_t>(consumed) != rest.size())
        return std::nullopt;
    if (s.folder < 1 || s.items < 0 || c.migrated < 0 || c.duplicates < 0 || c.outside_dates < 0 ||
        c.skipped < 0 || c.failed < 0)
        return std::nullopt;
    return s;
}

std::string folder_row_line(const FolderCounts &row) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "path", row.path.c_str());
    cJSON_AddStringToObject(root.get(), "kind", row.kind.c_str());
    cJSON_AddNumberToObject(root.get(), "source_total", row.source_total);
    cJSON_AddNumberToObject(root.get(), "migrated", row.migrated);
    cJSON_AddNumberToObject(root.get(), "duplicates", row.duplicates);
    cJSON_AddNumberToObject(root.get(), "outside_dates", row.outside_dates);
    cJSON_AddNumberToObject(root.get(), "skipped", row.skipped);
    cJSON_AddNumberToObject(root.get(), "failed", row.failed);
    cJSON_AddNumberToObject(root.get(), "seconds", row.seconds);
    cJSON *notes = cJSON_AddArrayToObject(root.get(), "notes");
    for (const std::string &note : row.notes)
        cJSON_AddItemToArray(notes, cJSON_CreateString(note.c_str()));
    cJSON *items = cJSON_AddArrayToObject(root.get(), "failed_items");
    for (const FailedItem &failed : row.failed_items) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "subject", failed.subject.c_str());
        cJSON_AddStringToObject(item, "date", failed.date.c_str());
        cJSON_AddStringToObject(item, "reason", failed.reason.c_str());
        cJSON_AddItemToArray(items, item);
    }
    return "folder " + print_json_line(root.get());
}

std::optional<FolderCounts> parse_folder_row(const std::string &rest) {
    const JsonParse parsed = parse_json(rest);
    const cJSON *root = parsed.root.get();
    const auto path = json_string(root, "path");
    if (!path)
        return std::nullopt;
    FolderCounts row;
    row.path = *path;
    row.kind = json_string(root, "kind").value_or("");
    row.source_total = count_of(root, "source_total");
    row.migrated = count_of(root, "migrated");
    row.duplicates = count_of(root, "duplicates");
    row.outside_dates = count_of(root, "outside_dates");
    row.skipped = count_of(root, "skipped");
    row.failed = count_of(root, "failed");
    const cJSON *seconds = json_member(root, "seconds");
    row.seconds = cJSON_IsNumber(seconds) ? seconds->valuedouble : 0;
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, json_member(root, "notes")) {
        if (cJSON_IsString(entry))
            row.notes.emplace_back(entry->valuestring);
    }
    cJSON_ArrayForEach(entry, json_member(root, "failed_items")) {
        row.failed_items.push_back({json_string(entry, "subject").value_or(""),
                                    json_string(entry, "date").value_or(""),
                                    json_string(entry, "reason").value_or("")});
    }
    return row;
}

} // namespace qvmigrate
