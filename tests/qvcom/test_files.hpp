// test_files.hpp - a private temporary folder and small file helpers.
#ifndef QVCOM_TESTS_TEST_FILES_HPP
#define QVCOM_TESTS_TEST_FILES_HPP

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace qvtest {

class TempDir {
public:
    TempDir() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("qvcom_test_" + std::to_string(getpid()) + "_" + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    // The folder with a trailing separator, as the host hands it over.
    std::string prefix() const { return path_.string() + "/"; }
    std::string file(const std::string &name) const { return prefix() + name; }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace qvtest

#endif
