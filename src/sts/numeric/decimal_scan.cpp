#include "sts/numeric/decimal_scan.hpp"

namespace quillrow::numeric::detail {

namespace {

const char* skip_zeros(const char* p, const char* end) noexcept {
  while (p != end && *p == '0') {
    ++p;
  }
  return p;
}

}  // namespace

// More than 19 digits were scanned and the mantissa wrapped modulo 2^64.
// Leading zeros carry no value: if all but 19 digits are leading zeros the
// scanned mantissa is exact after all.  Otherwise keep the first 19
// significant digits and move the decimal point accordingly; the fallback
// rereads the rest from the digit views.
void truncate_to_19_digits(DecimalRecord& record, std::int64_t x) noexcept {
  const char* p = skip_zeros(record.integer_begin, record.integer_end);
  std::int64_t leading_zeros = p - record.integer_begin;
  if (p == record.integer_end && record.fraction_begin != nullptr) {
    leading_zeros += skip_zeros(record.fraction_begin, record.fraction_end) - record.fraction_begin;
  }
  const std::int64_t digit_count =
      (record.integer_end - record.integer_begin) + (record.fraction_end - record.fraction_begin);
  if (digit_count - 19 <= leading_zeros) {
    return;
  }
  record.many_digits = true;

  std::uint64_t mantissa = 0;
  int taken = 0;
  for (; p != record.integer_end && taken < 19; ++p, ++taken) {
    mantissa = mantissa * 10 + digit_value(*p);
  }
  if (taken == 19) {
    record.exponent = x + (record.integer_end - p);
  } else {
    // At least 20 significant digits exist, so the fraction is present
    // and supplies the missing ones.
    const char* f = record.fraction_begin;
    if (taken == 0) {
      f = skip_zeros(f, record.fraction_end);
    }
    for (; f != record.fraction_end && taken < 19; ++f, ++taken) {
      mantissa = mantissa * 10 + digit_value(*f);
    }
    record.exponent = x - (f - record.fraction_begin);
  }
  record.mantissa = mantissa;
}

}  // namespace quillrow::numeric::detail
