// The instruction sets a data row's bytes can be classified with, and the
// one that is used.  SSE2 is part of every x86-64 processor; AVX2 and
// AVX-512 can run only where the processor and the operating system support
// them, which is found out once, at run time, from CPUID and XGETBV.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillrow::sts {

enum class BlockPath : std::uint8_t { sse2, avx2, avx512 };

inline constexpr BlockPath BLOCK_PATHS[] = {BlockPath::sse2, BlockPath::avx2, BlockPath::avx512};

std::string_view block_path_name(BlockPath path) noexcept;

// Whether this processor and operating system can run the path.
bool block_path_supported(BlockPath path) noexcept;

// The path used unless a test chose another: AVX2 where supported, else
// SSE2.  AVX-512 is never chosen by itself: on the machines measured so far
// it read files 5-10% slower than AVX2 (bench/README.md), the likely cause
// being the lower clock that 512-bit instructions bring on server cores.
BlockPath preferred_block_path() noexcept;

// The path the row decoder uses now.
BlockPath active_block_path() noexcept;

// Test hook: makes the row decoder use `path` from now on, so that C++
// tests and fuzzers can run every path the machine supports.  Returns false,
// changing nothing, for a path the machine cannot run.  The module never
// calls it.
bool use_block_path(BlockPath path) noexcept;

}  // namespace quillrow::sts
