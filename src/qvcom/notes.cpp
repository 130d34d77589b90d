// notes.cpp - the notes of a contact, task or calendar item: the record's
// text body part, kept in its part file like a mail body, so that writers
// of every kind (and the MIME builder) find it the same way.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "c_buffer.hpp"
#include "qv/qvcom.h"
#include "record_walk.hpp"

using namespace qvcom::detail;

namespace {

constexpr char kNotesPartName[] = "Message Text";
constexpr char kNotesCharset[] = "utf-8";

// Index of the record's first counted text body part, -1 when none.
int first_text_body(const qv_message &msg) {
    for (int i = 0; i < msg.part_count && i < QV_MAX_PARTS; ++i) {
        if (msg.parts[i] != nullptr && msg.parts[i]->part_type == QV_PART_TEXT_BODY) {
            return i;
        }
    }
    return -1;
}

bool write_whole_file(const std::string &path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return !out.fail();
}

// Length of the longest start of `text` of at most `max` bytes that ends
// between two UTF-8 characters.
std::size_t utf8_cut(std::string_view text, std::size_t max) {
    if (text.size() <= max) {
        return text.size();
    }
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

} // namespace

extern "C" QVCOM_API int com_WriteNotes(qv_message *msg, const char *text, const char *work_dir) {
    if (msg == nullptr) {
        return 0;
    }
    const std::string_view notes = view_of(text);
    if (notes.empty()) {
        return 1; // nothing to keep
    }
    const std::string dir = resolve_work_dir(work_dir);
    int index = first_text_body(*msg);
    const bool new_part = index < 0;
    qv_part *part = nullptr;
    if (new_part) {
        part = com_AllocPart(msg);
        if (part == nullptr) {
            return 0;
        }
        index = msg->part_count;
    } else {
        part = msg->parts[index];
    }
    if (!write_whole_file(part_file_path(dir, msg->msg_number, index), notes)) {
        std::remove(part_file_path(dir, msg->msg_number, index).c_str());
        return 0;
    }
    part->part_type = QV_PART_TEXT_BODY;
    part->size = static_cast<uint32_t>(notes.size());
    if (new_part) {
        copy_to_buffer(kNotesPartName, part->file_name, sizeof part->file_name);
        copy_to_buffer(kNotesCharset, part->charset, sizeof part->charset);
        ++msg->part_count;
    }
    return 1;
}

extern "C" QVCOM_API int64_t com_ReadNotes(const qv_message *msg, char *out, size_t out_size,
                                           const char *work_dir) {
    if (out != nullptr && out_size > 0) {
        out[0] = '\0';
    }
    if (msg == nullptr || out == nullptr || out_size == 0) {
        return 0;
    }
    const int index = first_text_body(*msg);
    if (index < 0) {
        return 0;
    }
    std::ifstream in(part_file_path(resolve_work_dir(work_dir), msg->msg_number, index),
                     std::ios::binary);
    std::string text;
    text.resize(out_size); // one byte more than fits, to see a cut
    in.read(text.data(), static_cast<std::streamsize>(out_size));
    text.resize(static_cast<std::size_t>(in.gcount()));
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    const std::size_t kept = utf8_cut(text, out_size - 1);
    copy_to_buffer(std::string_view(text).substr(0, kept), out, out_size);
    return static_cast<int64_t>(kept);
}
