// Every limit of the RFC 822/MIME parser, next to what it bounds.  Hostile
// input meets these and nothing else: lines, nesting, part and record
// counts stay inside them whatever the message holds.
#pragma once

#include <cstddef>

#include "qv/record.h"

namespace qvamz::mailread {

// ---- lines ---------------------------------------------------------------
// Characters one logical line keeps; the rest of a longer header line is
// dropped.  Body lines are never cut: longer ones are copied in pieces of
// this size.
inline constexpr std::size_t kLineMax = 199990;
// Characters of one physical line written to the header copy file.
inline constexpr std::size_t kHeaderCopyLineMax = 4095;
// Folded continuations joined with ";" into one logical line; the next one
// is read as a line of its own.
inline constexpr int kMaxSemicolonJoins = 21;

// ---- header values ---------------------------------------------------------
inline constexpr std::size_t kFirstLineMax = 500;     // first header line kept
inline constexpr std::size_t kReceivedDateMax = 500;  // date text of Received:
inline constexpr std::size_t kSubjectCopyMax = 2400;  // decoded subject kept
inline constexpr std::size_t kSubjectFieldMax = 500;  // of it into `subject`
inline constexpr std::size_t kFromValueMax = 2000;    // From: value decoded
inline constexpr std::size_t kMessageIdMax = 127;     // `message_id`
inline constexpr std::size_t kDeliveredToMax = 255;   // `delivered_to`
inline constexpr std::size_t kCharsetMax = 127;       // message charset
inline constexpr std::size_t kStoredCharsetMax = 30;  // charset fields of the record
inline constexpr std::size_t kPartCharsetMax = 32;    // charset of one MIME part
inline constexpr std::size_t kHeaderNameMax = 250;    // name from a header
inline constexpr std::size_t kPartNameMax = 500;      // name of a MIME part
inline constexpr std::size_t kContentIdMax = 250;     // Content-ID of a part
inline constexpr std::size_t kRecipientTextMax = 255; // recipient name, address
inline constexpr std::size_t kMailboxTextMax = 2000;  // one mailbox of a list
inline constexpr std::size_t kFlagValueMax = 250;     // number after a flag header

// ---- structure -------------------------------------------------------------
// Embedded messages below a message: 30 levels are read, the 31st refused.
inline constexpr int kMaxNesting = 30;
// message/rfc822 parts expanded in one top-level message.
inline constexpr int kMaxEmbeddedMessages = 500;
// Nested multiparts (across embedded messages); a deeper one is kept as an
// attachment holding its raw text instead of being split.
inline constexpr int kMaxMultipartDepth = 64;
// RFC 2231 pieces of one name joined (name*0, name*1, name*2).
inline constexpr int kMaxNamePieces = 3;
// RFC 2231 pieces of a boundary or charset parameter, and a boundary's length.
inline constexpr int kMaxParamPieces = 10;
inline constexpr std::size_t kBoundaryMax = 200;
// Records one top-level message may allocate across all its embedded
// messages, so that a small hostile message cannot claim gigabytes.
inline constexpr int kMaxPartsPerTree = 20000;
inline constexpr int kMaxRecipientsPerTree = 50000;
static_assert(kMaxPartsPerTree >= QV_MAX_PARTS && kMaxRecipientsPerTree >= QV_MAX_RECIPIENTS);

// ---- body finishing ------------------------------------------------------------
inline constexpr std::size_t kHtmlMetaLineMax = 200000; // HTML line scanned for a meta
inline constexpr std::size_t kMetaCharsetMax = 30;      // charset from a meta line
inline constexpr std::size_t kLongSubjectMin = 250;     // subject long enough for a text part
inline constexpr std::size_t kSubjectReflowWidth = 65;  // characters between breaks
inline constexpr std::size_t kStickyFirstLineMax = 500; // first line of a sticky note

} // namespace qvamz::mailread
