// The container side: a URL moniker whose display name is the page address,
// a bind context, and the client site a page host gives each control.
#include <atomic>
#include <new>
#include <string>

#include "internal.h"

using namespace com_internal;

namespace {

template <class Self>
class RefCounted {
 public:
  ULONG addRef() { return ++refs_; }
  ULONG release(Self* self) {
    ULONG n = --refs_;
    if (n == 0) delete self;
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

class UrlMoniker final : public IMoniker {
 public:
  explicit UrlMoniker(std::u16string url) : url_(std::move(url)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IPersistStream || riid == IID_IMoniker) {
      *ppv = static_cast<IMoniker*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.addRef(); }
  ULONG Release() override { return refs_.release(this); }

  HRESULT GetClassID(CLSID* p) override {
    if (p == nullptr) return E_POINTER;
    *p = CLSID_StdURLMoniker;
    return S_OK;
  }
  HRESULT IsDirty() override { return S_FALSE; }
  HRESULT Load(IStream*) override { return E_NOTIMPL; }
  HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }

  HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID, void** pp) override { return noObject(pp); }
  HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID, void** pp) override { return noObject(pp); }
  HRESULT Reduce(IBindCtx*, DWORD, IMoniker**, IMoniker** reduced) override {
    if (reduced == nullptr) return E_POINTER;
    *reduced = this;
    AddRef();
    return MK_S_REDUCED_TO_SELF;
  }
  HRESULT ComposeWith(IMoniker*, BOOL, IMoniker** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT Enum(BOOL, IEnumMoniker** pp) override {
    if (pp == nullptr) return E_POINTER;
    *pp = nullptr;  // a simple moniker has no parts
    return S_OK;
  }
  HRESULT IsEqual(IMoniker* other) override {
    if (other == nullptr) return E_INVALIDARG;
    LPOLESTR name = nullptr;
    if (FAILED(other->GetDisplayName(nullptr, nullptr, &name)) || name == nullptr) return S_FALSE;
    bool same = url_ == name;
    CoTaskMemFree(name);
    return same ? S_OK : S_FALSE;
  }
  HRESULT Hash(DWORD* p) override {
    if (p == nullptr) return E_POINTER;
    DWORD h = 0;
    for (char16_t c : url_) h = h * 31 + c;
    *p = h;
    return S_OK;
  }
  HRESULT IsRunning(IBindCtx*, IMoniker*, IMoniker*) override { return S_FALSE; }
  HRESULT GetTimeOfLastChange(IBindCtx*, IMoniker*, FILETIME*) override { return MK_E_UNAVAILABLE; }
  HRESULT Inverse(IMoniker** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return MK_E_NOINVERSE;
  }
  HRESULT CommonPrefixWith(IMoniker*, IMoniker** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT RelativePathTo(IMoniker*, IMoniker** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  // The page address. No bind context is needed.
  HRESULT GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* pp) override {
    if (pp == nullptr) return E_POINTER;
    *pp = taskString(url_);
    return *pp != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT ParseDisplayName(IBindCtx*, IMoniker*, LPOLESTR, ULONG* eaten, IMoniker** pp) override {
    if (eaten != nullptr) *eaten = 0;
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT IsSystemMoniker(DWORD* p) override {
    if (p == nullptr) return E_POINTER;
    *p = MKSYS_URLMONIKER;
    return S_OK;
  }

 private:
  static constexpr HRESULT MK_S_REDUCED_TO_SELF = 0x000401E2;
  static constexpr HRESULT MK_E_NOINVERSE = static_cast<HRESULT>(0x800401EC);
  static HRESULT noObject(void** pp) {
    if (pp != nullptr) *pp = nullptr;
    return MK_E_NOOBJECT;  // nothing is downloaded here
  }
  std::u16string url_;
  RefCounted<UrlMoniker> refs_;
};

class BindCtx final : public PlatformSingleInterface<BindCtx, IBindCtx> {
 public:
  HRESULT RegisterObjectBound(IUnknown*) override { return S_OK; }
  HRESULT RevokeObjectBound(IUnknown*) override { return S_OK; }
  HRESULT ReleaseBoundObjects() override { return S_OK; }
  HRESULT SetBindOptions(BIND_OPTS*) override { return S_OK; }
  HRESULT GetBindOptions(BIND_OPTS*) override { return E_NOTIMPL; }
  HRESULT GetRunningObjectTable(IRunningObjectTable** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT RegisterObjectParam(LPOLESTR, IUnknown*) override { return E_NOTIMPL; }
  HRESULT GetObjectParam(LPOLESTR, IUnknown** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_FAIL;
  }
  HRESULT EnumObjectParam(IEnumString** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT RevokeObjectParam(LPOLESTR) override { return E_FAIL; }
};

class ClientSite final : public PlatformSingleInterface<ClientSite, IOleClientSite> {
 public:
  ClientSite(std::u16string url, DWORD flags) : url_(std::move(url)), flags_(flags) {}

  HRESULT SaveObject() override { return E_NOTIMPL; }
  // The container's moniker is the page address; a site made without one has none.
  HRESULT GetMoniker(DWORD, DWORD which, IMoniker** pp) override {
    if (pp == nullptr) return E_POINTER;
    *pp = nullptr;
    if ((flags_ & PLATFORM_SITE_NO_MONIKER) || which != OLEWHICHMK_CONTAINER) return E_NOTIMPL;
    return CreateURLMoniker(nullptr, url_.c_str(), pp);
  }
  HRESULT GetContainer(IOleContainer** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT ShowObject() override { return S_OK; }
  HRESULT OnShowWindow(BOOL) override { return S_OK; }
  HRESULT RequestNewObjectLayout() override { return E_NOTIMPL; }

 private:
  std::u16string url_;
  DWORD flags_;
};
}  // namespace

PLATFORM_API HRESULT CreateURLMoniker(IMoniker*, LPCWSTR szURL, IMoniker** ppmk) {
  if (ppmk == nullptr) return E_POINTER;
  *ppmk = nullptr;
  if (szURL == nullptr) return E_INVALIDARG;
  *ppmk = new (std::nothrow) UrlMoniker(szURL);
  return *ppmk != nullptr ? S_OK : E_OUTOFMEMORY;
}

PLATFORM_API HRESULT CreateBindCtx(DWORD, IBindCtx** ppbc) {
  if (ppbc == nullptr) return E_POINTER;
  *ppbc = new (std::nothrow) BindCtx();
  return *ppbc != nullptr ? S_OK : E_OUTOFMEMORY;
}

PLATFORM_API HRESULT PlatformCreateClientSite(LPCOLESTR pageUrl, DWORD flags, IOleClientSite** ppSite) {
  if (ppSite == nullptr) return E_POINTER;
  *ppSite = new (std::nothrow) ClientSite(str16(pageUrl), flags);
  return *ppSite != nullptr ? S_OK : E_OUTOFMEMORY;
}
