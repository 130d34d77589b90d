// The header block of one message: what each header line sets in the
// record and in the parser's state for that message.
#pragma once

#include <string>

#include "mailread/mail_input.hpp"
#include "qv/qvcom.h"

namespace qvamz::mailread {

// Parser state of one message (one Parse_RFC822_Msg call).
struct MessageState {
    int code = QV_PART_TEXT_BODY;  // part type code of a single-part body
    bool quoted_printable = false;
    std::string boundary;           // of a multipart body
    std::string part_name = "Message Text";
    std::string charset = "ISO-8859-1";
    bool charset_seen = false;
    bool embedded = false; // the message is a message/rfc822 wrapper
    bool digest = false;   // multipart/digest: untyped parts are messages
    bool sticky = false;   // text/x-stickynote
    std::string first_line;
    std::string received_date; // date text of the last Received: header
    std::string subject_copy;  // decoded subject, longer than the record's
    bool subject_seen = false;
    bool from_seen = false;
    bool date_seen = false;
    bool subject_logged = false;
    bool drop = false;
    int header_lines = 0;
    ParserSettings settings; // the parse's settings, for the header rules
};

// Applies one unfolded header line.
void ApplyHeaderLine(const std::string &line, qv_message *msg, MessageState &st, ParseTree &tree);

// With /LSUB: logs "RFC subject: ..." and drops the message when the
// job's skipped subjects match that line.
void LogSubjectLine(qv_message *msg, MessageState &st);

// Year, month, day, hour, minute of a FILETIME (UTC).
struct CivilTime {
    int year, month, day, hour, minute;
};
CivilTime CivilOf(qv_filetime date);

} // namespace qvamz::mailread
