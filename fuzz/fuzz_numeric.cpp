// libFuzzer target for the two field conversions.  The input is copied to a
// heap buffer of exactly its size, so AddressSanitizer reports any read
// past the token (the eight-byte words included).  Accepted value tokens
// must agree bit for bit with glibc's strtof; tokens that strtof reads
// completely in the shared grammar must be accepted.
#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "sts/numeric/parse.hpp"

namespace {

[[noreturn]] void report(const char* what, std::string_view token, std::uint32_t expected,
                         std::uint32_t actual) {
  std::fprintf(stderr, "%s: token \"%.*s\" expected 0x%08X actual 0x%08X\n", what,
               static_cast<int>(token.size()), token.data(), expected, actual);
  std::abort();
}

bool is_sign(char c) {
  return c == '+' || c == '-';
}

// strtof also reads hexadecimal numbers, nan(...) payloads and leading
// blanks; none of them belongs to the token grammar.
bool strtof_only_syntax(std::string_view token) {
  for (char c : token) {
    if (c == 'x' || c == 'X' || c == '(') {
      return true;
    }
  }
  return token.empty() || std::isspace(static_cast<unsigned char>(token[0])) != 0;
}

void check_f32(std::string_view token) {
  const auto actual = quillrow::numeric::parse_f32_token(token);
  if (std::memchr(token.data(), '\0', token.size()) != nullptr) {
    if (actual) {
      report("accepted a NUL byte", token, 0, *actual);
    }
    return;
  }
  std::unique_ptr<char[]> text(new char[token.size() + 1]);
  std::memcpy(text.get(), token.data(), token.size());
  text[token.size()] = '\0';
  char* end = nullptr;
  const float reference = std::strtof(text.get(), &end);
  const bool strtof_read_all = end == text.get() + token.size() && !token.empty();
  const auto expected = std::bit_cast<std::uint32_t>(reference);

  if (!actual) {
    if (strtof_read_all && !strtof_only_syntax(token)) {
      report("rejected a number strtof reads", token, expected, 0);
    }
    return;
  }
  if (!strtof_read_all) {
    report("accepted a token strtof does not read", token, expected, *actual);
  }
  if (reference != reference) {
    // NaN: quiet NaN with the token's own sign, whatever strtof's payload.
    const std::uint32_t nan_bits = token[0] == '-' ? 0xFFC00000u : 0x7FC00000u;
    if (*actual != nan_bits) {
      report("wrong NaN", token, nan_bits, *actual);
    }
    return;
  }
  if (*actual != expected) {
    report("bits differ from strtof", token, expected, *actual);
  }
}

void check_i32(std::string_view token) {
  const auto actual = quillrow::numeric::parse_i32_token(token);
  // Reference: sign, then only digits, value within int32, by a wide
  // accumulation that saturates.
  std::size_t i = 0;
  bool negative = false;
  if (i < token.size() && is_sign(token[i])) {
    negative = token[i] == '-';
    ++i;
  }
  bool valid = i < token.size();
  std::int64_t magnitude = 0;
  for (; i < token.size() && valid; ++i) {
    const unsigned d = static_cast<unsigned char>(token[i]) - unsigned{'0'};
    valid = d <= 9;
    magnitude = std::min<std::int64_t>(magnitude * 10 + d, std::int64_t{1} << 40);
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  valid = valid && value >= INT32_MIN && value <= INT32_MAX;
  if (valid != actual.has_value() || (valid && *actual != value)) {
    report("integer mismatch", token, static_cast<std::uint32_t>(value),
           actual ? static_cast<std::uint32_t>(*actual) : 0xFFFFFFFFu);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // new char[0] is a distinct zero-sized allocation: any read is caught.
  std::unique_ptr<char[]> exact(new char[size]);
  if (size != 0) {
    std::memcpy(exact.get(), data, size);
  }
  const std::string_view token(exact.get(), size);
  check_f32(token);
  check_i32(token);
  return 0;
}
