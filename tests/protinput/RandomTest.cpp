// The random seam: OpenSSL in production, a byte sequence or a failing source
// in tests; a failure is reported, never a value.
#include <set>

#include <gtest/gtest.h>

#include "protinput/RandomByte.h"

namespace {

TEST(RandomByte, ProductionValuesCoverTheRange) {
  std::set<int> seen;
  for (int i = 0; i < 20000; ++i) {
    int v = RandomByte();
    ASSERT_GE(v, 0);
    ASSERT_LE(v, 255);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 256u);
}

TEST(RandomByte, SequenceThenFailure) {
  SequenceRandomSource seq({0, 7, 255});
  ScopedRandomSource scope(&seq);
  EXPECT_EQ(RandomByte(), 0);
  EXPECT_EQ(RandomByte(), 7);
  EXPECT_EQ(RandomByte(), 255);
  EXPECT_EQ(RandomByte(), -1);
  EXPECT_EQ(seq.used(), 3u);
}

TEST(RandomByte, FailingSourceIsReportedAndScopeRestores) {
  FailingRandomSource failing;
  {
    ScopedRandomSource scope(&failing);
    EXPECT_EQ(RandomByte(), -1);
  }
  EXPECT_GE(RandomByte(), 0);
}

}  // namespace
