// The row kernels: one per instruction set (kernels/<name>.cpp), each the
// whole walk over the data lines compiled for that instruction set, listed
// in one table, the only list of them.  One kernel is chosen once, at the
// first decoding, from what the processor and the operating system support
// (CPUID and XGETBV).  Builds with the kernel switch (the CMake option
// QUILLROW_KERNEL_SWITCH, on in the test and sanitizer builds only) take the
// kernel named by QUILLROW_ROW_KERNEL instead; a release build reads no
// environment.  A test hook can choose another entry of the same table.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "sts/errors.hpp"
#include "sts/row_decoder.hpp"

namespace quillrow::sts {

// Processor features a kernel needs, as bits.  Each includes the operating
// system's saving of the registers it uses on a context switch.
enum CpuFeature : std::uint32_t {
  CPU_AVX2 = 1u << 0,    // AVX2, BMI1 and BMI2; the YMM state
  CPU_AVX512 = 1u << 1,  // AVX-512 F and BW; the opmask and ZMM state
};

// Whether a kernel is chosen by itself where the machine can run it, or
// only when a test asks for it.
enum class KernelChoice : std::uint8_t { automatic, on_request };

// The signature of decode_data_lines (below).
using DecodeLines = std::optional<FileFault> (*)(std::string_view data, std::uint64_t& line_number,
                                                 std::string_view path, RowBuffers& rows);

// One entry of the table.
struct RowKernel {
  std::string_view name;
  std::uint32_t needs;  // CpuFeature bits
  KernelChoice choice;
  DecodeLines decode_lines;
};

// Every kernel compiled for this processor family, in order of preference.
std::span<const RowKernel* const> row_kernels() noexcept;

// Whether this processor and operating system can run the kernel.
bool kernel_supported(const RowKernel& kernel) noexcept;

#if defined(QUILLROW_KERNEL_SWITCH)
// The kernel switch's choice: the entry named `name` (the value of
// QUILLROW_ROW_KERNEL), if this machine can run it; otherwise an internal
// failure whose text names the kernels it can run.  Release builds have no
// kernel switch, and not a byte of its text.
const RowKernel& row_kernel_named(std::string_view name);
#endif

// The kernel the row decoder uses now, chosen at the first call.  With the
// kernel switch, a QUILLROW_ROW_KERNEL that names no entry, or one this
// machine cannot run, is an internal failure naming the kernels it can run,
// at every call until a test hook chooses one.
const RowKernel& active_row_kernel();

// Test hook: makes the row decoder use `kernel` from now on, so that C++
// tests and fuzzers can run every kernel the machine supports.  Returns
// false, changing nothing, for a kernel the machine cannot run.  The module
// never calls it.
bool use_row_kernel(const RowKernel& kernel) noexcept;

// Test hook: the name of the kernel that last decoded data lines, as that
// kernel's own code reports it (nullptr before any), so that a test can
// check that the entry it chose is the kernel that ran.
const char* row_kernel_last_run() noexcept;

// Where the kernels report their runs (kernels/kernel_support.hpp).
std::atomic<const char*>& kernel_run_report() noexcept;

// Decodes the data lines of `data`, the rest of the file after its header,
// into `rows` with the kernel in use: every line that is not blank (empty,
// or a single CR, before its LF) is one row.  The eleven values of a row
// are appended one by one as they convert, the timestamp once the whole row
// has passed.  `line_number` is the number of the line before `data` and
// counts each line; on a fault it is the faulty line's.  Returns the first
// fault, left to right.  No byte past the end of `data` is loaded.
std::optional<FileFault> decode_data_lines(std::string_view data, std::uint64_t& line_number,
                                           std::string_view path, RowBuffers& rows);

}  // namespace quillrow::sts
