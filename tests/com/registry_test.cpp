// The file-backed registry: the Win32 contracts, the file form, and what
// processes see of each other's changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/winreg.h"

namespace fs = std::filesystem;

namespace {

HKEY create(HKEY root, const char16_t* path, REGSAM sam = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, sam, nullptr, &h, disposition), ERROR_SUCCESS);
  return h;
}

LSTATUS setString(HKEY key, const char16_t* name, const std::u16string& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * 2));
}

std::u16string getString(HKEY key, const char16_t* name, LSTATUS* status = nullptr) {
  char16_t buf[256] = {};
  DWORD size = sizeof buf - 2;
  DWORD type = 0;
  LSTATUS st = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  if (status != nullptr) *status = st;
  if (st != ERROR_SUCCESS) return u"<" + std::u16string(1, char16_t(u'0' + st % 10)) + u">";
  return std::u16string(buf, size / 2 > 0 && buf[size / 2 - 1] == 0 ? size / 2 - 1 : size / 2);
}

std::string regtool(const std::string& args, int* status = nullptr) {
  std::string out;
  int rc = testsupport::run(std::string(REGTOOL_PATH) + " " + args, &out);
  if (status != nullptr) *status = rc;
  return out;
}

std::string hiveFile(const char* name) { return std::string(PlatformRoot()) + "/registry/" + name; }
}  // namespace

TEST(Registry, KeysValuesAndTheirErrors) {
  DWORD disposition = 0;
  HKEY k = create(HKEY_CURRENT_USER, u"Software\\Contract\\Deep\\Key", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(k);
  k = create(HKEY_CURRENT_USER, u"software\\CONTRACT\\deep\\key", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  // Values: names without regard to case, the default value under the empty name.
  ASSERT_EQ(setString(k, u"Name", u"first"), ERROR_SUCCESS);
  ASSERT_EQ(setString(k, u"NAME", u"second"), ERROR_SUCCESS);
  ASSERT_EQ(setString(k, nullptr, u"default"), ERROR_SUCCESS);
  EXPECT_EQ(getString(k, u"name"), u"second");
  EXPECT_EQ(getString(k, u""), u"default");

  // Sizes: asking, a short buffer, an exact one.
  DWORD size = 0, type = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 14u);
  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 14u);
  BYTE exact[14];
  size = sizeof exact;
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(k, u"Name", nullptr, nullptr, exact, nullptr), ERROR_INVALID_PARAMETER);
  LSTATUS st = 0;
  getString(k, u"Missing", &st);
  EXPECT_EQ(st, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(k, u"Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(k, u"nAmE"), ERROR_SUCCESS);
  getString(k, u"Name", &st);
  EXPECT_EQ(st, ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);

  HKEY missing = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\NoSuchKey", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  // Malformed paths and handles.
  HKEY h = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"\\Leading", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"a\\\\b", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  std::u16string longName(256, u'x');
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, longName.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, u"x", 0, KEY_READ, &h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);
  HKEY twice = create(HKEY_CURRENT_USER, u"Software\\Contract");
  EXPECT_EQ(RegCloseKey(twice), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(twice), ERROR_INVALID_HANDLE);

  // A read-only handle cannot change its key.
  HKEY ro = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Contract", 0, KEY_READ, &ro), ERROR_SUCCESS);
  EXPECT_EQ(setString(ro, u"x", u"y"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExW(ro, u"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr), ERROR_ACCESS_DENIED);
  RegCloseKey(ro);

  // Deleting: a key with subkeys stays; a handle to a deleted key says so.
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Contract\\Deep"), ERROR_ACCESS_DENIED);
  HKEY leaf = create(HKEY_CURRENT_USER, u"Software\\Contract\\Deep\\Key");
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Contract\\Deep\\Key"), ERROR_SUCCESS);
  EXPECT_EQ(setString(leaf, u"v", u"w"), ERROR_KEY_DELETED);
  getString(leaf, u"v", &st);
  EXPECT_EQ(st, ERROR_KEY_DELETED);
  RegCloseKey(leaf);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Contract\\Deep\\Key"), ERROR_FILE_NOT_FOUND);
  create(HKEY_CURRENT_USER, u"Software\\Contract\\Tree\\A\\B");
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Contract"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Contract", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, EnumerationOrderAndBuffers) {
  HKEY k = create(HKEY_CURRENT_USER, u"Software\\Enum");
  for (const char16_t* n : {u"beta", u"Alpha", u"gamma"}) RegCloseKey(create(k, n));
  for (const char16_t* n : {u"z", u"a", u"m"}) ASSERT_EQ(setString(k, n, n), ERROR_SUCCESS);
  std::vector<std::u16string> keys;
  for (DWORD i = 0;; ++i) {
    char16_t name[64];
    DWORD cch = 64;
    LSTATUS st = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(st, ERROR_SUCCESS);
    keys.emplace_back(name, cch);
  }
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"beta", u"gamma"}));
  char16_t tiny[5];
  DWORD cch = 5;  // "Alpha" needs six with its NUL
  EXPECT_EQ(RegEnumKeyExW(k, 0, tiny, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  std::vector<std::u16string> values;
  for (DWORD i = 0;; ++i) {
    char16_t name[64];
    DWORD n = 64;
    LSTATUS st = RegEnumValueW(k, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(st, ERROR_SUCCESS);
    values.emplace_back(name, n);
  }
  EXPECT_EQ(values, (std::vector<std::u16string>{u"z", u"a", u"m"}));
  DWORD subkeys = 0, count = 0, maxName = 0;
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, &maxName, nullptr, &count, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subkeys, 3u);
  EXPECT_EQ(maxName, 5u);
  EXPECT_EQ(count, 3u);
  RegCloseKey(k);
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Enum");
}

TEST(Registry, ClassesRootIsTheMachineClassesKey) {
  HKEY k = create(HKEY_CLASSES_ROOT, u"Demo.Class\\CLSID");
  ASSERT_EQ(setString(k, nullptr, u"{x}"), ERROR_SUCCESS);
  RegCloseKey(k);
  HKEY m = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Demo.Class\\CLSID", 0, KEY_READ, &m), ERROR_SUCCESS);
  EXPECT_EQ(getString(m, nullptr), u"{x}");
  RegCloseKey(m);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Demo.Class"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Classes\\Demo.Class", 0, KEY_READ, &m), ERROR_FILE_NOT_FOUND);
  // Nothing of HKEY_CLASSES_ROOT lives in the user's hive.
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Classes\\Demo.Class", 0, KEY_READ, &m), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, AnsiFunctionsUseTheAnsiCodePage) {
  const char* saved = std::getenv("LANG");
  std::string restore = saved != nullptr ? saved : "";
  const char* savedAll = std::getenv("LC_ALL");
  std::string restoreAll = savedAll != nullptr ? savedAll : "";
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", "zh_TW.BIG5", 1);
  PlatformResetLocale();
  ASSERT_EQ(GetACP(), 950u);

  const char big5[] = "\xA4\xA4\xA4\xE5";  // 中文 in code page 950
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Ansi\\\xA4\xA4", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, "text", 0, REG_SZ, reinterpret_cast<const BYTE*>(big5), sizeof big5), ERROR_SUCCESS);
  EXPECT_EQ(getString(k, u"text"), u"\u4e2d\u6587");
  char back[16] = {};
  DWORD size = sizeof back;
  ASSERT_EQ(RegQueryValueExA(k, "text", nullptr, nullptr, reinterpret_cast<BYTE*>(back), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof big5);
  EXPECT_EQ(std::string(back), std::string(big5));
  RegCloseKey(k);
  HKEY w = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Ansi\\\u4e2d", 0, KEY_READ, &w), ERROR_SUCCESS);
  RegCloseKey(w);
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Ansi");

  if (restore.empty())
    unsetenv("LANG");
  else
    setenv("LANG", restore.c_str(), 1);
  if (!restoreAll.empty()) setenv("LC_ALL", restoreAll.c_str(), 1);
  PlatformResetLocale();
}

TEST(RegistryFile, EveryValueComesBackFromTheFileAsItWasSet) {
  HKEY k = create(HKEY_CURRENT_USER, u"Software\\Form\\Odd \"name\" ]\n\t");
  struct Value {
    std::u16string name;
    DWORD type;
    std::string data;
  };
  auto bytes = [](const std::u16string& s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
  };
  // The whole literal, its terminating NUL included.
  auto all = [&](const auto& literal) { return bytes(std::u16string(literal, std::size(literal))); };
  DWORD dw = 0xDEADBEEF;
  ULONGLONG qw = 0x0102030405060708ull;
  std::vector<Value> values = {
      {u"", REG_SZ, all(u"default")},
      {u"plain", REG_SZ, all(u"a \"quoted\" \\ back\\slash\nline")},
      {u"unterminated", REG_SZ, bytes(u"no nul")},
      {u"embedded", REG_SZ, all(u"a\0b")},
      {u"odd", REG_SZ, std::string("abc", 3)},
      {u"lone \xD800 surrogate", REG_EXPAND_SZ, all(u"%PATH%\xDC00")},
      {u"\u4e2d\u6587", REG_SZ, all(u"\u4e2d\U0001F600")},
      {u"dword", REG_DWORD, std::string(reinterpret_cast<const char*>(&dw), 4)},
      {u"short dword", REG_DWORD, std::string("\x01\x02", 2)},
      {u"qword", REG_QWORD, std::string(reinterpret_cast<const char*>(&qw), 8)},
      {u"multi", REG_MULTI_SZ, all(u"one\0two\0")},
      {u"binary", REG_BINARY, std::string("\x00\xff\x10\"", 4)},
      {u"empty", REG_BINARY, std::string()},
      {u"none", REG_NONE, std::string("x", 1)},
  };
  for (const auto& v : values)
    ASSERT_EQ(RegSetValueExW(k, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(v.data.data()),
                             static_cast<DWORD>(v.data.size())),
              ERROR_SUCCESS);
  RegCloseKey(k);
  RegCloseKey(create(HKEY_CURRENT_USER, u"Software\\Form\\Empty key"));

  // Put the file aside, change the hive, then bring the file back: the
  // registry reads it again and every value is the one written.
  std::string file = hiveFile("HKEY_CURRENT_USER.reg");
  std::string aside = file + ".aside";
  fs::copy_file(file, aside, fs::copy_options::overwrite_existing);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Form"), ERROR_SUCCESS);
  fs::rename(aside, file);

  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Form\\Odd \"name\" ]\n\t", 0, KEY_READ, &k), ERROR_SUCCESS);
  for (size_t i = 0; i < values.size(); ++i) {
    char16_t name[64];
    DWORD cch = 64, type = 0;
    BYTE data[64];
    DWORD size = sizeof data;
    ASSERT_EQ(RegEnumValueW(k, static_cast<DWORD>(i), name, &cch, nullptr, &type, data, &size), ERROR_SUCCESS) << i;
    EXPECT_EQ(std::u16string(name, cch), values[i].name) << i;
    EXPECT_EQ(type, values[i].type) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), size), values[i].data) << i;
  }
  RegCloseKey(k);
  HKEY e = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Form\\Empty key", 0, KEY_READ, &e), ERROR_SUCCESS);
  RegCloseKey(e);
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Form");
}

TEST(RegistryFile, AnUnreadableHiveIsReportedAndNotOverwritten) {
  HKEY k = create(HKEY_LOCAL_MACHINE, u"Software\\Before");
  RegCloseKey(k);
  std::string file = hiveFile("HKEY_LOCAL_MACHINE.reg");
  std::string good = testsupport::readFile(file);
  std::string broken = good + "value \"unclosed\n";
  std::string temp = file + ".broken";
  testsupport::writeFile(temp, broken);
  fs::rename(temp, file);

  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Before", 0, KEY_READ, &h), ERROR_BADDB);
  EXPECT_EQ(
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\After", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
      ERROR_BADDB);
  EXPECT_EQ(testsupport::readFile(file), broken);

  testsupport::writeFile(temp, good);
  fs::rename(temp, file);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Before", 0, KEY_READ, &h), ERROR_SUCCESS);
  RegCloseKey(h);
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, u"Software\\Before");
}

TEST(RegistryProcesses, EachSeesTheOthersChanges) {
  int rc = -1;
  regtool("set 'Software\\Shared' fromChild child-value", &rc);
  ASSERT_EQ(rc, 0);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Shared", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  EXPECT_EQ(getString(k, u"fromChild"), u"child-value");
  ASSERT_EQ(setString(k, u"fromParent", u"parent-value"), ERROR_SUCCESS);
  EXPECT_EQ(regtool("get 'Software\\Shared' fromParent"), "parent-value");
  // The child's later change replaces the parent's view of the key.
  regtool("set 'Software\\Shared' fromChild changed", &rc);
  EXPECT_EQ(getString(k, u"fromChild"), u"changed");
  RegCloseKey(k);
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Shared");
}

TEST(RegistryProcesses, ConcurrentWritersLoseNoChange) {
  const int writers = 16;
  std::string script = "for i in $(seq 1 " + std::to_string(writers) + "); do " + REGTOOL_PATH +
                       " set Software\\\\Race v$i value$i & done; wait";
  ASSERT_EQ(testsupport::run(script), 0);
  EXPECT_EQ(regtool("count 'Software\\Race'"), std::to_string(writers));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Race", 0, KEY_READ, &k), ERROR_SUCCESS);
  for (int i = 1; i <= writers; ++i) {
    std::u16string name = u"v", value = u"value";
    for (char c : std::to_string(i)) {
      name.push_back(static_cast<char16_t>(c));
      value.push_back(static_cast<char16_t>(c));
    }
    EXPECT_EQ(getString(k, name.c_str()), value);
  }
  RegCloseKey(k);
  // No temporary file is left behind.
  for (const auto& entry : fs::directory_iterator(std::string(PlatformRoot()) + "/registry"))
    EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

// A writer killed between writing its temporary hive and renaming it leaves
// the temporary behind; the next change, holding the lock, removes it. The
// sweep runs at a process's first change of a registry folder, so the test
// takes a root this process has not changed yet.
TEST(RegistryFile, KilledWritersTemporaryGoesAtTheNextChange) {
  testsupport::FreshRoot root("tidy");
  std::string dir = root.path() + "/registry";
  fs::create_directories(dir);
  std::string leftover = dir + "/HKEY_CURRENT_USER.reg.tmp.k1LLed";
  testsupport::writeFile(leftover, "PLATFORM-REGISTRY 1\n");
  HKEY k = create(HKEY_CURRENT_USER, u"Software\\Tidy");
  ASSERT_EQ(setString(k, u"v", u"x"), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_FALSE(fs::exists(leftover));
  for (const auto& e : fs::directory_iterator(dir)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
    if (e.path().filename().string()[0] == '.') continue;
    EXPECT_EQ(fs::status(e.path()).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
  }
}
