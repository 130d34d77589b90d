// Switch tokens, scrambled switch values, host directories and the host
// log.  (Loss reports reach the host in the connector's sandbox tests.)
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qv/qvcom.h"
#include "qv/qvcom.hpp"
#include "qv_test_support.hpp"

namespace {

std::vector<std::string> tokens_of(const char *switches) {
    qvcom_set_switches(switches);
    std::vector<std::string> tokens;
    for (int i = 0;; ++i) {
        auto token = qvcom::switch_token(i);
        if (!token) {
            break;
        }
        tokens.push_back(*token);
    }
    return tokens;
}

TEST(SwitchTokens, Table) {
    using V = std::vector<std::string>;
    const struct {
        const char *switches;
        V expected;
    } cases[] = {
        {"/AUTHAMZD2;/D251", V{"/AUTHAMZD2", "/D251"}},
        {"/D251 5\t/DEBUG", V{"/D251", "5", "/DEBUG"}},
        {";; /SLEEP ;; -5 ;", V{"/SLEEP", "-5"}},
        {"/GN \"my group;x\" /CF", V{"/GN", "my group;x", "/CF"}},
        {"/CF Inbox/\"Sub Folder\"/x", V{"/CF", "Inbox/Sub Folder/x"}},
        {"/PROXY \"\" /DEBUG", V{"/PROXY", "", "/DEBUG"}},
        {"/CAN \"never closed; still one", V{"/CAN", "never closed; still one"}},
        {"a\r\nb", V{"a", "b"}},
        {"", V{}},
        {" ; \t ", V{}},
        {nullptr, V{}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(tokens_of(c.switches), c.expected) << (c.switches ? c.switches : "(null)");
    }
    qvcom_set_switches(nullptr);
}

TEST(SwitchTokens, LongTokenIsCutAndTheBufferAlwaysTerminated) {
    qvcom_set_switches("/CAT 0123456789");
    char small[5] = "xxxx";
    EXPECT_EQ(com_GetParm(1, small, sizeof small), 1);
    EXPECT_STREQ(small, "0123");
    EXPECT_EQ(com_GetParm(2, small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(com_GetParm(-1, small, sizeof small), 0);
    qvcom_set_switches(nullptr);
}

TEST(HostDirectories, SeparatorAddedAndUnknownNumbersRefused) {
    EXPECT_EQ(qvcom_set_directory(QVCOM_DIR_WORK, "/tmp/work"), 1);
    EXPECT_EQ(qvcom::host_directory(QVCOM_DIR_WORK), "/tmp/work/");
    EXPECT_EQ(qvcom_set_directory(QVCOM_DIR_BASE, "/tmp/base/"), 1);
    EXPECT_EQ(qvcom::host_directory(QVCOM_DIR_BASE), "/tmp/base/");
    EXPECT_EQ(qvcom_set_directory(3, "/tmp"), 0);

    char tiny[4];
    EXPECT_EQ(com_GetDirectory(QVCOM_DIR_WORK, tiny, sizeof tiny), 0) << "never a cut path";
    EXPECT_STREQ(tiny, "");

    qvcom_set_directory(QVCOM_DIR_WORK, nullptr);
    qvcom_set_directory(QVCOM_DIR_BASE, "");
    EXPECT_FALSE(qvcom::host_directory(QVCOM_DIR_WORK).has_value());
    EXPECT_FALSE(qvcom::host_directory(QVCOM_DIR_BASE).has_value());
}

// Scrambled switch values: what the host writes, the plug-in must restore
// byte for byte.
// The plug-in's restoring rule.
using qvtest::descramble;

std::string scramble(const std::string &plain) {
    std::string out(2 * plain.size() + 2, '\0');
    EXPECT_EQ(qvcom_scramble(plain.c_str(), out.data(), out.size()), 1);
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

TEST(Scramble, EveryByteValueRoundTripsAtEveryKeyPosition) {
    for (int shift = 0; shift < 26; ++shift) {
        std::string plain(static_cast<size_t>(shift), 'p');
        for (int b = 1; b < 256; ++b) {
            plain.push_back(static_cast<char>(b));
        }
        const std::string scrambled = scramble(plain);
        ASSERT_EQ(scrambled.size(), 1 + 2 * plain.size());
        ASSERT_EQ(scrambled[0], '~');
        EXPECT_EQ(scrambled.find_first_not_of("0123456789abcdef", 1), std::string::npos);
        EXPECT_EQ(descramble(scrambled), plain) << "shift " << shift;
    }
}

TEST(Scramble, StoredValuesStayReadable) {
    // Job files keep scrambled values: the table must never change (all 26
    // entries and the wrap to the first are pinned).
    EXPECT_EQ(scramble("Pa55w\xC3\xB6rd! for the 26 key bytes"),
              "~614a3a5b6ce09274721a4153897029557d5745173cf9778474387362798b68");
    EXPECT_EQ(scramble(""), "~");
    EXPECT_EQ(qvcom_scramble_key(-1), qvcom_scramble_key(25)) << "a position before the first";
}

TEST(Scramble, RefusesAShortBuffer) {
    char out[6] = "zzzzz";
    EXPECT_EQ(qvcom_scramble("abc", out, sizeof out), 0) << "needs 8 bytes";
    EXPECT_STREQ(out, "");
    EXPECT_EQ(qvcom_scramble(nullptr, out, sizeof out), 0);
}

// The host log: one time-stamped entry per call, whole under threads.
// Every entry starts with the local time, as in "2026-12-06 15:20:56 ".
bool starts_with_stamp(const std::string &line) {
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
    return std::regex_search(line, stamp);
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class HostLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(qvcom_set_log_file(path_.c_str()), 1); }
    void TearDown() override { qvcom_close_log(); }
    std::string content() const { return qvtest::read_file(path_); }

    qvtest::TempDir dir_;
    std::string path_ = dir_.file("host.log");
};

TEST_F(HostLog, OneStampedLinePerCallWithoutDoubledLineEnds) {
    com_Log("QV Info: %d items in %s", 3, "Inbox");
    com_Log("QV Warning: already ends\n");
    com_Log("%s", "");
    // Written at once: a crash right after the call loses nothing.
    const auto lines = lines_of(content());
    ASSERT_EQ(lines.size(), 3u);
    for (const auto &line : lines) {
        EXPECT_TRUE(starts_with_stamp(line)) << line;
    }
    EXPECT_EQ(lines[0].substr(20), "QV Info: 3 items in Inbox");
    EXPECT_EQ(lines[1].substr(20), "QV Warning: already ends");
    EXPECT_EQ(lines[2].size(), 20u);

    const std::string long_text(100000, 'x'); // not cut
    com_Log("%s", long_text.c_str());
    EXPECT_EQ(lines_of(content()).at(3).size(), 20 + long_text.size());
}

TEST_F(HostLog, EntriesFromSeveralThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                com_Log("thread %d line %03d %s", t, i, std::string(300, 'a' + t).c_str());
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    const auto lines = lines_of(content());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto &line : lines) {
        ASSERT_TRUE(starts_with_stamp(line)) << line.substr(0, 60);
        const std::string text = line.substr(20);
        ASSERT_EQ(text.size(), sizeof("thread 0 line 000 ") - 1 + 300) << text.substr(0, 40);
        ASSERT_EQ(text.compare(0, 7, "thread "), 0);
        const char fill = static_cast<char>('a' + (text[7] - '0'));
        EXPECT_EQ(text.substr(text.size() - 300), std::string(300, fill)) << "entry mixed";
    }
}

TEST(HostLogFile, UnopenableFileIsReportedAndLinesGoToStderr) {
    EXPECT_EQ(qvcom_set_log_file("/nonexistent-qvcom-dir/x.log"), 0);
    testing::internal::CaptureStderr();
    com_Log("to stderr");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("to stderr\n"), std::string::npos);
    qvcom_close_log();
}

} // namespace
