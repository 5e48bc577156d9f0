#include "sts/block_path.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace quillrow::sts {

namespace {

struct Support {
  bool avx2;
  bool avx512;
};

#if defined(__x86_64__)
std::uint64_t extended_control_register() noexcept {
  std::uint32_t low;
  std::uint32_t high;
  __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (std::uint64_t{high} << 32) | low;
}

// A vector width needs the instructions (CPUID) and an operating system
// that saves the registers on a context switch (XCR0: SSE and AVX state
// for AVX2; opmask and both upper ZMM halves as well for AVX-512).
Support detect() noexcept {
  unsigned a;
  unsigned b;
  unsigned c;
  unsigned d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return {};
  constexpr unsigned OSXSAVE = 1u << 27;
  constexpr unsigned AVX = 1u << 28;
  if ((c & OSXSAVE) == 0 || (c & AVX) == 0) return {};
  const std::uint64_t xcr0 = extended_control_register();
  if ((xcr0 & 0x6) != 0x6) return {};
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return {};
  constexpr unsigned BMI1 = 1u << 3;
  constexpr unsigned AVX2 = 1u << 5;
  constexpr unsigned BMI2 = 1u << 8;
  constexpr unsigned AVX512F = 1u << 16;
  constexpr unsigned AVX512BW = 1u << 30;
  const bool avx2 = (b & (AVX2 | BMI1 | BMI2)) == (AVX2 | BMI1 | BMI2);
  const bool avx512 = avx2 && (b & (AVX512F | AVX512BW)) == (AVX512F | AVX512BW) && (xcr0 & 0xE6) == 0xE6;
  return {avx2, avx512};
}
#else
Support detect() noexcept {
  return {};
}
#endif

const Support& support() noexcept {
  static const Support detected = detect();
  return detected;
}

}  // namespace

std::string_view block_path_name(BlockPath path) noexcept {
  switch (path) {
    case BlockPath::avx2: return "avx2";
    case BlockPath::avx512: return "avx512";
    case BlockPath::sse2: break;
  }
  return "sse2";
}

bool block_path_supported(BlockPath path) noexcept {
  switch (path) {
    case BlockPath::avx2: return support().avx2;
    case BlockPath::avx512: return support().avx512;
    case BlockPath::sse2: break;
  }
  return true;
}

BlockPath preferred_block_path() noexcept {
  return support().avx2 ? BlockPath::avx2 : BlockPath::sse2;
}

}  // namespace quillrow::sts
