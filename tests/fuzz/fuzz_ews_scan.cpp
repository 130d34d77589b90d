// libFuzzer target: the scanning routines of EWS answers.  Input: a flags
// byte (bit 0: the answer is stored unformatted), a split byte (where the
// network cuts the answer in two), a byte choosing element names, then the
// answer.  The answer is stored as the transport stores it and read by
// every scanner, from the file and from memory, as the readers do.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ews/xml_scan.hpp"
#include "fuzz_support.hpp"
#include "qv/qvcom.h"

namespace {

constexpr std::array<std::string_view, 8> kNames = {
    "MimeContent", "Value", "Subject", "DateTimeReceived", "ItemId", "Body", "", "String"};
constexpr std::array<std::string_view, 4> kKeys = {"", "EmailAddress1", "Business", "\""};

void scan_file(const std::string &path, std::string_view name)
{
    if (const qvcommon::UniqueFile in = qvcommon::OpenFile(path, "rb")) {
        std::string id, change_key;
        while (qvamz::ExtractItemId(in.get(), id, change_key) == 1) {
        }
    }
    int is_read = -1;
    qvamz::ExtractBase64Element(path, path + ".decoded", name, &is_read);
}

void scan_buffer(std::string text, std::string_view name, std::string_view key, std::size_t max)
{
    std::string value;
    qvamz::GetElementValue(text.c_str(), name, value, max, key);
    if (value.size() > max)
        std::abort();
    const char *cursor = text.c_str();
    std::string line;
    int lines = 0;
    while (cursor != nullptr && qvamz::NextBufferLine(cursor, line) == 0 && ++lines < 100000) {
        qv_filetime when = 0;
        qvamz::ParseEwsDateTime(line, when);
    }
    static qv_message *msg = new qv_message{};
    qvamz::ParseCategories(text.c_str(), msg);
    com_ResetObject(msg);
    std::string trimmed = text;
    qvamz::RemoveElement(trimmed, name);
    if (trimmed.size() > text.size())
        std::abort();
    const std::size_t decoded = qvamz::Base64DecodeInPlace(text.data());
    if (decoded > qvamz::kBase64InPlaceMax)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    qvfuzz::Input input(data, size);
    const uint8_t flags = input.byte();
    const uint8_t split = input.byte();
    const uint8_t choice = input.byte();
    const std::string_view answer = input.rest();
    const std::string path = qvfuzz::scratch_dir("ews_scan") + "answer.xml";
    // Feeding the answer whole or in two pieces gives the same file.
    if (qvfuzz::stored_form(answer, split) != qvfuzz::stored_form(answer, answer.size()))
        std::abort();
    if (!qvfuzz::write_answer(path, answer, flags & 1, split))
        return 0;
    const std::string_view name = kNames[choice % kNames.size()];
    scan_file(path, name);
    const std::size_t max = (flags & 2) ? 8 : qvamz::kScanLineMax;
    scan_buffer(qvfuzz::read_bytes(path), name, kKeys[(choice >> 3) % kKeys.size()], max);
    return 0;
}
