#include "sts/numeric/exact_conversion.hpp"

#include "sts/numeric/digit_comparison.hpp"
#include "sts/numeric/eisel_lemire.hpp"

namespace quillrow::numeric::detail {

std::optional<std::uint32_t> convert_beyond_fast_path(const DecimalRecord& record) noexcept {
  ExtendedFloat f = compute_float(record.exponent, record.mantissa);
  // With more than 19 significant digits the value lies between
  // mantissa * 10^q and (mantissa + 1) * 10^q.  If both ends round alike
  // so does the value; otherwise the dropped digits decide.  (The
  // truncated mantissa is below 10^19, so the + 1 cannot wrap.)
  if (record.many_digits && f.settled() && f != compute_float(record.exponent, record.mantissa + 1)) {
    f = compute_unsettled(record.exponent, record.mantissa);
  }
  if (!f.settled()) {
    const auto settled = digit_comparison(record, f);
    if (!settled) {
      return std::nullopt;
    }
    f = *settled;
  }
  return f.bits();
}

}  // namespace quillrow::numeric::detail
