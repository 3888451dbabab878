// What the network-address control's tests share: Pellmar registered in the
// test's platform root with regsvr, controls created through the registry by
// program identifier and placed on a page (a client site whose container
// moniker is the page address), and getIP_MAC called as page script calls it.
#pragma once

#include <string>

#include "pellmar_h.h"
#include "platform/com.h"

namespace pellmartest {

std::string pellmarPath();  // the built deliverable, resolved
int regsvr(const std::string& args, std::string* out = nullptr);
std::string utf8(const std::u16string& text);

// A FetchMAC control created by program identifier and placed on `url`.
class Control {
 public:
  explicit Control(const std::u16string& url = u"http://localhost/");
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  IFetchMAC* get() const { return m_control; }
  IDispatch* dispatch() const { return m_control; }

  struct Answer {
    HRESULT hr = E_FAIL;
    bool isNull = true;  // no string handed back
    std::string line;
    LONG code = -1;  // LastErrorCode afterwards
  };
  // getIP_MAC through IDispatch::Invoke, as script calls it.
  Answer getIP_MAC();

 private:
  IFetchMAC* m_control = nullptr;
  IOleClientSite* m_site = nullptr;
};

}  // namespace pellmartest
