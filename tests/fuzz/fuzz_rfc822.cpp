// libFuzzer target: any bytes as the text of a message of its own.  The
// first byte picks the switches that change the parser's road (/D81,
// /D142, /D253, /LSUB); the rest is the message.  Every input is parsed
// into a record, its part files written to a private folder and released.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_support.hpp"
#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const std::string &dir = qvfuzz::scratch_dir("rfc822");
    qvamz::mailread::ParserSettings settings;
    settings.raw_passthrough = data[0] & 1;
    settings.drop_calendar_parts = (data[0] >> 1) & 1;
    settings.html_charset_rule = (data[0] >> 2) & 1;
    settings.log_subjects = (data[0] >> 3) & 1;
    FILE *in = fmemopen(const_cast<uint8_t *>(data + 1), size - 1, "r");
    if (!in)
        return 0;
    static qv_message *msg = new qv_message{};
    msg->msg_number = 1;
    qvamz::mailread::Parse_RFC822_Msg(in, msg, dir.c_str(), "", 1, settings);
    std::fclose(in);
    com_Deallocate_All(msg, dir.c_str());
    com_ResetObject(msg);
    return 0;
}
