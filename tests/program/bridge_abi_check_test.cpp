// The bridge ABI check on its own, against small kernel libraries built for the purpose.
#include <gtest/gtest.h>

#include "program/bridge_abi_check.hpp"

namespace arvex {
namespace {

constexpr PythonVersion kRunning{ARVEX_PYTHON_MAJOR, ARVEX_PYTHON_MINOR};

TEST(BridgeAbiCheck, StampStates) {
  const auto none = check_python_bridge_abi(ARVEX_NO_STAMP_LIB, kRunning);
  ASSERT_TRUE(none) << none.error();
  EXPECT_EQ(*none, std::nullopt) << "a library without a stamp passes silently";

  const auto program = check_python_bridge_abi("", kRunning);
  ASSERT_TRUE(program) << program.error();
  EXPECT_EQ(*program, std::nullopt) << "an empty path opens the program itself, which has no stamp";

  const auto matching = check_python_bridge_abi(ARVEX_MATCHING_STAMP_LIB, kRunning);
  ASSERT_TRUE(matching) << matching.error();
  EXPECT_EQ(*matching, expected_bridge_abi(kRunning));
}

TEST(BridgeAbiCheck, MismatchNamesBothVersions) {
  const auto result = check_python_bridge_abi(ARVEX_MATCHING_STAMP_LIB, PythonVersion{3, 13});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "arvex: Python bridge ABI mismatch!\n"
                            "  Binary expects: Python 3.13 (GIL_DISABLED=0)\n"
                            "  Bridge reports: Python " + std::to_string(ARVEX_PYTHON_MAJOR) + "." +
                                std::to_string(ARVEX_PYTHON_MINOR) + " (GIL_DISABLED=0)\n"
                            "Rebuild the bridge with the same Python interpreter used to build this binary,\n"
                            "or pass python_interpreter= matching the bridge's Python version to app.build().\n");

  const auto free_threaded = check_python_bridge_abi(ARVEX_FREE_THREADED_STAMP_LIB, kRunning);
  ASSERT_FALSE(free_threaded);
  EXPECT_NE(free_threaded.error().find("(GIL_DISABLED=1)"), std::string::npos) << free_threaded.error();
}

TEST(BridgeAbiCheck, UnopenableLibrary) {
  const auto missing = check_python_bridge_abi("/nonexistent/libkernels.so", kRunning);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(),
            "arvex: failed to pre-load bridge dylib for ABI check: /nonexistent/libkernels.so: cannot open shared "
            "object file: No such file or directory\n");
  const auto nul = check_python_bridge_abi(std::string("lib\0x.so", 8), kRunning);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error(), "arvex: failed to pre-load bridge dylib for ABI check: nul byte found in provided data at position: 3\n");
}

TEST(BridgeAbiCheck, ExpectedStampLayout) {
  EXPECT_EQ(expected_bridge_abi({3, 14}), 51249152u);
  EXPECT_EQ(expected_bridge_abi({3, 11}) & 0xFFFFu, 0u) << "bit 15 and below are clear";
}

}  // namespace
}  // namespace arvex
