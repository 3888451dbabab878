#include "host/PageHost.h"

#include <cstdio>
#include <cstdlib>

#include <duktape.h>

#include "Bridge.h"
#include "platform/com.h"
#include "platform/kernel.h"

namespace host {
namespace {

// Errors outside any protected call (which the run never makes) end the process.
void fatal(void*, const char* message) {
  std::fprintf(stderr, "pagehost: script engine failure: %s\n", message != nullptr ? message : "");
  std::fflush(stderr);
  std::abort();
}

// Compiles and runs the page on the heap; "" when it ran to its end.
std::string runScript(duk_context* ctx, const std::string& source, const std::string& fileName) {
  std::size_t start = source.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  duk_push_lstring(ctx, source.data() + start, source.size() - start);
  duk_push_string(ctx, fileName.c_str());
  if (duk_pcompile(ctx, 0) != 0) {
    std::string error = fileName + ": " + duk_safe_to_string(ctx, -1);
    duk_pop(ctx);
    return error;
  }
  if (duk_pcall(ctx, 0) != 0) {
    std::string trace = duk_safe_to_stacktrace(ctx, -1);
    duk_pop(ctx);
    // The message and the script's own frames; the engine's and the
    // host's native frames say nothing to the page's author.
    std::string error;
    std::size_t pos = 0;
    while (pos < trace.size()) {
      std::size_t end = trace.find('\n', pos);
      if (end == std::string::npos) end = trace.size();
      std::string line = trace.substr(pos, end - pos);
      bool native = line.find(") internal") != std::string::npos || line.find(") native") != std::string::npos;
      if (pos == 0 || !native) error += (error.empty() ? "" : "\n") + line;
      pos = end + 1;
    }
    return error.empty() ? "script failed" : error;
  }
  duk_pop(ctx);
  return "";
}

}  // namespace

PageResult runPage(const std::string& source, const std::string& fileName, const PageOptions& options) {
  PageResult result;
  HRESULT init = CoInitialize(nullptr);

  platform::user::ScriptedUser user(options.user);
  if (!options.shotsDir.empty()) {
    PlatformMakeDirs(options.shotsDir.c_str());
    user.setShotsDir(options.shotsDir);
  }
  // Installed even with no entries: a dialog nobody expects is then a failure
  // of the run, never a hang.
  user.install();

  duk_context* ctx = duk_create_heap(nullptr, nullptr, nullptr, nullptr, fatal);
  if (ctx == nullptr) {
    result.status = kPageScriptFailed;
    result.error = "the script engine cannot start";
  } else {
    bridge::install(ctx, &options);
    result.error = runScript(ctx, source, fileName);
    // Every control goes before the user's account is closed, as when the
    // browser leaves the page.
    duk_destroy_heap(ctx);
    if (!result.error.empty()) result.status = kPageScriptFailed;
  }

  if (!user.ok()) {
    result.userFailures = user.failures();
    if (result.userFailures.empty()) result.userFailures.push_back("a dialog was still open at the end");
    if (result.status == kPageOk) result.status = kPageUserMismatch;
  }
  user.uninstall();
  if (SUCCEEDED(init)) CoUninitialize();
  return result;
}

}  // namespace host
