// The current folder moved for a scope, the old one back at the end: for a
// test of code that falls back to the current folder, so that nothing lands
// in the folder the test was started in (ctest starts tests in the build
// folder).
#pragma once

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace testsupport {

class CwdScope {
 public:
  explicit CwdScope(const std::string& dir) {
    char old[4096];
    if (getcwd(old, sizeof old) != nullptr) old_ = old;
    EXPECT_FALSE(old_.empty());
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  }
  ~CwdScope() {
    if (!old_.empty()) {
      EXPECT_EQ(chdir(old_.c_str()), 0) << old_;
    }
  }
  CwdScope(const CwdScope&) = delete;
  CwdScope& operator=(const CwdScope&) = delete;

 private:
  std::string old_;
};

}  // namespace testsupport
