// What the RFC 822/MIME parser is told by its caller: the switches that
// change how a message is read, and the structural limits (defaults in
// parser_limits.hpp; tests lower them).  The parser reads nothing else of
// the session, so one value describes a whole parse.
#pragma once

#include "mailread/parser_limits.hpp"

namespace qvamz {
struct Session;
}

namespace qvamz::mailread {

struct ParserSettings {
    bool debug = false;               // "/DEBUG": "debug:" lines
    bool drop_calendar_parts = false; // "/D142": text/calendar parts are not kept
    bool raw_passthrough = false;     // "/D81": the message also kept whole as RAWRFC.dat
    bool log_subjects = false;        // "/LSUB": "RFC subject:" lines, /SKIPSUBS applies
    bool html_charset_rule = true;    // cleared by "/D253": no charset from HTML meta lines
    int max_nesting = kMaxNesting;
    int max_embedded_messages = kMaxEmbeddedMessages;
    int max_multipart_depth = kMaxMultipartDepth;
    int max_parts = kMaxPartsPerTree;
    int max_recipients = kMaxRecipientsPerTree;

    static ParserSettings FromSession(const Session &session);
};

} // namespace qvamz::mailread
