// The parser's input: a seekable stdio stream read ahead in blocks of
// 64 KiB, the current logical line, and the state shared by every level of
// one top-level message.  Nothing here grows with the message: a line is
// at most kLineMax characters and a body is copied line by line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

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
    MailInput(FILE *file, ParseTree &tree);
    MailInput(const MailInput &) = delete;
    MailInput &operator=(const MailInput &) = delete;

    // The next character, EOF at the end.
    int get()
    {
        if (pos_ < end_)
            return static_cast<unsigned char>(block_[pos_++]);
        return refill() ? static_cast<unsigned char>(block_[pos_++]) : EOF;
    }
    // Gives back a character read last (up to kLookBehind in a row); the
    // block keeps the bytes before the read position for this.
    void unget(int c)
    {
        if (c != EOF && pos_ > 0)
            --pos_;
    }
    int peek()
    {
        if (pos_ < end_ || refill())
            return static_cast<unsigned char>(block_[pos_]);
        return EOF;
    }
    bool at_end() { return peek() == EOF; }

    // The bytes read ahead from the position on, at least one unless the
    // input is at its end; skip() passes over the first n of them.
    std::string_view buffered()
    {
        if (pos_ == end_)
            refill();
        return {block_.get() + pos_, end_ - pos_};
    }
    void skip(std::size_t n) { pos_ += n; }

    // Position of the next character to be read.
    std::int64_t tell() const { return base_ + static_cast<std::int64_t>(pos_); }
    bool seek(std::int64_t position);
    // Leaves the stdio stream at tell() for a caller that reads on without
    // this object (the read-ahead is dropped).
    void sync();

    ParseTree &tree() { return tree_; }

    // The current logical line, filled by ReadHeaderLine.
    std::string line;
    // The line end that ended the last physical line read, as it was
    // written ("\n", "\r\n", "\r" or "\r\r\n"); empty at the end of input.
    std::string line_end;
    // Scratch for the raw physical line of the header copy.
    std::string raw_line;

    // The boundary whose line ended the last part body copied, and whether
    // it was its closing line: a multipart learns from it that an embedded
    // message below it read its closing line.
    std::string last_delimiter;
    bool last_delimiter_closing = false;

  private:
    static constexpr std::size_t kBlock = 64 * 1024;
    static constexpr std::size_t kLookBehind = 8;
    // Reads the next block behind the last kLookBehind bytes; false at the end.
    bool refill();

    FILE *file_;
    ParseTree &tree_;
    std::unique_ptr<char[]> block_;
    std::size_t pos_ = 0, end_ = 0; // read position and end of the bytes in block_
    std::int64_t base_ = 0;         // stream offset of block_[0]
    bool input_ended_ = false;
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
