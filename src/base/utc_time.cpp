#include "base/utc_time.h"

#include "base/format.h"

namespace tavo {

std::string utc_text(std::uint64_t filetime) {
  constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
  const std::uint64_t seconds = filetime / kUnitsPerSecond;
  const std::uint64_t day_seconds = seconds % 86'400;
  // Days to a civil date in 400-year cycles, counted from 1600-03-01 so that a leap day ends its
  // year of the count: 1600-03-01 is 306 days before 1601-01-01.
  const std::int64_t days = static_cast<std::int64_t>(seconds / 86'400) + 306;
  const std::int64_t era = days / 146'097;
  const std::int64_t in_era = days - era * 146'097;
  const std::int64_t year_of_era =
      (in_era - in_era / 1'460 + in_era / 36'524 - in_era / 146'096) / 365;
  const std::int64_t day_of_year =
      in_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const std::int64_t month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = 1600 + era * 400 + year_of_era + (month <= 2 ? 1 : 0);
  return format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", year, month, day, day_seconds / 3'600,
                day_seconds / 60 % 60, day_seconds % 60);
}

}  // namespace tavo
