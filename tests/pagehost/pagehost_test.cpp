// pagehost end to end: page scripts run by the built tool against the com
// family's test server and a dialog server of our own, both registered with
// regsvr in the test's throwaway platform root.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestRoot.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string shellQuoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q.push_back(c);
  }
  return q + "'";
}

int counter = 0;

// Runs `script` through pagehost with the options (already quoted where needed).
Outcome page(const std::string& script, const std::string& options = "", const std::string& userJson = "") {
  std::string dir = testsupport::freshDir("page" + std::to_string(++counter));
  std::string path = dir + "/page.js";
  testsupport::writeFile(path, script);
  std::string cmd = std::string(PAGEHOST_PATH) + " " + options;
  if (!userJson.empty()) {
    testsupport::writeFile(dir + "/user.json", userJson);
    cmd += " --user " + shellQuoted(dir + "/user.json");
  }
  cmd += " " + shellQuoted(path) + " 2>" + shellQuoted(dir + "/stderr");
  Outcome r;
  r.status = testsupport::run(cmd, &r.out);
  r.err = testsupport::readFile(dir + "/stderr");
  return r;
}

const char* const kCreate = "var c = new ActiveXObject('ComTest.TestCtrl');\n";

class PageHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    for (const char* server : {TEST_SERVER_PATH, DIALOG_SERVER_PATH}) {
      std::string out;
      ASSERT_EQ(testsupport::run(std::string(REGSVR_PATH) + " " + shellQuoted(fs::canonical(server).string()) + " 2>&1",
                                 &out),
                0)
          << out;
    }
  }
};

// Script values reach the control with the documented types: the test
// server's Describe answers "vt:text" of the VARIANT it was given.
TEST_F(PageHost, ArgumentsTakeTheirVariantTypes) {
  struct Case {
    const char* value;
    const char* described;
  } cases[] = {
      {"1", "3:1"},                      // whole, fits 32 bits: VT_I4
      {"-2147483648", "3:-2147483648"},  // the lowest VT_I4
      {"2147483647", "3:2147483647"},    // the highest
      {"2147483648", "5:2147483648"},    // whole but too big: VT_R8
      {"-2147483649", "5:-2147483649"},
      {"1.5", "5:1.5"},  // VT_R8
      {"3e9", "5:3000000000"},
      {"-0.25", "5:-0.25"},
      {"-0", "3:0"},      // negative zero is whole
      {"true", "11:-1"},  // VT_BOOL, VARIANT_TRUE
      {"false", "11:0"},
      {"'abc'", "8:abc"},  // VT_BSTR
      {"''", "8:"},
      {"null", "1:-"},      // VT_NULL
      {"undefined", "0:"},  // VT_EMPTY
  };
  std::string script = kCreate;
  for (const auto& c : cases) script += std::string("print(c.Describe(") + c.value + "));\n";
  Outcome r = page(script);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expected;
  for (const auto& c : cases) expected += std::string(c.described) + "\n";
  EXPECT_EQ(r.out, expected);
}

// The [out, retval] argument is the call's value, converted back to script
// values; a null BSTR is the empty string.
TEST_F(PageHost, RetvalIsTheCallsValue) {
  Outcome r =
      page(std::string(kCreate) +
           "print(c.Add(2, 3), typeof c.Add(2, 3));\n"
           "print(c.Concat('ab', 'cd'));\n"
           "print(c.Scale(1.5, 4));\n"
           "var n = c.NullText(); print(typeof n, n.length, n === '');\n"
           "print(c.Wide(), c.Wide().length);\n"
           "var s = c.Concat('\\uD83D\\uDE00', '\\u00e9'); print(s, s.length);\n"
           "print(c.Echo(null) === null, c.Echo(undefined) === undefined, c.Echo(true) === true, c.Echo(2.5));\n"
           "print(c.Label, c.get_Label());\n"
           "print(c.Fail(1));\n");  // S_FALSE is a success: no value, no error
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "5 number\n"
            "abcd\n"
            "6\n"
            "string 0 true\n"
            "\xE4\xB8\xAD\xE6\x96\x87 2\n"
            "\xF0\x9F\x98\x80\xC3\xA9 3\n"
            "true true true 2.5\n"
            "label label\n"
            "undefined\n");
}

TEST_F(PageHost, PropertiesGetAndPut) {
  // Flag reads only the VARIANT's 16-bit boolean field: true and -1 (VT_I4,
  // low bits all ones) switch it on, 1 does not.
  Outcome r =
      page(std::string(kCreate) +
           "print(c.Count); c.Count = 42; print(c.Count);\n"
           "c.Switch = true; print(c.Switch); c.Switch = false; print(c.Switch);\n"
           "c.Flag = true; print(c.FlagValue); c.Flag = 1; print(c.FlagValue); c.Flag = -1; print(c.FlagValue);\n"
           "print(typeof c.Add, typeof c.NoSuchMember);\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "0\n42\ntrue\nfalse\n1\n0\n1\nfunction undefined\n");
}

// The client site's moniker names the page address; the options take the
// site or its moniker away.
TEST_F(PageHost, SiteAndMonikerOptions) {
  struct Case {
    std::string options;
    std::string url;
  } cases[] = {
      {"", "http://localhost/"},
      {"--url " + shellQuoted("https://127.0.0.1:8443/ebank/sign?x=1#top"),
       "https://127.0.0.1:8443/ebank/sign?x=1#top"},
      {"--url " + shellQuoted("http://evil.example#@localhost/"), "http://evil.example#@localhost/"},
      {"--no-site", "error:0x80004005"},     // no site: the control cannot ask
      {"--no-moniker", "error:0x80004001"},  // a site without a moniker: E_NOTIMPL
  };
  for (const auto& c : cases) {
    Outcome r = page(std::string(kCreate) + "print(c.PageUrl());\n", c.options);
    EXPECT_EQ(r.status, 0) << c.options << ": " << r.err;
    EXPECT_EQ(r.out, c.url + "\n") << c.options;
  }
  // Each control gets a site of its own.
  Outcome r =
      page(std::string(kCreate) + "var d = new ActiveXObject('ComTest.TestCtrl'); print(c.PageUrl(), d.PageUrl());\n",
           "--url http://a.example/");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "http://a.example/ http://a.example/\n");
}

// A failing script ends with status 1 and its error on stderr; what it
// printed before stays printed.
TEST_F(PageHost, ScriptErrorsEndWithStatusOne) {
  struct Case {
    std::string script;
    std::string error;
  } cases[] = {
      {std::string(kCreate) + "print('before');\nc.Fail(-2147467259);\nprint('after');\n", "'Fail' failed: 0x80004005"},
      {std::string(kCreate) + "print('before');\nc.Throw();\n", "'Throw' failed: 0x8000FFFF"},
      {std::string(kCreate) + "print('before');\nc.Add(1);\n", "'Add': wrong number of arguments, 1 given"},
      {std::string(kCreate) + "print('before');\nc.Add('x', 2);\n", "'Add': argument 1 has the wrong type"},
      {std::string(kCreate) + "print('before');\nc.Add(1, {});\n",
       "'Add': argument 2: a script object cannot be passed"},
      {std::string(kCreate) + "print('before');\nc.Scale(1, -1);\n", "'Scale': argument 2 is out of range"},
      {std::string(kCreate) + "print('before');\nc.NoSuch = 1;\n", "the control has no property 'NoSuch'"},
      {std::string(kCreate) + "print('before');\nc.NoSuch();\n", "not callable"},
      {"print('before');\nnew ActiveXObject('No.Such.Control');\n",
       "Automation server can't create object 'No.Such.Control': no such class registered (0x800401F3)"},
      // A class that does not declare itself safe for scripting is not handed out.
      {"print('before');\nnew ActiveXObject('ComTest.Plain');\n", "not safe for scripting"},
      {"print('before');\nthrow new Error('page gave up');\n", "page gave up"},
      {"print('before');\nvar = ;\n", "SyntaxError"},
  };
  for (const auto& c : cases) {
    Outcome r = page(c.script);
    EXPECT_EQ(r.status, 1) << c.script;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << c.script << "\nstderr: " << r.err;
    if (c.error != "SyntaxError") {
      EXPECT_EQ(r.out, "before\n") << c.script;
      EXPECT_NE(r.err.find("page.js:"), std::string::npos) << "the error names the script line: " << r.err;
    }
  }
}

// Member failures are script exceptions a page can catch, with the HRESULT
// as `number`, as in the browsers.
TEST_F(PageHost, PagesCatchMemberFailures) {
  Outcome r = page(std::string(kCreate) +
                   "try { c.Fail(-2147024809); } catch (e) { print(e.number, e.number === -2147024809); }\n"
                   "try { c.Add(1); } catch (e) { print(e.number); }\n"
                   "try { new ActiveXObject('No.Such'); } catch (e) { print(e.number); }\n"
                   "print('end');\n");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-2147024809 true\n-2147352562\n-2147221005\nend\n");
}

// The scripted user: entries used exactly give 0; an unexpected dialog, an
// entry that leaves a dialog with nothing to do, or entries left over give 3.
TEST_F(PageHost, ScriptedUserAccounting) {
  const std::string ask = "var d = new ActiveXObject('PageHostTest.DialogCtrl');\nprint(d.Ask('Proceed?'));\n";
  const std::string prompt = "var d = new ActiveXObject('PageHostTest.DialogCtrl');\nprint(d.Prompt());\n";
  struct Case {
    const char* what;
    std::string script;
    std::string user;
    int status;
    std::string out;
    std::string err;
  } cases[] = {
      {"answered box", ask, R"([{"expect": "messagebox", "actions": [["click", 1]]}])", 0, "1\n", ""},
      {"Escape in the box", ask, R"([{"expect": "messagebox", "actions": [["key", "VK_ESCAPE"]]}])", 0, "2\n", ""},
      {"a box nobody expects is cancelled", ask, "", 3, "2\n", "user:"},
      {"a dialog other than the one expected", ask, R"([{"expect": 200, "actions": [["click", 1]]}])", 3, "2\n",
       "user:"},
      {"an entry that leaves the dialog waiting", prompt, R"([{"expect": 200, "actions": []}])", 3, "\n", "user:"},
      {"an entry left over", std::string(kCreate) + "print(c.Add(1, 1));\n",
       R"([{"expect": "messagebox", "actions": [["click", 1]]}])", 3, "2\n", "never used"},
      {"typed and confirmed", prompt, R"([{"expect": 200, "actions": [["type", 201, "Yes, 42"], ["click", 1]]}])", 0,
       "Yes, 42\n", ""},
      {"one of several templates", prompt, R"([{"expect": [199, 200], "actions": [["type", 201, "7"], ["click", 1]]}])",
       0, "7\n", ""},
      {"none of several templates", prompt, R"([{"expect": [198, 199], "actions": [["click", 1]]}])", 3, "\n",
       "dialog 200 opened where dialog 198 or 199 was expected"},
      {"cancelled by the close box", prompt, R"([{"expect": 200, "actions": [["type", 201, "x"], ["close"]]}])", 0,
       "\n", ""},
      // A script failure is reported as such, whatever the user's account says.
      {"script error first", "print('x');\nthrow new Error('boom');\n",
       R"([{"expect": "messagebox", "actions": [["click", 1]]}])", 1, "x\n", "boom"},
  };
  for (const auto& c : cases) {
    Outcome r = page(c.script, "", c.user);
    EXPECT_EQ(r.status, c.status) << c.what << "\nstderr: " << r.err;
    EXPECT_EQ(r.out, c.out) << c.what;
    if (!c.err.empty()) {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << c.what << "\nstderr: " << r.err;
    }
  }
}

// --shots saves each dialog as first seen and before each click, named by
// the template it opened with.
TEST_F(PageHost, ShotsOfEachDialog) {
  std::string shots = testsupport::freshDir("shots") + "/pictures";  // made by pagehost
  Outcome r =
      page("var d = new ActiveXObject('PageHostTest.DialogCtrl');\nprint(d.Ask('Go on?'));\nprint(d.Prompt());\n",
           "--shots " + shellQuoted(shots),
           R"([{"expect": "messagebox", "actions": [["click", 1]]},
          {"expect": [300, 200], "actions": [["type", 201, "ok"], ["wait", 50], ["click", 1]]}])");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1\nok\n");
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(shots)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"01-messagebox-00.png", "01-messagebox-01.png", "02-200-00.png",
                                             "02-200-03.png"}));
  for (const auto& n : names) EXPECT_EQ(testsupport::readFile(shots + "/" + n).substr(0, 8), "\x89PNG\r\n\x1A\n") << n;
}

TEST_F(PageHost, CommandLineAndInputErrors) {
  std::string dir = testsupport::freshDir("usage");
  testsupport::writeFile(dir + "/ok.js", "print(1);\n");
  testsupport::writeFile(dir + "/bad.json", "[{\"expect\": 200, \"actions\": [[\"jump\"]]}]");
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {"", 2},
      {shellQuoted(dir + "/missing.js"), 2},
      {"--user " + shellQuoted(dir + "/bad.json") + " " + shellQuoted(dir + "/ok.js"), 2},
      {"--user " + shellQuoted(dir + "/missing.json") + " " + shellQuoted(dir + "/ok.js"), 2},
      {"--bogus " + shellQuoted(dir + "/ok.js"), 2},
      {"--url", 2},
      {shellQuoted(dir + "/ok.js") + " " + shellQuoted(dir + "/ok.js"), 2},
      {shellQuoted(dir + "/ok.js"), 0},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(testsupport::run(std::string(PAGEHOST_PATH) + " " + c.args + " 2>/dev/null", &out), c.status) << c.args;
  }
}

}  // namespace
