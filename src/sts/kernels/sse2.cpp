// The row kernel for the x86-64 baseline: SSE2, which every x86-64
// processor has.  SSSE3's PSHUFB is not part of the baseline, so a block is
// classified with one compare per separator; the values are converted one
// by one.
#include "sts/kernels/kernel_support.hpp"

#if defined(__x86_64__)

#define QUILLROW_KERNEL sse2
#include "sts/kernels/kernel_begin.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(std::countr_zero(x));
  }

  static Masks classify(const char* p) noexcept {
    Masks masks{0, 0};
    for (unsigned i = 0; i < 64; i += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const __m128i lf = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
      const __m128i hits = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t'))),
          _mm_or_si128(_mm_or_si128(lf, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\f'))),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))));
      masks.separators |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << i;
      masks.line_ends |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(lf))} << i;
    }
    return masks;
  }
};

using ValueBatch = NoValueBatch;
using Layouts = NoLayouts;

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/generic/row_kernel.inl"
#include "sts/kernels/kernel_end.hpp"

namespace quillrow::sts::kernels {
extern constinit const RowKernel SSE2{"sse2", 0, KernelChoice::automatic, sse2::decode_lines};
}  // namespace quillrow::sts::kernels

#endif
