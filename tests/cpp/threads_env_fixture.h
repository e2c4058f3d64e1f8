// Test fixture that restores VEXOLIN_THREADS to what it was before the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

class ThreadsVariableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("VEXOLIN_THREADS");
    had_value_ = old != nullptr;
    if (had_value_) old_value_ = old;
  }
  void TearDown() override {
    if (had_value_) {
      setenv("VEXOLIN_THREADS", old_value_.c_str(), 1);
    } else {
      unsetenv("VEXOLIN_THREADS");
    }
  }

 private:
  bool had_value_ = false;
  std::string old_value_;
};
