// bench_make_messages OUT_DIR COUNT [BYTES]
//
// Writes COUNT mail messages of about BYTES bytes each (default 20000) as
// OUT_DIR/000001.eml, ... with CRLF line ends.  Every message has the headers
// a delivered message carries (Return-Path, Received, From, To, sometimes Cc,
// Subject, Date, Message-ID, MIME-Version) and a text/HTML alternative;
// every fourth one also has a small attachment.  The output depends on the
// arguments only, so two runs (and the IMAP and EWS sides of one run) see
// the same bytes.
#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr int kMaxCount = 1'000'000;
constexpr int kMinBytes = 2'000;
constexpr int kMaxBytes = 10'000'000;
constexpr int kAttachmentEvery = 4;
constexpr std::size_t kHeaderAllowance = 2'000; // headers, part headers, QP escapes
constexpr std::size_t kTextLineWidth = 72;
constexpr std::size_t kQuotedPrintableWidth = 75; // plus the soft break's "="
constexpr std::size_t kBase64LineWidth = 76;

constexpr std::array<std::string_view, 12> kFirstNames = {
    "Anna", "Ben", "Chiara", "David", "Elena", "Farid", "Greta", "Hugo", "Ines", "Jonas", "Katja",
    "Luis"};
constexpr std::array<std::string_view, 12> kLastNames = {
    "Meyer", "Okafor", "Rossi", "Novak", "Svensson", "Haddad", "Lindqvist", "Moreau", "Tanaka",
    "Keller", "Petrova", "Garcia"};
constexpr std::array<std::string_view, 3> kDomains = {"example.com", "example.org", "example.net"};
constexpr std::array<std::string_view, 8> kSubjects = {
    "Quarterly figures for the review",   "Re: Travel plans for the workshop",
    "Minutes of Tuesday's meeting",        "Fwd: Updated contract draft",
    "Question about invoice",              "Re: Re: Server move next weekend",
    "Agenda and slides for the kick-off", "Holiday schedule"};
constexpr std::array<std::string_view, 48> kWords = {
    "the",      "project",  "review",    "meeting",  "schedule", "please",   "attached",
    "report",   "customer", "budget",    "we",       "will",     "need",     "to",
    "confirm",  "before",   "Friday",    "and",      "a",        "short",    "summary",
    "of",       "changes",  "in",        "second",   "quarter",  "numbers",  "look",
    "better",   "than",     "expected",  "thanks",   "for",      "your",     "help",
    "with",     "migration", "mailboxes", "weekend", "server",   "team",     "call",
    "tomorrow", "morning",  "questions", "draft",    "contract", "update"};

// xorshift64*: small, fast and the same on every machine.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    std::uint64_t Next()
    {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1DULL;
    }
    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(Next() % bound); }
    template <typename List> std::string_view Pick(const List &list)
    {
        return list[Below(list.size())];
    }

  private:
    std::uint64_t state_;
};

struct Person {
    std::string name;
    std::string address;
};

Person MakePerson(Random &random)
{
    const std::string first(random.Pick(kFirstNames));
    const std::string last(random.Pick(kLastNames));
    std::string address = first + "." + last + "@" + std::string(random.Pick(kDomains));
    for (char &c : address)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {first + " " + last, address};
}

std::string DateHeader(int index)
{
    // One message every 47 minutes from 5 January 2026, 08:00 UTC.
    const std::time_t start = 1767600000;
    const std::time_t when = start + static_cast<std::time_t>(index) * 47 * 60;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

// Sentences of random words, each paragraph one string without line breaks.
std::string Paragraph(Random &random)
{
    std::string text;
    const std::size_t sentences = 3 + random.Below(4);
    for (std::size_t s = 0; s < sentences; ++s) {
        const std::size_t words = 6 + random.Below(10);
        for (std::size_t w = 0; w < words; ++w) {
            std::string word(random.Pick(kWords));
            if (w == 0)
                word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
            text += word;
            text += w + 1 == words ? ". " : " ";
        }
    }
    text.pop_back();
    return text;
}

// Breaks a paragraph into CRLF lines at blanks.
std::string WrapText(std::string_view text)
{
    std::string out;
    while (text.size() > kTextLineWidth) {
        std::size_t cut = text.rfind(' ', kTextLineWidth);
        if (cut == std::string_view::npos || cut == 0)
            cut = kTextLineWidth;
        out.append(text.substr(0, cut)).append("\r\n");
        text.remove_prefix(std::min(text.size(), cut + 1));
    }
    return out.append(text).append("\r\n");
}

std::string QuotedPrintable(std::string_view text)
{
    std::string out;
    std::size_t column = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            out += "\r\n";
            column = 0;
            ++i;
            continue;
        }
        char piece[4] = {static_cast<char>(c), 0, 0, 0};
        if (c == '=' || c > 126) {
            std::snprintf(piece, sizeof piece, "=%02X", c);
        }
        const std::size_t width = std::string_view(piece).size();
        if (column + width > kQuotedPrintableWidth) {
            out += "=\r\n";
            column = 0;
        }
        out += piece;
        column += width;
    }
    return out;
}

std::string Base64Lines(std::string_view data)
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size())
            group |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size())
            group |= static_cast<unsigned char>(data[i + 2]);
        encoded += kAlphabet[(group >> 18) & 63];
        encoded += kAlphabet[(group >> 12) & 63];
        encoded += i + 1 < data.size() ? kAlphabet[(group >> 6) & 63] : '=';
        encoded += i + 2 < data.size() ? kAlphabet[group & 63] : '=';
    }
    std::string out;
    for (std::size_t at = 0; at < encoded.size(); at += kBase64LineWidth)
        out.append(encoded, at, kBase64LineWidth).append("\r\n");
    return out;
}

struct Bodies {
    std::string text;
    std::string html;
};

// Text and HTML bodies with the same paragraphs, together about `bytes`.
Bodies MakeBodies(Random &random, const Person &sender, std::size_t bytes)
{
    Bodies bodies;
    bodies.text = "Hello,\r\n\r\n";
    bodies.html = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                  "charset=utf-8\"></head>\r\n<body style=\"font-family: Calibri, sans-serif; "
                  "font-size: 11pt\">\r\n<p>Hello,</p>\r\n";
    while (bodies.text.size() + bodies.html.size() < bytes) {
        const std::string paragraph = Paragraph(random);
        bodies.text += WrapText(paragraph) + "\r\n";
        bodies.html += "<p style=\"margin: 0 0 8pt 0\">" + paragraph + "</p>\r\n";
    }
    const std::string closing = "Gr\xC3\xBC\xC3\x9F" "e / Best regards,\r\n" + sender.name;
    bodies.text += closing + "\r\n";
    bodies.html += "<p>Gr&uuml;&szlig;e / Best regards,<br>\r\n" + sender.name +
                   "</p>\r\n</body></html>\r\n";
    return bodies;
}

std::string AttachmentPart(Random &random, int index)
{
    std::string csv = "date;account;amount\r\n";
    const std::size_t rows = 40 + random.Below(60);
    for (std::size_t row = 0; row < rows; ++row)
        csv += "2026-0" + std::to_string(1 + row % 9) + "-1" + std::to_string(row % 10) +
               ";ACC-" + std::to_string(1000 + random.Below(9000)) + ";" +
               std::to_string(random.Below(100000)) + "." + std::to_string(random.Below(90) + 10) +
               "\r\n";
    const std::string name = "figures-" + std::to_string(index) + ".csv";
    return "Content-Type: text/csv; name=\"" + name +
           "\"\r\nContent-Disposition: attachment; filename=\"" + name +
           "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64Lines(csv);
}

std::string Message(int index, std::size_t bytes)
{
    Random random(static_cast<std::uint64_t>(index));
    const Person from = MakePerson(random);
    const Person to = MakePerson(random);
    const bool with_cc = random.Below(3) == 0;
    const Person cc = MakePerson(random);
    const bool with_attachment = index % kAttachmentEvery == 0;
    const std::string date = DateHeader(index);
    char id[96];
    std::snprintf(id, sizeof id, "<bench.%06d.%08llx@mail.example.org>", index,
                  static_cast<unsigned long long>(random.Next() & 0xffffffffULL));
    const std::string boundary = "----=_Part_" + std::to_string(index) + "_alt";
    const std::string outer = "----=_Part_" + std::to_string(index) + "_mixed";

    std::string mime = "Return-Path: <" + from.address + ">\r\n";
    mime += "Received: from mx2.example.org (mx2.example.org [192.0.2.25])\r\n"
            "\tby mail.example.org with ESMTPS id " + std::to_string(100000 + index) +
            "\r\n\tfor <" + to.address + ">; " + date + "\r\n";
    mime += "Received: from [198.51.100.7] by mx2.example.org with ESMTPSA; " + date + "\r\n";
    mime += "From: \"" + from.name + "\" <" + from.address + ">\r\n";
    mime += "To: \"" + to.name + "\" <" + to.address + ">\r\n";
    if (with_cc)
        mime += "Cc: " + cc.name + " <" + cc.address + ">\r\n";
    std::string subject(random.Pick(kSubjects));
    if (index % 10 == 0)
        subject = "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_M=C3=BCnchen?= " + std::to_string(index);
    else
        subject += " #" + std::to_string(index);
    mime += "Subject: " + subject + "\r\n";
    mime += "Date: " + date + "\r\n";
    mime += "Message-ID: " + std::string(id) + "\r\n";
    mime += "MIME-Version: 1.0\r\n";

    const Bodies bodies = MakeBodies(random, from, bytes - kHeaderAllowance);
    std::string alternative = "Content-Type: multipart/alternative; boundary=\"" + boundary +
                              "\"\r\n\r\n--" + boundary +
                              "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                              "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                              bodies.text + "\r\n--" + boundary +
                              "\r\nContent-Type: text/html; charset=utf-8\r\n"
                              "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                              QuotedPrintable(bodies.html) + "\r\n--" + boundary + "--\r\n";
    if (!with_attachment)
        return mime + alternative;
    mime += "Content-Type: multipart/mixed; boundary=\"" + outer + "\"\r\n\r\n";
    mime += "This is a multi-part message in MIME format.\r\n\r\n--" + outer + "\r\n";
    mime += alternative + "\r\n--" + outer + "\r\n" + AttachmentPart(random, index) + "\r\n--" +
            outer + "--\r\n";
    return mime;
}

bool ParseNumber(const char *text, int low, int high, int &value)
{
    try {
        std::size_t used = 0;
        value = std::stoi(text, &used);
        return used == std::string_view(text).size() && value >= low && value <= high;
    } catch (const std::exception &) {
        return false;
    }
}

} // namespace

int main(int argc, char **argv)
{
    int count = 0;
    int bytes = 20'000;
    if (argc < 3 || argc > 4 || !ParseNumber(argv[2], 1, kMaxCount, count) ||
        (argc == 4 && !ParseNumber(argv[3], kMinBytes, kMaxBytes, bytes))) {
        std::cerr << "usage: bench_make_messages OUT_DIR COUNT [BYTES]\n"
                     "  COUNT 1.." << kMaxCount << ", BYTES " << kMinBytes << ".." << kMaxBytes
                  << " (default 20000)\n";
        return 2;
    }
    const std::filesystem::path out_dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(out_dir, error);
    if (error) {
        std::cerr << "bench_make_messages: cannot create " << out_dir << ": " << error.message()
                  << "\n";
        return 1;
    }
    std::uint64_t total = 0;
    for (int index = 1; index <= count; ++index) {
        char name[32];
        std::snprintf(name, sizeof name, "%06d.eml", index);
        const std::string mime = Message(index, static_cast<std::size_t>(bytes));
        std::ofstream file(out_dir / name, std::ios::binary | std::ios::trunc);
        file.write(mime.data(), static_cast<std::streamsize>(mime.size()));
        if (!file.flush()) {
            std::cerr << "bench_make_messages: cannot write " << (out_dir / name) << "\n";
            return 1;
        }
        total += mime.size();
    }
    std::cout << "wrote " << count << " messages, " << total << " bytes, average "
              << total / static_cast<std::uint64_t>(count) << "\n";
    return 0;
}
