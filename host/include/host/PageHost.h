// The page host: runs a bank page's script the way the browser does for the
// controls. `new ActiveXObject(progId)` creates a registered control through
// CoCreateInstance, gives it a client site whose moniker names the page
// address, and hands it to the script as an object whose members and
// properties go through IDispatch. A scripted user answers the dialogs the
// controls open; `print(...)` writes a line.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/user.h"

namespace host {

// Exit statuses of a page run.
constexpr int kPageOk = 0;            // the script ran to its end and the user's entries were used exactly
constexpr int kPageScriptFailed = 1;  // the script failed (error text in PageResult::error)
constexpr int kPageUsage = 2;         // pagehost's own command line or input files were wrong
constexpr int kPageUserMismatch = 3;  // a dialog was not the one expected, found nothing to do, or entries were left

struct PageOptions {
  std::string url = "http://localhost/";    // the page address the controls' site reports
  bool site = true;                         // false: controls get no client site
  bool moniker = true;                      // false: the site has no moniker
  std::vector<platform::user::Entry> user;  // one entry per dialog or message box, in opening order
  std::string shotsDir;                     // "" for no pictures
  // Where print() lines go (without the line end); stdout when empty.
  std::function<void(const std::string&)> print;
};

struct PageResult {
  int status = kPageOk;
  std::string error;                      // the script error, with its stack
  std::vector<std::string> userFailures;  // what the scripted user reports
};

// Runs `source` (UTF-8 JavaScript; `fileName` names it in error texts).
// COM is initialised for the run and uninitialised after it; every control
// the page created is released before the user's account is checked.
PageResult runPage(const std::string& source, const std::string& fileName, const PageOptions& options);

}  // namespace host
