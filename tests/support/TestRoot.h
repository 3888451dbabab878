// Every test binary runs with its own throwaway $PLATFORM_ROOT, made before
// main() and removed at exit, so tests never touch a real user's files.
#pragma once

#include <string>

namespace testsupport {
// The platform root of this test binary (created on first use).
const std::string& platformRoot();
// A fresh, empty directory below the test root.
std::string freshDir(const std::string& name);
// Runs a shell command; returns its exit status and puts stdout in *out.
int run(const std::string& command, std::string* out = nullptr);
// Whole file contents ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
// `s` in single quotes for the shell.
std::string quote(const std::string& s);

// A fresh, empty platform root (registry, stores, keys, modules) for the
// scope, for a test that must see only what it sets up itself, whatever ran
// before it in the process. The tools it runs inherit it; the binary's own
// root comes back at the end. freshDir() still makes folders in the binary's
// root.
class FreshRoot {
 public:
  explicit FreshRoot(const std::string& name);
  ~FreshRoot();
  FreshRoot(const FreshRoot&) = delete;
  FreshRoot& operator=(const FreshRoot&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  std::string m_previous;
};
}  // namespace testsupport
