// copy_channel.hpp - the two processes of an overlapped copy talk over one
// socket pair, one line per message.
//
// Read side to write side:
//   begin {folder}            a folder of the stage begins (ArchiveFolder as JSON)
//   item F S                  item S of folder F is complete in the stage
//   end F N                   folder F holds N items
//   done                      the export finished; the manifest is written
//   failed TEXT               the export ended with an error; what is staged stays
//   stop                      interrupted: end at the next item
// Write side to read side:
//   ready                     the target took the logon
//   error KIND TEXT           the write side failed (KIND: logon, usage, archive, other)
//   settled F N m d o s f     the first N items of folder F are settled: migrated,
//                             duplicates, outside dates, skipped, failed
//   folder {row}              the write row of a folder (FolderCounts as JSON)
//   summary {end}             the write side's end: {"error": TEXT}
#pragma once

#include <optional>
#include <string>

#include "record_archive.hpp"
#include "summary.hpp"

namespace qvmigrate {

class LineChannel {
  public:
    // Takes `fd`, one end of a stream socket pair; closes it when destroyed.
    explicit LineChannel(int fd);
    ~LineChannel();
    LineChannel(const LineChannel &) = delete;
    LineChannel &operator=(const LineChannel &) = delete;

    // Sends one line (without its line feed; line breaks inside become
    // blanks); false once the other side is gone.  While the socket is full, what arrives is kept for receive(),
    // so that two sides sending at once never wait on each other.
    bool send(const std::string &line);

    // The next line, waiting at most `timeout_ms` (-1: until one comes or
    // the other side closes).  nullopt on time-out, on a signal, and at the
    // end (closed() tells).
    std::optional<std::string> receive(int timeout_ms);
    bool closed() const { return closed_ && buffer_.find('\n', taken_) == std::string::npos; }

  private:
    bool read_some();
    int fd_;
    std::string buffer_;
    size_t taken_ = 0; // bytes of buffer_ already handed out
    bool closed_ = false;
};

// A message split into its keyword and the rest of the line.
struct ChannelMessage {
    std::string keyword;
    std::string rest;
};
ChannelMessage split_message(const std::string &line);

std::string folder_begin_line(const ArchiveFolder &folder);
std::optional<ArchiveFolder> parse_folder_begin(const std::string &rest);

// Counts of the items settled so far, without notes or names.
struct SettledCounts {
    int folder = 0; // ArchiveFolder::number
    int items = 0;
    FolderCounts counts;
};
std::string settled_line(const SettledCounts &settled);
std::optional<SettledCounts> parse_settled(const std::string &rest);

// A whole row: counts, notes and the items that failed.
std::string folder_row_line(const FolderCounts &row);
std::optional<FolderCounts> parse_folder_row(const std::string &rest);

} // namespace qvmigrate
