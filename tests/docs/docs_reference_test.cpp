// The page authors' reference keeps up with the type libraries: every member
// of every interface in resources/*/*.idl has its row in the members table of
// its control's page in docs/, with its dispatch id.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "TestRoot.h"

namespace {

namespace fs = std::filesystem;

// The reference page of each interface a type library declares.
const std::map<std::string, std::string> kPages = {
    {"ITeskelCtrl", "docs/certificate-control.md"},
    {"IHaldrinCtrl", "docs/signature-control.md"},
    {"IFetchMAC", "docs/network-address-control.md"},
};

std::string sourceDir() {
  const char* dir = std::getenv("SOURCE_DIR");
  return dir != nullptr ? dir : ".";
}

struct Member {
  std::string name;
  int id;
};

struct Interface {
  std::string name;
  std::vector<Member> members;
};

bool isWord(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }
bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The text with its comments blanked; quoted texts (helpstrings) kept whole.
std::string withoutComments(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '"') {
      std::size_t end = text.find('"', i + 1);
      end = end == std::string::npos ? text.size() : end + 1;
      out.append(text, i, end - i);
      i = end;
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) i = text.size();
      out += ' ';
    } else if (text.compare(i, 2, "/*") == 0) {
      std::size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 2;
      out += ' ';
    } else {
      out += text[i++];
    }
  }
  return out;
}

// A small reader over IDL text: words, blanks and single characters.
struct Reader {
  const std::string& text;
  std::size_t at = 0;
  void blanks() {
    while (at < text.size() && isBlank(text[at])) ++at;
  }
  std::string word() {
    blanks();
    std::size_t from = at;
    while (at < text.size() && isWord(text[at])) ++at;
    return text.substr(from, at - from);
  }
  bool take(char c) {
    blanks();
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
  }
};

// The n of "id(n)" among a member's attributes, -1 without one.
int idAttribute(const std::string& attributes) {
  for (std::size_t at = attributes.find("id"); at != std::string::npos; at = attributes.find("id", at + 1)) {
    if ((at > 0 && isWord(attributes[at - 1])) || (at + 2 < attributes.size() && isWord(attributes[at + 2]))) continue;
    Reader r{attributes, at + 2};
    if (!r.take('(')) continue;
    std::string digits = r.word();
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        !r.take(')'))
      continue;
    return std::stoi(digits);
  }
  return -1;
}

// The interfaces of an IDL text with their members, in declaration order. A
// member is "[attributes] HRESULT name(": its dispatch id is the attributes'
// id(n), -1 without one. A property's get and put count once. A forward
// declaration ("interface X;") declares no members.
std::vector<Interface> idlInterfaces(const std::string& idl) {
  std::vector<Interface> out;
  const std::string text = withoutComments(idl);
  for (std::size_t at = text.find("interface"); at != std::string::npos; at = text.find("interface", at + 1)) {
    if ((at > 0 && isWord(text[at - 1])) || (at + 9 < text.size() && isWord(text[at + 9]))) continue;
    Reader r{text, at + 9};
    Interface itf{r.word(), {}};
    if (itf.name.empty() || !r.take(':') || r.word().empty() || !r.take('{')) continue;
    const std::size_t close = text.find('}', r.at);
    if (close == std::string::npos) break;
    const std::string body = text.substr(r.at, close - r.at);
    for (std::size_t open = body.find('['); open != std::string::npos; open = body.find('[', open + 1)) {
      const std::size_t shut = body.find(']', open);
      if (shut == std::string::npos) break;
      Reader m{body, shut + 1};
      if (m.word() != "HRESULT") continue;
      Member member{m.word(), idAttribute(body.substr(open + 1, shut - open - 1))};
      if (member.name.empty() || !m.take('(')) continue;
      bool seen = std::any_of(itf.members.begin(), itf.members.end(),
                              [&](const Member& known) { return known.name == member.name; });
      if (!seen) itf.members.push_back(member);
      open = shut;
    }
    out.push_back(itf);
    at = close;
  }
  return out;
}

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The members tables' rows of a page: "| <id> | `name` | ...", name -> ids.
std::multimap<std::string, int> memberRows(const std::string& page) {
  std::multimap<std::string, int> rows;
  std::size_t start = 0;
  while (start < page.size()) {
    std::size_t end = page.find('\n', start);
    if (end == std::string::npos) end = page.size();
    const std::string line = trim(page.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] != '|') continue;
    std::vector<std::string> cells;
    std::size_t from = 1;
    for (std::size_t bar = line.find('|', from); bar != std::string::npos; bar = line.find('|', from)) {
      cells.push_back(trim(line.substr(from, bar - from)));
      from = bar + 1;
    }
    if (cells.size() < 2) continue;
    const std::string& id = cells[0];
    const std::string& name = cells[1];
    const bool number =
        !id.empty() && id.size() < 9 && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
    const bool quoted = name.size() > 2 && name.front() == '`' && name.back() == '`' &&
                        std::all_of(name.begin() + 1, name.end() - 1, isWord);
    if (number && quoted) rows.emplace(name.substr(1, name.size() - 2), std::stoi(id));
  }
  return rows;
}

// What the page lacks for the interface: one line per member that has no row,
// or whose row gives another dispatch id.
std::vector<std::string> gaps(const Interface& itf, const std::string& page, const std::string& pageName) {
  std::vector<std::string> out;
  const auto rows = memberRows(page);
  for (const Member& m : itf.members) {
    auto [first, last] = rows.equal_range(m.name);
    if (first == last) {
      out.push_back("member `" + m.name + "` of " + itf.name + " is missing from " + pageName +
                    " (no members-table row \"| " + std::to_string(m.id) + " | `" + m.name + "` |\")");
      continue;
    }
    bool idFound = std::any_of(first, last, [&](const auto& row) { return row.second == m.id; });
    if (!idFound)
      out.push_back("member `" + m.name + "` of " + itf.name + " has the wrong dispatch id in " + pageName +
                    " (the type library gives " + std::to_string(m.id) + ")");
  }
  return out;
}

std::string join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

std::vector<fs::path> typeLibraries() {
  std::vector<fs::path> out;
  for (const auto& dir : fs::directory_iterator(fs::path(sourceDir()) / "resources")) {
    if (!dir.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(dir.path()))
      if (file.path().extension() == ".idl") out.push_back(file.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(DocsReference, EveryTypeLibraryMemberHasItsRowOnItsControlsPage) {
  const std::vector<fs::path> idls = typeLibraries();
  ASSERT_FALSE(idls.empty()) << "no type library under " << sourceDir() << "/resources";
  std::vector<std::string> problems;
  for (const fs::path& idl : idls) {
    const std::string where = fs::relative(idl, sourceDir()).string();
    const std::vector<Interface> interfaces = idlInterfaces(testsupport::readFile(idl.string()));
    if (interfaces.empty()) problems.push_back(where + " declares no interface the test can read");
    for (const Interface& itf : interfaces) {
      if (itf.members.empty()) problems.push_back(itf.name + " in " + where + ": no members read");
      auto page = kPages.find(itf.name);
      if (page == kPages.end()) {
        problems.push_back(itf.name + " (" + where + ") has no reference page in docs/: add one and name it here");
        continue;
      }
      const std::string text = testsupport::readFile(sourceDir() + "/" + page->second);
      if (text.empty()) {
        problems.push_back(page->second + " is missing (the reference page of " + itf.name + ")");
        continue;
      }
      for (const std::string& gap : gaps(itf, text, page->second)) problems.push_back(gap);
    }
  }
  EXPECT_TRUE(problems.empty()) << join(problems);
}

TEST(DocsReference, IndexAndReadmeLeadToThePages) {
  const std::string readme = testsupport::readFile(sourceDir() + "/README.md");
  EXPECT_NE(readme.find("](docs/"), std::string::npos) << "README.md does not link docs/";
  const std::string index = testsupport::readFile(sourceDir() + "/docs/README.md");
  std::vector<std::string> pages{"docs/common.md"};
  for (const auto& [itf, page] : kPages) pages.push_back(page);
  for (const std::string& page : pages)
    EXPECT_NE(index.find("](" + page.substr(5) + ")"), std::string::npos) << "docs/README.md does not link " << page;
}

// `text` with its one occurrence of `what` replaced by `by`.
std::string replaced(std::string text, const std::string& what, const std::string& by) {
  const std::size_t at = text.find(what);
  EXPECT_NE(at, std::string::npos) << what;
  if (at != std::string::npos) text.replace(at, what.size(), by);
  return text;
}

// The check itself: a row taken out of the page, a row with another id, a
// member named only in prose, a declaration over several lines and a get/put
// pair are each seen for what they are.
TEST(DocsReference, TheCheckNamesWhatThePageLacks) {
  const std::string idl = R"(
    // interface IOld : IDispatch { [id(9)] HRESULT commentedOut(); };
    interface IDemo : IDispatch
    {
      [id(1), helpstring("method sign")] HRESULT sign([in] BSTR signerCert, [out, retval] long* pVal);
      [propget, id(2)] HRESULT LastErrorCode([out, retval] long* pVal);
      [propput, id(3)] HRESULT PINLenLimit([in] long newVal);
      [propget, id(3)] HRESULT PINLenLimit([out, retval] long* pVal);
      [id(4),
       helpstring("method setLogFile")]
      HRESULT setLogFile([in] BSTR logPath, [in] BSTR logFileName, [out, retval] long* pVal);
    };
  )";
  const std::vector<Interface> interfaces = idlInterfaces(idl);
  ASSERT_EQ(interfaces.size(), 1u);
  ASSERT_EQ(interfaces[0].members.size(), 4u);
  EXPECT_EQ(interfaces[0].members[3].name, "setLogFile");
  EXPECT_EQ(interfaces[0].members[3].id, 4);

  const std::string whole =
      "| id | member |\n|---|---|\n| 1 | `sign` | method |\n| 2 | `LastErrorCode` | get |\n"
      "| 3 | `PINLenLimit` | put |\n| 4 | `setLogFile` | method |\n";
  EXPECT_TRUE(gaps(interfaces[0], whole, "demo.md").empty()) << join(gaps(interfaces[0], whole, "demo.md"));

  struct Case {
    const char* what;
    std::string page;
    std::string expected;
  } cases[] = {
      {"row removed", replaced(whole, "| 1 | `sign` | method |\n", ""),
       "member `sign` of IDemo is missing from demo.md"},
      {"named in prose only", replaced(whole, "| 4 | `setLogFile` | method |\n", "See `setLogFile`.\n"),
       "member `setLogFile` of IDemo is missing from demo.md"},
      {"other id", replaced(whole, "| 2 | `LastErrorCode`", "| 20 | `LastErrorCode`"),
       "member `LastErrorCode` of IDemo has the wrong dispatch id in demo.md"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> found = gaps(interfaces[0], c.page, "demo.md");
    ASSERT_EQ(found.size(), 1u) << c.what << ":\n" << join(found);
    EXPECT_EQ(found[0].rfind(c.expected, 0), 0u) << c.what << ": " << found[0];
  }
}

}  // namespace
