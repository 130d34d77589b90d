// Parse throughput and peak memory of the RFC 822/MIME parser, with GMime
// parsing the same inputs in the same run as the reference.  Not a timed
// test: run it by hand, best with bench/run-parse-bench (Release build).
//
// Inputs, generated at start under a temporary folder:
//   large  one message of about 50 MB: a text body and ten base64 attachments
//   small  10,000 messages of 1 to 6 KB: plain, quoted-printable
//          alternatives, encoded-word subjects, some with a small attachment
// Both parsers read each message from its file and write every decoded part
// into a file of its own (our parser's part files; for GMime each leaf
// part's decoded content), which is the work the read driver needs.
//
// Memory: the heap left by the input generation is given back first; before
// each case the process's peak RSS is reset (Linux /proc/self/clear_refs);
// the counters give the peak during the case (peak_MB, the libraries of
// both parsers included) and how far it rose above the RSS at the case's
// start (peak_rise_MB).
#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.h"

namespace {

namespace fs = std::filesystem;

constexpr int kLargeAttachments = 10;
constexpr std::size_t kLargeTargetBytes = 50u * 1000 * 1000;
constexpr int kSmallMessages = 10000;
constexpr std::size_t kBase64LineChars = 76;

struct Inputs {
    fs::path root;
    fs::path large;
    std::uintmax_t large_bytes = 0;
    std::vector<std::string> small;
    std::uintmax_t small_bytes = 0;
    std::string qv_work;    // our part files (ends with "/")
    std::string gmime_work; // GMime's decoded parts
};
Inputs gInputs;

// ---- input generation ------------------------------------------------------

std::string Base64Lines(const std::string &bytes)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out, line;
    out.reserve(bytes.size() * 4 / 3 + bytes.size() / 40);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (n > 1)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (n > 2)
            v |= static_cast<unsigned char>(bytes[i + 2]);
        line += alphabet[(v >> 18) & 63];
        line += alphabet[(v >> 12) & 63];
        line += n > 1 ? alphabet[(v >> 6) & 63] : '=';
        line += n > 2 ? alphabet[v & 63] : '=';
        if (line.size() >= kBase64LineChars) {
            out += line + "\r\n";
            line.clear();
        }
    }
    if (!line.empty())
        out += line + "\r\n";
    return out;
}

std::string RandomBytes(std::mt19937 &random, std::size_t n)
{
    std::string bytes(n, '\0');
    for (char &c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::string Words(std::mt19937 &random, std::size_t n)
{
    static const char *words[] = {"migration", "mailbox", "folder", "report", "budget",
                                  "meeting",   "Monday",  "review", "attached", "thanks",
                                  "schedule",  "plan",    "update", "question", "draft"};
    std::string text;
    for (std::size_t i = 0; i < n; ++i) {
        text += words[random() % std::size(words)];
        text += (i % 12 == 11) ? "\r\n" : " ";
    }
    return text + "\r\n";
}

std::string Headers(int n, const std::string &subject, const std::string &content_type)
{
    return "From: \"Sender " + std::to_string(n) + "\" <sender" + std::to_string(n) +
           "@example.org>\r\nTo: Reader <reader@example.com>, other@example.net\r\n"
           "Cc: =?UTF-8?B?SsO8cmdlbiBNw7xsbGVy?= <jm@example.de>\r\n"
           "Subject: " +
           subject + "\r\nDate: Tue, 05 Mar 2024 14:07:09 +0100\r\nMessage-ID: <bench" +
           std::to_string(n) + "@example.org>\r\nMIME-Version: 1.0\r\nContent-Type: " +
           content_type + "\r\n\r\n";
}

std::string LargeMessage()
{
    std::mt19937 random(42);
    const std::size_t raw_each = kLargeTargetBytes / kLargeAttachments * 3 / 4 * 76 / 78;
    std::string text = Headers(0, "Quarterly archive", "multipart/mixed; boundary=\"=_outer\"") +
                       "--=_outer\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
                       Words(random, 400);
    for (int i = 0; i < kLargeAttachments; ++i) {
        text += "--=_outer\r\nContent-Type: application/octet-stream; name=\"archive" +
                std::to_string(i) + ".bin\"\r\nContent-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"archive" +
                std::to_string(i) + ".bin\"\r\n\r\n" + Base64Lines(RandomBytes(random, raw_each));
    }
    return text + "--=_outer--\r\n";
}

std::string SmallMessage(std::mt19937 &random, int n)
{
    const std::string body = Words(random, 60 + random() % 300);
    switch (n % 4) {
    case 0:
        return Headers(n, "Status " + std::to_string(n), "text/plain; charset=us-ascii") + body;
    case 1:
        return Headers(n, "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?= " + std::to_string(n),
                       "multipart/alternative; boundary=\"alt\"") +
               "--alt\r\nContent-Type: text/plain; charset=utf-8\r\n"
               "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe\r\n" +
               body +
               "--alt\r\nContent-Type: text/html; charset=utf-8\r\n"
               "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>Gr=C3=BC=C3=9Fe</p><p>" +
               body + "</p>\r\n--alt--\r\n";
    default:
        return Headers(n, "Invoice " + std::to_string(n), "multipart/mixed; boundary=\"mix\"") +
               "--mix\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" + body +
               "--mix\r\nContent-Type: application/pdf; name=\"invoice.pdf\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" +
               Base64Lines(RandomBytes(random, 512 + random() % 2048)) + "--mix--\r\n";
    }
}

void WriteFile(const fs::path &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

void GenerateInputs()
{
    gInputs.root = fs::temp_directory_path() / ("qv-parse-bench-" + std::to_string(getpid()));
    fs::create_directories(gInputs.root / "small");
    fs::create_directories(gInputs.root / "qv");
    fs::create_directories(gInputs.root / "gmime");
    gInputs.qv_work = (gInputs.root / "qv").string() + "/";
    gInputs.gmime_work = (gInputs.root / "gmime").string() + "/";
    gInputs.large = gInputs.root / "large.eml";
    WriteFile(gInputs.large, LargeMessage());
    gInputs.large_bytes = fs::file_size(gInputs.large);
    std::mt19937 random(7);
    for (int n = 0; n < kSmallMessages; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "%05d.eml", n);
        const fs::path path = gInputs.root / "small" / name;
        WriteFile(path, SmallMessage(random, n));
        gInputs.small.push_back(path.string());
        gInputs.small_bytes += fs::file_size(path);
    }
}

// ---- memory ------------------------------------------------------------------

long StatusKb(const char *key)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line))
        if (line.starts_with(prefix))
            return std::stol(line.substr(prefix.size()));
    return -1;
}

// Starts a fresh peak; false where the kernel does not allow it.
bool ResetPeakRss()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

class PeakMemory {
  public:
    PeakMemory() : start_kb_(StatusKb("VmRSS")), reset_(ResetPeakRss()) {}
    void Report(benchmark::State &state) const
    {
        const long peak = StatusKb("VmHWM");
        state.counters["peak_MB"] = static_cast<double>(peak) / 1024.0;
        state.counters["peak_rise_MB"] = static_cast<double>(peak - start_kb_) / 1024.0;
        if (!reset_)
            state.SetLabel("peak since process start");
    }

  private:
    long start_kb_;
    bool reset_;
};

// ---- the two parsers -----------------------------------------------------------

void ParseWithQvamz(const std::string &path, qv_message &msg)
{
    std::FILE *in = std::fopen(path.c_str(), "rb");
    com_ResetObject(&msg);
    msg.msg_number = 1;
    const int result = qvamz::mailread::Parse_RFC822_Msg(in, &msg, gInputs.qv_work.c_str(), "", 1);
    benchmark::DoNotOptimize(result);
    std::fclose(in);
    com_Deallocate_All(&msg, gInputs.qv_work.c_str());
}

void WriteGMimePart(GMimeObject *, GMimeObject *part, gpointer counter)
{
    if (!GMIME_IS_PART(part))
        return;
    GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(part));
    if (!content)
        return;
    int &n = *static_cast<int *>(counter);
    const std::string out = gInputs.gmime_work + "part" + std::to_string(n++) + ".tmp";
    GMimeStream *stream = g_mime_stream_fs_open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644, nullptr);
    if (!stream)
        return;
    g_mime_data_wrapper_write_to_stream(content, stream);
    g_object_unref(stream);
    std::remove(out.c_str());
}

void ParseWithGMime(const std::string &path)
{
    GMimeStream *stream = g_mime_stream_fs_open(path.c_str(), O_RDONLY, 0, nullptr);
    GMimeParser *parser = g_mime_parser_new_with_stream(stream);
    GMimeMessage *message = g_mime_parser_construct_message(parser, nullptr);
    int parts = 0;
    if (message) {
        g_mime_message_foreach(message, &WriteGMimePart, &parts);
        g_object_unref(message);
    }
    benchmark::DoNotOptimize(parts);
    g_object_unref(parser);
    g_object_unref(stream);
}

// ---- cases ---------------------------------------------------------------------------

void BM_Large_Qvamz(benchmark::State &state)
{
    auto msg = std::make_unique<qv_message>();
    PeakMemory memory;
    for (auto _ : state)
        ParseWithQvamz(gInputs.large.string(), *msg);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(gInputs.large_bytes));
    memory.Report(state);
}

void BM_Large_GMime(benchmark::State &state)
{
    PeakMemory memory;
    for (auto _ : state)
        ParseWithGMime(gInputs.large.string());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(gInputs.large_bytes));
    memory.Report(state);
}

void BM_Small10k_Qvamz(benchmark::State &state)
{
    auto msg = std::make_unique<qv_message>();
    PeakMemory memory;
    for (auto _ : state)
        for (const std::string &path : gInputs.small)
            ParseWithQvamz(path, *msg);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(gInputs.small_bytes));
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSmallMessages, benchmark::Counter::kIsRate);
    memory.Report(state);
}

void BM_Small10k_GMime(benchmark::State &state)
{
    PeakMemory memory;
    for (auto _ : state)
        for (const std::string &path : gInputs.small)
            ParseWithGMime(path);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(gInputs.small_bytes));
    state.counters["msgs_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kSmallMessages, benchmark::Counter::kIsRate);
    memory.Report(state);
}

// Fixed iteration counts: each iteration is long, and the machine may be busy.
BENCHMARK(BM_Large_Qvamz)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Large_GMime)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Small10k_Qvamz)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Small10k_GMime)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    g_mime_init();
    GenerateInputs();
    // Give back the heap the input generation left behind, so that peak_MB
    // shows the parsers and the libraries, not the generator's leftovers.
    malloc_trim(0);
    qvcom_set_log_file((gInputs.root / "parse.log").c_str());
    qvcom_set_directory(QVCOM_DIR_WORK, gInputs.qv_work.c_str());
    benchmark::AddCustomContext("large_input_MB", std::to_string(gInputs.large_bytes / 1e6));
    benchmark::AddCustomContext("small_inputs_MB", std::to_string(gInputs.small_bytes / 1e6));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    qvcom_set_log_file(nullptr);
    g_mime_shutdown();
    std::error_code ignored;
    fs::remove_all(gInputs.root, ignored);
    return 0;
}
