// Scan of the commonest value field: a body of at most eight bytes made of
// digits and at most one full stop ("1204.55", "-183.613" after its sign).
// The body is read as one word and split without a branch per byte; the
// loop exits of a byte-wise scan, whose trip counts vary from field to
// field, are what a data file's random-looking fields mispredict most.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sts/numeric/decimal_scan.hpp"

namespace quillrow::numeric::detail {

inline constexpr std::uint64_t ZERO_DIGITS = 0x3030303030303030ULL;

// The body's n bytes (1 <= n <= 8) in the low bytes of a word, first byte
// lowest, zero above.  No byte outside [p, p + n) is read: two overlapping
// four-byte loads cover 4..8 bytes, and three single bytes cover 1..3
// (overlapping bytes are equal, so OR-ing them is harmless).
inline std::uint64_t load_short(const char* p, std::size_t n) noexcept {
    if (n >= 4) {
        std::uint32_t first;
        std::uint32_t last;
        std::memcpy(&first, p, 4);
        std::memcpy(&last, p + n - 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            first = __builtin_bswap32(first);
            last = __builtin_bswap32(last);
        }
        return first | (static_cast<std::uint64_t>(last) << (8 * (n - 4)));
    }
    const auto byte = [p](std::size_t i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    };
    return byte(0) | byte(n / 2) | byte(n - 1);
}

// Bit 7 of every byte that is not an ASCII digit, exact up to and including
// the lowest such byte (digits cause no carry or borrow into the next
// byte, so the lowest flag is never a side effect).
inline std::uint64_t non_digit_flags(std::uint64_t w) noexcept {
    return ((w + 0x4646464646464646ULL) | (w - ZERO_DIGITS)) & 0x8080808080808080ULL;
}

// Words of the low k bytes / of the bytes from k up, for 0 <= k <= 8,
// without a shift by 64.
inline std::uint64_t low_bytes_mask(std::size_t k) noexcept {
    return k == 0 ? 0 : ~std::uint64_t{0} >> (64 - 8 * k);
}

// Fills the record for a short plain decimal and returns true; returns
// false, having decided nothing, for any other body.
inline bool scan_short_decimal(const char* p, const char* end,
                               DecimalRecord& record) noexcept {
    const auto n = static_cast<std::size_t>(end - p);
    if (n - 1 >= 8) {  // n == 0 wraps around: only 1..8 pass
        return false;
    }
    std::uint64_t w = load_short(p, n);
    // Bytes past the body read as '0' so that they never count as faults.
    const std::uint64_t padding = ZERO_DIGITS & ~low_bytes_mask(n);
    std::uint64_t flags = non_digit_flags(w | padding);
    std::size_t digits = n;
    std::size_t point = n;  // index of the full stop, n when absent
    if (flags != 0) {
        point = static_cast<std::size_t>(std::countr_zero(flags)) / 8;
        if (((w >> (8 * point)) & 0xFF) != '.') {
            return false;
        }
        // Close the gap: the bytes above the full stop move down by one.
        const std::uint64_t below = low_bytes_mask(point);
        w = (w & below) | ((w >> 8) & ~below);
        --digits;
        if (digits == 0 ||
            non_digit_flags(w | (ZERO_DIGITS & ~low_bytes_mask(digits))) != 0) {
            return false;
        }
    }
    // Leading '0' bytes in front (the low end) make eight digits with the
    // same value.
    const std::size_t pad = 8 - digits;
    w = (w << (8 * pad)) | (ZERO_DIGITS & low_bytes_mask(pad));
    record.mantissa = eight_digits_value(w);
    record.exponent = -static_cast<std::int64_t>(n - digits == 0 ? 0 : n - 1 - point);
    record.many_digits = false;
    record.integer_begin = p;
    record.integer_end = p + point;
    if (point == n) {
        record.fraction_begin = nullptr;
        record.fraction_end = nullptr;
    } else {
        record.fraction_begin = p + point + 1;
        record.fraction_end = end;
    }
    return true;
}

}  // namespace quillrow::numeric::detail
