// The demo calendar `seed --demo` puts into a mailbox's Calendar folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calendar_model.hpp"

namespace sandbox {

// Adds the demo calendar items; returns how many.
std::size_t seed_demo_calendar(MailStore &store, std::int64_t mailbox);

} // namespace sandbox
