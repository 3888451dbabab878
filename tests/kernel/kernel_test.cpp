#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace fs = std::filesystem;

namespace {
void installModule(const std::string& name) {
  fs::path dir = fs::path(PlatformRoot()) / "modules";
  fs::create_directories(dir);
  fs::copy_file(TEST_MODULE_PATH, dir / name, fs::copy_options::overwrite_existing);
}
}  // namespace

TEST(Modules, PageNamesAreReducedToTheFileNameAndFoundInAnyCase) {
  installModule("Vendor.DLL");
  struct Case {
    const char* given;
    bool found;
  } cases[] = {
      {"Vendor.DLL", true},
      {"vendor.dll", true},
      {"C:\\Windows\\System32\\VENDOR.dll", true},
      {"\\\\host\\share\\vendor.dll", true},
      {"/tmp/elsewhere/vendor.dll", true},
      {"vendor", false},  // nothing is appended
      {"other.dll", false},
      {"", false},
      {"C:\\Windows\\", false},
      {"..", false},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    HMODULE m = LoadLibraryA(c.given);
    EXPECT_EQ(m != nullptr, c.found) << c.given;
    if (m != nullptr) {
      auto fn = reinterpret_cast<int (*)()>(GetProcAddress(m, "TestModuleAnswer"));
      ASSERT_NE(fn, nullptr) << c.given;
      EXPECT_EQ(fn(), 42);
      EXPECT_EQ(GetProcAddress(m, "NoSuchExport"), nullptr);
      EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
      EXPECT_TRUE(FreeLibrary(m));
    } else {
      EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND) << c.given;
    }
  }
}

TEST(Modules, AFileThatIsNotALibraryIsRefused) {
  fs::path dir = fs::path(PlatformRoot()) / "modules";
  fs::create_directories(dir);
  testsupport::writeFile((dir / "broken.dll").string(), "not an ELF image");
  EXPECT_EQ(LoadLibraryA("broken.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 193u);
}

TEST(Modules, HandlesAreStableAndCounted) {
  installModule("counted.so");
  HMODULE a = LoadLibraryA("counted.so");
  HMODULE b = LoadLibraryA("COUNTED.SO");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  auto fn = reinterpret_cast<void*>(GetProcAddress(a, "TestModuleAnswer"));
  EXPECT_EQ(PlatformModuleFromAddress(fn), a);
  char path[4096];
  ASSERT_GT(GetModuleFileNameA(a, path, sizeof path), 0u);
  EXPECT_NE(std::string(path).find("counted.so"), std::string::npos);
  char tiny[4];
  EXPECT_EQ(GetModuleFileNameA(a, tiny, sizeof tiny), sizeof tiny);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(tiny[3], '\0');
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_NE(GetProcAddress(b, "TestModuleAnswer"), nullptr);  // still loaded once
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_FALSE(FreeLibrary(b));
  EXPECT_EQ(PlatformModuleFromAddress(reinterpret_cast<void*>(&GetLastError)) != nullptr, true);
  EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
}

TEST(Time, FileTimeAndSystemTimeRoundTrip) {
  struct Case {
    SYSTEMTIME st;
  } cases[] = {
      {{1601, 1, 1, 1, 0, 0, 0, 0}},    {{1970, 1, 4, 1, 0, 0, 0, 0}},         {{2024, 2, 4, 29, 23, 59, 59, 999}},
      {{2050, 12, 6, 31, 16, 0, 0, 0}}, {{30827, 12, 5, 31, 23, 59, 59, 999}},
  };
  for (const auto& c : cases) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, c.st.wYear);
    EXPECT_EQ(back.wMonth, c.st.wMonth);
    EXPECT_EQ(back.wDay, c.st.wDay);
    EXPECT_EQ(back.wDayOfWeek, c.st.wDayOfWeek) << c.st.wYear;
    EXPECT_EQ(back.wHour, c.st.wHour);
    EXPECT_EQ(back.wSecond, c.st.wSecond);
    EXPECT_EQ(back.wMilliseconds, c.st.wMilliseconds);
  }
  SYSTEMTIME bad{2023, 2, 0, 29, 0, 0, 0, 0};
  FILETIME ft;
  EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
  FILETIME tooLarge{0, 0x80000000u};
  SYSTEMTIME st;
  EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
  // The Unix epoch, as documented.
  SYSTEMTIME epoch{1970, 1, 4, 1, 0, 0, 0, 0};
  ASSERT_TRUE(SystemTimeToFileTime(&epoch, &ft));
  EXPECT_EQ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime, 116444736000000000ULL);
}

TEST(Time, LocalTimeFollowsTZ) {
  struct Case {
    const char* tz;
    SYSTEMTIME utc;
    WORD day, hour;
  } cases[] = {
      {"UTC0", {2024, 3, 5, 1, 16, 0, 0, 0}, 1, 16},
      {"CST-8", {2024, 3, 5, 1, 16, 0, 0, 0}, 2, 0},   // eight hours ahead: next day 00
      {"EST5", {2024, 3, 5, 1, 0, 30, 0, 0}, 29, 19},  // 00:30 UTC is the previous evening (Feb 29)
  };
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  for (const auto& c : cases) {
    setenv("TZ", c.tz, 1);
    FILETIME ft, local;
    ASSERT_TRUE(SystemTimeToFileTime(&c.utc, &ft));
    ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
    SYSTEMTIME st;
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wDay, c.day) << c.tz;
    EXPECT_EQ(st.wHour, c.hour) << c.tz;
    FILETIME back;
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(CompareFileTime(&back, &ft), 0);
  }
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
}

TEST(Clock, HeadlessClockMovesOnlyWhenAdvancedOrSlept) {
  ASSERT_TRUE(PlatformClockIsHeadless());
  DWORD t0 = GetTickCount();
  EXPECT_EQ(GetTickCount(), t0);
  Sleep(1500);
  EXPECT_EQ(GetTickCount(), t0 + 1500);
  PlatformAdvanceClock(250);
  EXPECT_EQ(GetTickCount(), t0 + 1750);
}

TEST(Files, WindowsPathsMapBelowTheRoot) {
  testsupport::FreshRoot fresh("paths");  // the log file below starts empty
  char out[4096];
  std::string root = PlatformRoot();
  struct Case {
    const char* in;
    std::string out;
  } cases[] = {
      {"C:\\logs\\a.log", root + "/drives/c/logs/a.log"},
      {"d:data.bin", root + "/drives/d/data.bin"},
      {"logs\\day.log", "logs/day.log"},
      {"/tmp/x", "/tmp/x"},
  };
  for (const auto& c : cases) {
    ASSERT_GT(PlatformMapPath(c.in, out, sizeof out), 0u) << c.in;
    EXPECT_EQ(out, c.out);
  }
  char small[8];
  EXPECT_EQ(PlatformMapPath("C:\\a\\long\\path", small, sizeof small), 0u);

  std::string dir = root + "/drives/c/logs";
  ASSERT_TRUE(PlatformMakeDirs(dir.c_str()));
  FILE* f = crt_fopen("C:\\logs\\a.log", "a+t");
  ASSERT_NE(f, nullptr);
  fputs("line\n", f);
  fclose(f);
  EXPECT_EQ(_access("C:\\logs\\a.log", 0), 0);
  EXPECT_NE(_access("C:\\logs\\missing.log", 0), 0);
  struct _stat64 st {};
  ASSERT_EQ(_stat64("C:\\logs\\a.log", &st), 0);
  EXPECT_EQ(st.st_size, 5);
}

TEST(Files, AtomicWriteReplacesWholeAndLeavesNoTemporary) {
  std::string dir = testsupport::freshDir("atomic");
  std::string path = dir + "/store.dat";
  ASSERT_TRUE(PlatformWriteFileAtomic(path.c_str(), "first", 5));
  ASSERT_TRUE(PlatformWriteFileAtomic(path.c_str(), "second!", 7));
  EXPECT_EQ(testsupport::readFile(path), "second!");
  int entries = 0;
  for (auto& e : fs::directory_iterator(dir)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  EXPECT_FALSE(PlatformWriteFileAtomic((dir + "/no/such/dir/x").c_str(), "x", 1));
}

TEST(Version, ReportsSixPointOne) {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
}

TEST(Debug, OutputIsCollected) {
  PlatformDebugOutput(nullptr, 0, TRUE);
  OutputDebugStringW(u"trace \u7c3d\u7ae0");
  char buf[256];
  PlatformDebugOutput(buf, sizeof buf, TRUE);
  EXPECT_EQ(std::string(buf), "trace \xe7\xb0\xbd\xe7\xab\xa0\n");
}

TEST(Modules, SystemLibraryNamesReachThePlatformExports) {
  HMODULE k32 = GetModuleHandleW(u"kernel32.dll");
  ASSERT_NE(k32, nullptr);
  EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), k32);
  EXPECT_EQ(GetProcAddress(k32, "SetThreadUILanguage"), reinterpret_cast<void*>(&SetThreadUILanguage));
  EXPECT_NE(GetProcAddress(k32, "GetLastError"), nullptr);
  EXPECT_EQ(GetProcAddress(k32, "NoSuchEntryPoint"), nullptr);
  // Symbols of other libraries in the process are not the system's exports.
  installModule("third.so");
  HMODULE third = LoadLibraryA("third.so");
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(GetProcAddress(k32, "TestModuleAnswer"), nullptr);
  EXPECT_EQ(GetProcAddress(k32, "malloc"), nullptr);
  FreeLibrary(third);
}
