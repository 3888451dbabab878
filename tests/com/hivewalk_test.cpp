// The fuzz target's walk over a hive: keys whose names lead back to a key
// already walked (backslashes only, a trailing backslash, a path) are walked
// once, so a hive of such keys costs as much as its keys, not exponentially.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "TestRoot.h"
#include "hive/HiveWalk.h"

namespace {

TEST(HiveWalk, KeysThatNameThemselvesAreWalkedOnce) {
  testsupport::FreshRoot fresh("hivewalk");
  std::string dir = fresh.path() + "/registry";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  // The seed the fuzz target keeps for it; HKEY_CURRENT_USER is its root.
  std::string hive = testsupport::readFile(std::string(std::getenv("SOURCE_DIR")) + "/fuzz/seeds/fuzz_hive/selfnaming");
  ASSERT_FALSE(hive.empty());
  testsupport::writeFile(dir + "/HKEY_CURRENT_USER.reg", hive);

  // The registry itself: a name of backslashes opens the key it is under.
  HKEY self = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"\\\\", 0, KEY_READ, &self), ERROR_SUCCESS);
  DWORD subkeys = 0;
  ASSERT_EQ(RegQueryInfoKeyW(self, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 7u);
  RegCloseKey(self);

  // The root, Bank and Bank\Inner (with its value); every other name opens
  // one of them or nothing ("Bank\\Inner" has an empty part).
  hivewalk::Counts counts = hivewalk::Walk().from(HKEY_CURRENT_USER);
  EXPECT_EQ(counts.keys, 3u);
  EXPECT_EQ(counts.values, 1u);
}

}  // namespace
