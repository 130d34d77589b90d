// Days between 1970-01-01 and a date of the proleptic Gregorian calendar,
// for turning EWS and RFC 5322 dates into Unix time without the C
// library's time zone.
#pragma once

#include <cstdint>

namespace qvcommon {

std::int64_t DaysFromCivil(std::int64_t year, int month, int day);

} // namespace qvcommon
