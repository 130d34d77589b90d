// Calendar answers for the readers: the files of tests/data/calendar (or
// answers built here) as the transport stores them, one tag per line; and
// the exceptions of a series record for the writers.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "qv/qvcom.h"
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

// Adds an exception to the series `msg`: kind 0 moves the occurrence that
// started at `original`, kind 1 deletes it.
inline void AddBreakout(qv_message &msg, int kind, qv_filetime original, qv_filetime start = 0,
                        qv_filetime end = 0)
{
    qv_breakout *b = com_AllocBreakout(&msg);
    ASSERT_NE(b, nullptr);
    b->kind = kind, b->original_start = original, b->start = start, b->end = end;
    ++msg.breakout_count;
}

} // namespace caltest
