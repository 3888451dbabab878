// The registrar: registry scripts registered and unregistered, leaving
// exactly the keys they should.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ComTestSupport.h"
#include "TestRoot.h"
#include "platform/com.h"
#include "platform/winreg.h"

using namespace comtest;  // the com tests' shared helpers

namespace {

// Every key and value below `path` of HKEY_CURRENT_USER, one line each, sorted.
void dumpKey(HKEY key, const std::string& prefix, std::vector<std::string>* out) {
  out->push_back(prefix);
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD cch = 256, type = 0;
    BYTE data[512];
    DWORD size = sizeof data;
    if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    std::string line = prefix + " [" + narrow(std::u16string(name, cch)) + "]=";
    if (type == REG_SZ) {
      line += "s:" + narrow(std::u16string(reinterpret_cast<char16_t*>(data), size / 2 - 1));
    } else if (type == REG_DWORD) {
      line += "d:" + std::to_string(*reinterpret_cast<DWORD*>(data));
    } else {
      line += "t" + std::to_string(type) + ":";
      for (DWORD k = 0; k < size; ++k) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", data[k]);
        line += hex;
      }
    }
    out->push_back(line);
  }
  for (DWORD i = 0;; ++i) {
    char16_t name[256];
    DWORD cch = 256;
    if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY child = nullptr;
    std::u16string n(name, cch);
    if (RegOpenKeyExW(key, n.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    dumpKey(child, prefix + "\\" + narrow(n), out);
    RegCloseKey(child);
  }
}

std::vector<std::string> dump(const char16_t* path) {
  std::vector<std::string> out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  dumpKey(key, narrow(path), &out);
  RegCloseKey(key);
  std::sort(out.begin(), out.end());
  return out;
}

void makeKey(const char16_t* path, const char16_t* value = nullptr) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  if (value != nullptr) {
    std::u16string v = value;
    RegSetValueExW(k, u"Foreign", 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * 2));
  }
  RegCloseKey(k);
}

struct Registrar {
  IRegistrar* r = nullptr;
  Registrar() { EXPECT_EQ(PlatformCreateRegistrar(&r), S_OK); }
  ~Registrar() { r->Release(); }
  IRegistrar* operator->() { return r; }
};

const char16_t* const kScript =
    uR"(
HKCU
{
	NoRemove Software
	{
		NoRemove Reg
		{
			ForceRemove Class = s 'Class %NAME% name'
			{
				InprocServer32 = s '%Module%'
				{
					val ThreadingModel = s 'Apartment'
				}
				'Quoted Key' = s 'it''s 100%% done'
				Numbers
				{
					val Decimal = d '131473'
					val Hex = d '0x20191'
					val Multi = m 'one\0two'
					val Bytes = b '00FF10'
				}
			}
			Shared
			{
				val Mine = s 'mine'
				NoRemove val Kept = s 'kept'
			}
			Delete Obsolete
		}
	}
}
)";
}  // namespace

TEST(Registrar, RegisterThenUnregisterLeavesExactlyTheRightKeys) {
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Reg");
  // What others put there: a stale subkey of the class (removed by ForceRemove),
  // a key the script deletes, a key the script shares with another program.
  makeKey(u"Software\\Reg\\Class\\Stale");
  makeKey(u"Software\\Reg\\Obsolete\\Inner");
  makeKey(u"Software\\Reg\\Shared\\OtherProgram", u"theirs");
  makeKey(u"Software\\Reg\\Neighbour");

  Registrar reg;
  // Replacements go in as they are: a quote in one is doubled by whoever adds it
  // (the server framework does so for %MODULE%).
  ASSERT_EQ(reg->AddReplacement(u"MODULE", u"/opt/x/lib''o.so"), S_OK);
  ASSERT_EQ(reg->AddReplacement(u"name", u"Test"), S_OK);
  ASSERT_EQ(reg->StringRegister(kScript), S_OK);
  std::vector<std::string> registered = {
      "Software\\Reg",
      "Software\\Reg\\Class",
      "Software\\Reg\\Class []=s:Class Test name",
      "Software\\Reg\\Class\\InprocServer32",
      "Software\\Reg\\Class\\InprocServer32 []=s:/opt/x/lib'o.so",
      "Software\\Reg\\Class\\InprocServer32 [ThreadingModel]=s:Apartment",
      "Software\\Reg\\Class\\Numbers",
      "Software\\Reg\\Class\\Numbers [Bytes]=t3:00ff10",
      "Software\\Reg\\Class\\Numbers [Decimal]=d:131473",
      "Software\\Reg\\Class\\Numbers [Hex]=d:131473",
      "Software\\Reg\\Class\\Numbers [Multi]=t7:6f006e0065000000740077006f0000000000",
      "Software\\Reg\\Class\\Quoted Key",
      "Software\\Reg\\Class\\Quoted Key []=s:it's 100% done",
      "Software\\Reg\\Neighbour",
      "Software\\Reg\\Shared",
      "Software\\Reg\\Shared [Kept]=s:kept",
      "Software\\Reg\\Shared [Mine]=s:mine",
      "Software\\Reg\\Shared\\OtherProgram",
      "Software\\Reg\\Shared\\OtherProgram [Foreign]=s:theirs",
  };
  std::sort(registered.begin(), registered.end());
  EXPECT_EQ(dump(u"Software\\Reg"), registered);

  // Registering again changes nothing.
  ASSERT_EQ(reg->StringRegister(kScript), S_OK);
  EXPECT_EQ(dump(u"Software\\Reg"), registered);

  ASSERT_EQ(reg->StringUnregister(kScript), S_OK);
  std::vector<std::string> left = {
      "Software\\Reg",
      "Software\\Reg\\Neighbour",
      "Software\\Reg\\Shared",
      "Software\\Reg\\Shared [Kept]=s:kept",
      "Software\\Reg\\Shared\\OtherProgram",
      "Software\\Reg\\Shared\\OtherProgram [Foreign]=s:theirs",
  };
  EXPECT_EQ(dump(u"Software\\Reg"), left);

  // Unregistering what is not there is no failure.
  EXPECT_EQ(reg->StringUnregister(kScript), S_OK);
  EXPECT_EQ(dump(u"Software\\Reg"), left);
  RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Reg");
}

TEST(Registrar, ABadScriptChangesNothing) {
  struct Case {
    const char* what;
    const char16_t* script;
  } cases[] = {
      {"unbalanced brace", u"HKCU { Software { Marker = s 'x' }"},
      {"no value after '='", u"HKCU { Software { Marker = } }"},
      {"unknown type", u"HKCU { Software { Marker = q 'x' } }"},
      {"a value with keys", u"HKCU { Software { val Marker = s 'x' { Sub } } }"},
      {"a value without data", u"HKCU { Software { val Marker } }"},
      {"a compound key name", u"HKCU { Software\\Marker = s 'x' }"},
      {"unknown root", u"HKXX { Marker }"},
      {"unterminated quote", u"HKCU { Software { Marker = s 'x } }"},
      {"DWORD that is not a number", u"HKCU { Software { Marker { val V = d 'twelve' } } }"},
      {"negative DWORD", u"HKCU { Software { Marker { val V = d '-1' } } }"},
      {"DWORD beyond 32 bits", u"HKCU { Software { Marker { val V = d '4294967296' } } }"},
      {"odd binary", u"HKCU { Software { Marker { val V = b 'ABC' } } }"},
      {"unknown replacement", u"HKCU { Software { Marker = s '%NOSUCH%' } }"},
      {"unclosed replacement", u"HKCU { Software { Marker = s '%MODULE' } }"},
      {"a good root after a bad one", u"HKCU { Software { Marker } } HKCU {"},
  };
  for (const auto& c : cases) {
    Registrar reg;
    reg->AddReplacement(u"MODULE", u"m");
    EXPECT_EQ(reg->StringRegister(c.script), DISP_E_EXCEPTION) << c.what;
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Marker", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND) << c.what;
  }
}

TEST(Registrar, ScriptsFromFilesAndReplacementsCleared) {
  std::string dir = testsupport::freshDir("registrar");
  std::string file = dir + "/script.rgs";
  // A UTF-8 script with a byte-order mark, as an editor may save it.
  testsupport::writeFile(
      file, "\xEF\xBB\xBFHKCU\n{\n\tNoRemove Software\n\t{\n\t\tFromFile = s '%WHAT% \xE4\xB8\xAD'\n\t}\n}\n");
  std::u16string path;
  for (char c : file) path.push_back(static_cast<char16_t>(c));
  Registrar reg;
  reg->AddReplacement(u"WHAT", u"file");
  ASSERT_EQ(reg->FileRegister(path.c_str()), S_OK);
  std::vector<std::string> expected = {"Software\\FromFile", "Software\\FromFile []=s:file ?"};
  EXPECT_EQ(dump(u"Software\\FromFile"), expected);
  ASSERT_EQ(reg->ClearReplacements(), S_OK);
  EXPECT_EQ(reg->FileUnregister(path.c_str()), DISP_E_EXCEPTION);  // %WHAT% is gone
  reg->AddReplacement(u"what", u"again");
  ASSERT_EQ(reg->FileUnregister(path.c_str()), S_OK);
  EXPECT_TRUE(dump(u"Software\\FromFile").empty());
  EXPECT_EQ(reg->FileRegister(u"/no/such/script.rgs"), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}
