// Calls from many threads at once, on one control and on several: every
// answer equals the one a single call gives. Run in the thread-sanitizer
// build too, where a race on the control's fields fails the test.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "PellmarSupport.h"

using namespace pellmartest;

class PellmarThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_EQ(regsvr("'" + pellmarPath() + "'", &out), 0) << out;
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
  }
  void TearDown() override {
    CoUninitialize();
    regsvr("-u '" + pellmarPath() + "'");
  }
};

TEST_F(PellmarThreads, ManyThreadsOnOneAndOnSeveralControlsGetTheSameLine) {
  Control first;
  const Control::Answer single = first.getIP_MAC();
  ASSERT_EQ(single.hr, S_OK);
  ASSERT_EQ(single.code, 0);

  constexpr int kThreads = 8;
  constexpr int kCalls = 20;
  std::vector<std::unique_ptr<Control>> others;
  for (int n = 0; n < 3; ++n) others.push_back(std::make_unique<Control>());
  // Half the threads share `first`; the rest spread over the others. One
  // more thread keeps asking from a refused page's control at the same time.
  Control refused(u"http://attacker.example/");
  std::vector<std::string> failures(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    Control* control = t % 2 == 0 ? &first : others[static_cast<size_t>(t / 2) % others.size()].get();
    threads.emplace_back([&, control, t] {
      for (int i = 0; i < kCalls; ++i) {
        Control::Answer a = control->getIP_MAC();
        if (a.hr != S_OK || a.line != single.line || a.code != 0) {
          failures[static_cast<size_t>(t)] = "thread " + std::to_string(t) + ": hr " + std::to_string(a.hr) + " code " +
                                             std::to_string(a.code) + " line " + a.line;
          return;
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < kCalls; ++i) {
      Control::Answer a = refused.getIP_MAC();
      if (a.hr != S_FALSE || !a.isNull || a.code != 61) {
        failures[kThreads] = "refused page answered";
        return;
      }
    }
  });
  for (auto& t : threads) t.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");
}
