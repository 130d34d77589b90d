// Calendar answers for the readers: the files of tests/data/calendar (or
// answers built here) as the transport stores them, one tag per line.
#pragma once

#include <string>

#include "qv_test_support.hpp"
#include "test_support.hpp"
#include "transport/response_writer.hpp"

namespace caltest {

inline std::string DataFile(const std::string &name)
{
    return std::string(QV_TEST_DATA_DIR) + "/calendar/" + name;
}

using conntest::StoredForm;

// Writes the stored form of `xml` to `path` and returns the path.
inline std::string StoreAnswer(const std::string &path, const std::string &xml)
{
    qvtest::write_file(path, StoredForm(xml));
    return path;
}

inline constexpr const char *kEnvelopeHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>";
inline constexpr const char *kEnvelopeTail = "</s:Body></s:Envelope>";
inline constexpr const char *kNamespaces =
    " xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\""
    " xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"";

// A GetItem answer holding one calendar item whose inside is `item`.
inline std::string GetItemAnswer(const std::string &item)
{
    return conntest::Success("GetItem",
                             "<m:Items><t:CalendarItem>" + item + "</t:CalendarItem></m:Items>");
}

} // namespace caltest
