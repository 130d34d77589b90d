// Line-oriented scanning of EWS answers.  The transport stores every answer
// with each tag on its own line and each text value on the line after its
// opening tag (transport/response_writer.hpp), so readers find values by
// fixed strings and line positions instead of parsing a tree.  Answers are
// read either from the response file or from a zero-terminated copy of
// part of it in memory (a "buffer"), walked with a cursor.
//
// None of these routines logs; absence is reported by the result, and out
// texts are emptied first so that a miss leaves "".
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "qv/record.h"

namespace qvamz {

inline constexpr std::size_t kScanLineMax = 1999;        // bytes of one answer line
inline constexpr std::size_t kCategoriesJoinedMax = 1023; // names joined by ";"
inline constexpr std::size_t kCategoriesMax = 256;        // kept in the record
inline constexpr std::size_t kBase64InPlaceMax = 64000;   // bytes Base64DecodeInPlace yields
inline constexpr long kBodyMinBytes = 11;                 // shorter text bodies are not written

// Next "<t:ItemId Id="..." ChangeKey="..."/>" line of an open FindItem
// answer.  1 when an item id was found, 0 at the end of the file.
int ExtractItemId(std::FILE *response, std::string &id, std::string &change_key);

// The text value of element "<t:NAME>" in `buffer`, at most `max` bytes,
// entities undone.  With a `key`, the value is looked for inside
// "<t:Entry Key="KEY"..." (an empty name: the line after the Entry tag).
// 1 found, 0 not found.
int GetElementValue(const char *buffer, std::string_view name, std::string &out,
                    std::size_t max, std::string_view key = {});

// Copies the line at `cursor` into `line` (CR dropped, UTF-8 non-breaking
// space made a blank) and moves the cursor to the next line.  After the
// last line the cursor becomes null.  0 a line was read, 1 the buffer was
// already exhausted.
int NextBufferLine(const char *&cursor, std::string &line);

// "2024-03-05T14:07:09Z" (seconds optional) to a FILETIME, no zone shift
// (EWS sends UTC).  1 parsed, 0 malformed.
int ParseEwsDateTime(std::string_view text, qv_filetime &out);

// The String values of the first Categories element, joined by ";", into
// msg->categories.  1 when a Categories element was found.
int ParseCategories(const char *buffer, qv_message *msg);

// Removes the first "<t:NAME" ... "</t:NAME>" sub-tree from the buffer.
void RemoveElement(std::string &buffer, std::string_view name);

// Decodes the base64 text of the first element "<t:NAME" of a response
// file into `output_path`, streaming.  With `is_read`, also reports the
// item's IsRead value (unchanged when the answer has none).  1 written,
// 0 element or files missing.
int ExtractBase64Element(const std::string &response_path, const std::string &output_path,
                         std::string_view name, int *is_read);

// Decodes zero-terminated base64 text into its own storage (at most
// kBase64InPlaceMax bytes; characters outside the alphabet are skipped).
// Returns the number of bytes decoded; a zero follows them.
std::size_t Base64DecodeInPlace(char *text);

// Writes the record's first text body part as
// "<t:Body BodyType="Text"><![CDATA[...]]></t:Body>".  1 written, 0 when
// there is no text body or its file holds 10 bytes or fewer.
int WriteBodyElement(std::FILE *request, const qv_message *msg, const std::string &work_dir);

// `line` without the blanks, tabs and carriage returns around it.
std::string_view TrimmedLine(std::string_view line);

// The raw (still escaped) value of attribute `name` on a one-tag answer
// line, empty when the line does not carry it.
std::string_view LineAttribute(std::string_view line, std::string_view name);

} // namespace qvamz
