// The stages after the fast path, out of line: Eisel-Lemire, then the
// digit comparison when Eisel-Lemire cannot settle.
#pragma once

#include <cstdint>
#include <optional>

#include "sts/numeric/decimal_scan.hpp"

namespace quillrow::numeric::detail {

// Magnitude bits of the binary32 nearest to the record's value, or nothing
// if the digit comparison's big integers outgrew their capacity (a defect:
// no token can make them).
std::optional<std::uint32_t> convert_beyond_fast_path(const DecimalRecord& record) noexcept;

}  // namespace quillrow::numeric::detail
