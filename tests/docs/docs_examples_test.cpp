// The reference's examples run: every JavaScript block of docs/*.md that is
// meant to run goes through the build's pagehost after the prelude, on a
// platform root set up as scripts/demo sets it up, and the bank's sh blocks
// take apart what the pages sent. How the blocks are marked is described in
// docs/README.md ("The examples"); this file is its reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestRoot.h"
#include "TokenHarness.h"

namespace {

namespace fs = std::filesystem;
using testsupport::quote;

std::string sourceDir() {
  const char* dir = std::getenv("SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

// ---------------------------------------------------------------- the pages' blocks

struct Block {
  std::string where;  // "docs/common.md:46", the line of the opening fence
  std::string lang;   // "js", "sh", or "" for a form of text
  std::set<std::string> marks;
  std::string body;
  std::string user;  // the scripted user's JSON from <!-- user: ... --> before the block
  bool has(const char* mark) const { return marks.count(mark) != 0; }
  bool runs() const { return !lang.empty() && !has("norun"); }
};

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

std::string trimmed(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b])) != 0) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])) != 0) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

// The pages in the order their blocks run: README.md, then the others by name.
std::vector<fs::path> pagesOf(const std::string& docsDir) {
  std::vector<fs::path> pages;
  for (const auto& e : fs::directory_iterator(docsDir)) {
    if (e.path().extension() == ".md") pages.push_back(e.path());
  }
  std::sort(pages.begin(), pages.end(), [](const fs::path& a, const fs::path& b) {
    bool ra = a.filename() == "README.md", rb = b.filename() == "README.md";
    if (ra != rb) return ra;
    return a.filename() < b.filename();
  });
  return pages;
}

// Fenced blocks of the pages; what does not follow the conventions goes to *errors.
std::vector<Block> readBlocks(const std::string& docsDir, const std::string& shownAs,
                              std::vector<std::string>* errors) {
  static const std::map<std::string, std::set<std::string>> kMarks = {
      {"js", {"norun", "prelude"}}, {"sh", {"norun", "setup"}}, {"", {}}};
  std::vector<Block> blocks;
  for (const fs::path& page : pagesOf(docsDir)) {
    const std::string name = shownAs + "/" + page.filename().string();
    const std::vector<std::string> lines = splitLines(testsupport::readFile(page.string()));
    std::string user, userWhere;  // a user comment waiting for its block
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string at = name + ":" + std::to_string(i + 1);
      const std::string line = trimmed(lines[i]);
      if (line.rfind("<!-- user:", 0) == 0) {
        std::string text = line.substr(10);
        while (text.find("-->") == std::string::npos && i + 1 < lines.size()) text += "\n" + lines[++i];
        std::size_t end = text.find("-->");
        if (end == std::string::npos) {
          errors->push_back(at + ": the user comment does not end");
          break;
        }
        if (!trimmed(text.substr(end + 3)).empty()) errors->push_back(at + ": text after the user comment");
        if (!user.empty()) errors->push_back(userWhere + ": a user comment without its block");
        user = trimmed(text.substr(0, end));
        userWhere = at;
        continue;
      }
      // An opening fence: three or more backticks and an info string without one.
      std::size_t ticks = 0;
      while (ticks < line.size() && line[ticks] == '`') ++ticks;
      if (ticks < 3 || lines[i].find_first_not_of(' ') > 3 || line.find('`', ticks) != std::string::npos) {
        if (!line.empty() && !user.empty()) {
          errors->push_back(userWhere + ": a user comment without its block");
          user.clear();
        }
        continue;
      }
      Block b;
      b.where = at;
      std::vector<std::string> info = words(line.substr(ticks));
      b.lang = info.empty() ? "" : info[0];
      auto known = kMarks.find(b.lang);
      if (known == kMarks.end()) {
        errors->push_back(at + ": a block of language \"" + b.lang + "\" (js, sh, or none for a form of text)");
      }
      for (std::size_t w = 1; w < info.size(); ++w) {
        if (known != kMarks.end() && known->second.count(info[w]) == 0) {
          errors->push_back(at + ": unknown mark \"" + info[w] + "\"");
        }
        b.marks.insert(info[w]);
      }
      b.user = user;
      if (!user.empty() && (b.lang != "js" || !b.runs() || b.has("prelude"))) {
        errors->push_back(userWhere + ": a user comment belongs before a js block that runs");
      }
      user.clear();
      // The closing fence: only backticks, at least as many.
      auto closes = [ticks](const std::string& l) {
        const std::string t = trimmed(l);
        return t.size() >= ticks && t.find_first_not_of('`') == std::string::npos;
      };
      std::size_t j = i + 1;
      while (j < lines.size() && !closes(lines[j])) b.body += lines[j++] + "\n";
      if (j == lines.size()) errors->push_back(at + ": the block does not end");
      i = j;
      blocks.push_back(b);
    }
    if (!user.empty()) errors->push_back(userWhere + ": a user comment without its block");
  }
  return blocks;
}

// The lines a block states it prints: "// prints: TEXT" (js), "# prints: TEXT" (sh).
std::vector<std::string> statedPrints(const Block& b) {
  const std::string marker = b.lang == "sh" ? "# prints: " : "// prints: ";
  std::vector<std::string> out;
  for (const std::string& line : splitLines(b.body)) {
    std::size_t at = line.find(marker);
    if (at != std::string::npos) {
      std::string text = line.substr(at + marker.size());
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out.push_back(text);
    }
  }
  return out;
}

// `pattern` with "..." standing for any text.
bool matches(const std::string& text, const std::string& pattern) {
  std::vector<std::string> parts;
  std::size_t pos = 0;
  for (;;) {
    std::size_t dots = pattern.find("...", pos);
    parts.push_back(pattern.substr(pos, dots == std::string::npos ? std::string::npos : dots - pos));
    if (dots == std::string::npos) break;
    pos = dots + 3;
  }
  if (parts.size() == 1) return text == pattern;
  if (text.size() < parts.front().size() + parts.back().size()) return false;
  if (text.compare(0, parts.front().size(), parts.front()) != 0) return false;
  if (text.compare(text.size() - parts.back().size(), parts.back().size(), parts.back()) != 0) return false;
  std::size_t at = parts.front().size();
  const std::size_t limit = text.size() - parts.back().size();
  for (std::size_t k = 1; k + 1 < parts.size(); ++k) {
    std::size_t found = text.find(parts[k], at);
    if (found == std::string::npos || found + parts[k].size() > limit) return false;
    at = found + parts[k].size();
  }
  return true;
}

// What a block printed against what it states; "" when they agree.
std::string printsDiffer(const std::vector<std::string>& stated, const std::string& output) {
  if (stated.empty()) return "";
  std::vector<std::string> printed = splitLines(output);
  bool same = printed.size() == stated.size();
  for (std::size_t k = 0; same && k < stated.size(); ++k) same = matches(printed[k], stated[k]);
  if (same) return "";
  std::string why = "it states it prints\n";
  for (const auto& s : stated) why += "  " + s + "\n";
  why += "and printed\n";
  for (const auto& p : printed) why += "  " + p + "\n";
  return why;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string urlDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The fields a page sent: the prelude's send prints "to the bank: name=value",
// the value URL-encoded.
void collectFields(const std::string& output, std::map<std::string, std::string>* fields) {
  const std::string sent = "to the bank: ";
  for (std::string line : splitLines(output)) {
    if (line.rfind(sent, 0) != 0) continue;
    line.erase(0, sent.size());
    std::size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    bool word = std::isdigit(static_cast<unsigned char>(name[0])) == 0;
    for (char c : name) word = word && (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_');
    if (!word) continue;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    (*fields)[name] = urlDecoded(line.substr(eq + 1));
  }
}

// A JavaScript string literal of `s`.
std::string jsText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// ---------------------------------------------------------------- running them

struct Outcome {
  std::vector<std::string> errors;  // what did not follow the conventions
  std::vector<std::string> failed;  // "<where>: why", one for each block that failed
  std::vector<std::string> ran;     // "<where> <lang>", each block that ran, in order
};

std::string shown(const std::string& path) {
  std::string text = testsupport::readFile(path);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Runs every block of the pages in `docsDir` that is meant to run; the bank's
// folder `bankDir` holds what the sh blocks read.
Outcome runBlocks(const std::string& docsDir, const std::string& shownAs, const std::string& bankDir,
              const std::string& workDir) {
  Outcome run;
  const std::vector<Block> blocks = readBlocks(docsDir, shownAs, &run.errors);
  const Block* prelude = nullptr;
  for (const Block& b : blocks) {
    if (b.lang == "js" && b.has("prelude")) {
      if (prelude != nullptr) run.errors.push_back(b.where + ": a second prelude (the first is at " + prelude->where + ")");
      prelude = &b;
    }
  }
  if (prelude == nullptr) run.errors.push_back(shownAs + ": no js prelude");
  if (!run.errors.empty()) return run;

  int n = 0;
  std::map<std::string, std::string> fields;
  auto runShell = [&](const Block& b, bool setup) {
    const std::string stem = workDir + "/block" + std::to_string(++n);
    std::string script;
    for (const auto& [name, value] : fields) script += "export " + name + "=" + quote(value) + "\n";
    testsupport::writeFile(stem + ".sh", b.body);
    script += ". " + quote(stem + ".sh") + "\n";
    // The variable a setup block leaves for the pages.
    if (setup) script += "printf '%s' \"$BANK_KEY\" > " + quote(workDir + "/bank-key") + "\n";
    testsupport::writeFile(stem + ".run", script);
    std::string out;
    int status = testsupport::run("cd " + quote(bankDir) + " && bash -euo pipefail " + quote(stem + ".run") + " 2>" +
                                      quote(stem + ".err"),
                                  &out);
    testsupport::writeFile(stem + ".out", out);
    run.ran.push_back(b.where + " sh");
    if (status != 0) {
      run.failed.push_back(b.where + ": exit status " + std::to_string(status) + "\n" + shown(stem + ".err"));
    } else if (std::string why = printsDiffer(statedPrints(b), out); !why.empty()) {
      run.failed.push_back(b.where + ": " + why);
    }
  };

  for (const Block& b : blocks) {
    if (b.lang == "sh" && b.has("setup")) runShell(b, true);
  }
  const std::string bankKey = testsupport::readFile(workDir + "/bank-key");
  for (const Block& b : blocks) {
    if (!b.runs() || b.has("prelude") || b.has("setup")) continue;
    if (b.lang == "sh") {
      runShell(b, false);
      continue;
    }
    const std::string stem = workDir + "/block" + std::to_string(++n);
    // What the bank's server writes in front of the page, the prelude, the block.
    testsupport::writeFile(stem + ".js", "var BANK_KEY = " + jsText(bankKey) + ";\n// " + prelude->where + "\n" +
                                             prelude->body + "// " + b.where + "\n" + b.body);
    std::string cmd = std::string(PAGEHOST_PATH) + " --url http://localhost/";
    if (!b.user.empty()) {
      testsupport::writeFile(stem + ".user.json", b.user);
      cmd += " --user " + quote(stem + ".user.json");
    }
    cmd += " " + quote(stem + ".js") + " 2>" + quote(stem + ".err");
    std::string out;
    int status = testsupport::run(cmd, &out);
    testsupport::writeFile(stem + ".out", out);
    run.ran.push_back(b.where + " js");
    if (status != 0) {
      run.failed.push_back(b.where + ": pagehost exit status " + std::to_string(status) + " (" + stem + ".js)\n" +
                           shown(stem + ".err"));
      continue;
    }
    if (std::string why = printsDiffer(statedPrints(b), out); !why.empty()) {
      run.failed.push_back(b.where + ": " + why);
    }
    collectFields(out, &fields);
  }
  return run;
}

// ---------------------------------------------------------------- the machine

// The demo's machine: the CA, "Demo Customer" in the store MY, "Demo Token
// Customer" on a SoftHSM2 token behind DemoToken.dll (the initialised-only
// forwarder), the three controls registered. The bank's folder holds the CA
// and the customer's certificate.
class DocsExamples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bank_ = new std::string(testsupport::freshDir("bank"));
    const std::string pki = testsupport::freshDir("pki");
    testsupport::writeFile(pki + "/customer.ext",
                           "basicConstraints = CA:FALSE\n"
                           "keyUsage = critical, digitalSignature, nonRepudiation\n"
                           "subjectKeyIdentifier = hash\n"
                           "authorityKeyIdentifier = keyid\n");
    std::string script =
        "set -euo pipefail\ncd " + quote(pki) +
        "\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout ca.key -out ca.pem "
        "-subj '/C=TW/O=Demo Bank/CN=Demo Bank Root CA' -addext 'basicConstraints=critical,CA:TRUE' "
        "-addext 'keyUsage=critical,keyCertSign,cRLSign'\n"
        "customer() {\n"
        "  openssl req -newkey rsa:2048 -nodes -keyout \"$1.key\" -out \"$1.csr\" "
        "-subj \"/C=TW/O=Demo Bank/OU=Retail/CN=$2\"\n"
        "  openssl x509 -req -sha256 -days 730 -in \"$1.csr\" -CA ca.pem -CAkey ca.key -set_serial \"$3\" "
        "-extfile customer.ext -out \"$1.pem\"\n"
        "}\n"
        "customer customer 'Demo Customer' 0x1001\n"
        "customer tokencustomer 'Demo Token Customer' 0x1002\n"
        "openssl x509 -in tokencustomer.pem -outform DER -out tokencustomer.der\n"
        "openssl pkcs12 -export -inkey customer.key -in customer.pem -name 'Demo Customer' -passout pass:demo "
        "-out customer.p12\n" +
        std::string(CERTSTORE_PATH) + " import --store MY --pfx customer.p12 --password demo\n" +
        "cp ca.pem " + quote(*bank_ + "/bank-ca.pem") + "\ncp customer.pem " + quote(*bank_ + "/customer.pem") + "\n";
    for (const char* control : {TESKEL_PATH, HALDRIN_PATH, PELLMAR_PATH}) {
      script += std::string(REGSVR_PATH) + " " + quote(fs::canonical(control).string()) + "\n";
    }
    testsupport::writeFile(pki + "/make.sh", script);
    std::string out;
    ASSERT_EQ(testsupport::run("bash " + quote(pki + "/make.sh") + " 2>&1", &out), 0) << out;

    static p11test::SoftHsm hsm("docs");
    hsm.initToken("Demo Token", "13572468", "246810");
    const std::string login = "--token-label 'Demo Token' --login --pin 246810 ";
    ASSERT_EQ(hsm.tool(login + "--write-object " + quote(pki + "/tokencustomer.key") +
                           " --type privkey --id 01 --label 'Demo Token Customer'",
                       &out),
              0)
        << out;
    ASSERT_EQ(hsm.tool(login + "--write-object " + quote(pki + "/tokencustomer.der") +
                           " --type cert --id 01 --label 'Demo Token Customer'",
                       &out),
              0)
        << out;
    p11test::installModule(p11test::forwarderModulePath(), "DemoToken.dll");
  }
  static void TearDownTestSuite() {
    delete bank_;
    bank_ = nullptr;
  }
  static std::string* bank_;
};
std::string* DocsExamples::bank_ = nullptr;

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// Every fenced block of the reference follows the conventions, and there is
// something to run.
TEST(DocsExamplesMarks, EveryBlockIsMarkedAsTheReadmeSays) {
  std::vector<std::string> errors;
  const std::vector<Block> blocks = readBlocks(sourceDir() + "/docs", "docs", &errors);
  EXPECT_TRUE(errors.empty()) << joined(errors);
  int prelude = 0, js = 0, sh = 0;
  for (const Block& b : blocks) {
    prelude += b.lang == "js" && b.has("prelude");
    js += b.lang == "js" && b.runs() && !b.has("prelude");
    sh += b.lang == "sh" && b.runs();
  }
  EXPECT_EQ(prelude, 1);
  EXPECT_GT(js, 0);
  EXPECT_GT(sh, 0);
}

// Each JavaScript block runs after the prelude through pagehost, as a page
// of its own, without throwing and with the scripted user's entries used
// exactly, printing what it states; the bank's sh blocks take the pages'
// envelopes and cipher texts apart and print what they state.
TEST_F(DocsExamples, EveryBlockRunsAsTheReferenceSays) {
  auto start = std::chrono::steady_clock::now();
  Outcome run = runBlocks(sourceDir() + "/docs", "docs", *bank_, testsupport::freshDir("run"));
  ASSERT_TRUE(run.errors.empty()) << joined(run.errors);
  EXPECT_TRUE(run.failed.empty()) << joined(run.failed);
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("ran %zu blocks in %.1f s:\n%s", run.ran.size(), took.count(), joined(run.ran).c_str());
}

// The check fails where a block goes wrong: a block that throws, one that
// prints another line than it states, one that opens a window nobody
// expects, a user entry left over, a bank's step that fails or prints
// something else, a field a sh block needs that no page sent; blocks marked
// not to run do not run.
TEST_F(DocsExamples, TheCheckFailsWhereABlockGoesWrong) {
  const std::string docs = testsupport::freshDir("fakedocs");
  testsupport::writeFile(docs + "/README.md",
                         "```js prelude\n"
                         "var key = BANK_KEY;\n"
                         "function send(name, text) { print(\"to the bank: \" + name + \"=\" + encodeURIComponent(text)); }\n"
                         "```\n"
                         "```sh setup\n"
                         "BANK_KEY=k1\n"
                         "```\n");
  testsupport::writeFile(docs + "/a.md",
                         "```js\n"                                                    // 1: runs
                         "print(key);   // prints: k1\n"
                         "send(\"cipher\", \"a|b c\");   // prints: to the bank: cipher=a...b%20c\n"
                         "```\n"
                         "```js\n"                                                    // 5: throws
                         "throw new Error(\"no\");\n"
                         "```\n"
                         "```js\n"                                                    // 8: other print
                         "print(\"two\");   // prints: one\n"
                         "```\n"
                         "```js\n"                                                    // 11: a window nobody expects
                         "new ActiveXObject(\"Haldrin.HaldrinSignat\").CallGRD(\"PIN\", 4);\n"
                         "```\n"
                         "<!-- user: [{\"expect\": 103, \"actions\": [[\"click\", 1]]}] -->\n"
                         "```js\n"                                                    // 15: an entry left over
                         "print(1);\n"
                         "```\n"
                         "```js norun\n"                                              // 18: not run
                         "throw new Error(\"not run\");\n"
                         "```\n"
                         "```sh\n"                                                    // 21: runs, reads CIPHER
                         "printf '%s\\n' \"$CIPHER\"   # prints: a|b c\n"
                         "```\n"
                         "```sh\n"                                                    // 24: fails
                         "false\n"
                         "```\n"
                         "```sh\n"                                                    // 27: other print
                         "echo 2   # prints: 3\n"
                         "```\n"
                         "```sh\n"                                                    // 30: a field never sent
                         "echo \"$ENVELOPE\"\n"
                         "```\n"
                         "```sh norun\n"                                              // 33: not run
                         "false\n"
                         "```\n"
                         "```\n"                                                      // 36: a form of text
                         "false\n"
                         "```\n");
  Outcome run = runBlocks(docs, "fake", *bank_, testsupport::freshDir("fakerun"));
  ASSERT_TRUE(run.errors.empty()) << joined(run.errors);
  std::vector<std::string> failedAt;
  for (const std::string& f : run.failed) failedAt.push_back(f.substr(0, f.find(':', f.find(':') + 1)));
  EXPECT_EQ(failedAt, (std::vector<std::string>{"fake/a.md:5", "fake/a.md:8", "fake/a.md:11", "fake/a.md:15",
                                                "fake/a.md:24", "fake/a.md:27", "fake/a.md:30"}))
      << joined(run.failed);
  EXPECT_EQ(run.ran, (std::vector<std::string>{"fake/README.md:5 sh", "fake/a.md:1 js", "fake/a.md:5 js",
                                               "fake/a.md:8 js", "fake/a.md:11 js", "fake/a.md:15 js",
                                               "fake/a.md:21 sh", "fake/a.md:24 sh", "fake/a.md:27 sh",
                                               "fake/a.md:30 sh"}));
}

// Blocks that do not follow the conventions are named, not skipped.
TEST(DocsExamplesMarks, WhatBreaksTheConventionsIsNamed) {
  const std::string docs = testsupport::freshDir("baddocs");
  testsupport::writeFile(docs + "/README.md",
                         "```javascript\nx\n```\n"                                     // 1: unknown language
                         "```js later\nx\n```\n"                                       // 4: unknown mark
                         "<!-- user: [] -->\n\nsome text\n\n"                          // 7: no block follows
                         "<!-- user: [] -->\n```sh\nx\n```\n"                          // 11: not before js
                         "```js\nnever closed\n");                                     // 15
  std::vector<std::string> errors;
  readBlocks(docs, "bad", &errors);
  std::vector<std::string> at;
  for (const std::string& e : errors) at.push_back(e.substr(0, e.find(':', e.find(':') + 1)));
  EXPECT_EQ(at, (std::vector<std::string>{"bad/README.md:1", "bad/README.md:4", "bad/README.md:7", "bad/README.md:11",
                                          "bad/README.md:15"}))
      << joined(errors);
}

}  // namespace
