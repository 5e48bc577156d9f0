// Every finite binary32 value, printed shortest-round-trip and as %.9e,
// must convert back to the same bits.  Takes minutes: runs only with
// QUILLROW_LONG_TESTS=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "sts/numeric/parse.hpp"

namespace {

using quillrow::numeric::parse_f32_token;

bool long_tests_enabled() {
  const char* v = std::getenv("QUILLROW_LONG_TESTS");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

TEST(ParseF32TokenExhaustive, EveryFiniteValueRoundTrips) {
  if (!long_tests_enabled()) {
    GTEST_SKIP() << "set QUILLROW_LONG_TESTS=1 to run all 2^32 bit patterns";
  }
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  constexpr std::uint64_t TOTAL = std::uint64_t{1} << 32;
  std::atomic<std::uint64_t> failures{0};
  std::atomic<std::uint64_t> first_failure{TOTAL};
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      char text[64];
      for (std::uint64_t i = t; i < TOTAL; i += threads) {
        const auto bits = static_cast<std::uint32_t>(i);
        if ((bits & 0x7F800000u) == 0x7F800000u) {
          continue;  // infinities and NaNs
        }
        const float f = std::bit_cast<float>(bits);
        // Shortest round-trip, then %.9e (to_chars matches printf).
        auto r = std::to_chars(text, text + sizeof text, f);
        const auto a = parse_f32_token(std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
        r = std::to_chars(text, text + sizeof text, f, std::chars_format::scientific, 9);
        const auto b = parse_f32_token(std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
        if (a != bits || b != bits) {
          if (failures.fetch_add(1) == 0) {
            first_failure = i;
          }
        }
      }
    });
  }
  for (std::thread& th : pool) {
    th.join();
  }
  if (failures != 0) {
    const auto bits = static_cast<std::uint32_t>(first_failure.load());
    char text[64];
    *std::to_chars(text, text + sizeof text - 1, std::bit_cast<float>(bits)).ptr = '\0';
    FAIL() << failures.load() << " patterns failed; first 0x" << std::hex << bits << " printed as \"" << text
           << "\"";
  }
}

}  // namespace
