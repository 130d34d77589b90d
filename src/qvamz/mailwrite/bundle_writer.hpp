// The message bundle writer: WriteMsg turns each mail record into MIME text
// (mime_builder.hpp), wraps it as a <t:Message> element
// (message_element.hpp) and collects it into a CreateItem request body, the
// bundle, which is sent when it holds "/D251" messages, when it would pass
// the size limit, or when the folder ends.  Contacts, calendar items and
// tasks go to their own writers.
//
// Results: 0 stored or queued, 1 no target folder, 1234 lost (the host
// also gets a loss report for the messages of a failed bundle and for each
// message the server refused inside a successful one).  A message larger
// than the bundle size limit is sent in a bundle of its own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "qv/record.h"

namespace qvamz {

inline constexpr char kBundleFileName[] = "msg-in.xml";    // the request body
inline constexpr char kBundleAnswerName[] = "msg-out.xml"; // the CreateItem answer
inline constexpr char kMimeWorkFileName[] = "temprfc.tmp"; // one message's MIME text
// A message's MIME text is built in memory up to this size, in the work
// file above it.
inline constexpr std::size_t kMimeInMemoryMax = 8 * 1024 * 1024;
// Estimated base64 bytes a bundle of more than one message may reach.
inline constexpr std::uint32_t kBundleBytesMax = 23'000'000;
inline constexpr int kWriteStored = 0;
inline constexpr int kWriteNoTarget = 1;
inline constexpr int kWriteLost = 1234;
// Kind of item in the host's loss report.
inline constexpr int kLossKindMail = 11;

// AddMessageToBundle answers.
inline constexpr int kAdded = 0;
inline constexpr int kNoWorkFile = 1;
inline constexpr int kBundleFull = 2;

// The one bundle of the session (SessionState::bundle).
struct BundleState {
    int count = 0;                     // messages in the bundle file; 0: none open
    std::uint32_t bytes = 0;           // estimated base64 size of those messages
    std::string work_dir;              // where the bundle file lives
    std::vector<std::string> subjects; // of the messages in the bundle, in order
    int debug_copies = 0;              // "/MAILDEBUG" copies made this session
    std::uint32_t bytes_max = kBundleBytesMax; // tests lower it
    std::string mime_memory; // a message's MIME buffer memory, kept for the next
};

struct Session;

// The WriteMsg export's work.
int WriteMsgImpl(Session &session, qv_message *msg, const char *work_dir);

class SpillBuffer;

// Appends the message element of `msg` to the open bundle file, building
// its MIME text into `mime` (with `reuse`, the text already there is
// taken).  kAdded, kNoWorkFile, or kBundleFull (nothing added: the bundle
// holds messages and would pass the size limit; a message alone is always
// added).
int AddMessageToBundle(Session &session, qv_message &msg, std::FILE *bundle,
                       const std::string &work_dir, SpillBuffer &mime, bool reuse);

// Finishes and sends the bundle file; `subject` names it in retry
// messages.  0 when the request succeeded, 1234 when it failed.  Messages
// that the server refused inside a successful request are reported lost;
// `last_refused` (when given) says whether the bundle's last message was
// one of them.
int SendBundle(Session &session, std::string_view subject, const std::string &work_dir,
               bool *last_refused = nullptr);

// Sends a pending bundle (CloseWrite, InitWrite) and reports its loss when
// that fails; nothing when no bundle is open.
void SendPendingBundle(Session &session);

} // namespace qvamz
