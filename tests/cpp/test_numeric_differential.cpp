// Seeded differential test against glibc's strtof, which rounds correctly.
// The tokens are drawn so that every stage of the conversion is reached:
// fast path, Eisel-Lemire, the many-digits check and the big-integer digit
// comparison, around every boundary where rounding is delicate.
#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "sts/numeric/parse.hpp"

namespace {

using quillrow::numeric::parse_f32_token;
using quillrow::numeric::parse_i32_token;

constexpr std::uint64_t SEED = 0x5157'4C52'4F57'0003ULL;
constexpr int TOKEN_COUNT = 1'000'000;

class TokenSource {
 public:
  explicit TokenSource(std::uint64_t seed) : rng_(seed) {}

  std::string next(int kind) {
    std::string t;
    switch (kind) {
      case 0: t = typical_field(); break;
      case 1: t = printed_float(random_finite_float()); break;
      case 2: t = long_digit_string(); break;
      case 3: t = halfway_point(random_finite_float()); break;
      case 4: t = subnormal(); break;
      case 5: t = near_overflow(); break;
      case 6: t = with_exponent(); break;
      default: t = halfway_point(random_subnormal_or_tiny()); break;
    }
    if (chance(8)) {
      t = with_leading_zeros(t);
    }
    if (chance(4)) {
      t.insert(0, chance(2) ? "-" : "+");
    }
    return t;
  }

  static constexpr int KINDS = 8;

 private:
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }
  bool chance(std::uint64_t one_in) { return below(one_in) == 0; }
  char digit() { return static_cast<char>('0' + below(10)); }
  std::string digits(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
      s += digit();
    return s;
  }

  // What an instrument table holds: 3 to 8 significant digits, sometimes
  // up to 11, a decimal point somewhere in the middle.
  std::string typical_field() {
    const std::size_t n = chance(10) ? 9 + below(3) : 1 + below(8);
    const std::size_t point = below(n + 1);
    std::string s = digits(n);
    s.insert(point, ".");
    if (s[0] == '.' && chance(2)) s.insert(0, "0");
    return s;
  }

  float random_finite_float() {
    for (;;) {
      const auto bits = static_cast<std::uint32_t>(rng_()) & 0x7FFFFFFFu;
      if (bits < 0x7F800000u) return std::bit_cast<float>(bits);
    }
  }

  float random_subnormal_or_tiny() {
    const auto bits = static_cast<std::uint32_t>(below(0x01000000));
    return std::bit_cast<float>(bits);
  }

  // Shortest-ish and longer printings of a binary32 value, through double
  // so that 10 to 17 digits give tokens near but not on the value.
  std::string printed_float(float f) {
    char text[64];
    const int precision = 1 + static_cast<int>(below(17));
    if (chance(2)) {
      std::snprintf(text, sizeof text, "%.*e", precision, static_cast<double>(f));
    } else {
      std::snprintf(text, sizeof text, "%.*g", precision, static_cast<double>(f));
    }
    return text;
  }

  // 19, 20, 21 or many more digits with the decimal point anywhere and an
  // exponent, covering the many-digits check and the digit comparison.
  std::string long_digit_string() {
    static constexpr std::size_t lengths[] = {19, 20, 21, 25, 40, 41, 60, 115, 130};
    std::size_t n = lengths[below(std::size(lengths))];
    if (chance(3)) n = 19 + below(100);
    std::string s = digits(n);
    if (s[0] == '0') s[0] = '1';
    if (chance(3)) {
      // A run of zeros after the leading digits: truncation-sensitive.
      const std::size_t start = 1 + below(n - 1);
      for (std::size_t i = start; i < n; ++i)
        s[i] = '0';
      if (chance(2)) s[n - 1] = '1';
    }
    s.insert(below(n + 1), ".");
    if (chance(4)) {
      // Pure fraction: leading fraction zeros before the significant digits.
      s = "0." + std::string(below(50), '0') + digits(n);
    }
    const long e = static_cast<long>(below(121)) - 70 - static_cast<long>(n) / 2;
    return s + "e" + std::to_string(e);
  }

  // The exact midpoint between f and the next binary32 value, written in
  // full, then nudged below or above in its last digit or far beyond it.
  std::string halfway_point(float f) {
    if (std::bit_cast<std::uint32_t>(f) >= 0x7F7FFFFFu) {
      f = std::bit_cast<float>(0x7F7FFFFEu);
    }
    const double lo = f;
    const double hi = std::nextafter(f, std::numeric_limits<float>::infinity());
    const double mid = (lo + hi) / 2;  // exact: needs 25 significand bits
    char text[256];
    std::snprintf(text, sizeof text, "%.160e", mid);
    std::string s = text;
    const std::size_t e_pos = s.find('e');
    std::string mantissa = s.substr(0, e_pos);
    const std::string exponent = s.substr(e_pos);
    while (mantissa.back() == '0')
      mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
    switch (below(5)) {
      case 0: break;  // exactly halfway
      case 4:         // cut to 20 or more digits: below, but the first 19
                      // digits still straddle the midpoint
        if (mantissa.size() > 22) {
          mantissa.resize(22 + below(mantissa.size() - 22));
        }
        break;
      case 1:  // just above
        if (mantissa.find('.') == std::string::npos) mantissa += ".";
        mantissa += std::string(below(60), '0') + "1";
        break;
      case 2: {  // just below: lower the last non-zero digit, pad with nines
        std::size_t i = mantissa.size() - 1;
        if (mantissa[i] == '.') --i;
        mantissa[i] = static_cast<char>(mantissa[i] - 1);
        if (mantissa.find('.') == std::string::npos) mantissa += ".";
        mantissa += std::string(below(60), '9');
        break;
      }
      default:  // exactly halfway followed by many zeros
        if (mantissa.find('.') == std::string::npos) mantissa += ".";
        mantissa += std::string(below(200), '0');
        break;
    }
    return mantissa + exponent;
  }

  std::string subnormal() {
    if (chance(2)) {
      return printed_float(random_subnormal_or_tiny());
    }
    // Decimal values between 1e-47 and 1e-37 with short and long mantissas.
    const std::size_t n = 1 + below(chance(2) ? 9 : 40);
    std::string s = digits(n);
    if (s[0] == '0') s[0] = '7';
    const long e = -47 + static_cast<long>(below(11)) - static_cast<long>(n - 1);
    return s + "e" + std::to_string(e);
  }

  // Around the largest finite value and the overflow threshold
  // 2^128 - 2^103 = 340282356779733661637539395458142568448.
  std::string near_overflow() {
    static const std::string threshold = "340282356779733661637539395458142568448";
    switch (below(3)) {
      case 0: {
        std::string s = "3.402823" + digits(1 + below(12));
        return s + "e38";
      }
      case 1: {
        std::string s = threshold;
        const std::size_t i = 10 + below(s.size() - 10);
        s[i] = digit();
        return s;
      }
      default: {
        std::string s = threshold;
        if (chance(2)) return s + "." + std::string(below(100), '0') + "1";
        return "34028235677973366163753939545814256844" + digits(1) + "." + digits(below(40));
      }
    }
  }

  std::string with_exponent() {
    std::string s = digits(1 + below(12));
    if (chance(2)) s.insert(below(s.size() + 1), ".");
    const long e = static_cast<long>(below(121)) - 70;
    const char* letter = chance(2) ? "e" : "E";
    std::string sign = e < 0 ? "-" : (chance(2) ? "+" : "");
    return s + letter + sign + std::to_string(std::labs(e));
  }

  std::string with_leading_zeros(const std::string& t) {
    std::size_t start = 0;
    if (start < t.size() && (t[0] == '+' || t[0] == '-')) ++start;
    std::string s = t;
    s.insert(start, std::string(1 + below(40), '0'));
    return s;
  }

  std::mt19937_64 rng_;
};

std::uint32_t strtof_bits(const std::string& token, bool& consumed_all) {
  char* end = nullptr;
  const float f = std::strtof(token.c_str(), &end);
  consumed_all = end == token.c_str() + token.size();
  return std::bit_cast<std::uint32_t>(f);
}

TEST(ParseF32Token, AgreesWithStrtof) {
  TokenSource source(SEED);
  int mismatches = 0;
  int counts[TokenSource::KINDS] = {};
  for (int i = 0; i < TOKEN_COUNT; ++i) {
    const int kind = i % TokenSource::KINDS;
    const std::string token = source.next(kind);
    bool consumed_all = false;
    const std::uint32_t expected = strtof_bits(token, consumed_all);
    ASSERT_TRUE(consumed_all) << "generator produced a non-number: " << token;
    const auto actual = parse_f32_token(token);
    ++counts[kind];
    if (!actual || *actual != expected) {
      char line[64];
      std::snprintf(line, sizeof line, "expected 0x%08X, got ", expected);
      ADD_FAILURE() << "token \"" << token << "\": " << line
                    << (actual ? std::to_string(*actual) : std::string("rejected"))
                    << (actual ? [&] {
                         char hex[16];
                         std::snprintf(hex, sizeof hex, " (0x%08X)", *actual);
                         return std::string(hex);
                       }()
                               : std::string());
      if (++mismatches >= 20) {
        FAIL() << "stopping after 20 mismatches";
      }
    }
  }
}

// Every token of up to six bytes over an alphabet of digits, full stop,
// exponent letter and signs: covers the one-word scan of short bodies (the
// full stop at every position, two full stops, an exponent inside the
// word) and its hand-over to the byte-wise scan.  On this alphabet the
// token grammar and strtof's agree, so strtof decides acceptance too.
TEST(ParseF32Token, ShortTokensAgreeWithStrtof) {
  static constexpr char alphabet[] = "0159.e+-";
  constexpr std::size_t letters = sizeof alphabet - 1;
  std::size_t checked = 0;
  for (std::size_t length = 1; length <= 6; ++length) {
    std::size_t combinations = 1;
    for (std::size_t i = 0; i < length; ++i)
      combinations *= letters;
    std::string token(length, '0');
    for (std::size_t code = 0; code < combinations; ++code) {
      std::size_t c = code;
      for (std::size_t i = 0; i < length; ++i, c /= letters)
        token[i] = alphabet[c % letters];
      bool consumed_all = false;
      const std::uint32_t expected = strtof_bits(token, consumed_all);
      const auto actual = parse_f32_token(token);
      ++checked;
      if (consumed_all) {
        ASSERT_EQ(actual, expected) << "token \"" << token << "\"";
      } else {
        ASSERT_EQ(actual, std::nullopt) << "token \"" << token << "\" must be rejected";
      }
    }
  }
  EXPECT_EQ(checked, 299592u);
}

// Bodies of 7 to 17 bytes around the switch from one word to two and past
// it: mostly digits with the full stop at every position, and now and then
// a second full stop, an exponent or a sign inside either word.
TEST(ParseF32Token, TwoWordTokensAgreeWithStrtof) {
  std::mt19937_64 rng(SEED + 2);
  static constexpr char rare[] = ".e-+x";
  for (int i = 0; i < 300'000; ++i) {
    const std::size_t length = 7 + rng() % 11;
    std::string token(length, '0');
    for (char& c : token)
      c = static_cast<char>('0' + rng() % 10);
    const std::size_t point = rng() % (length + 1);
    if (point < length) token[point] = '.';
    if (rng() % 8 == 0) token[rng() % length] = rare[rng() % (sizeof rare - 1)];
    if (rng() % 4 == 0) token.insert(0, "-");
    bool consumed_all = false;
    const std::uint32_t expected = strtof_bits(token, consumed_all);
    const auto actual = parse_f32_token(token);
    const bool hex = token.find('x') != std::string::npos;
    if (consumed_all && !hex) {
      ASSERT_EQ(actual, expected) << "token \"" << token << "\"";
    } else if (!consumed_all) {
      ASSERT_EQ(actual, std::nullopt) << "token \"" << token << "\" must be rejected";
    }
  }
}

// The exponent form as %e writes it, "[-]d.ddddddddde+dd", with 0 to 17
// fraction digits around the one-word / two-word switch, the full stop
// moved or missing now and then, two-digit exponents from -60 to +49 that
// reach subnormals, overflow and the ties of the fast path, and now and
// then one byte replaced to hit every check of the exponent bytes.
TEST(ParseF32Token, ExponentFormAgreesWithStrtof) {
  std::mt19937_64 rng(SEED + 3);
  static constexpr char rare[] = ".eE+-x0";
  for (int i = 0; i < 300'000; ++i) {
    std::string token(2 + rng() % 18, '0');
    for (char& c : token)
      c = static_cast<char>('0' + rng() % 10);
    token[rng() % 8 == 0 ? rng() % token.size() : 1] = '.';
    if (rng() % 16 == 0) token.erase(1, 1);
    const long e = static_cast<long>(rng() % 110) - 60;
    char exponent[8];
    std::snprintf(exponent, sizeof exponent, "%c%c%02ld", rng() % 4 == 0 ? 'E' : 'e', e < 0 ? '-' : '+',
                  std::labs(e));
    token += exponent;
    if (rng() % 8 == 0) token[rng() % token.size()] = rare[rng() % (sizeof rare - 1)];
    if (rng() % 2 == 0) token.insert(0, "-");
    bool consumed_all = false;
    const std::uint32_t expected = strtof_bits(token, consumed_all);
    const auto actual = parse_f32_token(token);
    if (consumed_all && token.find('x') == std::string::npos) {
      ASSERT_EQ(actual, expected) << "token \"" << token << "\"";
    } else if (!consumed_all) {
      ASSERT_EQ(actual, std::nullopt) << "token \"" << token << "\" must be rejected";
    }
  }
}

// Integer fields against a reference built on strtoll, over random digit
// strings of 1 to 14 digits with and without sign and leading zeros.
TEST(ParseI32Token, AgreesWithStrtoll) {
  std::mt19937_64 rng(SEED + 1);
  for (int i = 0; i < 200'000; ++i) {
    std::string token;
    const auto sign = rng() % 3;
    if (sign == 1) token += '-';
    if (sign == 2) token += '+';
    if (rng() % 4 == 0) token += std::string(rng() % 12, '0');
    const std::size_t n = 1 + rng() % 14;
    for (std::size_t k = 0; k < n; ++k)
      token += static_cast<char>('0' + rng() % 10);
    if (rng() % 50 == 0) token[rng() % token.size()] = ' ';

    std::optional<std::int32_t> expected;
    const std::size_t first = (token[0] == '-' || token[0] == '+') ? 1 : 0;
    bool all_digits = first < token.size();
    for (std::size_t k = first; k < token.size(); ++k) {
      all_digits = all_digits && token[k] >= '0' && token[k] <= '9';
    }
    if (all_digits) {
      const long long v = std::strtoll(token.c_str(), nullptr, 10);
      if (v >= INT32_MIN && v <= INT32_MAX) expected = static_cast<std::int32_t>(v);
    }
    const auto actual = parse_i32_token(token);
    ASSERT_EQ(actual, expected) << "token \"" << token << "\"";
  }
}

}  // namespace
