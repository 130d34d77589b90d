// libFuzzer target: reading a failed EWS answer for its fault text and the
// server's back-off, and the wait that follows from them.  Input: a flags
// byte (bit 0: stored unformatted), a split byte, a byte for the HTTP
// status and the busy round, then the answer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "transport/soap_request.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    qvfuzz::Input input(data, size);
    const uint8_t flags = input.byte();
    const uint8_t split = input.byte();
    const uint8_t status_choice = input.byte();
    const std::string path = qvfuzz::scratch_dir("soap_fault") + "fault.xml";
    if (!qvfuzz::write_answer(path, input.rest(), flags & 1, split))
        return 0;
    qvamz::FaultReport report;
    if (!qvamz::ReadFaultReport(path, report))
        return 0;
    if (report.text.size() > qvamz::kFaultLineMax || report.back_off_ms < 0)
        std::abort();
    static constexpr int kStatuses[] = {200, 400, 401, 500, 503, 504};
    const int status = kStatuses[status_choice % 6];
    if (qvamz::IsBusyAnswer(status, report.text)) {
        const int round = 1 + (status_choice >> 4) % qvamz::kBusyRoundsMax;
        const int delay = qvamz::BusyDelayMs(round, report.back_off_ms);
        // However long the server asks for, the wait stays bounded.
        if (delay < round * 1000 || delay > std::max(round * 1000, qvamz::kBackOffCeilingMs))
            std::abort();
    }
    return 0;
}
