// The parser's input: a seekable stdio stream read one character at a
// time, the current logical line, and the state shared by every level of
// one top-level message.  Nothing here grows with the message: a line is
// at most kLineMax characters and a body is copied line by line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "mailread/parser_settings.hpp"
#include "qv/qvcom.h"
#include "common/unique_file.hpp"

// "debug:" lines appear only with /DEBUG (`enabled`).
#define QV_DEBUG_LOG(enabled, ...)                                                                 \
    do {                                                                                           \
        if (enabled)                                                                               \
            com_Log(__VA_ARGS__);                                                                  \
    } while (0)

namespace qvamz::mailread {

// State of one top-level message, shared by the message itself, its MIME
// parts and every embedded message below it (also those read from a part
// file).  Every outermost Parse_RFC822_Msg starts it afresh.
struct ParseTree {
    int nesting = 0;           // embedded-message levels currently open
    int embedded_messages = 0; // message/rfc822 parts met so far
    int multipart_depth = 0;   // multipart levels currently open
    int parts_allocated = 0;   // part records taken in the whole tree
    int recipients_allocated = 0;
    bool budget_logged = false;
    ParserSettings settings;   // of the whole parse
};

class MailInput {
  public:
    MailInput(FILE *file, ParseTree &tree) : file_(file), tree_(tree) {}
    MailInput(const MailInput &) = delete;
    MailInput &operator=(const MailInput &) = delete;

    // The next character, EOF at the end.
    int get()
    {
        if (pushed_ > 0)
            return static_cast<unsigned char>(pushback_[--pushed_]);
        // One reader per stream, on one thread: no lock per character.
        return getc_unlocked(file_);
    }
    // Gives back a character read last (up to four in a row).
    void unget(int c)
    {
        if (c != EOF && pushed_ < kPushbackMax)
            pushback_[pushed_++] = static_cast<char>(c);
    }
    int peek()
    {
        const int c = get();
        unget(c);
        return c;
    }
    bool at_end() { return peek() == EOF; }

    // Position of the next character to be read.
    std::int64_t tell() const { return static_cast<std::int64_t>(ftello(file_)) - pushed_; }
    bool seek(std::int64_t position)
    {
        pushed_ = 0;
        return fseeko(file_, static_cast<off_t>(position), SEEK_SET) == 0;
    }
    // Leaves the stdio stream at tell() for a caller that reads on without
    // this object.
    void sync() { seek(tell()); }

    FILE *file() const { return file_; }
    ParseTree &tree() { return tree_; }

    // The current logical line, filled by ReadHeaderLine.
    std::string line;
    // The line end that ended the last physical line read, as it was
    // written ("\n", "\r\n", "\r" or "\r\r\n"); empty at the end of input.
    std::string line_end;

    // The boundary whose line ended the last part body copied, and whether
    // it was its closing line: a multipart learns from it that an embedded
    // message below it read its closing line.
    std::string last_delimiter;
    bool last_delimiter_closing = false;

  private:
    static constexpr int kPushbackMax = 4;
    FILE *file_;
    ParseTree &tree_;
    char pushback_[kPushbackMax] = {};
    int pushed_ = 0;
};

// Reads one logical line into in.line, keeping what stands before `start`.
// Returns 1 when the input was already at its end, else 0.  With `copy`,
// every physical line read is also written there followed by "\n".
int ReadHeaderLine(MailInput &in, FILE *copy, bool unfold, std::size_t start);

// Reads the next piece of a body line into in.line from `start` on: the
// rest of the physical line, or kLineMax characters of it when it is
// longer.  Tabs become spaces unless `keep_tabs`.
enum class BodyPiece { kEndOfInput, kLineEnd, kPartial };
BodyPiece ReadBodyPiece(MailInput &in, std::size_t start, bool keep_tabs);

} // namespace qvamz::mailread
