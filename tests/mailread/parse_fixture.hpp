// Shared set-up of the parser tests: a private working directory, a
// zeroed record released after each test, the parser's settings, and
// readers of part files.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <string>

#include "mailread/rfc822_parser.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace mailread_test {

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string data_file(const std::string &name)
{
    return std::string(QV_TEST_DATA_DIR) + "/mailread/" + name;
}

// A seekable stdio stream holding the given bytes (an unnamed temporary
// file, so that empty input is empty too).
struct MemoryStream {
    explicit MemoryStream(std::string bytes) : data(std::move(bytes))
    {
        file = std::tmpfile();
        std::fwrite(data.data(), 1, data.size(), file);
        std::rewind(file);
    }
    ~MemoryStream()
    {
        if (file)
            std::fclose(file);
    }
    std::string data;
    FILE *file = nullptr;
};

class ParserTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::random_device random;
        work_ = std::filesystem::temp_directory_path() /
                ("mailread_test_" + std::to_string(getpid()) + "_" + std::to_string(random()));
        std::filesystem::create_directories(work_);
        msg = std::make_unique<qv_message>();
        msg->msg_number = 5;
    }
    void TearDown() override
    {
        com_Deallocate_All(msg.get(), dir().c_str());
        std::error_code ignored;
        std::filesystem::remove_all(work_, ignored);
    }

    std::string dir() const { return work_.string() + "/"; }

    int ParseText(const std::string &text)
    {
        MemoryStream in(text);
        return qvamz::mailread::Parse_RFC822_Msg(in.file, msg.get(), dir().c_str(), "", 1, settings);
    }
    int ParseFile(const std::string &name)
    {
        FILE *f = std::fopen(data_file(name).c_str(), "rb");
        EXPECT_NE(f, nullptr) << name;
        if (!f)
            return -999;
        const int result = qvamz::mailread::Parse_RFC822_Msg(f, msg.get(), dir().c_str(), "", 1, settings);
        std::fclose(f);
        return result;
    }

    std::string Part(int index, const qv_message *m = nullptr) const
    {
        const qv_message *record = m ? m : msg.get();
        return read_file(qvcom::part_file_path(dir(), record->msg_number, index));
    }

    // Names of the files now in the working directory.
    std::set<std::string> WorkFiles() const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(work_))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::unique_ptr<qv_message> msg;
    qvamz::mailread::ParserSettings settings; // of every parse of the test

  private:
    std::filesystem::path work_;
};

} // namespace mailread_test
