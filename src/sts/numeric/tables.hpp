// Constant tables of the binary32 conversion.  The small ones are written
// out here; POWER_OF_FIVE_128 is generated (gen_power_of_five_128.py writes
// power_of_five_128.cpp).  tests/test_power_of_five_table.py recomputes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillrow::numeric::detail {

// 10^0 .. 10^10: every one has at most 24 significant bits after its
// trailing zero bits are removed (5^10 < 2^24), so each is exact in binary32
// and the fast path's single multiplication or division rounds only once.
inline constexpr float POWERS_OF_TEN_F32[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                                1e6f, 1e7f, 1e8f, 1e9f, 1e10f};

// 10^0 .. 10^22: 5^22 < 2^53, so each is exact in binary64.
inline constexpr double POWERS_OF_TEN_F64[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// 10^0 .. 10^19, all below 2^64.
inline constexpr std::uint64_t POWERS_OF_TEN_U64[20] = {1ULL,
                                                        10ULL,
                                                        100ULL,
                                                        1000ULL,
                                                        10000ULL,
                                                        100000ULL,
                                                        1000000ULL,
                                                        10000000ULL,
                                                        100000000ULL,
                                                        1000000000ULL,
                                                        10000000000ULL,
                                                        100000000000ULL,
                                                        1000000000000ULL,
                                                        10000000000000ULL,
                                                        100000000000000ULL,
                                                        1000000000000000ULL,
                                                        10000000000000000ULL,
                                                        100000000000000000ULL,
                                                        1000000000000000000ULL,
                                                        10000000000000000000ULL};

// 5^0 .. 5^27; 5^27 is the largest power of five below 2^64.
inline constexpr std::uint64_t POWERS_OF_FIVE_U64[28] = {1ULL,
                                                         5ULL,
                                                         25ULL,
                                                         125ULL,
                                                         625ULL,
                                                         3125ULL,
                                                         15625ULL,
                                                         78125ULL,
                                                         390625ULL,
                                                         1953125ULL,
                                                         9765625ULL,
                                                         48828125ULL,
                                                         244140625ULL,
                                                         1220703125ULL,
                                                         6103515625ULL,
                                                         30517578125ULL,
                                                         152587890625ULL,
                                                         762939453125ULL,
                                                         3814697265625ULL,
                                                         19073486328125ULL,
                                                         95367431640625ULL,
                                                         476837158203125ULL,
                                                         2384185791015625ULL,
                                                         11920928955078125ULL,
                                                         59604644775390625ULL,
                                                         298023223876953125ULL,
                                                         1490116119384765625ULL,
                                                         7450580596923828125ULL};

// 5^135 (314 bits), least significant word first: five 27-steps of the
// big-integer power in one long multiplication.
inline constexpr std::uint64_t POWER_OF_FIVE_135[5] = {0x13A1D71CFF1B172DULL, 0x7F682D3DEFA07617ULL,
                                                       0x3F0131E7FF8C90C0ULL, 0x917B01773FDCB9FEULL,
                                                       0x02C06B9D16C407A7ULL};

struct U128Words {
  std::uint64_t high;
  std::uint64_t low;
};

inline constexpr int POWER_OF_FIVE_128_MIN_Q = -342;
inline constexpr int POWER_OF_FIVE_128_MAX_Q = 308;
inline constexpr std::size_t POWER_OF_FIVE_128_SIZE = 651;

// T(q) at index q + 342; see gen_power_of_five_128.py for the definition.
extern const U128Words POWER_OF_FIVE_128[POWER_OF_FIVE_128_SIZE];

}  // namespace quillrow::numeric::detail
