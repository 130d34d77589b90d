// The RFC 822 message parser: turns the text of one message (the retrieved
// MIME content, or a message embedded in another) into a message record
// and its part files "%sPRT%03d%02d.TMP".  Part 0 is the header block
// ("Internet Headers.txt"); the body follows as one or more parts, split
// by the MIME part parser and finished by the body handling.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "mailread/mail_input.hpp"
#include "qv/qvcom.h"

namespace qvamz::mailread {

// Answers of Parse_RFC822_Msg.
inline constexpr int kParseOk = 0;
inline constexpr int kParseDrop = 1;      // deleted, skipped subject, no header, no part file
inline constexpr int kParseRefused = -101; // no record, nested too deep, a part failed

// Parses the message at the input's position into `msg`.  `enclosing` is
// the boundary of the multipart holding an embedded message (its body ends
// there; empty for a message of its own); `outermost` is true for a
// message of its own, which starts the shared ParseTree afresh.  Part
// files are created in `work_dir` (ending with a separator).
int Parse_RFC822_Msg(MailInput &in, qv_message *msg, const std::string &work_dir,
                     std::string_view enclosing, bool outermost);

// The same on a seekable stdio stream positioned at the first header line,
// with the parse's settings.  The stream is left just after what the
// parser read.
int Parse_RFC822_Msg(FILE *in, qv_message *msg, const char *work_dir, const char *enclosing,
                     int outermost, const ParserSettings &settings = {});

// Adds one recipient record per address of an address header value
// (kind QV_RECIP_TO, QV_RECIP_CC or QV_RECIP_BCC).  No more than
// QV_MAX_RECIPIENTS per record, and no more than the tree's budget.
void AddRecipients(qv_message *msg, std::string_view value, int kind, ParseTree &tree);

// A part record at msg->part_count (com_AllocPart), counted against the
// tree's budget; null when the record or the tree is full.  The caller
// fills it and counts it.
qv_part *AllocPart(qv_message *msg, ParseTree &tree);

// Name and address cleaned as the sender's and recipients' addresses are:
// bytes of 127 and above dropped, a quoted local part ending in `".` cut
// after its quote, quotes removed.
std::string CleanAddress(std::string address);

} // namespace qvamz::mailread
