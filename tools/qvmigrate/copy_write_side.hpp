// copy_write_side.hpp - the write side of an overlapped copy.  The connector
// keeps one session per process, so the target's session lives in a process
// of its own, forked before either side loads the connector: it inherits
// the settings and the credentials in memory (never through a command line
// or the environment), logs on to the target at once, and writes each item
// of the stage as soon as the read side says the stage holds it whole
// (copy_channel.hpp has the messages).
//
// It ends with the read side: at the end of what was staged, at "stop" (or
// its own Ctrl-C: it acknowledges the bundle in hand first), or when the
// read side is gone (SIGINT through PR_SET_PDEATHSIG, or the channel closing).
#pragma once

#include <exception>
#include <filesystem>
#include <string>

#include <sys/types.h>

#include "auth_options.hpp"
#include "jobs.hpp"

namespace qvmigrate {

struct WriteSideJob {
    JobSettings settings; // as the import of a copy takes them
    Connection to;
    Credentials to_credentials;
    std::string source_mailbox; // the duplicate store's scope, with the target
    std::filesystem::path stage;
    bool stage_kept = false; // else each item leaves the stage once taken
    std::filesystem::path state_dir, log_file;
};

struct WriteSideProcess {
    pid_t pid = -1;
    int fd = -1; // the read side's end of the channel
};

// Forks the write side.  Throws std::runtime_error when it cannot.
WriteSideProcess start_write_side(const WriteSideJob &job);

// An error the write side reported ("error KIND TEXT") as the exception
// the same failure throws in a copy run one side after the other.
std::exception_ptr write_side_exception(const std::string &rest);

// The text one line of the channel carries for an exception.
std::string error_message_line(const std::exception &e);

} // namespace qvmigrate
