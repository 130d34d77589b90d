// file_helpers.cpp - file sizes, path pieces and file copies.
#include <cstring>
#include <filesystem>
#include <string_view>

#include <sys/stat.h>

#include "c_buffer.hpp"
#include "private_files.hpp"
#include "qv/qvcom.h"

using namespace qvcom::detail;

namespace {

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Index just past the last separator of `path` (0 when there is none).
size_t file_name_start(std::string_view path) {
    const size_t last = path.find_last_of("/\\");
    return last == std::string_view::npos ? 0 : last + 1;
}

} // namespace

extern "C" {

QVCOM_API int64_t com_GetFileSize(const char *path, int64_t *out) {
    int64_t size = 0;
    // One stat: the read path asks for the size of every part file.
    struct stat status {};
    if (path != nullptr && ::stat(path, &status) == 0 && S_ISREG(status.st_mode)) {
        size = static_cast<int64_t>(status.st_size);
    }
    if (out != nullptr) {
        *out = size;
    }
    return size;
}

QVCOM_API int com_AppendSlash(char *path, size_t capacity) {
    if (path == nullptr) {
        return 0;
    }
    const size_t length = strnlen(path, capacity);
    if (length == capacity) {
        return 0; // not even terminated within its capacity
    }
    // An empty path means the current directory; "/" would mean the root.
    if (length == 0 || is_separator(path[length - 1])) {
        return 1;
    }
    if (length + 2 > capacity) {
        return 0;
    }
    path[length] = '/';
    path[length + 1] = '\0';
    return 1;
}

QVCOM_API void com_ExtractFileExt(const char *path, char *out, size_t out_size) {
    const std::string_view text = view_of(path);
    const std::string_view name = text.substr(file_name_start(text));
    const size_t dot = name.find_last_of('.');
    copy_to_buffer(dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1), out,
                   out_size);
}

QVCOM_API void com_ExtractFileDir(const char *path, char *out, size_t out_size) {
    const std::string_view text = view_of(path);
    copy_to_buffer(text.substr(0, file_name_start(text)), out, out_size);
}

QVCOM_API int com_fcopy(const char *source, const char *destination) {
    if (source == nullptr || destination == nullptr) {
        return 0;
    }
    std::error_code ec;
    // copy_file refuses a file copied onto itself instead of truncating it.
    const bool copied = std::filesystem::copy_file(
        source, destination, std::filesystem::copy_options::overwrite_existing, ec);
    // copy_file takes the source's mode; copies of mail stay the owner's.
    if (copied && !ec)
        qvcom::detail::narrow_to_owner(destination);
    return copied && !ec ? 1 : 0;
}

} // extern "C"
