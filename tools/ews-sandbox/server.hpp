// The HTTPS server: one port on 127.0.0.1 serving
//   POST /EWS/Exchange.asmx    EWS (ews_endpoint.hpp)
//   POST /                     the fake WorkMail API (workmail_api.hpp)
//   POST|GET|DELETE /sandbox/faults   fault injection control, loopback only
// with a pool of worker threads, the body limit (413 above it) and the
// injected faults applied before the normal answer.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sandbox_config.hpp"

namespace sandbox {

// Runs the server until SIGTERM or SIGINT.  Prints exactly one line on
// stdout once it listens:
//   listening https://127.0.0.1:PORT/EWS/Exchange.asmx ca=PATH
// Returns the process exit status (0 after a signal, 1 when it cannot start).
int serve(const SandboxConfig &config);

} // namespace sandbox
