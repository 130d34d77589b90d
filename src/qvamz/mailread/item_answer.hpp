// A GetItem answer read in memory: the transport's text (every tag and
// every text value on a line of its own) scanned once, the MIME content
// decoded straight into the parser's input.  Nothing here touches a file,
// so reading one item costs no work file besides the part files the host
// reads.  The results are those of the file readers in item_fetch.hpp and
// ews/xml_scan.hpp on the same answer, line limits included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mailread/item_fetch.hpp"
#include "qv/record.h"

namespace qvamz::mailread {

// Answers up to this size are read whole into memory; a larger one (a
// message with big attachments) is decoded file to file, so that memory
// never holds more than this much of one answer plus its decoded MIME.
inline constexpr std::size_t kAnswerInMemoryMax = 8 * 1024 * 1024;

// Decodes the base64 text of the first "<t:MimeContent" element (the text
// line after its start tag, up to the line end or the next tag; "=" pads a
// group, other characters outside the alphabet are skipped) into `mime`.
// False when the answer holds no such element.
bool DecodeMimeContent(std::string_view answer, std::string &mime);

// The value of the first "<t:IsRead>" element: `is_read` becomes 1 for a
// value starting with "true" (any case), else 0; unchanged without one.
void ReadIsRead(std::string_view answer, int &is_read);

// ReadItemDetails on an answer in memory: the ItemId, the meeting-request
// mark, and the categories and flags in the kPropertyTextMax bytes after
// the ItemId line.
void ScanItemDetails(std::string_view answer, qv_message *msg, ItemDetails &details);

} // namespace qvamz::mailread
