// The MIME message builder: turns one mail record and its part files into
// the RFC 822/MIME text that the bundle writer sends as an item's
// MimeContent.
//
// Output is always multipart: a header block generated from the record (or
// the message's own Internet headers), then
//   multipart/alternative                 bodies only
//   multipart/mixed                       with attachments, inline parts or
//                                         embedded messages; inline images
//                                         and embedded messages open
//     multipart/related                   (boundary number + 1) holding
//       multipart/alternative             (number + 2) with the body
// Plain-text bodies travel as 8-bit text, everything else in base64;
// embedded messages are nested message/rfc822 parts built recursively.
//
// Boundaries are "<prefix>/<n>": the caller's seed "<prefix>/<m>" gives the
// outer boundary n = m + 1; each nested level adds 1.  Embedded messages
// take the prefix "ABCDEFG" (then "ABCDEFG-2", "-3", ... for deeper
// messages), so no boundary is ever a prefix of an enclosing one.
//
// The builder reads part i from "%sPRT%03d%02d.TMP" (work directory,
// msg_number, i) and deletes the part files of the record when it is done
// (not in raw pass-through).  It stores a charset it finds in an HTML body
// into the part, and clears the Content-ID of inline PDF parts (they are
// written as attachments); it leaves the record's sender and date alone.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {

struct Session;

// Seeds of the boundary series (see above).
inline constexpr char kBundleBoundarySeed[] = "Next_Item:_(A3CB49KFSA19)/00";
inline constexpr char kEmbeddedBoundaryPrefix[] = "ABCDEFG";
// Inline images plus attachments named *.jpg / *.gif written per message;
// further ones are left out with a warning.
inline constexpr int kMaxImagesPerMessage = 60;
// A text body line is broken before it passes this many characters.
inline constexpr std::size_t kBodyLineMax = 9600;
// Bytes of a part file read at a time while its lines are split.
inline constexpr std::size_t kSplitBlockBytes = 64 * 1024;
// Part files up to this size are read whole while a message is built.
inline constexpr std::size_t kPartInMemoryMax = 4 * 1024 * 1024;
// Longest charset name stored into a part record.
inline constexpr std::size_t kPartCharsetMax = 30;
// Embedded messages nested deeper than this are left out with a warning
// (the reader stops at 30; this guards against records that refer to
// themselves).
inline constexpr int kMaxEmbeddedDepth = 40;

struct MimeBuildOptions {
    bool raw_passthrough = false; // "/D81": send the source's own text (RAWRFC.dat)
    bool own_headers = false;     // "/D68" (with keep_headers): reuse the Internet headers
    bool keep_headers =
        false; // "/EIH": keep the Internet headers (as a text part unless own_headers)
    bool base64_line_breaks = true;
    std::string utc_offset_text;  // "+0100"; empty counts as "+0000"
    // Base of the document store that moved attachments without a full
    // link point to ("<base>/open?id=<id>").
    std::string document_store_url = "https://docs.quovera.com";
    // Part files up to this size are read whole, once, while the message is
    // built; larger ones are streamed (same output).
    std::size_t part_in_memory_max = kPartInMemoryMax;
    // Current time for records without a date; null means the system clock.
    std::function<qv_filetime()> now;

    // The options of the current session (switches and time zone).
    static MimeBuildOptions FromSession(const Session &session);
};

// Writes the message to `out`.  Always answers 0: a part file that cannot
// be read leaves that part empty and logs a "QV Warning:" line.
int BuildMime(qv_message &msg, std::FILE *out, std::string_view boundary_seed,
              const std::string &work_dir, const MimeBuildOptions &options);

// Copies a text file as CRLF lines (lines beginning "From " unchanged),
// breaking lines before kBodyLineMax characters.
// Returns 1 when the file cannot be opened, else 0.
int CopyBodyText(std::FILE *out, const std::string &text_path);

// `in` is positioned just after the header line `line` (read without its
// line end).  Writes that line and every following continuation line
// (beginning with a blank or a tab) to `out`, each ending with CRLF, and
// leaves `in` where it was.
void CopyHeaderWithContinuation(std::FILE *in, std::string_view line, std::FILE *out);

// "%sPRT%03d%02d.TMP" of the work directory, message number and part index.
std::string PartFilePath(const std::string &work_dir, int msg_number, int part_index);

} // namespace qvamz
