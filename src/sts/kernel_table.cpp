#include "sts/kernel_table.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#if defined(QUILLROW_KERNEL_SWITCH)
#include <cstdlib>
#endif

#include "support/internal_failure.hpp"

namespace quillrow::sts {

// Each kernel's entry, defined in kernels/<name>.cpp.
namespace kernels {
#if defined(__x86_64__)
extern const RowKernel AVX2;
extern const RowKernel SSE2;
extern const RowKernel AVX512;
#endif
extern const RowKernel PORTABLE;
}  // namespace kernels

namespace {

// In order of preference: the first automatic entry the machine can run is
// chosen.  AVX-512 is never chosen by itself: it classifies a block with
// one 64-byte lookup instead of two 32-byte ones, but reads files slower
// than AVX2 (docs/performance-log.md), the likely cause being the lower
// clock that 512-bit instructions bring on server cores.  On x86-64 the
// portable kernel is never chosen (SSE2 always runs) but is compiled and
// tested all the same, as the kernel of other processors.
constexpr const RowKernel* ROW_KERNELS[] = {
#if defined(__x86_64__)
    &kernels::AVX2,
    &kernels::SSE2,
    &kernels::AVX512,
#endif
    &kernels::PORTABLE,
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
std::uint32_t detect() noexcept {
  unsigned a;
  unsigned b;
  unsigned c;
  unsigned d;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return 0;
  constexpr unsigned OSXSAVE = 1u << 27;
  constexpr unsigned AVX = 1u << 28;
  if ((c & OSXSAVE) == 0 || (c & AVX) == 0) return 0;
  const std::uint64_t xcr0 = extended_control_register();
  if ((xcr0 & 0x6) != 0x6) return 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return 0;
  constexpr unsigned BMI1 = 1u << 3;
  constexpr unsigned AVX2 = 1u << 5;
  constexpr unsigned BMI2 = 1u << 8;
  constexpr unsigned AVX512F = 1u << 16;
  constexpr unsigned AVX512BW = 1u << 30;
  const bool avx2 = (b & (AVX2 | BMI1 | BMI2)) == (AVX2 | BMI1 | BMI2);
  const bool avx512 = avx2 && (b & (AVX512F | AVX512BW)) == (AVX512F | AVX512BW) && (xcr0 & 0xE6) == 0xE6;
  return (avx2 ? CPU_AVX2 : 0u) | (avx512 ? CPU_AVX512 : 0u);
}
#else
std::uint32_t detect() noexcept {
  return 0;
}
#endif

std::uint32_t supported_features() noexcept {
  static const std::uint32_t detected = detect();
  return detected;
}

const RowKernel* choose_by_features() noexcept {
  for (const RowKernel* kernel : ROW_KERNELS) {
    if (kernel->choice == KernelChoice::automatic && kernel_supported(*kernel)) return kernel;
  }
  return &kernels::PORTABLE;
}

#if defined(QUILLROW_KERNEL_SWITCH)
// The kernel QUILLROW_ROW_KERNEL names, in a build with the kernel switch;
// nullptr when it is unset or empty.
const RowKernel* choose_by_switch() {
  const char* const wanted = std::getenv("QUILLROW_ROW_KERNEL");
  if (wanted == nullptr || *wanted == '\0') return nullptr;
  return &row_kernel_named(wanted);
}
#endif

const RowKernel* choose() {
#if defined(QUILLROW_KERNEL_SWITCH)
  if (const RowKernel* named = choose_by_switch()) return named;
#endif
  return choose_by_features();
}

// The kernel in use: chosen at the first decoding, unless a test chose one.
std::atomic<const RowKernel*> active_kernel{nullptr};

std::atomic<const char*> last_run{nullptr};

}  // namespace

std::span<const RowKernel* const> row_kernels() noexcept {
  return ROW_KERNELS;
}

bool kernel_supported(const RowKernel& kernel) noexcept {
  return (supported_features() & kernel.needs) == kernel.needs;
}

#if defined(QUILLROW_KERNEL_SWITCH)
// A name that is no entry, or an entry this machine cannot run, fails: a
// silent fallback would let a test run on another kernel than the one it
// names.
const RowKernel& row_kernel_named(std::string_view name) {
  const RowKernel* named = nullptr;
  Text runnable;
  for (const RowKernel* kernel : ROW_KERNELS) {
    if (kernel->name == name) named = kernel;
    if (!kernel_supported(*kernel)) continue;
    if (!runnable.empty()) runnable += ", ";
    runnable += kernel->name;
  }
  if (named != nullptr && kernel_supported(*named)) return *named;
  internal_failure(
      concat("QUILLROW_ROW_KERNEL=", name, ": ",
             named == nullptr ? "no row kernel has that name" : "this machine cannot run that row kernel",
             "; it can run ", runnable));
}
#endif

const RowKernel& active_row_kernel() {
  const RowKernel* kernel = active_kernel.load(std::memory_order_relaxed);
  if (kernel == nullptr) [[unlikely]] {
    // Threads that meet here choose the same kernel.
    kernel = choose();
    active_kernel.store(kernel, std::memory_order_relaxed);
  }
  return *kernel;
}

bool use_row_kernel(const RowKernel& kernel) noexcept {
  if (!kernel_supported(kernel)) return false;
  active_kernel.store(&kernel, std::memory_order_relaxed);
  return true;
}

const char* row_kernel_last_run() noexcept {
  return last_run.load(std::memory_order_relaxed);
}

std::atomic<const char*>& kernel_run_report() noexcept {
  return last_run;
}

std::optional<FileFault> decode_data_lines(std::string_view data, std::uint64_t& line_number,
                                           std::string_view path, RowBuffers& rows) {
  return active_row_kernel().decode_lines(data, line_number, path, rows);
}

}  // namespace quillrow::sts
