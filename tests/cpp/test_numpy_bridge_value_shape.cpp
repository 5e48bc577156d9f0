// The check that the two result arrays agree in shape before they are made.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "numpy_bridge/value_shape.hpp"

namespace {

using namespace quillrow;

TEST(ValueShape, EachKindOfMismatch) {
  struct Case {
    std::uint64_t rows, values;
    const char* expected;  // nullptr: shapes agree
  };
  const Case cases[] = {
      {3, 33, nullptr},
      {3, 34, "ShapeError/IncompatibleShape: incompatible shapes"},
      {3, 32, "ShapeError/OutOfBounds: out of bounds indexing"},
      {(std::uint64_t{1} << 63) / 11 + 1, 0, "ShapeError/Overflow: arithmetic overflow"},
  };
  for (const Case& c : cases) {
    const auto shape = numpy_bridge::check_value_shape(c.rows, c.values);
    if (c.expected == nullptr) {
      EXPECT_FALSE(shape.has_value());
    } else {
      ASSERT_TRUE(shape.has_value());
      EXPECT_EQ(std::string(shape->data(), shape->size()), c.expected);
    }
  }
}

}  // namespace
