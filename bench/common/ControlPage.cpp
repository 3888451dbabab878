#include "ControlPage.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>

#include "Fixtures.h"

namespace fs = std::filesystem;

namespace bench {

std::string programFolder() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

VARIANT bstr(const std::u16string& s) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return v;
}

bool ControlPage::open(const std::string& library, const char16_t* progId) {
  setenv("LANG", "C.UTF-8", 1);
  std::string bin = programFolder();
  std::string lib = fs::path(bin).parent_path().string() + "/lib/" + library;
  if (std::system((quote(bin + "/regsvr") + " " + quote(lib)).c_str()) != 0) return false;
  if (CoInitialize(nullptr) != S_OK) return false;
  initialized_ = true;
  CLSID clsid{};
  if (CLSIDFromProgID(progId, &clsid) != S_OK) return false;
  if (CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&control_)) !=
      S_OK)
    return false;
  if (PlatformCreateClientSite(u"http://localhost/", 0, &site_) != S_OK) return false;
  IOleObject* ole = nullptr;
  if (control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) != S_OK) return false;
  ole->SetClientSite(site_);
  ole->Release();
  return true;
}

void ControlPage::close() {
  IOleObject* ole = nullptr;
  if (control_ != nullptr && control_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
    ole->SetClientSite(nullptr);
    ole->Release();
  }
  if (site_ != nullptr) site_->Release();
  if (control_ != nullptr) control_->Release();
  site_ = nullptr;
  control_ = nullptr;
  if (initialized_) CoUninitialize();
  initialized_ = false;
}

bool ControlPage::ids(std::initializer_list<std::pair<const char16_t*, DISPID*>> members) {
  for (const auto& [name, id] : members) {
    LPOLESTR p = const_cast<LPOLESTR>(name);
    if (control_->GetIDsOfNames(IID_NULL, &p, 1, 0, id) != S_OK) return false;
  }
  return true;
}

HRESULT ControlPage::invoke(DISPID id, std::vector<VARIANT> args, VARIANT* result, WORD flags) {
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  EXCEPINFO excep{};
  UINT argErr = 0;
  HRESULT hr = control_->Invoke(id, IID_NULL, 0, flags, &params, result, &excep, &argErr);
  for (auto& a : args) VariantClear(&a);
  return hr;
}

}  // namespace bench
