// Writing mail into the sandbox on loopback: messages per second and the
// client's CPU time per message, for 1,000 messages of about 20 KB sent in
// bundles of 1, 10 and 50.  Not a timed test: run it by hand,
//   build/bench/mailwrite_bench
// The server runs in its own process, so the process CPU time measured here
// is the connector's alone (MIME building, base64, the request body, TLS).
#include <benchmark/benchmark.h>

#include <time.h>

#include <filesystem>
#include <random>
#include <string>

#include "ews/folder_table.hpp"
#include "frame/logon.hpp"
#include "frame/session.hpp"
#include "mailwrite/bundle_writer.hpp"
#include "mailwrite/mime_builder.hpp"
#include "mailwrite/target_folders.hpp"
#include "qv/qvcom.h"
#include "sandbox_fixture.hpp"
#include "transport/http_post.hpp"

namespace {

constexpr int kMessages = 1000;
constexpr std::size_t kAttachmentBytes = 14 * 1024; // about 20 KB of MIME text each
constexpr char kMailbox[] = "bench@example.com";
constexpr char kPassword[] = "bench-pw";

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void WriteFile(const std::string &path, const std::string &data)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

// A record as a host hands it over, with its part files.
void FillRecord(qv_message &msg, const std::string &work_dir, int number, const std::string &data)
{
    com_ResetObject(&msg);
    msg.msg_number = number % 1000;
    msg.priority = 1;
    msg.importance = 1;
    msg.codepage = 65001;
    msg.date = com_FileTimeNow();
    std::snprintf(msg.subject, sizeof msg.subject, "Benchmark message %d", number);
    std::snprintf(msg.from_name, sizeof msg.from_name, "Sender %d", number);
    std::snprintf(msg.from_address, sizeof msg.from_address, "sender%d@example.org", number);
    qv_recipient *r = com_AllocRecip(&msg);
    std::snprintf(r->name, sizeof r->name, "Recipient");
    std::snprintf(r->address, sizeof r->address, "rcpt@example.org");
    r->kind = QV_RECIP_TO;
    msg.recipient_count = 1;
    auto add = [&](int type, const char *name, const std::string &content) {
        qv_part *part = com_AllocPart(&msg);
        part->part_type = type;
        std::snprintf(part->file_name, sizeof part->file_name, "%s", name);
        part->size = static_cast<uint32_t>(content.size());
        WriteFile(qvamz::PartFilePath(work_dir, msg.msg_number, msg.part_count), content);
        ++msg.part_count;
    };
    add(QV_PART_TEXT_BODY, "Message Text",
        "Hello,\n\nthis is benchmark message " + std::to_string(number) + ".\n");
    add(QV_PART_ATTACHMENT, "data.bin", data);
}

void BM_WriteMessages(benchmark::State &state)
{
    const int bundle = static_cast<int>(state.range(0));
    namespace fs = std::filesystem;
    std::random_device random;
    fs::path root = fs::temp_directory_path() / ("qv-write-bench-" + std::to_string(random()));
    fs::path data_dir = root / "sandbox", work_dir = root / "work";
    fs::create_directories(data_dir);
    fs::create_directories(work_dir);
    std::string work = work_dir.string() + "/";
    if (sandbox_test::run_sandbox_cli({"user", "add", "--mailbox", kMailbox, "--password",
                                       kPassword, "--data", data_dir.string()}) != 0) {
        state.SkipWithError("cannot add the sandbox user");
        return;
    }
    sandbox_test::SandboxServer server(data_dir, {});
    qvcom_set_directory(QVCOM_DIR_WORK, work.c_str());
    qvcom_set_directory(QVCOM_DIR_BASE, work.c_str());
    qvcom_set_log_file((work + "host.log").c_str());
    std::string switches = "/D251 " + std::to_string(bundle) + " /CAFILE " + server.ca_file();
    qvcom_set_switches(switches.c_str());
    const std::string url = server.ews_url();
    qvamz::Session session;
    qvamz::LogonArguments args;
    args.user = kMailbox;
    args.password = kPassword;
    args.server = url.c_str();
    args.first_logon = 1;
    if (qvamz::LogonSession(session, args) != qvamz::kLogonOk) {
        state.SkipWithError("logon failed");
        return;
    }
    std::string data(kAttachmentBytes, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    auto msg = std::make_unique<qv_message>();

    double cpu = 0;
    int lost = 0;
    for (auto _ : state) {
        qvamz::InitWriteImpl(session, msg.get(), ("Bench " + std::to_string(bundle)).c_str(), 0);
        for (int i = 0; i < kMessages; ++i) {
            state.PauseTiming();
            FillRecord(*msg, work, i, data);
            state.ResumeTiming();
            double before = ProcessCpuSeconds();
            lost += qvamz::WriteMsgImpl(session, msg.get(), work.c_str()) != 0;
            cpu += ProcessCpuSeconds() - before;
        }
        double before = ProcessCpuSeconds();
        qvamz::CloseWriteImpl(session, 0);
        cpu += ProcessCpuSeconds() - before;
    }
    const double messages = static_cast<double>(kMessages) * static_cast<double>(state.iterations());
    state.counters["msgs_per_s"] = benchmark::Counter(messages, benchmark::Counter::kIsRate);
    state.counters["cpu_us_per_msg"] = cpu / messages * 1e6;
    state.counters["lost"] = lost;

    com_ResetObject(msg.get());
    qvamz::LogoffSession(session, 0);
    qvcom_set_log_file(nullptr);
    server.stop();
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

} // namespace

BENCHMARK(BM_WriteMessages)->Arg(1)->Arg(10)->Arg(50)->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
