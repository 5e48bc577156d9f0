// Fallback for the rare tokens that Eisel-Lemire cannot settle: compare the
// exact decimal value with a binary32 candidate or its halfway point using
// big integers.
#pragma once

#include <optional>

#include "sts/numeric/decimal_scan.hpp"
#include "sts/numeric/extended_float.hpp"

namespace quillrow::numeric::detail {

// Settles the unsettled approximation f of the record's value.  Returns
// nothing if a big integer would outgrow its fixed capacity, which the
// bounds of BigInt rule out for every token: the caller reports it as a
// defect of its own.
std::optional<ExtendedFloat> digit_comparison(const DecimalRecord& record, ExtendedFloat f) noexcept;

}  // namespace quillrow::numeric::detail
