// The writer of one message of the MIME builder (mime_builder.hpp): the
// state of one BuildMime call and the steps it takes.  Internal to
// mailwrite; mime_message_writer.cpp holds the structure and the header
// block, mime_parts.cpp the parts.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/part_folder.hpp"
#include "mailwrite/base64_writer.hpp"
#include "mailwrite/mime_builder.hpp"
#include "mailwrite/mime_headers.hpp"

namespace qvamz::mime {

class PartContent;

// What the parts of a record ask for, found in one pass before writing.
struct PartSummary {
    bool has_html = false;
    bool related = false;    // inline images or embedded messages
    bool attachment = false; // any other attachment
    bool pkcs7 = false;      // an smime.p7m part
    int lone_pkcs7 = -1;     // index of the smime.p7m part when it is the only content
    int first_html = -1;     // the HTML body; later HTML parts go inline
    bool empty = false;      // nothing to write but the header block
    std::string_view Subtype() const { return related || attachment ? "mixed" : "alternative"; }
};

class MessageWriter {
  public:
    // `open_boundaries` holds the boundaries of every enclosing multipart
    // level (outermost first); the writer adds its own while they are open.
    MessageWriter(qv_message &msg, std::FILE *out, const std::string &work_dir,
                  const MimeBuildOptions &options, std::vector<std::string> &open_boundaries,
                  int depth);

    void Write(std::string_view seed);

  private:
    // mime_message_writer.cpp: structure and header block
    bool WriteRawPassthrough();
    void Summarize();
    void WriteHeaderBlock();
    void WriteGeneratedHeaders();
    void WriteRecipients();
    void WriteDateHeader();
    void OpenNestedLevel(std::string_view subtype);
    void CloseNestedLevel();
    void Put(std::string_view text);
    const std::string &Boundary() const { return open_.back(); }
    std::string BoundaryNumbered(int level) const;
    std::string FallbackCharset() const;
    void DeletePartFiles();
    void ReportLeftOut();

    // mime_parts.cpp: the parts
    void WriteBodies();
    void WriteTextPart(int index, std::string_view content_type, std::string_view charset);
    void WriteTextContent(int index, std::string_view type_header);
    void WriteTextLines(std::string_view text);
    void WriteHtmlBody(int index);
    void WriteHtmlPart(int index, std::string_view disposition);
    void WriteInlineText(int index);
    void WriteInlineParts();
    void WriteAttachmentsAndMessages();
    void WriteEmbeddedMessage(const qv_part &part);
    void WriteMovedAttachment(const qv_part &part, std::string_view name);
    void WriteFileAttachment(int index, std::string_view name);
    bool WriteAttachedMessageFile(int index);
    void WriteLonePkcs7(int index);
    void WriteBase64Body(int index);
    void WriteBase64Content(int index, PartContent &content, long skip);
    bool LineStartsWithOpenBoundary(std::string_view line) const;
    bool TakeImageSlot();
    Base64Lines Lines() const;
    qv_part *PartAt(int index) const;
    int PartCount() const;
    std::string PartPath(int index) const;
    PartContent OpenPart(int index) const;
    void WarnUnreadable(int index);

    qv_message &msg_;
    std::FILE *out_;
    const std::string &work_dir_;
    qvcommon::PartFolder folder_; // of work_dir_'s part files
    const MimeBuildOptions &options_;
    std::vector<std::string> &open_;
    const std::size_t open_at_start_;
    const int depth_;
    std::string prefix_; // boundary prefix and number of this message
    int number_ = 1;
    int level_ = 0;      // nested levels opened above the outer one
    PartSummary summary_;
    HeaderEncoder encoder_;
    int images_ = 0;
    int images_left_out_ = 0;
};

// Splits a text file into the lines that CopyBodyText writes (without
// their line ends): LF, CR LF or CR end a line, a line is broken before it
// passes kBodyLineMax characters, and the text after the last line end is
// one more line, empty or not.
void SplitBodyLines(std::FILE *in, const std::function<void(std::string_view)> &line);

// The same for a text in memory.
void SplitBodyLines(std::string_view text, const std::function<void(std::string_view)> &line);

// Splits text fed in pieces as SplitBodyLines does.
class BodyLineSplitter {
  public:
    explicit BodyLineSplitter(const std::function<void(std::string_view)> &emit);
    void Feed(const char *data, std::size_t size);
    // The text after the last line end, empty or not, is the last line.
    void Finish();

  private:
    void AppendLimited(const char *run, std::size_t size);

    const std::function<void(std::string_view)> &emit_;
    std::string line_;
    bool after_cr_ = false; // the last piece ended in CR: an LF next belongs to it
};

// CopyBodyText on an open file.
void CopyBodyLines(std::FILE *out, std::FILE *in);

// The seed of an embedded message whose boundaries clash with none of the
// open ones: "ABCDEFG/1", else "ABCDEFG-2/1", "ABCDEFG-3/1", ...
std::string EmbeddedSeed(const std::vector<std::string> &open_boundaries);

} // namespace qvamz::mime
