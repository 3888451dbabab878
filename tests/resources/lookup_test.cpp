// Finding resources by (module, type, name, language): dialog templates read
// back from their binary layout, bitmaps, embedded files, version information,
// and modules that carry resources of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "data/test_ids.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"

namespace {

// Window and control style bits, as documented, to check the compiled templates.
constexpr DWORD WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_VISIBLE = 0x10000000, WS_CAPTION = 0x00C00000,
                WS_BORDER = 0x00800000, WS_SYSMENU = 0x00080000, WS_GROUP = 0x00020000, WS_TABSTOP = 0x00010000;
constexpr DWORD DS_SETFONT = 0x40, DS_MODALFRAME = 0x80, DS_CENTER = 0x0800;
constexpr DWORD BS_PUSHBUTTON = 0, BS_DEFPUSHBUTTON = 1, ES_LEFT = 0, ES_PASSWORD = 0x20, ES_AUTOHSCROLL = 0x80;
constexpr DWORD SS_LEFT = 0, SS_RIGHT = 2, SS_ICON = 3, SS_SUNKEN = 0x1000, LVS_REPORT = 1;
constexpr DWORD WS_EX_CLIENTEDGE = 0x200, WS_EX_STATICEDGE = 0x20000;

std::string bytesOf(HMODULE module, HRSRC r) {
  const void* p = LockResource(LoadResource(module, r));
  return std::string(static_cast<const char*>(p), SizeofResource(module, r));
}

std::string dataFile(const std::string& name) {
  return testsupport::readFile(std::string(RES_TEST_DATA_DIR) + "/" + name);
}

// Reads a DLGTEMPLATEEX back, independently of the compiler's writer.
struct TemplateReader {
  const BYTE* base;
  size_t size;
  size_t off = 0;
  WORD u16() {
    EXPECT_LE(off + 2, size);
    WORD v;
    std::memcpy(&v, base + off, 2);
    off += 2;
    return v;
  }
  DWORD u32() {
    DWORD lo = u16();
    return lo | (DWORD{u16()} << 16);
  }
  std::u16string sz() {
    std::u16string s;
    for (WORD c; (c = u16()) != 0;) s += static_cast<char16_t>(c);
    return s;
  }
  struct SzOrOrd {
    bool ordinal = false;
    WORD id = 0;
    std::u16string text;
  };
  SzOrOrd szOrOrd() {
    SzOrOrd r;
    WORD first = u16();
    if (first == 0xFFFF) {
      r.ordinal = true;
      r.id = u16();
    } else if (first != 0) {
      off -= 2;
      r.text = sz();
    }
    return r;
  }
  void align4() { off = (off + 3) & ~size_t{3}; }
};

struct Item {
  DWORD helpId, exStyle, style;
  short x, y, cx, cy;
  DWORD id;
  TemplateReader::SzOrOrd cls, title;
};

struct Template {
  WORD version, signature;
  DWORD helpId, exStyle, style;
  WORD count;
  short x, y, cx, cy;
  TemplateReader::SzOrOrd menu, cls;
  std::u16string title;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  std::u16string face;
  std::vector<Item> items;
  size_t end = 0;
};

Template readTemplate(const BYTE* data, size_t size) {
  TemplateReader r{data, size};
  Template t{};
  t.version = r.u16();
  t.signature = r.u16();
  t.helpId = r.u32();
  t.exStyle = r.u32();
  t.style = r.u32();
  t.count = r.u16();
  t.x = static_cast<short>(r.u16());
  t.y = static_cast<short>(r.u16());
  t.cx = static_cast<short>(r.u16());
  t.cy = static_cast<short>(r.u16());
  t.menu = r.szOrOrd();
  t.cls = r.szOrOrd();
  t.title = r.sz();
  if (t.style & DS_SETFONT) {
    t.pointSize = r.u16();
    t.weight = r.u16();
    WORD ib = r.u16();
    t.italic = static_cast<BYTE>(ib & 0xFF);
    t.charset = static_cast<BYTE>(ib >> 8);
    t.face = r.sz();
  }
  for (WORD i = 0; i < t.count; ++i) {
    r.align4();
    Item it{};
    it.helpId = r.u32();
    it.exStyle = r.u32();
    it.style = r.u32();
    it.x = static_cast<short>(r.u16());
    it.y = static_cast<short>(r.u16());
    it.cx = static_cast<short>(r.u16());
    it.cy = static_cast<short>(r.u16());
    it.id = r.u32();
    it.cls = r.szOrOrd();
    it.title = r.szOrOrd();
    WORD extra = r.u16();
    r.off += extra;
    t.items.push_back(it);
  }
  t.end = r.off;
  return t;
}

Template loadTemplate(WORD id, LANGID lang) {
  HRSRC r = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(id), lang);
  EXPECT_NE(r, nullptr);
  if (r == nullptr) return Template{};
  const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, r)));
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % 4, 0u) << "template not DWORD aligned";
  Template t = readTemplate(data, SizeofResource(nullptr, r));
  EXPECT_EQ(t.end, SizeofResource(nullptr, r)) << "template size does not match its contents";
  return t;
}

TEST(DialogTemplate, CompiledLayoutReadsBack) {
  Template t = loadTemplate(IDD_CHOOSER, 1033);
  EXPECT_EQ(t.version, 1);
  EXPECT_EQ(t.signature, 0xFFFF);
  EXPECT_EQ(t.style, DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.cx, 306);
  EXPECT_EQ(t.cy, 120);
  EXPECT_FALSE(t.menu.ordinal);
  EXPECT_TRUE(t.menu.text.empty());
  EXPECT_TRUE(t.cls.text.empty());
  EXPECT_EQ(t.title, u"Select a Certificate");
  EXPECT_EQ(t.pointSize, 10);
  EXPECT_EQ(t.weight, 400);
  EXPECT_EQ(t.italic, 0);
  EXPECT_EQ(t.charset, 1);
  EXPECT_EQ(t.face, u"MS Shell Dlg");
  ASSERT_EQ(t.count, 8);

  const Item& list = t.items[0];
  EXPECT_FALSE(list.cls.ordinal);
  EXPECT_EQ(list.cls.text, u"SysListView32");
  EXPECT_EQ(list.title.text, u"List1");
  EXPECT_EQ(list.id, static_cast<DWORD>(IDC_LIST));
  EXPECT_EQ(list.style, WS_CHILD | WS_VISIBLE | LVS_REPORT | WS_BORDER | WS_TABSTOP);
  EXPECT_EQ(list.x, 5);
  EXPECT_EQ(list.y, 1);
  EXPECT_EQ(list.cx, 292);
  EXPECT_EQ(list.cy, 90);

  const Item& ok = t.items[1];
  EXPECT_TRUE(ok.cls.ordinal);
  EXPECT_EQ(ok.cls.id, 0x0080);
  EXPECT_EQ(ok.id, 1u);
  EXPECT_EQ(ok.style, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON | WS_TABSTOP);
  EXPECT_EQ(ok.title.text, u"Confirm");

  const Item& cancel = t.items[2];
  EXPECT_EQ(cancel.id, 2u);
  EXPECT_EQ(cancel.style, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | WS_TABSTOP);
  EXPECT_EQ(cancel.x, 161);

  // EDITTEXT: its default border taken away by NOT, an extended style added.
  const Item& edit = t.items[3];
  EXPECT_TRUE(edit.cls.ordinal);
  EXPECT_EQ(edit.cls.id, 0x0081);
  EXPECT_EQ(edit.id, static_cast<DWORD>(IDC_PIN));
  EXPECT_EQ(edit.style, WS_CHILD | WS_VISIBLE | ES_LEFT | WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL);
  EXPECT_EQ(edit.exStyle, WS_EX_CLIENTEDGE);
  EXPECT_TRUE(edit.title.text.empty());
  EXPECT_FALSE(edit.title.ordinal);

  const Item& label = t.items[4];
  EXPECT_EQ(label.cls.id, 0x0082);
  EXPECT_EQ(label.id, 0xFFFFFFFFu);  // IDC_STATIC
  EXPECT_EQ(label.style, WS_CHILD | WS_VISIBLE | SS_LEFT | WS_GROUP);

  const Item& right = t.items[5];
  EXPECT_EQ(right.title.text, u"請輸入");
  EXPECT_EQ(right.style, WS_CHILD | WS_VISIBLE | SS_RIGHT | WS_GROUP);
  EXPECT_EQ(right.x, -1);

  const Item& icon = t.items[6];
  EXPECT_TRUE(icon.title.ordinal);
  EXPECT_EQ(icon.title.id, IDB_DIGIT);
  EXPECT_EQ(icon.style, WS_CHILD | WS_VISIBLE | SS_ICON);
  EXPECT_EQ(icon.cx, 0);

  const Item& sunken = t.items[7];
  EXPECT_TRUE(sunken.cls.ordinal);  // "Static" is the predefined class
  EXPECT_EQ(sunken.cls.id, 0x0082);
  EXPECT_EQ(sunken.style, WS_CHILD | WS_VISIBLE | SS_SUNKEN);
  EXPECT_EQ(sunken.exStyle, WS_EX_STATICEDGE);
}

TEST(DialogTemplate, LanguagesAreSeparateTemplates) {
  Template t = loadTemplate(IDD_CHOOSER, 1028);
  // Its own STYLE and no CAPTION: no caption, no system menu, no border.
  EXPECT_EQ(t.style, DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_VISIBLE);
  EXPECT_TRUE(t.title.empty());
  EXPECT_EQ(t.cx, 187);
  EXPECT_EQ(t.cy, 42);
  EXPECT_EQ(t.face, u"MS Shell Dlg");
  EXPECT_EQ(t.weight, 400);  // not given: normal weight
  ASSERT_EQ(t.count, 1);
  EXPECT_EQ(t.items[0].id, 311u);
}

TEST(FindResource, ErrorsName) {
  struct Case {
    const char* what;
    HMODULE module;
    LPCWSTR type;
    LPCWSTR name;
    WORD lang;
    DWORD err;  // 0: found
  };
  HMODULE kernel = PlatformModuleFromAddress(reinterpret_cast<const void*>(&GetLastError));
  ASSERT_NE(kernel, nullptr);
  ASSERT_NE(kernel, GetModuleHandleA(nullptr));
  const Case cases[] = {
      {"found", nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1033, 0},
      {"the program by its handle", GetModuleHandleA(nullptr), RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1028, 0},
      {"no other language tried", nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 2052,
       ERROR_RESOURCE_LANG_NOT_FOUND},
      {"neutral is a language of its own", nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 0,
       ERROR_RESOURCE_LANG_NOT_FOUND},
      {"unknown name", nullptr, RT_DIALOG, MAKEINTRESOURCEW(999), 1033, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"unknown type", nullptr, u"NOSUCHTYPE", MAKEINTRESOURCEW(1), 1033, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"module without resources", kernel, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1033,
       ERROR_RESOURCE_DATA_NOT_FOUND},
      {"numbers written #n", nullptr, u"#5", u"#104", 1033, 0},
      {"type and name strings without case", nullptr, u"registry", u"namedscript", 1033, 0},
      {"string name is not an ordinal", nullptr, u"REGISTRY", u"#NamedScript", 1033, ERROR_RESOURCE_NAME_NOT_FOUND},
      {"typelib", nullptr, u"TYPELIB", MAKEINTRESOURCEW(1), 1033, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    HRSRC r = FindResourceExW(c.module, c.type, c.name, c.lang);
    if (c.err == 0) {
      EXPECT_NE(r, nullptr);
    } else {
      EXPECT_EQ(r, nullptr);
      EXPECT_EQ(GetLastError(), c.err);
    }
  }
  SetLastError(0);
  EXPECT_EQ(FindResourceExW(nullptr, RT_DIALOG, nullptr, 1033), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(FindResource, WithoutLanguageFallsBackToAnotherLanguage) {
  struct Restore {
    ~Restore() { SetThreadUILanguage(0); }
  } restore;
  SetThreadUILanguage(1033);
  HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_CHOOSER), RT_DIALOG);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r, FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1033));
  SetThreadUILanguage(1028);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_CHOOSER), RT_DIALOG),
            FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1028));
  // 2052 has no template: the lowest language the program has it in.
  SetThreadUILanguage(2052);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(IDD_CHOOSER), RT_DIALOG),
            FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1028));
  EXPECT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(IDR_REG), "REGISTRY"), nullptr);
  SetLastError(0);
  EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(4242), RT_DIALOG), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
}

// A listed name as text: "#n" for a number.
std::u16string listedName(LPCWSTR name) {
  if (!IS_INTRESOURCE(name)) return name;
  std::string n = "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
  return std::u16string(n.begin(), n.end());
}

// What a walk lists: each name once, texts before numbers, languages ascending.
TEST(Enumeration, NamesAndLanguagesOnceInDirectoryOrder) {
  struct Listed {
    std::vector<std::u16string> names;
    std::vector<WORD> languages;
    int stopAfter = -1;  // the callback answers FALSE on this call
  };
  auto onName = [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR p) -> BOOL {
    auto* l = reinterpret_cast<Listed*>(p);
    l->names.push_back(listedName(name));
    return static_cast<int>(l->names.size()) != l->stopAfter;
  };
  auto onLanguage = [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR p) -> BOOL {
    auto* l = reinterpret_cast<Listed*>(p);
    l->languages.push_back(language);
    return static_cast<int>(l->languages.size()) != l->stopAfter;
  };
  auto param = [](Listed& l) { return reinterpret_cast<LONG_PTR>(&l); };

  Listed scripts;
  ASSERT_TRUE(EnumResourceNamesW(nullptr, u"registry", onName, param(scripts)));
  EXPECT_EQ(scripts.names, (std::vector<std::u16string>{u"NAMEDSCRIPT", u"#101"}));
  // String block 35 (544-559) is in two tables of the program, in 1033 both times.
  Listed blocks;
  ASSERT_TRUE(EnumResourceNamesW(nullptr, RT_STRING, onName, param(blocks)));
  EXPECT_EQ(std::count(blocks.names.begin(), blocks.names.end(), u"#35"), 1);
  EXPECT_EQ(std::count(blocks.names.begin(), blocks.names.end(), u"#438"), 1);  // IDS_LONG's block
  Listed dialogLanguages;
  ASSERT_TRUE(
      EnumResourceLanguagesW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), onLanguage, param(dialogLanguages)));
  EXPECT_EQ(dialogLanguages.languages, (std::vector<WORD>{1028, 1033}));
  Listed blockLanguages;
  ASSERT_TRUE(EnumResourceLanguagesW(nullptr, RT_STRING, u"#35", onLanguage, param(blockLanguages)));
  EXPECT_EQ(blockLanguages.languages, (std::vector<WORD>{1028, 1033, 2052}));  // the error texts' languages

  Listed stopped;
  stopped.stopAfter = 1;
  SetLastError(0);
  EXPECT_FALSE(EnumResourceLanguagesW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), onLanguage, param(stopped)));
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_ENUM_USER_STOP);
  EXPECT_EQ(stopped.languages, std::vector<WORD>{1028});

  HMODULE kernel = PlatformModuleFromAddress(reinterpret_cast<const void*>(&GetLastError));
  struct Case {
    const char* what;
    HMODULE module;
    LPCWSTR type;
    LPCWSTR name;  // null: the names of the type are listed
    DWORD err;
  };
  const Case cases[] = {
      {"no such type", nullptr, u"NOSUCHTYPE", nullptr, ERROR_RESOURCE_TYPE_NOT_FOUND},
      {"module without resources", kernel, RT_DIALOG, nullptr, ERROR_RESOURCE_DATA_NOT_FOUND},
      {"no such name", nullptr, RT_DIALOG, MAKEINTRESOURCEW(999), ERROR_RESOURCE_NAME_NOT_FOUND},
      {"languages of a type the module lacks", nullptr, u"NOSUCHTYPE", MAKEINTRESOURCEW(1),
       ERROR_RESOURCE_TYPE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Listed none;
    SetLastError(0);
    BOOL ok = c.name == nullptr ? EnumResourceNamesW(c.module, c.type, onName, param(none))
                                : EnumResourceLanguagesW(c.module, c.type, c.name, onLanguage, param(none));
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), c.err);
    EXPECT_TRUE(none.names.empty() && none.languages.empty());
  }
}

TEST(EmbeddedFiles, BitmapsRegistryScriptsAndTypeLibraries) {
  // A .bmp is kept as its DIB: the file without the 14-byte file header.
  HRSRC bmp = FindResourceExW(nullptr, RT_BITMAP, MAKEINTRESOURCEW(IDB_DIGIT), 1033);
  ASSERT_NE(bmp, nullptr);
  EXPECT_EQ(PlatformResourceFormat(bmp), PLATFORM_RESFMT_DIB);
  std::string file = dataFile("digit.bmp");
  ASSERT_EQ(file.size(), 70u);
  EXPECT_EQ(bytesOf(nullptr, bmp), file.substr(14));
  DWORD headerSize;
  std::memcpy(&headerSize, LockResource(LoadResource(nullptr, bmp)), 4);
  EXPECT_EQ(headerSize, 40u);  // BITMAPINFOHEADER

  HRSRC png = FindResourceExW(nullptr, RT_BITMAP, MAKEINTRESOURCEW(IDB_PNG), 1033);
  ASSERT_NE(png, nullptr);
  EXPECT_EQ(PlatformResourceFormat(png), PLATFORM_RESFMT_PNG);
  EXPECT_EQ(bytesOf(nullptr, png), dataFile("dot.png"));

  HRSRC reg = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_REG), u"REGISTRY");
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(PlatformResourceFormat(reg), PLATFORM_RESFMT_RAW);
  EXPECT_EQ(bytesOf(nullptr, reg), dataFile("test.rgs"));

  HRSRC tlb = FindResourceA(nullptr, MAKEINTRESOURCEA(1), "TYPELIB");
  ASSERT_NE(tlb, nullptr);
  EXPECT_EQ(bytesOf(nullptr, tlb), dataFile("test.tlb"));
  EXPECT_EQ(SizeofResource(nullptr, tlb), 11u);
}

std::u16string fileName(HMODULE module) {
  WCHAR buf[1024];
  DWORD n = GetModuleFileNameW(module, buf, 1024);
  EXPECT_GT(n, 0u);
  return std::u16string(buf, n);
}

// The version text as the controls read it: the first translation's FileVersion.
std::u16string fileVersion(const std::u16string& file) {
  DWORD handle = 7;
  DWORD size = GetFileVersionInfoSizeW(file.c_str(), &handle);
  EXPECT_EQ(handle, 0u);
  if (size == 0) return u"(none)";
  std::vector<BYTE> block(size);
  EXPECT_TRUE(GetFileVersionInfoW(file.c_str(), 0, size, block.data()));
  WORD* translation = nullptr;
  UINT len = 0;
  if (!VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation), &len))
    return u"(no translation)";
  EXPECT_GE(len, 4u);
  char query[64];
  std::snprintf(query, sizeof query, "\\StringFileInfo\\%04hX%04hX\\FileVersion", translation[0], translation[1]);
  std::u16string q(query, query + std::strlen(query));
  WCHAR* text = nullptr;
  if (!VerQueryValueW(block.data(), q.c_str(), reinterpret_cast<LPVOID*>(&text), &len)) return u"(no FileVersion)";
  EXPECT_EQ(text[len - 1], 0);
  return std::u16string(text, len - 1);
}

TEST(VersionInfo, FileVersionPerLanguage) {
  std::u16string self = fileName(nullptr);
  EXPECT_EQ(fileVersion(self), u"1, 0, 0, 1");

  DWORD size = GetFileVersionInfoSizeW(self.c_str(), nullptr);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(self.c_str(), 0, size, block.data()));

  WORD* translation = nullptr;
  UINT len = 0;
  ASSERT_TRUE(
      VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation), &len));
  ASSERT_EQ(len, 8u);
  EXPECT_EQ(translation[0], 0x0404);
  EXPECT_EQ(translation[1], 1200);
  EXPECT_EQ(translation[2], 0x0409);

  WCHAR* text = nullptr;
  // Keys compare without case; a spelled-out \0 does not make a second NUL.
  ASSERT_TRUE(
      VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\FileVersion", reinterpret_cast<LPVOID*>(&text), &len));
  EXPECT_EQ(std::u16string(text), u"2, 0, 0, 7");
  EXPECT_EQ(len, 11u);
  ASSERT_TRUE(
      VerQueryValueW(block.data(), u"\\stringfileinfo\\040404b0\\productname", reinterpret_cast<LPVOID*>(&text), &len));
  EXPECT_EQ(std::u16string(text), u"測試元件");
  EXPECT_FALSE(
      VerQueryValueW(block.data(), u"\\StringFileInfo\\080404B0\\FileVersion", reinterpret_cast<LPVOID*>(&text), &len));
  EXPECT_FALSE(
      VerQueryValueW(block.data(), u"\\StringFileInfo\\040404B0\\Comments", reinterpret_cast<LPVOID*>(&text), &len));

  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), u"\\", reinterpret_cast<LPVOID*>(&fixed), &len));
  ASSERT_EQ(len, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwStrucVersion, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010002u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00030004u);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed->dwFileOS, 0x40004u);
  EXPECT_EQ(fixed->dwFileType, 2u);

  // A short buffer gets the start of the block.
  std::vector<BYTE> head(16, 0xAA);
  ASSERT_TRUE(GetFileVersionInfoW(self.c_str(), 0, 8, head.data()));
  EXPECT_EQ(std::memcmp(head.data(), block.data(), 8), 0);
  EXPECT_EQ(head[8], 0xAA);
}

TEST(VersionInfo, FilesWithoutVersionInformation) {
  // A loaded module without resources, and a file that is no module.
  HMODULE kernel = PlatformModuleFromAddress(reinterpret_cast<const void*>(&GetLastError));
  std::u16string kernelFile = fileName(kernel);
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeW(kernelFile.c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  BYTE buf[64];
  EXPECT_FALSE(GetFileVersionInfoW(kernelFile.c_str(), 0, sizeof buf, buf));
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeW(u"/nonexistent/file.dll", nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Modules, EachModuleFindsItsOwnResources) {
  std::string original = RES_TEST_MODULE;
  std::string copy = testsupport::freshDir("modules") + "/copy_of_module.so";
  std::filesystem::copy_file(original, copy);

  HMODULE a = PlatformLoadLibraryPath(original.c_str());
  ASSERT_NE(a, nullptr);
  HMODULE b = PlatformLoadLibraryPath(copy.c_str());
  ASSERT_NE(b, nullptr);
  ASSERT_NE(a, b);
  // Loading the same file again gives the same module.
  HMODULE again = PlatformLoadLibraryPath(original.c_str());
  EXPECT_EQ(again, a);
  FreeLibrary(again);

  WCHAR buf[64];
  for (HMODULE m : {a, b}) {
    EXPECT_EQ(PlatformLoadStringLang(m, 500, 1033, buf, 64), 13);
    EXPECT_EQ(std::u16string(buf), u"Module string");
    // The module has no Chinese table and no other strings.
    EXPECT_EQ(PlatformLoadStringLang(m, 500, 1028, buf, 64), 0);
    EXPECT_EQ(PlatformLoadStringLang(m, 501, 1033, buf, 64), 0);
    EXPECT_EQ(FindResourceExW(m, RT_DIALOG, MAKEINTRESOURCEW(IDD_CHOOSER), 1033), nullptr);
    EXPECT_EQ(fileVersion(fileName(m)), u"3, 1, 4, 1");
  }
  // The program's own table is untouched by the modules'.
  EXPECT_EQ(PlatformLoadStringLang(nullptr, 500, 1033, buf, 64), 7);
  EXPECT_EQ(std::u16string(buf), u"Success");
  EXPECT_EQ(fileVersion(fileName(nullptr)), u"1, 0, 0, 1");
  // Another path to the same file finds the module's version too.
  std::string viaDot = original.substr(0, original.rfind('/')) + "/./" + original.substr(original.rfind('/') + 1);
  EXPECT_EQ(fileVersion(std::u16string(viaDot.begin(), viaDot.end())), u"3, 1, 4, 1");

  // Unloading a module takes its resources away, and only its.
  ASSERT_TRUE(FreeLibrary(b));
  SetLastError(0);
  EXPECT_EQ(PlatformLoadStringLang(b, 500, 1033, buf, 64), 0);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
  EXPECT_EQ(PlatformLoadStringLang(a, 500, 1033, buf, 64), 13);
  ASSERT_TRUE(FreeLibrary(a));
  EXPECT_EQ(PlatformLoadStringLang(a, 500, 1033, buf, 64), 0);
}

}  // namespace
