// The finishing steps after a message has been split into part files:
// they bring the parts into the form the host reads (decoded, one plain
// text body, names and text in UTF-8, HTML with its charset declared).
#pragma once

#include <string>
#include <string_view>

#include "mailread/mail_input.hpp"
#include "mailread/part_bytes.hpp"
#include "qv/qvcom.h"

namespace qvamz::mailread {

// Per part, in order: an empty (2-byte) text or HTML body becomes code 13;
// a second plain-text body becomes an attachment; the name is decoded to
// UTF-8; base64 is decoded (3, 15 -> 0, 6 -> 1, 10 -> 9); an HTML body
// takes the charset its meta line declares (unless /D253); a text body is
// converted to UTF-8 and an HTML body gets a META line naming its charset.
// Then an inline text part is wrapped as preformatted HTML when the message
// has an HTML body.  Work file: "TEMPFILE.TMP".  `kept`, when given,
// may hold a part file an earlier step read and takes the ones read here.
void PostProcessParts(qv_message *msg, const std::string &work_dir,
                      const ParserSettings &settings, PartBytes *kept = nullptr);

// Attached files whose name holds ".EML" and whose first line is an mbox
// separator ("From ...") become embedded messages parsed from the file.
void ExpandEmlParts(qv_message *msg, const std::string &work_dir, ParseTree &tree);

// A decoded subject of 250 characters or more becomes the plain-text body
// (broken into lines of about 65 characters) when the message has none or
// only an empty one.  Returns 1 when it wrote a file.
int LongSubjectPart(qv_message *msg, const std::string &work_dir, std::string_view subject,
                    ParseTree &tree);

// A text/x-stickynote message: the note's text out of its vNote body.
// Work file: "sticky.tmp".
void ConvertStickyNote(qv_message *msg, const std::string &work_dir);

} // namespace qvamz::mailread
