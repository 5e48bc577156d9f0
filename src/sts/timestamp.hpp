// Milliseconds since 1970-01-01T00:00:00 from the six time fields of a row.
#pragma once

#include <cstdint>

namespace quillrow::sts {

// The day count follows the proleptic Gregorian calendar for years 1 and
// later, computed in 32-bit two's-complement arithmetic that wraps (so years
// beyond about +-5.8 million wrap) with divisions truncating toward zero.
// Unsigned arithmetic gives the wrap without signed overflow; converting
// back to int32_t is modular since C++20.  No field is range-checked: a day
// of year 0 or an hour of 24 simply folds into the neighbouring day.
//
// day_ms gives the milliseconds of the day's start; timestamp_ms adds the
// time of day.  A reader may keep day_ms for a run of rows of one day.
constexpr std::int64_t day_ms(std::int32_t year, std::int32_t doy) noexcept {
  const auto uyear = static_cast<std::uint32_t>(year);
  const auto y1 = static_cast<std::int32_t>(uyear - 1u);
  // y1 is never divided by -1, so the truncating divisions cannot overflow.
  const std::uint32_t days = uyear * 365u + static_cast<std::uint32_t>(y1 / 4) -
                             static_cast<std::uint32_t>(y1 / 100) + static_cast<std::uint32_t>(y1 / 400) +
                             static_cast<std::uint32_t>(doy) - 719528u;
  // |days| < 2^31, so the product cannot overflow.
  return std::int64_t{static_cast<std::int32_t>(days)} * 86400000;
}

// |day_ms| < 2^31 * 86400000 < 2^58 and each further term is below 2^53,
// so the sum cannot overflow.
constexpr std::int64_t timestamp_ms(std::int64_t day, std::int32_t hour, std::int32_t minute,
                                    std::int32_t second, std::int32_t millisecond) noexcept {
  return day + std::int64_t{hour} * 3600000 + std::int64_t{minute} * 60000 + std::int64_t{second} * 1000 +
         std::int64_t{millisecond};
}

constexpr std::int64_t timestamp_ms(std::int32_t year, std::int32_t doy, std::int32_t hour,
                                    std::int32_t minute, std::int32_t second,
                                    std::int32_t millisecond) noexcept {
  return timestamp_ms(day_ms(year, doy), hour, minute, second, millisecond);
}

// The start of the last row's day, kept while rows stay on that day.
struct DayCache {
  std::int32_t year = 1970;
  std::int32_t doy = 1;
  std::int64_t start = 0;

  std::int64_t day_start(std::int32_t new_year, std::int32_t new_doy) noexcept {
    if (new_year != year || new_doy != doy) [[unlikely]] {
      year = new_year;
      doy = new_doy;
      start = day_ms(year, doy);
    }
    return start;
  }
};

}  // namespace quillrow::sts
