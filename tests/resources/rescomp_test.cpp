// The resource compiler's refusals: each bad script fails with the file and
// line of the fault and writes no output; a good one lists its dependencies.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestRoot.h"

namespace {

std::string rescomp() { return RESCOMP_PATH; }

struct Outcome {
  int status;
  std::string messages;
  bool wroteOutput;
};

// Compiles `script` (written to main.rc beside `extra` files) and reports.
Outcome compile(const std::string& dir, const std::string& script) {
  testsupport::writeFile(dir + "/main.rc", script);
  std::string out = dir + "/out.cpp";
  std::filesystem::remove(out);
  std::string messages;
  int status =
      testsupport::run(rescomp() + " --depfile " + dir + "/out.d -o " + out + " " + dir + "/main.rc 2>&1", &messages);
  return Outcome{status, messages, std::filesystem::exists(out)};
}

TEST(Rescomp, BadScriptsFailWithTheirLine) {
  std::string dir = testsupport::freshDir("rescomp-bad");
  testsupport::writeFile(dir + "/ids.h", "#define IDS_ONE 1\n");
  testsupport::writeFile(dir + "/plain.txt", "not a picture");
  struct Case {
    const char* what;
    std::string script;
    const char* message;  // expected after "main.rc:<line>: error: "
    int line;
  };
  const Case cases[] = {
      {"string defined twice", "STRINGTABLE\nBEGIN\n 5 \"a\"\n 5 \"b\"\nEND\n",
       "string 5 defined twice for language 1033", 4},
      {"same id in another language is fine, twice in one is not",
       "STRINGTABLE BEGIN 5 \"a\" END\nLANGUAGE 4, 1\nSTRINGTABLE BEGIN 5 \"b\" END\nSTRINGTABLE BEGIN\n5 \"c\" END\n",
       "string 5 defined twice for language 1028", 5},
      {"undefined name", "#include \"ids.h\"\nSTRINGTABLE\nBEGIN\n IDS_TWO \"a\"\nEND\n", "'IDS_TWO' is not defined",
       4},
      {"ill-formed UTF-8", "STRINGTABLE\nBEGIN\n 1 \"\xC3\x28\"\nEND\n", "file is not valid UTF-8", 3},
      {"unknown escape", "STRINGTABLE\nBEGIN\n 1 \"a\\qb\"\nEND\n", "unknown escape \\q in string", 3},
      {"unterminated string", "STRINGTABLE\nBEGIN\n 1 \"abc\nEND\n", "unterminated string", 3},
      {"string id out of range", "STRINGTABLE\nBEGIN\n 65536 \"a\"\nEND\n", "string id out of range: 65536", 3},
      {"missing END", "STRINGTABLE\nBEGIN\n 1 \"a\"\n", "expected END, found end of file", 4},
      {"missing bitmap file", "\n1 BITMAP \"nope.bmp\"\n", "file 'nope.bmp' not found", 2},
      {"bitmap that is no picture", "1 BITMAP \"plain.txt\"\n", "'plain.txt' is neither a .bmp nor a .png file", 1},
      {"dialog defined twice", "1 DIALOGEX 0,0,1,1\nBEGIN\nEND\n\n1 DIALOGEX 0,0,2,2\nBEGIN\nEND\n",
       "resource defined twice for language 1033", 5},
      {"old DIALOG statement", "1 DIALOG 0,0,1,1\nBEGIN\nEND\n", "resource type DIALOG is not supported", 1},
      {"unknown control", "1 DIALOGEX 0,0,1,1\nBEGIN\n LISTBOX 5, 1,1,1,1\nEND\n",
       "unsupported dialog control 'LISTBOX'", 3},
      {"unknown bare class", "1 DIALOGEX 0,0,1,1\nBEGIN\n CONTROL \"\", 5, SysListView32, 0, 1,1,1,1\nEND\n",
       "unknown window class SysListView32", 3},
      {"coordinate out of range", "1 DIALOGEX 0,0,40000,1\nBEGIN\nEND\n", "coordinate out of range: 40000", 1},
      {"#if", "#if 1\n#endif\n", "#if is not supported (use #ifdef or #ifndef)", 1},
      {"function-like macro", "\n#define F(x) x\n", "function-like macros are not supported", 2},
      {"unterminated #ifdef", "#ifdef X\n\n", "#ifdef without #endif", 1},
      {"missing include", "#include \"none.h\"\n", "cannot find include file 'none.h'", 1},
      {"mixed version value", "1 VERSIONINFO\nBEGIN\n VALUE \"A\", \"x\", 1\nEND\n",
       "a VALUE holds either text or numbers", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome o = compile(dir, c.script);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.messages.find(dir + "/main.rc:" + std::to_string(c.line) + ": error: " + c.message), std::string::npos)
        << o.messages;
    EXPECT_FALSE(o.wroteOutput);
  }
}

TEST(Rescomp, DependencyFileListsIncludesAndEmbeddedFiles) {
  std::string dir = testsupport::freshDir("rescomp-deps");
  std::filesystem::create_directories(dir + "/inc");
  testsupport::writeFile(dir + "/inc/names.h", "#define IDR_X 7\n");
  testsupport::writeFile(dir + "/script.rgs", "HKCR {}\n");
  Outcome o = compile(dir, "#include <names.h>\nIDR_X REGISTRY \"script.rgs\"\n");
  // <names.h> is looked for in the include directories only.
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.messages.find("cannot find include file 'names.h'"), std::string::npos);

  std::string messages;
  int status = testsupport::run(
      rescomp() + " -I " + dir + "/inc --depfile " + dir + "/out.d -o " + dir + "/out.cpp " + dir + "/main.rc 2>&1",
      &messages);
  ASSERT_EQ(status, 0) << messages;
  std::string deps = testsupport::readFile(dir + "/out.d");
  EXPECT_EQ(deps.rfind(dir + "/out.cpp:", 0), 0u) << deps;
  for (const char* f : {"/main.rc", "/inc/names.h", "/script.rgs"}) {
    EXPECT_NE(deps.find(dir + f), std::string::npos) << f << " missing from " << deps;
  }
  // The generated source names its resource: type "REGISTRY", id 7.
  std::string cpp = testsupport::readFile(dir + "/out.cpp");
  EXPECT_NE(cpp.find("PlatformRegisterResources"), std::string::npos);
  EXPECT_NE(cpp.find("0x52, 0x45, 0x47, 0x49, 0x53, 0x54, 0x52, 0x59, 0}"), std::string::npos) << cpp;
}

}  // namespace

namespace {

TEST(Rescomp, EachScriptStartsAfresh) {
  std::string dir = testsupport::freshDir("rescomp-units");
  testsupport::writeFile(dir + "/a.rc", "#define IDS_A 5\nLANGUAGE 4, 1\nSTRINGTABLE BEGIN IDS_A \"a\" END\n");
  testsupport::writeFile(dir + "/b.rc", "STRINGTABLE BEGIN\nIDS_A \"b\" END\n");
  testsupport::writeFile(dir + "/c.rc", "STRINGTABLE BEGIN 6 \"c\" END\n");
  std::string messages;
  // A name defined by one script is not defined in the next.
  EXPECT_EQ(testsupport::run(rescomp() + " -o " + dir + "/out.cpp " + dir + "/a.rc " + dir + "/b.rc 2>&1", &messages),
            1);
  EXPECT_NE(messages.find(dir + "/b.rc:2: error: 'IDS_A' is not defined"), std::string::npos) << messages;
  // Nor does its LANGUAGE carry over: c.rc's string is in 1033, a.rc's in 1028.
  ASSERT_EQ(testsupport::run(rescomp() + " -o " + dir + "/out.cpp " + dir + "/a.rc " + dir + "/c.rc 2>&1", &messages),
            0)
      << messages;
  std::string cpp = testsupport::readFile(dir + "/out.cpp");
  EXPECT_NE(cpp.find("{nullptr, 6, nullptr, 1, 1028, 0, kData"), std::string::npos) << cpp;
  EXPECT_NE(cpp.find("{nullptr, 6, nullptr, 1, 1033, 0, kData"), std::string::npos) << cpp;
}

}  // namespace
