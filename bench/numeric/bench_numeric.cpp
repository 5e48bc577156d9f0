// Throughput of the binary32 field conversion on realistic value fields,
// against strtof, strtod-then-cast and fast_float::from_chars, all on the
// same tokens in one run.  Reports the best of several passes in ns/token.
#include <fast_float/fast_float.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sts/numeric/parse.hpp"

namespace {

constexpr int PASSES = 21;

// Value fields as an instrument table writes them: mostly 3-8 significant
// digits with 1-3 decimals (sometimes 8), a minus sign now and then, and a
// few longer 9-11 digit readings.
std::vector<std::string> realistic_tokens(std::size_t count) {
  std::mt19937_64 rng(42);
  std::vector<std::string> out;
  out.reserve(count);
  const char* fixed[] = {"-183.613", "1204.55", "16.005", "240.50000036", "3.151", "-3.406", "0.000"};
  char text[64];
  for (std::size_t i = 0; i < count; ++i) {
    const auto r = rng() % 100;
    if (r < 10) {
      out.emplace_back(fixed[rng() % std::size(fixed)]);
      continue;
    }
    const bool negative = rng() % 4 == 0;
    int decimals = static_cast<int>(1 + rng() % 3);
    double magnitude;
    if (r < 90) {
      magnitude = static_cast<double>(rng() % 100000) / 10.0;  // 3-8 digits
    } else {
      decimals = 8;
      magnitude = static_cast<double>(rng() % 1000);  // 9-11 digits
      magnitude += static_cast<double>(rng() % 100000000) / 1e8;
    }
    std::snprintf(text, sizeof text, "%s%.*f", negative ? "-" : "", decimals, magnitude);
    out.emplace_back(text);
  }
  return out;
}

// The eleven value fields of every data row of an STS file, in file order:
// the order the row decoder meets them in, where each column repeats its
// shape from row to row.
std::vector<std::string> file_tokens(const char* path) {
  std::vector<std::string> out;
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    std::perror(path);
    std::exit(2);
  }
  char line[4096];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    std::vector<std::string> fields;
    for (char* field = std::strtok(line, " \t\r\n"); field != nullptr;
         field = std::strtok(nullptr, " \t\r\n")) {
      fields.emplace_back(field);
    }
    if (fields.size() != 18 || fields[0].find_first_not_of("0123456789") != std::string::npos) {
      continue;  // header lines
    }
    out.insert(out.end(), fields.begin() + 7, fields.end());
  }
  std::fclose(file);
  return out;
}

template <class Parse>
double time_pass(const std::vector<std::string_view>& tokens, Parse parse, std::uint32_t& checksum) {
  std::uint32_t sum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::string_view t : tokens) {
    sum += parse(t);
  }
  const auto stop = std::chrono::steady_clock::now();
  checksum = sum;
  return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(tokens.size());
}

}  // namespace

// Usage: bench_numeric [token count] [STS file]: random realistic tokens, or
// the value fields of a file in file order.
int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200'000;
  const std::vector<std::string> fields = argc > 2 ? file_tokens(argv[2]) : realistic_tokens(count);
  // One contiguous text, like the mapped file, with a NUL after each
  // token for strtof; the views exclude the NUL.
  std::string text;
  for (const std::string& f : fields) {
    text += f;
    text += '\0';
  }
  std::vector<std::string_view> tokens;
  tokens.reserve(count);
  std::size_t bytes = 0;
  for (std::size_t offset = 0; offset < text.size();) {
    const std::size_t length = std::strlen(text.data() + offset);
    tokens.emplace_back(text.data() + offset, length);
    bytes += length;
    offset += length + 1;
  }

  // The parsers take turns within every pass, so that a busy machine
  // slows them alike; the best pass of each is reported.
  std::uint32_t sums[4] = {};
  double best[4] = {1e30, 1e30, 1e30, 1e30};
  for (int pass = 0; pass < PASSES; ++pass) {
    best[0] = std::min(
        best[0],
        time_pass(
            tokens, [](std::string_view t) { return *quillrow::numeric::parse_f32_token(t); }, sums[0]));
    best[1] = std::min(best[1], time_pass(
                                    tokens,
                                    [](std::string_view t) {
                                      return std::bit_cast<std::uint32_t>(std::strtof(t.data(), nullptr));
                                    },
                                    sums[1]));
    best[2] = std::min(best[2], time_pass(
                                    tokens,
                                    [](std::string_view t) {
                                      return std::bit_cast<std::uint32_t>(
                                          static_cast<float>(std::strtod(t.data(), nullptr)));
                                    },
                                    sums[2]));
    best[3] = std::min(best[3], time_pass(
                                    tokens,
                                    [](std::string_view t) {
                                      float f = 0;
                                      fast_float::from_chars(t.data(), t.data() + t.size(), f);
                                      return std::bit_cast<std::uint32_t>(f);
                                    },
                                    sums[3]));
  }
  const double quill = best[0];
  const double strtof_ns = best[1];
  const double strtod_ns = best[2];
  const double fast_float_ns = best[3];

  std::printf("%s: %zu tokens, %.2f bytes/token, best of %d passes\n",
              argc > 2 ? "file order" : "random order", tokens.size(),
              static_cast<double>(bytes) / static_cast<double>(tokens.size()), PASSES);
  std::printf("%-26s %8s %12s\n", "parser", "ns/token", "vs quillrow");
  std::printf("%-26s %8.2f %12.2f\n", "quillrow parse_f32_token", quill, 1.0);
  std::printf("%-26s %8.2f %12.2f\n", "strtof", strtof_ns, strtof_ns / quill);
  std::printf("%-26s %8.2f %12.2f\n", "strtod then cast", strtod_ns, strtod_ns / quill);
  std::printf("%-26s %8.2f %12.2f\n", "fast_float::from_chars", fast_float_ns, fast_float_ns / quill);
  if (sums[0] != sums[1] || sums[0] != sums[3]) {
    std::printf("checksums differ: %08X %08X %08X\n", sums[0], sums[1], sums[3]);
    return 1;
  }
  return 0;
}
