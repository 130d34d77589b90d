// c_buffer.hpp - copying text into the caller's fixed C buffers.
#ifndef QVCOM_C_BUFFER_HPP
#define QVCOM_C_BUFFER_HPP

#include <cstddef>
#include <cstring>
#include <string_view>

namespace qvcom::detail {

// Copies `text` into `out` (capacity `out_size` bytes, always terminated).
// Returns false when the text had to be cut or there is no buffer at all.
inline bool copy_to_buffer(std::string_view text, char *out, std::size_t out_size) {
    if (out == nullptr || out_size == 0) {
        return false;
    }
    const std::size_t n = text.size() < out_size ? text.size() : out_size - 1;
    if (n > 0) {
        std::memcpy(out, text.data(), n);
    }
    out[n] = '\0';
    return n == text.size();
}

// A C string as a view; null counts as empty.
inline std::string_view view_of(const char *text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

} // namespace qvcom::detail

#endif
