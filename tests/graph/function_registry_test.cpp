// Kernels register themselves from their own files; graph files reach them by name.
#include <gtest/gtest.h>

#include <algorithm>

#include "graph/function_registry.hpp"

namespace arvex {
namespace {

void double_i32(const CmTypes* args, std::size_t count, CmTypes* result) {
  if (count == 1) *result = CmTypes::make_i32(args[0].get_i32() * 2);
}
ARVEX_REGISTER_KERNEL("test.double_i32", double_i32);

TEST(FunctionRegistry, FindsKernelsRegisteredAnywhereInTheBinary) {
  const auto noop = function_registry::lookup("noop");
  ASSERT_TRUE(noop.has_value());
  const CmTypes args[] = {CmTypes::make_i32(1), CmTypes::make_string("ignored")};
  CmTypes result = CmTypes::make_i32(7);
  (*noop)(args, 2, &result);
  EXPECT_EQ(result, CmTypes::none());

  const auto twice = function_registry::lookup("test.double_i32");
  ASSERT_TRUE(twice.has_value());
  (*twice)(args, 1, &result);
  EXPECT_EQ(result, CmTypes::make_i32(2));
}

TEST(FunctionRegistry, NamesMatchExactly) {
  EXPECT_FALSE(function_registry::lookup("Noop"));
  EXPECT_FALSE(function_registry::lookup("noop "));
  EXPECT_FALSE(function_registry::lookup(""));
  const auto names = function_registry::names();
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_NE(std::find(names.begin(), names.end(), "noop"), names.end());
}

TEST(FunctionRegistryDeathTest, ANameRegisteredTwiceStopsTheProgram) {
  EXPECT_EXIT(register_kernel("noop", double_i32), testing::ExitedWithCode(101), "kernel registered twice: noop");
}

}  // namespace
}  // namespace arvex
