// The host log: one time-stamped entry per call, whole under threads.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qv/qvcom.h"
#include "qv_test_support.hpp"

namespace {

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
