#pragma once
// A fixture that installs the logger into a string for the duration of one test, with RUST_LOG
// cleared so the test decides the level.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "logging/log.hpp"

namespace arvex::test_support {

class LogCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("RUST_LOG");
    ASSERT_TRUE(log::install_logger({capture_level(), false, &log_}));
  }
  void TearDown() override { log::uninstall_logger(); }

  virtual log::Level capture_level() const { return log::Level::Debug; }
  std::string logged() const { return log_.str(); }
  bool logged(std::string_view text) const { return log_.str().find(text) != std::string::npos; }
  void clear_log() { log_.str(""); }

  std::ostringstream log_;
};

}  // namespace arvex::test_support
