// uuencoded files: whole parts sent with Content-Transfer-Encoding
// x-uuencode, and "begin NNN name" ... "end" blocks inside a plain text
// body, which old mailers used for attachments.
#pragma once

#include <string>

#include "mailread/mail_input.hpp"
#include "mailread/part_bytes.hpp"
#include "qv/qvcom.h"

namespace qvamz::mailread {

// Replaces the uuencoded text of a part file by the bytes it encodes.
// `name` receives the file name of its "begin" line (when it has one).
// False, with the file unchanged, when it holds no complete block.
bool DecodeUuencodedPart(const std::string &path, const std::string &work_dir, std::string &name);

// Every complete uuencoded block in a plain-text body part (code 1) of the
// record becomes an attachment part of its own, and leaves the text.
// `kept`, when given, takes the last body read, for the steps after.
void ExtractUuencodedFiles(qv_message *msg, const std::string &work_dir, ParseTree &tree,
                           PartBytes *kept = nullptr);

} // namespace qvamz::mailread
