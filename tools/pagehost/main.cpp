// pagehost: runs a bank page's script against the registered controls.
//   pagehost [--url URL] [--user ACTIONS.json] [--shots DIR] [--no-site] [--no-moniker] SCRIPT.js
// Exit status 0 when the script ran to its end and the user's entries were
// used exactly; 3 when a dialog was not the one expected, was left with
// nothing to do, or entries were left over; 1 with the script error on
// stderr when the script failed; 2 for a wrong command line or an
// unreadable input file.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "host/PageHost.h"
#include "host/UserScript.h"

namespace {

int usage(const char* why) {
  if (why != nullptr) std::fprintf(stderr, "pagehost: %s\n", why);
  std::fprintf(stderr,
               "usage: pagehost [--url URL] [--user ACTIONS.json] [--shots DIR] [--no-site] [--no-moniker] "
               "SCRIPT.js\n");
  return host::kPageUsage;
}

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return false;
  *out = s.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  host::PageOptions options;
  std::string userFile;
  std::string script;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    if (a == "--url") {
      if (!value(&options.url)) return usage("--url needs an address");
    } else if (a == "--user") {
      if (!value(&userFile)) return usage("--user needs a file");
    } else if (a == "--shots") {
      if (!value(&options.shotsDir) || options.shotsDir.empty()) return usage("--shots needs a folder");
    } else if (a == "--no-site") {
      options.site = false;
    } else if (a == "--no-moniker") {
      options.moniker = false;
    } else if (a.size() > 1 && a[0] == '-') {
      return usage(("unknown option " + a).c_str());
    } else if (script.empty()) {
      script = a;
    } else {
      return usage("one script only");
    }
  }
  if (script.empty()) return usage(nullptr);

  if (!userFile.empty()) {
    std::string json, error;
    if (!readFile(userFile, &json)) {
      std::fprintf(stderr, "pagehost: cannot read %s\n", userFile.c_str());
      return host::kPageUsage;
    }
    if (!host::parseUserJson(json, &options.user, &error)) {
      std::fprintf(stderr, "pagehost: %s: %s\n", userFile.c_str(), error.c_str());
      return host::kPageUsage;
    }
  }
  std::string source;
  if (!readFile(script, &source)) {
    std::fprintf(stderr, "pagehost: cannot read %s\n", script.c_str());
    return host::kPageUsage;
  }

  host::PageResult result = host::runPage(source, script, options);
  if (!result.error.empty()) std::fprintf(stderr, "pagehost: %s\n", result.error.c_str());
  for (const auto& f : result.userFailures) std::fprintf(stderr, "pagehost: user: %s\n", f.c_str());
  return result.status;
}
