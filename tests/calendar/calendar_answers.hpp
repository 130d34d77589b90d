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

// A GetItem answer holding one calendar item whose inside is `item`.
inline std::string GetItemAnswer(const std::string &item)
{
    return conntest::Success("GetItem",
                             "<m:Items><t:CalendarItem>" + item + "</t:CalendarItem></m:Items>");
}

} // namespace caltest
