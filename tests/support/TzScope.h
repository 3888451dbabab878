// TZ set for a scope (and read again), the old value back at the end.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace testsupport {

class TzScope {
 public:
  explicit TzScope(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  TzScope(const TzScope&) = delete;
  TzScope& operator=(const TzScope&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace testsupport
