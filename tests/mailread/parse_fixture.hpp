// Shared set-up of the parser tests: a private working directory, a
// zeroed record released after each test, the parser's settings, and
// readers of part files.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "mailread/rfc822_parser.hpp"
#include "qv_test_support.hpp"
#include "test_support.hpp"
#include "qv/qvcom.h"
#include "qv/qvcom.hpp"

namespace mailread_test {

using conntest::ReadFile;
using conntest::WriteFile;

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
        msg = std::make_unique<qv_message>();
        msg->msg_number = 5;
    }
    void TearDown() override { com_Deallocate_All(msg.get(), dir().c_str()); }

    std::string dir() const { return work_.dir(); }

    // Releases the record and its part files before the next parse.
    void Reset()
    {
        com_Deallocate_All(msg.get(), dir().c_str());
        com_ResetObject(msg.get());
    }

    int ParseText(const std::string &text)
    {
        MemoryStream in(text);
        return qvamz::mailread::Parse_RFC822_Msg(in.file, msg.get(), dir().c_str(), "", 1,
                                                 settings);
    }
    std::string Part(int index, const qv_message *m = nullptr) const
    {
        const qv_message *record = m ? m : msg.get();
        return ReadFile(qvcom::part_file_path(dir(), record->msg_number, index));
    }

    // Names of the files now in the working directory.
    std::set<std::string> WorkFiles() const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(work_.dir()))
            names.insert(entry.path().filename().string());
        return names;
    }

    std::unique_ptr<qv_message> msg;
    qvamz::mailread::ParserSettings settings; // of every parse of the test

  private:
    conntest::ScratchDir work_;
};

} // namespace mailread_test
