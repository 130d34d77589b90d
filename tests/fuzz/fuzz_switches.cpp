// libFuzzer target: the logon switch string as the host hands it over,
// through libqvcom's tokenizer into the switch parser, including the
// descrambling of "~" values.  Every input starts from a fresh session, as
// in a freshly loaded module.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "frame/descramble.hpp"
#include "frame/session.hpp"
#include "frame/switches.hpp"
#include "fuzz_support.hpp"
#include "qv/qvcom.h"
#include "transport/curl_options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    qvfuzz::scratch_dir("switches");
    const std::string switches(reinterpret_cast<const char *>(data), size);
    qvamz::Session session; // the defaults of a freshly loaded module
    qvcom_set_switches(switches.c_str());
    qvamz::ParseSwitches(session);
    qvcom_set_switches(nullptr);
    // The clamps the switch table promises.
    const qvamz::SessionSettings &sw = session.settings;
    if (sw.bundle_size < 1 || sw.sleep_ms < 0 || sw.write_retries < 0 ||
        (sw.ssl_version != 0 && qvamz::TlsVersionFor(sw.ssl_version) == nullptr) ||
        sw.max_answer_mb < 1 || sw.group_name.size() > qvamz::kGroupNameMax)
        std::abort();
    // A scrambled value never restores to more than the connector keeps; a
    // plain one is left as it is.
    std::string value(switches);
    const bool scrambled = !value.empty() && value.front() == '~';
    if (qvamz::DescrambleValue(value) && scrambled && value.size() > qvamz::kDescrambledMax)
        std::abort();
    qvamz::MaskSecret(value);
    return 0;
}
