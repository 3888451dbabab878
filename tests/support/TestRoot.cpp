#include "TestRoot.h"

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/kernel.h"

namespace testsupport {
namespace {
struct Root {
  std::string path;
  Root() {
    setenv("TEST_DATA_DIR", TESTSUPPORT_DATA_DIR, 0);
    setenv("BUILD_DIR", TESTSUPPORT_BUILD_DIR, 0);
    setenv("SOURCE_DIR", TESTSUPPORT_SOURCE_DIR, 0);
    std::string base = std::filesystem::temp_directory_path() / "platform-test-XXXXXX";
    path = base;
    if (mkdtemp(path.data()) == nullptr) std::abort();
    setenv("PLATFORM_ROOT", path.c_str(), 1);
    PlatformResetRoot();
  }
  ~Root() {
    if (std::getenv("KEEP_TEST_ROOT") == nullptr) {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  }
};
Root& root() {
  static Root r;
  return r;
}
// Made before any test runs, so code under test sees the root from the start.
[[maybe_unused]] const bool kRootReady = (root(), true);
}  // namespace

const std::string& platformRoot() { return root().path; }

std::string freshDir(const std::string& name) {
  std::filesystem::path p = std::filesystem::path(platformRoot()) / "t" / name;
  std::error_code ec;
  std::filesystem::remove_all(p, ec);
  std::filesystem::create_directories(p);
  return p.string();
}

int run(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}
std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

FreshRoot::FreshRoot(const std::string& name) : m_previous(PlatformRoot()) {
  // A new folder every time, never one used before in the process: the
  // platform keeps what it has read of a root's files by their paths.
  static int made = 0;
  std::filesystem::path p = std::filesystem::path(platformRoot()) / "roots" / (name + "-" + std::to_string(++made));
  std::filesystem::create_directories(p);
  m_path = p.string();
  setenv("PLATFORM_ROOT", m_path.c_str(), 1);
  PlatformResetRoot();
}

FreshRoot::~FreshRoot() {
  setenv("PLATFORM_ROOT", m_previous.c_str(), 1);
  PlatformResetRoot();
}

}  // namespace testsupport
