// The registry's hive file, as another process (or a damaged disk) may have
// left it: the input becomes the current user's hive, which is then read
// through the registry functions, walking every key and value it holds
// (HiveWalk.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "../support/FuzzRoot.h"
#include "HiveWalk.h"

namespace {
std::string gHive;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = fuzzsupport::root() + "/registry";
  mkdir(dir.c_str(), 0700);
  gHive = dir + "/HKEY_CURRENT_USER.reg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  // A new file each time (written aside and renamed), as a writer replaces it.
  std::string temp = gHive + ".next";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::rename(temp.c_str(), gHive.c_str());
  hivewalk::Walk().from(HKEY_CURRENT_USER);
  return 0;
}
