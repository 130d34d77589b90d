// The demo mailbox's contacts and distribution list (seed --demo).
#pragma once

#include <cstdint>
#include <string>

#include "mail_store.hpp"

namespace sandbox {

// Adds the demo contacts and list to the mailbox's Contacts folder;
// returns how many items were added.  Throws StoreError when the store
// refuses one.
int seed_demo_contacts(MailStore &store, std::int64_t mailbox, const std::string &owner);

} // namespace sandbox
