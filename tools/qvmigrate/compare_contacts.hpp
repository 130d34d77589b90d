// compare_contacts.hpp - the demo check for contacts and distribution
// lists: each one of the source dump against the one of the same folder
// and display name in the target, field by field (names, file-as, e-mail
// addresses and their display names, phone numbers, postal addresses,
// company details, home page, birthday, categories, notes, attachments,
// and a list's members).
#pragma once

#include <string>
#include <vector>

#include "dump_compare.hpp"

namespace qvmigrate {

bool is_contact(const DumpItem &item);

// The differences between the contacts and lists of two dumps, in words.
std::vector<std::string> compare_contacts(const MailboxDump &source, const MailboxDump &target);

} // namespace qvmigrate
