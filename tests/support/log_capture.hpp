#pragma once
// A fixture that installs the logger into a string for the duration of one test, with RUST_LOG
// cleared so the test decides the level. Engine threads may log while the test reads the text,
// so the capture buffer takes a lock on both sides.

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "logging/log.hpp"

namespace arvex::test_support {

// A string buffer whose writes and reads exclude each other.
class LockedStringBuf : public std::stringbuf {
 public:
  std::string text() const {
    const std::lock_guard lock(mutex_);
    return str();
  }
  void clear() {
    const std::lock_guard lock(mutex_);
    str("");
  }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::lock_guard lock(mutex_);
    return std::stringbuf::xsputn(s, n);
  }
  int_type overflow(int_type c) override {
    const std::lock_guard lock(mutex_);
    return std::stringbuf::overflow(c);
  }

 private:
  mutable std::recursive_mutex mutex_;
};

class LogCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("RUST_LOG");
    ASSERT_TRUE(log::install_logger({capture_level(), false, &log_}));
  }
  void TearDown() override { log::uninstall_logger(); }

  virtual log::Level capture_level() const { return log::Level::Debug; }
  std::string logged() const { return buffer_.text(); }
  bool logged(std::string_view text) const { return buffer_.text().find(text) != std::string::npos; }
  void clear_log() { buffer_.clear(); }

  LockedStringBuf buffer_;
  std::ostream log_{&buffer_};
};

}  // namespace arvex::test_support
