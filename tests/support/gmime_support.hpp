// GMime, the reader independent of the connector, as the tests that read
// built or copied messages with it use it.  Needs PkgConfig::GMIME.
#pragma once

#include <gmime/gmime.h>

#include <memory>
#include <mutex>
#include <string>

namespace qvtest::gmime {

inline std::string text(const char *value) { return value ? std::string(value) : std::string(); }

// g_mime_init, once per process.
inline void init()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct Unref {
    void operator()(void *object) const { g_object_unref(object); }
};
template <typename T> using Ptr = std::unique_ptr<T, Unref>;

// "type/subtype" of an entity as labelled, "" when it has none.
inline std::string mime_type(GMimeObject *object)
{
    GMimeContentType *type = g_mime_object_get_content_type(object);
    char *name = type ? g_mime_content_type_get_mime_type(type) : nullptr;
    std::string out = text(name);
    g_free(name);
    return out;
}

// A leaf's bytes with the transfer encoding undone.
inline std::string decoded_content(GMimePart *part)
{
    GMimeDataWrapper *wrapper = g_mime_part_get_content(part);
    if (!wrapper)
        return {};
    Ptr<GMimeStream> memory(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(wrapper, memory.get());
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
    return std::string(reinterpret_cast<const char *>(bytes->data), bytes->len);
}

} // namespace qvtest::gmime
