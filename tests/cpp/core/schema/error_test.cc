#include "core/schema/error.hpp"

#include <gtest/gtest.h>

namespace vorel::core::schema::error {
namespace {

TEST(SchemaError, AtJoinsThePathWithDots) {
  EXPECT_EQ(SchemaError::at({"Order", "lines"}, "x").text, "Order.lines: x");
  EXPECT_EQ(SchemaError::at({"Order"}, "x").text, "Order: x");
  EXPECT_EQ(SchemaError::at({}, "x").text, "x");
}

TEST(SchemaError, UnderPutsOneNamePerPassInFront) {
  SchemaError e = SchemaError::at({"a"}, "x");
  EXPECT_EQ(SchemaError::under(e, "state").text, "state: a: x");
  EXPECT_EQ(SchemaError::under(SchemaError::under(e, "b"), "c").text, "c: b: a: x");
}

TEST(SchemaError, Mismatch) { EXPECT_EQ(SchemaError::mismatch("int", "str").text, "expected int, got str"); }

}  // namespace
}  // namespace vorel::core::schema::error
