// Fallback for the rare tokens that Eisel-Lemire cannot settle: compare the
// exact decimal value with a binary32 candidate or its halfway point using
// big integers.
#pragma once

#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/extended_float.hpp"

namespace quillrow::numeric::detail {

// Settles the unsettled approximation f of the record's value.
ExtendedFloat digit_comparison(const DecimalRecord& record, ExtendedFloat f) noexcept;

}  // namespace quillrow::numeric::detail
