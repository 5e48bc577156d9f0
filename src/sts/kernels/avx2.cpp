// The row kernel for AVX2 (with BMI1, BMI2 and POPCNT): a block is
// classified in two 32-byte halves by one table lookup each; the values
// are converted four at a time, and lines that repeat a layout decoded from
// it, by the AVX2 family's vector operations (avx2_steps.inl).
#include "sts/kernels/kernel_support.hpp"

#if defined(__x86_64__)

#define QUILLROW_KERNEL avx2
#define QUILLROW_KERNEL_TARGET "avx2,bmi,bmi2,popcnt"
#include "sts/kernels/kernel_begin.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(_tzcnt_u64(x));
  }

  static std::uint32_t movemask(__m256i hits) noexcept {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits));
  }

  static Masks classify(const char* p) noexcept {
    const __m256i table = _mm256_setr_epi8(QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE);
    const __m256i lf = _mm256_set1_epi8('\n');
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const std::uint64_t separators =
        movemask(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, low), low)) |
        std::uint64_t{movemask(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, high), high))} << 32;
    const std::uint64_t line_ends =
        movemask(_mm256_cmpeq_epi8(low, lf)) | std::uint64_t{movemask(_mm256_cmpeq_epi8(high, lf))} << 32;
    return {separators, line_ends};
  }
};

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/avx2_steps.inl"
#include "sts/kernels/generic/line_layouts.inl"
#include "sts/kernels/generic/value_batch.inl"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {
using ValueBatch = VectorValueBatch;
using Layouts = LineLayouts;
}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/generic/row_kernel.inl"
#include "sts/kernels/kernel_end.hpp"

namespace quillrow::sts::kernels {
extern constinit const RowKernel AVX2{"avx2", CPU_AVX2, KernelChoice::automatic, wide::avx2::decode_lines};
}  // namespace quillrow::sts::kernels

#endif
