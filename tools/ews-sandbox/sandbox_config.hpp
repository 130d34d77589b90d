// Settings of one ews-sandbox server run.  Defaults follow the limits
// Amazon WorkMail and Exchange Online document for EWS clients.
#pragma once

#include <cstdint>
#include <string>

namespace sandbox {

struct SandboxConfig {
    std::string data_dir;                        // --data
    int port = 0;                                // --port, 0 = any free port
    int major_version = 15;                      // --version 14|15: MajorVersion sent back
    bool pretty = false;                         // --pretty: indented answers
    std::uint64_t max_message_bytes = 25u << 20; // larger MIME content: ErrorMessageSizeExceeded
    std::uint64_t max_request_bytes = 64u << 20; // larger HTTP bodies: 413
    int max_page_entries = 1000;                 // FindItem / FindFolder page cap
    int token_lifetime_seconds = 900;            // ExpiresIn of issued tokens
    int clock_skew_seconds = 300;                // SigV4 X-Amz-Date allowance
    std::string faults_file;                     // --faults FILE
    std::string schema_dir;                      // --schema DIR, "" = the build's default
    int worker_threads = 32;                     // connections served at once (a kept-alive
                                                 // connection holds its worker until idle)
    bool mime_rewrite = false;                   // --mime-rewrite: GetItem serves rebuilt MIME
    int latency_ms = 0;                          // --latency: every answer held back this long
};

} // namespace sandbox
