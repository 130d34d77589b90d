#include "common/civil_date.hpp"

namespace qvcommon {

// Counted in 400-year eras that start on March 1st, so the leap day is
// the last day of its year.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day)
{
    const std::int64_t y = year - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace qvcommon
