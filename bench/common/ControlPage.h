// A control on a page, driven as a page's script drives it: registered with
// regsvr, created from its ProgID, placed on http://localhost/ and called
// through IDispatch::Invoke.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "platform/com.h"

namespace bench {

// The folder this program runs from (the tools are built beside it).
std::string programFolder();

std::u16string widen(const std::string& s);
// A VARIANT holding a fresh BSTR of `s`.
VARIANT bstr(const std::u16string& s);

class ControlPage {
 public:
  // Registers lib/`library` (beside the program's folder) with regsvr,
  // creates `progId` and places it on http://localhost/.
  bool open(const std::string& library, const char16_t* progId);
  // Takes the control off the page and lets it go.
  void close();
  // The DISPIDs of the named members.
  bool ids(std::initializer_list<std::pair<const char16_t*, DISPID*>> members);
  // One call as a script engine makes it: the arguments reversed, the result
  // in a VARIANT; the arguments are cleared after.
  HRESULT invoke(DISPID id, std::vector<VARIANT> args, VARIANT* result,
                 WORD flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET);

 private:
  IDispatch* control_ = nullptr;
  IOleClientSite* site_ = nullptr;
  bool initialized_ = false;
};

}  // namespace bench
