#include "PellmarSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestRoot.h"
#include "platform/utf.h"

namespace pellmartest {

std::string pellmarPath() { return std::filesystem::canonical(PELLMAR_PATH).string(); }

int regsvr(const std::string& args, std::string* out) {
  return testsupport::run(std::string(REGSVR_PATH) + " " + args + " 2>&1", out);
}

std::string utf8(const std::u16string& text) { return platform::utf::toUtf8(text); }

Control::Control(const std::u16string& url) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Pellmar.FetchMAC", &clsid), S_OK);
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IFetchMAC, reinterpret_cast<void**>(&m_control)),
            S_OK);
  if (m_control == nullptr) return;
  EXPECT_EQ(PlatformCreateClientSite(url.c_str(), 0, &m_site), S_OK);
  IOleObject* ole = nullptr;
  if (m_control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
    ole->SetClientSite(m_site);
    ole->Release();
  }
}

Control::~Control() {
  if (m_control != nullptr) {
    IOleObject* ole = nullptr;
    if (m_control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
      ole->SetClientSite(nullptr);
      ole->Release();
    }
    m_control->Release();
  }
  if (m_site != nullptr) m_site->Release();
}

Control::Answer Control::getIP_MAC() {
  Answer answer;
  if (m_control == nullptr) return answer;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep{};
  UINT argErr = 0;
  answer.hr = m_control->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, &result, &excep, &argErr);
  if (result.vt == VT_BSTR && result.bstrVal != nullptr) {
    answer.isNull = false;
    answer.line = utf8(std::u16string(result.bstrVal, SysStringLen(result.bstrVal)));
  }
  VariantClear(&result);
  VARIANT code;
  VariantInit(&code);
  if (m_control->Invoke(2, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &code, &excep, &argErr) == S_OK &&
      code.vt == VT_I4)
    answer.code = code.lVal;
  return answer;
}

}  // namespace pellmartest
