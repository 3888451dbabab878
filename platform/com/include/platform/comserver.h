// The in-process server framework: what a deliverable compiles into itself to
// be a COM server with controls. Header-only and private to each module that
// includes it (hidden visibility), so every deliverable keeps its own module
// object, lock count and object map, as on Windows.
//
//   class CFooModule : public CAtlDllModuleT<CFooModule> {
//    public:
//     DECLARE_LIBID(LIBID_FooLib)
//     DECLARE_REGISTRY_APPID_RESOURCEID(101, "{...}")
//   };
//   CFooModule _AtlModule;
//
//   class CFooCtrl : public CComObjectRootEx<CComSingleThreadModel>,
//                    public IDispatchImpl<IFooCtrl, &IID_IFooCtrl, &LIBID_FooLib, 1, 0>,
//                    public IObjectSafetyImpl<CFooCtrl, INTERFACESAFE_FOR_UNTRUSTED_CALLER | ...>,
//                    public IOleObjectImpl<CFooCtrl>, ..., public CComControlBase,
//                    public CComCoClass<CFooCtrl, &CLSID_FooCtrl> {
//    public:
//     DECLARE_OLEMISC_STATUS(OLEMISC_SETCLIENTSITEFIRST | ...)
//     DECLARE_REGISTRY_RESOURCEID(103)
//     BEGIN_COM_MAP(CFooCtrl)
//       COM_INTERFACE_ENTRY(IFooCtrl)
//       COM_INTERFACE_ENTRY(IDispatch)
//       ...
//     END_COM_MAP()
//     HRESULT sign(BSTR, BSTR, BSTR, LONG* pVal) override;   // the interface's members
//   };
//   OBJECT_ENTRY_AUTO(CLSID_FooCtrl, CFooCtrl)
//
//   PLATFORM_API HRESULT DllGetClassObject(REFCLSID c, REFIID i, LPVOID* p) { return _AtlModule.DllGetClassObject(c, i,
//   p); }
//   ... DllCanUnloadNow, DllRegisterServer, DllUnregisterServer likewise.
//
// Registry scripts are REGISTRY resources and the type library is TYPELIB 1
// of the module (add_resources). Registration replaces %MODULE% with the
// module's path (single quotes doubled, so it may stand inside '...'),
// %MODULE_RAW% with the path as it is, %APPID% with the module's application
// identifier, and %OLEMISC% with the class's miscellaneous status in decimal.
#pragma once

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/dispatch.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/winreg.h"

#pragma GCC visibility push(hidden)

// ---------------------------------------------------------------- smart pointers
template <class T>
class CComPtr {
 public:
  CComPtr() = default;
  CComPtr(T* p) : p(p) {  // NOLINT: converting, as the framework's own
    if (p != nullptr) p->AddRef();
  }
  CComPtr(const CComPtr& o) : CComPtr(o.p) {}
  CComPtr(CComPtr&& o) noexcept : p(o.p) { o.p = nullptr; }
  ~CComPtr() { Release(); }
  CComPtr& operator=(T* q) {
    if (q != nullptr) q->AddRef();
    Release();
    p = q;
    return *this;
  }
  CComPtr& operator=(const CComPtr& o) { return *this = o.p; }
  CComPtr& operator=(CComPtr&& o) noexcept {
    if (this != &o) {
      Release();
      p = o.p;
      o.p = nullptr;
    }
    return *this;
  }
  operator T*() const { return p; }
  T* operator->() const { return p; }
  T** operator&() { return &p; }  // for out parameters: the pointer must be empty
  bool operator!() const { return p == nullptr; }
  void Release() {
    T* q = p;
    p = nullptr;
    if (q != nullptr) q->Release();
  }
  void Attach(T* q) {
    Release();
    p = q;
  }
  T* Detach() {
    T* q = p;
    p = nullptr;
    return q;
  }
  HRESULT CopyTo(T** pp) const {
    if (pp == nullptr) return E_POINTER;
    *pp = p;
    if (p != nullptr) p->AddRef();
    return S_OK;
  }
  template <class Q>
  HRESULT QueryInterface(Q** pp) const {
    if (p == nullptr) return E_POINTER;
    return p->QueryInterface(IIDOf<Q>(), reinterpret_cast<void**>(pp));
  }

  T* p = nullptr;
};

template <class T, const IID* piid = &InterfaceId<T>::value>
class CComQIPtr : public CComPtr<T> {
 public:
  CComQIPtr() = default;
  explicit CComQIPtr(IUnknown* u) {
    if (u != nullptr) u->QueryInterface(*piid, reinterpret_cast<void**>(&this->p));
  }
};

// ---------------------------------------------------------------- thread models
struct CComFakeCriticalSection {
  void Lock() {}
  void Unlock() {}
};
struct CComAutoCriticalSection {
  void Lock() { m.lock(); }
  void Unlock() { m.unlock(); }
  std::mutex m;
};
struct CComSingleThreadModel {
  static ULONG Increment(LONG* p) { return static_cast<ULONG>(++*p); }
  static ULONG Decrement(LONG* p) { return static_cast<ULONG>(--*p); }
  using AutoCriticalSection = CComFakeCriticalSection;
  using ThreadModelNoCS = CComSingleThreadModel;
};
struct CComMultiThreadModelNoCS {
  static ULONG Increment(LONG* p) { return static_cast<ULONG>(__atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST)); }
  static ULONG Decrement(LONG* p) { return static_cast<ULONG>(__atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST)); }
  using AutoCriticalSection = CComFakeCriticalSection;
  using ThreadModelNoCS = CComMultiThreadModelNoCS;
};
struct CComMultiThreadModel : CComMultiThreadModelNoCS {
  using AutoCriticalSection = CComAutoCriticalSection;
  using ThreadModelNoCS = CComMultiThreadModelNoCS;
};
using CComObjectThreadModel = CComSingleThreadModel;
using CComGlobalsThreadModel = CComMultiThreadModel;

// ---------------------------------------------------------------- object roots and the COM map
struct _ATL_INTMAP_ENTRY {
  const IID* piid;            // null ends the map
  void* (*cast)(void* self);  // the object (as its own class) to this interface
};

class CComObjectRootBase {
 public:
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}
  static void ObjectMain(bool) {}
  void SetVoid(void*) {}
  ULONG OuterAddRef() { return m_pOuterUnknown->AddRef(); }
  ULONG OuterRelease() { return m_pOuterUnknown->Release(); }
  HRESULT OuterQueryInterface(REFIID iid, void** ppv) { return m_pOuterUnknown->QueryInterface(iid, ppv); }

  // The first entry of the map gives the object's identity (IUnknown).
  static HRESULT InternalQueryInterface(void* self, const _ATL_INTMAP_ENTRY* entries, REFIID iid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (iid == IID_IUnknown) {
      auto* u = static_cast<IUnknown*>(entries[0].cast(self));
      u->AddRef();
      *ppv = u;
      return S_OK;
    }
    for (const _ATL_INTMAP_ENTRY* e = entries; e->piid != nullptr; ++e) {
      if (*e->piid == iid) {
        auto* u = static_cast<IUnknown*>(e->cast(self));
        u->AddRef();
        *ppv = u;
        return S_OK;
      }
    }
    return E_NOINTERFACE;
  }

  LONG m_dwRef = 0;
  IUnknown* m_pOuterUnknown = nullptr;  // the controlling object when aggregated
};

template <class ThreadModel>
class CComObjectRootEx : public CComObjectRootBase {
 public:
  using _ThreadModel = ThreadModel;
  using _CritSec = typename ThreadModel::AutoCriticalSection;
  ULONG InternalAddRef() { return ThreadModel::Increment(&m_dwRef); }
  ULONG InternalRelease() { return ThreadModel::Decrement(&m_dwRef); }
  // Keeps the object alive while FinalConstruct hands out and drops references.
  void InternalFinalConstructAddRef() { InternalAddRef(); }
  void InternalFinalConstructRelease() { InternalRelease(); }
  void Lock() { m_critsec.Lock(); }
  void Unlock() { m_critsec.Unlock(); }

 private:
  _CritSec m_critsec;
};

#define BEGIN_COM_MAP(x)                                                                                         \
 public:                                                                                                         \
  using _ComMapClass = x;                                                                                        \
  IUnknown* _GetRawUnknown() { return static_cast<IUnknown*>(_GetEntries()[0].cast(static_cast<void*>(this))); } \
  IUnknown* GetUnknown() { return _GetRawUnknown(); }                                                            \
  HRESULT _InternalQueryInterface(REFIID iid, void** ppv) {                                                      \
    return CComObjectRootBase::InternalQueryInterface(static_cast<void*>(this), _GetEntries(), iid, ppv);        \
  }                                                                                                              \
  static const _ATL_INTMAP_ENTRY* _GetEntries() {                                                                \
    static const _ATL_INTMAP_ENTRY _entries[] = {
#define COM_INTERFACE_ENTRY_IID(iid, I) \
  {&(iid), [](void* self) -> void* { return static_cast<I*>(static_cast<_ComMapClass*>(self)); }},
#define COM_INTERFACE_ENTRY(I) COM_INTERFACE_ENTRY_IID(InterfaceId<I>::value, I)
// An interface reached through one of its derived interfaces (IDispatch through the dual one).
#define COM_INTERFACE_ENTRY2(I, Via) \
  {&InterfaceId<I>::value,           \
   [](void* self) -> void* { return static_cast<I*>(static_cast<Via*>(static_cast<_ComMapClass*>(self))); }},
#define END_COM_MAP()           \
  { nullptr, nullptr }          \
  }                             \
  ;                             \
  return _entries;              \
  }                             \
  ULONG AddRef() override = 0;  \
  ULONG Release() override = 0; \
  HRESULT QueryInterface(REFIID iid, void** ppv) override = 0;

// ---------------------------------------------------------------- the module
struct _ATL_REGMAP_ENTRY {
  LPCOLESTR szKey;  // null ends the list
  LPCOLESTR szData;
};

using _ATL_CREATORFUNC = HRESULT(void* pv, REFIID riid, LPVOID* ppv);

struct _ATL_OBJMAP_ENTRY {
  const CLSID* pclsid;
  HRESULT (*pfnUpdateRegistry)(BOOL bRegister);
  _ATL_CREATORFUNC* pfnGetClassObject;  // makes the class factory; pv is pfnCreateInstance
  _ATL_CREATORFUNC* pfnCreateInstance;  // makes an object; pv is the controlling IUnknown or null
  void (*pfnObjectMain)(bool bStarting);
};

// The module's object map, filled by OBJECT_ENTRY_AUTO while the module's
// static objects are made. Plain data with no destructor: the module object
// reads it while the module's statics are destroyed, in whatever order.
struct _AtlObjectMapStore {
  static constexpr UINT kCapacity = 32;
  _ATL_OBJMAP_ENTRY entries[kCapacity];
  UINT count;
  const _ATL_OBJMAP_ENTRY* begin() const { return entries; }
  const _ATL_OBJMAP_ENTRY* end() const { return entries + count; }
};
inline _AtlObjectMapStore _AtlObjectMapData{};
inline _AtlObjectMapStore& _AtlObjectMap() { return _AtlObjectMapData; }

inline void _AtlModuleAnchor() {}

class CAtlModule;
inline CAtlModule* _pAtlModule = nullptr;

class CAtlModule {
 public:
  CAtlModule() { _pAtlModule = this; }
  virtual ~CAtlModule() {
    for (auto it = m_termFuncs.rbegin(); it != m_termFuncs.rend(); ++it) it->first(it->second);
    if (_pAtlModule == this) _pAtlModule = nullptr;
  }
  CAtlModule(const CAtlModule&) = delete;
  CAtlModule& operator=(const CAtlModule&) = delete;

  virtual LONG Lock() { return ++m_nLockCnt; }
  virtual LONG Unlock() { return --m_nLockCnt; }
  virtual LONG GetLockCount() { return m_nLockCnt.load(); }

  HRESULT AddTermFunc(void (*pFunc)(DWORD_PTR), DWORD_PTR dw) {
    std::lock_guard<std::mutex> lock(m_csStaticDataInit);
    m_termFuncs.emplace_back(pFunc, dw);
    return S_OK;
  }

  // The module (deliverable) this framework copy is compiled into.
  static HMODULE GetModuleInstance() {
    return PlatformModuleFromAddress(reinterpret_cast<const void*>(&_AtlModuleAnchor));
  }
  static std::u16string GetModulePath() {
    std::u16string path(260, 0);
    while (true) {
      DWORD n = GetModuleFileNameW(GetModuleInstance(), path.data(), static_cast<DWORD>(path.size()));
      if (n == 0) return std::u16string();
      if (n < path.size() - 1) {
        path.resize(n);
        return path;
      }
      path.resize(path.size() * 2);
    }
  }

  virtual HRESULT AddCommonRGSReplacements(IRegistrarBase*) { return S_OK; }

  HRESULT UpdateRegistryFromResource(UINT nResID, BOOL bRegister, const _ATL_REGMAP_ENTRY* pMapEntries = nullptr) {
    IRegistrar* reg = nullptr;
    HRESULT hr = PlatformCreateRegistrar(&reg);
    if (FAILED(hr)) return hr;
    std::u16string path = GetModulePath();
    std::u16string quoted;
    for (char16_t c : path) {
      quoted.push_back(c);
      if (c == u'\'') quoted.push_back(u'\'');
    }
    hr = reg->AddReplacement(u"Module", quoted.c_str());
    if (SUCCEEDED(hr)) hr = reg->AddReplacement(u"Module_Raw", path.c_str());
    if (SUCCEEDED(hr)) hr = AddCommonRGSReplacements(reg);
    for (const _ATL_REGMAP_ENTRY* e = pMapEntries; SUCCEEDED(hr) && e != nullptr && e->szKey != nullptr; ++e)
      hr = reg->AddReplacement(e->szKey, e->szData);
    if (SUCCEEDED(hr))
      hr = bRegister ? reg->ResourceRegister(path.c_str(), nResID, u"REGISTRY")
                     : reg->ResourceUnregister(path.c_str(), nResID, u"REGISTRY");
    reg->Release();
    return hr;
  }

  static inline GUID m_libid{};
  bool m_bInitFailed = false;

 protected:
  std::atomic<LONG> m_nLockCnt{0};
  std::mutex m_csStaticDataInit;
  std::vector<std::pair<void (*)(DWORD_PTR), DWORD_PTR>> m_termFuncs;
};

// Registers the module's type library (resource TYPELIB 1) under the module's path.
inline HRESULT AtlRegisterTypeLib(HMODULE, LPCOLESTR) {
  std::u16string path = CAtlModule::GetModulePath();
  ITypeLib* tl = nullptr;
  HRESULT hr = LoadTypeLib(path.c_str(), &tl);
  if (FAILED(hr)) return hr;
  hr = RegisterTypeLib(tl, path.c_str(), nullptr);
  tl->Release();
  return hr;
}

inline HRESULT AtlUnRegisterTypeLib(HMODULE, LPCOLESTR) {
  std::u16string path = CAtlModule::GetModulePath();
  ITypeLib* tl = nullptr;
  HRESULT hr = LoadTypeLib(path.c_str(), &tl);
  if (FAILED(hr)) return hr;
  TLIBATTR* attr = nullptr;
  hr = tl->GetLibAttr(&attr);
  if (SUCCEEDED(hr)) {
    hr = UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    tl->ReleaseTLibAttr(attr);
  }
  tl->Release();
  return hr;
}

template <class T>
class CAtlModuleT : public CAtlModule {
 public:
  CAtlModuleT() { T::InitLibId(); }
  static void InitLibId() {}
  static HRESULT UpdateRegistryAppId(BOOL) { return S_OK; }

  HRESULT AddCommonRGSReplacements(IRegistrarBase* reg) override {
    if constexpr (requires { T::GetAppId(); }) return reg->AddReplacement(u"APPID", T::GetAppId());
    return S_OK;
  }

  // The application script, then each class's script, then the type library.
  HRESULT RegisterServer(BOOL bRegTypeLib = FALSE, const CLSID* pCLSID = nullptr) {
    HRESULT hr = T::UpdateRegistryAppId(TRUE);
    if (FAILED(hr)) return hr;
    for (const auto& e : _AtlObjectMap()) {
      if (pCLSID != nullptr && *pCLSID != *e.pclsid) continue;
      hr = e.pfnUpdateRegistry(TRUE);
      if (FAILED(hr)) return hr;
    }
    if (bRegTypeLib) hr = AtlRegisterTypeLib(GetModuleInstance(), nullptr);
    return hr;
  }

  // Each class's script, the type library, then the application script.
  HRESULT UnregisterServer(BOOL bUnRegTypeLib, const CLSID* pCLSID = nullptr) {
    HRESULT hr = S_OK;
    for (const auto& e : _AtlObjectMap()) {
      if (pCLSID != nullptr && *pCLSID != *e.pclsid) continue;
      hr = e.pfnUpdateRegistry(FALSE);
      if (FAILED(hr)) return hr;
    }
    if (bUnRegTypeLib) {
      hr = AtlUnRegisterTypeLib(GetModuleInstance(), nullptr);
      if (FAILED(hr)) return hr;
    }
    return T::UpdateRegistryAppId(FALSE);
  }
};

template <class T>
class CAtlDllModuleT : public CAtlModuleT<T> {
 public:
  ~CAtlDllModuleT() {
    if (m_started)
      for (const auto& e : _AtlObjectMap()) e.pfnObjectMain(false);
  }

  HRESULT DllCanUnloadNow() { return this->GetLockCount() == 0 ? S_OK : S_FALSE; }

  HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (this->m_bInitFailed) return E_UNEXPECTED;
    start();
    for (const auto& e : _AtlObjectMap()) {
      if (*e.pclsid == rclsid) return e.pfnGetClassObject(reinterpret_cast<void*>(e.pfnCreateInstance), riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
  }

  // Registration runs under the system default locale; the caller's thread
  // locale is restored afterwards, whatever the outcome.
  HRESULT DllRegisterServer(BOOL bRegTypeLib = TRUE) {
    return underSystemLocale([&](T& module) { return module.RegisterServer(bRegTypeLib); });
  }
  HRESULT DllUnregisterServer(BOOL bUnRegTypeLib = TRUE) {
    return underSystemLocale([&](T& module) { return module.UnregisterServer(bUnRegTypeLib); });
  }

 private:
  template <class Step>
  HRESULT underSystemLocale(Step step) {
    start();
    LCID saved = GetThreadLocale();
    SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
    HRESULT hr = step(*static_cast<T*>(this));
    SetThreadLocale(saved);
    return hr;
  }
  // Each object-map entry is told once that the module has started.
  void start() {
    std::call_once(m_startOnce, [this] {
      for (const auto& e : _AtlObjectMap()) e.pfnObjectMain(true);
      m_started = true;
    });
  }
  std::once_flag m_startOnce;
  bool m_started = false;
};

#define DECLARE_LIBID(libid) \
  static void InitLibId() { CAtlModule::m_libid = libid; }

#define DECLARE_REGISTRY_APPID_RESOURCEID(resid, appid)                               \
  static LPCOLESTR GetAppId() { return u"" appid; }                                   \
  static HRESULT UpdateRegistryAppId(BOOL bRegister) {                                \
    const _ATL_REGMAP_ENTRY entries[] = {{u"APPID", GetAppId()}, {nullptr, nullptr}}; \
    return _pAtlModule->UpdateRegistryFromResource(resid, bRegister, entries);        \
  }

// ---------------------------------------------------------------- objects
// FinalConstruct under a guard reference; an exception is a failure.
template <class Object>
HRESULT _AtlFinalConstruct(Object* p) {
  p->InternalFinalConstructAddRef();
  HRESULT hr;
  try {
    hr = p->FinalConstruct();
  } catch (...) {
    hr = E_FAIL;
  }
  p->InternalFinalConstructRelease();
  return hr;
}

// A non-aggregated object: counts itself in the module's lock count.
template <class Base>
class CComObject final : public Base {
 public:
  using _BaseClass = Base;
  explicit CComObject(void* = nullptr) {
    if (_pAtlModule != nullptr) _pAtlModule->Lock();
  }
  ~CComObject() {
    this->m_dwRef = -(0x7FFFFFFF / 2);  // no second destruction from stray calls
    this->FinalRelease();
    if (_pAtlModule != nullptr) _pAtlModule->Unlock();
  }
  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    ULONG l = this->InternalRelease();
    if (l == 0) delete this;
    return l;
  }
  HRESULT QueryInterface(REFIID iid, void** ppv) override { return this->_InternalQueryInterface(iid, ppv); }

  // An object with no references yet; FinalConstruct has run.
  static HRESULT CreateInstance(CComObject<Base>** pp) {
    if (pp == nullptr) return E_POINTER;
    *pp = nullptr;
    CComObject<Base>* p = nullptr;
    try {
      p = new (std::nothrow) CComObject<Base>();
    } catch (...) {
      return E_FAIL;
    }
    if (p == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = _AtlFinalConstruct(p);
    if (FAILED(hr)) {
      delete p;
      return hr;
    }
    *pp = p;
    return S_OK;
  }
};

// Like CComObject, without counting in the module (class factories).
template <class Base>
class CComObjectNoLock final : public Base {
 public:
  explicit CComObjectNoLock(void* = nullptr) {}
  ~CComObjectNoLock() {
    this->m_dwRef = -(0x7FFFFFFF / 2);  // no second destruction from stray calls
    this->FinalRelease();
  }
  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    ULONG l = this->InternalRelease();
    if (l == 0) delete this;
    return l;
  }
  HRESULT QueryInterface(REFIID iid, void** ppv) override { return this->_InternalQueryInterface(iid, ppv); }
};

// The inner object of an aggregate: its interfaces' IUnknown methods go to
// the controlling object.
template <class Base>
class CComContainedObject final : public Base {
 public:
  explicit CComContainedObject(void* pv) { this->m_pOuterUnknown = static_cast<IUnknown*>(pv); }
  ULONG AddRef() override { return this->OuterAddRef(); }
  ULONG Release() override { return this->OuterRelease(); }
  HRESULT QueryInterface(REFIID iid, void** ppv) override { return this->OuterQueryInterface(iid, ppv); }
};

// An aggregated object: this IUnknown is the one the controlling object holds
// (and the only one whose references count here).
template <class contained>
class CComAggObject final : public IUnknown,
                            public CComObjectRootEx<typename contained::_ThreadModel::ThreadModelNoCS> {
 public:
  explicit CComAggObject(void* pv) : m_contained(pv) {
    if (_pAtlModule != nullptr) _pAtlModule->Lock();
  }
  ~CComAggObject() {
    this->m_dwRef = -(0x7FFFFFFF / 2);  // no second destruction from stray calls
    FinalRelease();
    if (_pAtlModule != nullptr) _pAtlModule->Unlock();
  }
  HRESULT FinalConstruct() { return m_contained.FinalConstruct(); }
  void FinalRelease() { m_contained.FinalRelease(); }
  ULONG AddRef() override { return this->InternalAddRef(); }
  ULONG Release() override {
    ULONG l = this->InternalRelease();
    if (l == 0) delete this;
    return l;
  }
  HRESULT QueryInterface(REFIID iid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (iid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return m_contained._InternalQueryInterface(iid, ppv);
  }

  CComContainedObject<contained> m_contained;
};

// ---------------------------------------------------------------- creators and class factories
template <class T1>
class CComCreator {
 public:
  static HRESULT CreateInstance(void* pv, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    T1* p = nullptr;
    try {
      p = new (std::nothrow) T1(pv);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    } catch (...) {
      return E_FAIL;  // a constructor that throws: nothing crosses the interface
    }
    if (p == nullptr) return E_OUTOFMEMORY;
    p->SetVoid(pv);
    HRESULT hr = _AtlFinalConstruct(p);
    if (SUCCEEDED(hr)) hr = p->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete p;
    return hr;
  }
};

template <HRESULT hrFail>
class CComFailCreator {
 public:
  static HRESULT CreateInstance(void*, REFIID, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    return hrFail;
  }
};

// T1 without a controlling object, T2 with one.
template <class T1, class T2>
class CComCreator2 {
 public:
  static HRESULT CreateInstance(void* pv, REFIID riid, LPVOID* ppv) {
    return pv == nullptr ? T1::CreateInstance(nullptr, riid, ppv) : T2::CreateInstance(pv, riid, ppv);
  }
};

class CComClassFactory : public IClassFactory, public CComObjectRootEx<CComGlobalsThreadModel> {
 public:
  BEGIN_COM_MAP(CComClassFactory)
  COM_INTERFACE_ENTRY(IClassFactory)
  END_COM_MAP()

  HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // An aggregating caller must ask for the inner object's own IUnknown.
    if (pUnkOuter != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return m_pfnCreateInstance(pUnkOuter, riid, ppv);
  }
  HRESULT LockServer(BOOL fLock) override {
    if (_pAtlModule != nullptr) {
      if (fLock)
        _pAtlModule->Lock();
      else
        _pAtlModule->Unlock();
    }
    return S_OK;
  }
  void SetVoid(void* pv) { m_pfnCreateInstance = reinterpret_cast<_ATL_CREATORFUNC*>(pv); }

  _ATL_CREATORFUNC* m_pfnCreateInstance = nullptr;
};

#define DECLARE_CLASSFACTORY() using _ClassFactoryCreatorClass = CComCreator<CComObjectNoLock<CComClassFactory>>;
#define DECLARE_AGGREGATABLE(x) \
  using _CreatorClass = CComCreator2<CComCreator<CComObject<x>>, CComCreator<CComAggObject<x>>>;
#define DECLARE_NOT_AGGREGATABLE(x) \
  using _CreatorClass = CComCreator2<CComCreator<CComObject<x>>, CComFailCreator<CLASS_E_NOAGGREGATION>>;
// Objects are always kept alive through FinalConstruct here; the macro is accepted as written.
#define DECLARE_PROTECT_FINAL_CONSTRUCT()
#define DECLARE_OLEMISC_STATUS(x) \
  static DWORD _GetMiscStatus() { return x; }

// The class's registry script; %OLEMISC% is its miscellaneous status when it declares one.
template <class T>
HRESULT AtlUpdateClassRegistry(UINT resid, BOOL bRegister) {
  if constexpr (requires { T::_GetMiscStatus(); }) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(T::_GetMiscStatus()));
    std::u16string misc;
    for (char* c = digits; *c != 0; ++c) misc.push_back(static_cast<char16_t>(*c));
    const _ATL_REGMAP_ENTRY entries[] = {{u"OLEMISC", misc.c_str()}, {nullptr, nullptr}};
    return _pAtlModule->UpdateRegistryFromResource(resid, bRegister, entries);
  } else {
    return _pAtlModule->UpdateRegistryFromResource(resid, bRegister);
  }
}
#define DECLARE_REGISTRY_RESOURCEID(x) \
  static HRESULT UpdateRegistry(BOOL bRegister) { return AtlUpdateClassRegistry<_ComMapClass>(x, bRegister); }

template <class T, const CLSID* pclsid = &CLSID_NULL>
class CComCoClass {
 public:
  DECLARE_CLASSFACTORY()
  DECLARE_AGGREGATABLE(T)
  static const CLSID& GetObjectCLSID() { return *pclsid; }
};

template <class T>
bool _AtlAddObjectEntry(const CLSID* clsid) {
  _AtlObjectMapStore& map = _AtlObjectMap();
  if (map.count == _AtlObjectMapStore::kCapacity) {
    OutputDebugStringA("object map: too many classes in one module");
    std::abort();
  }
  map.entries[map.count++] = _ATL_OBJMAP_ENTRY{clsid, &T::UpdateRegistry, &T::_ClassFactoryCreatorClass::CreateInstance,
                                               &T::_CreatorClass::CreateInstance, &T::ObjectMain};
  return true;
}
#define OBJECT_ENTRY_AUTO(clsid, class) \
  [[maybe_unused]] static const bool _atl_objmap_##class = _AtlAddObjectEntry<class>(&(clsid));

// ---------------------------------------------------------------- IDispatch from the type library
// Holds the type information of one interface (or coclass) of the module's
// type library, loaded on first use: the module's own library (the one its
// dispatch tables were compiled with), else the registered one. A dispatch
// table that disagrees with it makes every call fail with TYPE_E_TYPEMISMATCH
// (the difference goes to the debugger output).
class CComTypeInfoHolder {
 public:
  CComTypeInfoHolder(const GUID* guid, const GUID* libid, WORD major, WORD minor)
      : m_pguid(guid), m_plibid(libid), m_wMajor(major), m_wMinor(minor) {}
  ~CComTypeInfoHolder() {
    if (m_pInfo != nullptr) m_pInfo->Release();
  }

  HRESULT GetTI(ITypeInfo** pp, const PLATFORM_DISPENTRY* entries = nullptr, UINT count = 0) {
    std::call_once(m_once, [&] { m_hr = load(entries, count); });
    *pp = m_pInfo;
    return m_hr;
  }

 private:
  HRESULT load(const PLATFORM_DISPENTRY* entries, UINT count) {
    ITypeLib* lib = nullptr;
    std::u16string path = CAtlModule::GetModulePath();
    HRESULT hr = LoadTypeLib(path.c_str(), &lib);
    if (FAILED(hr)) hr = LoadRegTypeLib(*m_plibid, m_wMajor, m_wMinor, 0, &lib);
    if (FAILED(hr)) return hr;
    hr = lib->GetTypeInfoOfGuid(*m_pguid, &m_pInfo);
    lib->Release();
    if (FAILED(hr)) return hr;
    if (entries != nullptr) {
      char why[512];
      hr = PlatformDispCheckTable(m_pInfo, entries, count, why, sizeof why);
      if (FAILED(hr)) {
        std::string line = std::string("dispatch table: ") + why;
        OutputDebugStringA(line.c_str());
      }
    }
    return hr;
  }

  const GUID* m_pguid;
  const GUID* m_plibid;
  WORD m_wMajor, m_wMinor;
  ITypeInfo* m_pInfo = nullptr;
  HRESULT m_hr = E_UNEXPECTED;
  std::once_flag m_once;
};

template <class T, const IID* piid = &InterfaceId<T>::value, const GUID* plibid = &CAtlModule::m_libid, WORD wMajor = 1,
          WORD wMinor = 0>
class IDispatchImpl : public T {
 public:
  HRESULT GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo == nullptr) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    ITypeInfo* ti = nullptr;
    HRESULT hr = typeInfo(&ti);
    if (SUCCEEDED(hr)) {
      ti->AddRef();
      *ppTInfo = ti;
    }
    return hr;
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* ti = nullptr;
    HRESULT hr = typeInfo(&ti);
    if (FAILED(hr)) return hr;
    return ti->GetIDsOfNames(rgszNames, cNames, rgDispId);
  }
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                 EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* ti = nullptr;
    HRESULT hr = typeInfo(&ti);
    if (FAILED(hr)) return hr;
    using Table = PlatformDispatchTable<T>;
    return PlatformDispInvoke(ti, Table::entries, Table::count, static_cast<T*>(this), dispIdMember, wFlags,
                              pDispParams, pVarResult, pExcepInfo, puArgErr);
  }

 private:
  static HRESULT typeInfo(ITypeInfo** pp) {
    static CComTypeInfoHolder holder(piid, plibid, wMajor, wMinor);
    using Table = PlatformDispatchTable<T>;
    return holder.GetTI(pp, Table::entries, Table::count);
  }
};

template <const CLSID* pcoclsid, const IID* psrcid, const GUID* plibid = &CAtlModule::m_libid, WORD wMajor = 1,
          WORD wMinor = 0>
class IProvideClassInfo2Impl : public IProvideClassInfo2 {
 public:
  HRESULT GetClassInfo(ITypeInfo** pp) override {
    if (pp == nullptr) return E_POINTER;
    *pp = nullptr;
    static CComTypeInfoHolder holder(pcoclsid, plibid, wMajor, wMinor);
    ITypeInfo* ti = nullptr;
    HRESULT hr = holder.GetTI(&ti);
    if (SUCCEEDED(hr)) {
      ti->AddRef();
      *pp = ti;
    }
    return hr;
  }
  HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) override {
    if (pGUID == nullptr) return E_POINTER;
    if (dwGuidKind == GUIDKIND_DEFAULT_SOURCE_DISP_IID && psrcid != nullptr) {
      *pGUID = *psrcid;
      return S_OK;
    }
    *pGUID = GUID_NULL;
    return E_FAIL;
  }
};

template <const IID* piid>
class ISupportErrorInfoImpl : public ISupportErrorInfo {
 public:
  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return riid == *piid ? S_OK : S_FALSE; }
};

// ---------------------------------------------------------------- object safety
// Supported options are dwSupportedSafety for every interface the object
// has; one set of enabled options serves them all.
template <class T, DWORD dwSupportedSafety>
class IObjectSafetyImpl : public IObjectSafety {
 public:
  HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) override {
    if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr) return E_POINTER;
    HRESULT hr = supports(riid);
    if (SUCCEEDED(hr)) {
      *pdwSupportedOptions = dwSupportedSafety;
      *pdwEnabledOptions = m_dwCurrentSafety;
    } else {
      *pdwSupportedOptions = 0;
      *pdwEnabledOptions = 0;
    }
    return hr;
  }
  HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) override {
    if (FAILED(supports(riid))) return E_NOINTERFACE;
    if (dwOptionSetMask & ~dwSupportedSafety) return E_FAIL;
    m_dwCurrentSafety = (m_dwCurrentSafety & ~dwOptionSetMask) | (dwOptionSetMask & dwEnabledOptions);
    return S_OK;
  }

  DWORD m_dwCurrentSafety = 0;

 private:
  HRESULT supports(REFIID riid) {
    IUnknown* unk = nullptr;
    HRESULT hr = static_cast<T*>(this)->_InternalQueryInterface(riid, reinterpret_cast<void**>(&unk));
    if (SUCCEEDED(hr)) unk->Release();
    return hr;
  }
};

// ---------------------------------------------------------------- control state and the OLE interfaces
// The container-facing state of a control: its client site and extent
// (HIMETRIC, 5080 x 5080 to start, two inches each way).
class CComControlBase {
 public:
  HRESULT IOleObject_SetClientSite(IOleClientSite* pClientSite) {
    m_spClientSite = pClientSite;
    return S_OK;
  }

  CComPtr<IOleClientSite> m_spClientSite;
  SIZEL m_sizeExtent{5080, 5080};
  SIZEL m_sizeNatural{5080, 5080};
  BOOL m_bRequiresSave = FALSE;
};

// The page address as the container gives it: the display name of the client
// site's container moniker (no bind context, no moniker to the left), as a
// task-memory string for the caller to free.
inline HRESULT AtlGetContainerDisplayName(IOleClientSite* site, LPOLESTR* name) {
  if (name == nullptr) return E_POINTER;
  *name = nullptr;
  if (site == nullptr) return E_FAIL;
  IMoniker* moniker = nullptr;
  HRESULT hr = site->GetMoniker(OLEGETMONIKER_TEMPFORUSER, OLEWHICHMK_CONTAINER, &moniker);
  if (FAILED(hr)) return hr;
  if (moniker == nullptr) return E_FAIL;
  hr = moniker->GetDisplayName(nullptr, nullptr, name);
  moniker->Release();
  return hr;
}

template <class T>
class IOleObjectImpl : public IOleObject {
 public:
  HRESULT SetClientSite(IOleClientSite* pClientSite) override {
    return static_cast<T*>(this)->IOleObject_SetClientSite(pClientSite);
  }
  HRESULT GetClientSite(IOleClientSite** ppClientSite) override {
    if (ppClientSite == nullptr) return E_POINTER;
    return static_cast<T*>(this)->m_spClientSite.CopyTo(ppClientSite);
  }
  HRESULT SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT Close(DWORD) override { return S_OK; }
  HRESULT SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT GetMoniker(DWORD, DWORD, IMoniker** ppmk) override {
    if (ppmk != nullptr) *ppmk = nullptr;
    return E_NOTIMPL;
  }
  HRESULT InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT GetClipboardData(DWORD, IDataObject** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) override { return E_NOTIMPL; }
  HRESULT EnumVerbs(IEnumOLEVERB** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return OLEOBJ_E_NOVERBS;
  }
  HRESULT Update() override { return S_OK; }
  HRESULT IsUpToDate() override { return S_OK; }
  HRESULT GetUserClassID(CLSID* pClsid) override {
    if (pClsid == nullptr) return E_POINTER;
    *pClsid = T::GetObjectCLSID();
    return S_OK;
  }
  HRESULT GetUserType(DWORD, LPOLESTR* psz) override {
    if (psz != nullptr) *psz = nullptr;
    return OLE_S_USEREG;
  }
  HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) override {
    if (psizel == nullptr) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return E_FAIL;
    static_cast<T*>(this)->m_sizeExtent = *psizel;
    return S_OK;
  }
  HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) override {
    if (psizel == nullptr) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return E_FAIL;
    *psizel = static_cast<T*>(this)->m_sizeExtent;
    return S_OK;
  }
  HRESULT Advise(IAdviseSink*, DWORD* pdw) override {
    if (pdw != nullptr) *pdw = 0;
    return E_NOTIMPL;
  }
  HRESULT Unadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumAdvise(IEnumSTATDATA** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetMiscStatus(DWORD, DWORD* pdwStatus) override {
    if (pdwStatus == nullptr) return E_POINTER;
    if constexpr (requires { T::_GetMiscStatus(); }) {
      *pdwStatus = T::_GetMiscStatus();
    } else {
      *pdwStatus = 0;
    }
    return S_OK;
  }
  HRESULT SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }
};

template <class T>
class IOleControlImpl : public IOleControl {
 public:
  HRESULT GetControlInfo(CONTROLINFO*) override { return E_NOTIMPL; }
  HRESULT OnMnemonic(LPMSG) override { return E_NOTIMPL; }
  HRESULT OnAmbientPropertyChange(DISPID) override { return S_OK; }
  HRESULT FreezeEvents(BOOL) override { return S_OK; }
};

// The window of an in-place interface: none until the control is activated
// in place (it never is here), and no context help.
template <class OleWindow>
class PlatformNoOleWindow : public OleWindow {
 public:
  HRESULT GetWindow(HWND* phwnd) override {
    if (phwnd != nullptr) *phwnd = nullptr;
    return E_FAIL;
  }
  HRESULT ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
};

template <class T>
class IOleInPlaceActiveObjectImpl : public PlatformNoOleWindow<IOleInPlaceActiveObject> {
 public:
  HRESULT TranslateAccelerator(LPMSG) override { return S_FALSE; }
  HRESULT OnFrameWindowActivate(BOOL) override { return S_OK; }
  HRESULT OnDocWindowActivate(BOOL) override { return S_OK; }
  HRESULT ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
  HRESULT EnableModeless(BOOL) override { return S_OK; }
};

template <class T>
class IOleInPlaceObjectWindowlessImpl : public PlatformNoOleWindow<IOleInPlaceObjectWindowless> {
 public:
  HRESULT InPlaceDeactivate() override { return S_OK; }
  HRESULT UIDeactivate() override { return S_OK; }
  HRESULT SetObjectRects(LPCRECT, LPCRECT) override { return S_OK; }
  HRESULT ReactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT OnWindowMessage(UINT, WPARAM, LPARAM, LRESULT* plResult) override {
    if (plResult != nullptr) *plResult = 0;
    return S_FALSE;
  }
  HRESULT GetDropTarget(IDropTarget** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
};

template <class T>
class IViewObjectExImpl : public IViewObjectEx {
 public:
  HRESULT Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC, LPCRECTL, LPCRECTL, BOOL (*)(ULONG_PTR),
               ULONG_PTR) override {
    return E_NOTIMPL;
  }
  HRESULT GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return S_FALSE;
  }
  HRESULT Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  HRESULT Unfreeze(DWORD) override { return E_NOTIMPL; }
  HRESULT SetAdvise(DWORD, DWORD, IAdviseSink*) override { return E_NOTIMPL; }
  HRESULT GetAdvise(DWORD*, DWORD*, IAdviseSink** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetExtent(DWORD dwDrawAspect, LONG, DVTARGETDEVICE*, LPSIZEL lpsizel) override {
    if (lpsizel == nullptr) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return E_FAIL;
    *lpsizel = static_cast<T*>(this)->m_sizeExtent;
    return S_OK;
  }
  HRESULT GetRect(DWORD, LPRECTL) override { return E_NOTIMPL; }
  HRESULT GetViewStatus(DWORD* pdwStatus) override {
    if (pdwStatus == nullptr) return E_POINTER;
    *pdwStatus = 0;
    return S_OK;
  }
  HRESULT QueryHitPoint(DWORD, LPCRECT, const POINT&, LONG, DWORD*) override { return E_NOTIMPL; }
  HRESULT QueryHitRect(DWORD, LPCRECT, LPCRECT, LONG, DWORD*) override { return E_NOTIMPL; }
  HRESULT GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVASPECTINFO*, LPSIZEL) override { return E_NOTIMPL; }
};

// Persistence needs storage and streams, which this platform does not
// provide: a control starts fresh (InitNew) and cannot be loaded or saved.
// The class and the dirty mark, alike for both kinds of persistence.
template <class T, class Persist>
class PlatformPersistBase : public Persist {
 public:
  HRESULT GetClassID(CLSID* pClassID) override {
    if (pClassID == nullptr) return E_POINTER;
    *pClassID = T::GetObjectCLSID();
    return S_OK;
  }
  HRESULT IsDirty() override { return static_cast<T*>(this)->m_bRequiresSave ? S_OK : S_FALSE; }
};

template <class T>
class IPersistStreamInitImpl : public PlatformPersistBase<T, IPersistStreamInit> {
 public:
  HRESULT Load(IStream*) override { return E_NOTIMPL; }
  HRESULT Save(IStream*, BOOL) override { return E_NOTIMPL; }
  HRESULT GetSizeMax(ULARGE_INTEGER*) override { return E_NOTIMPL; }
  HRESULT InitNew() override { return S_OK; }
};

template <class T>
class IPersistStorageImpl : public PlatformPersistBase<T, IPersistStorage> {
 public:
  HRESULT InitNew(IStorage*) override { return S_OK; }
  HRESULT Load(IStorage*) override { return E_NOTIMPL; }
  HRESULT Save(IStorage*, BOOL) override { return E_NOTIMPL; }
  HRESULT SaveCompleted(IStorage*) override { return S_OK; }
  HRESULT HandsOffStorage() override { return S_OK; }
};

template <class T>
class ISpecifyPropertyPagesImpl : public ISpecifyPropertyPages {
 public:
  // No property pages.
  HRESULT GetPages(CAUUID* pPages) override {
    if (pPages == nullptr) return E_POINTER;
    pPages->cElems = 0;
    pPages->pElems = nullptr;
    return S_OK;
  }
};

template <class T>
class IQuickActivateImpl : public IQuickActivate {
 public:
  HRESULT QuickActivate(QACONTAINER*, QACONTROL*) override { return E_NOTIMPL; }
  HRESULT SetContentExtent(LPSIZEL pSizel) override {
    if (pSizel == nullptr) return E_POINTER;
    static_cast<T*>(this)->m_sizeExtent = *pSizel;
    return S_OK;
  }
  HRESULT GetContentExtent(LPSIZEL pSizel) override {
    if (pSizel == nullptr) return E_POINTER;
    *pSizel = static_cast<T*>(this)->m_sizeExtent;
    return S_OK;
  }
};

template <class T>
class IDataObjectImpl : public IDataObject {
 public:
  HRESULT GetData(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
  HRESULT GetDataHere(FORMATETC*, STGMEDIUM*) override { return DV_E_FORMATETC; }
  HRESULT QueryGetData(FORMATETC*) override { return DV_E_FORMATETC; }
  HRESULT GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
  HRESULT SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
  HRESULT EnumFormatEtc(DWORD, IEnumFORMATETC** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
  HRESULT DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD* pdw) override {
    if (pdw != nullptr) *pdw = 0;
    return E_NOTIMPL;
  }
  HRESULT DUnadvise(DWORD) override { return E_NOTIMPL; }
  HRESULT EnumDAdvise(IEnumSTATDATA** pp) override {
    if (pp != nullptr) *pp = nullptr;
    return E_NOTIMPL;
  }
};

// ---------------------------------------------------------------- proxies and stubs
// A server may carry the proxy and stub of its own interfaces. Everything
// runs in one process here, so they are registered (as the interfaces'
// ProxyStubClsid32) and their factory answers, but marshals nothing.
inline std::atomic<LONG>& _PrxObjectCount() {
  static std::atomic<LONG> count{0};
  return count;
}

class CPSFactoryBuffer final : public PlatformSingleInterface<CPSFactoryBuffer, IPSFactoryBuffer> {
 public:
  CPSFactoryBuffer() { ++_PrxObjectCount(); }
  ~CPSFactoryBuffer() { --_PrxObjectCount(); }
  HRESULT CreateProxy(IUnknown*, REFIID, IRpcProxyBuffer** ppProxy, void** ppv) override {
    if (ppProxy != nullptr) *ppProxy = nullptr;
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOTIMPL;
  }
  HRESULT CreateStub(REFIID, IUnknown*, IRpcStubBuffer** ppStub) override {
    if (ppStub != nullptr) *ppStub = nullptr;
    return E_NOTIMPL;
  }
};

inline std::u16string _PrxGuidText(REFGUID g) {
  OLECHAR buf[40];
  StringFromGUID2(g, buf, 40);
  return buf;
}

inline LSTATUS _PrxSetString(const std::u16string& path, LPCOLESTR name, const std::u16string& value) {
  HKEY key = nullptr;
  LSTATUS st =
      RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  if (st != ERROR_SUCCESS) return st;
  st = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(OLECHAR)));
  RegCloseKey(key);
  return st;
}

// The proxy-stub factory's class identifier is the first interface's identifier.
inline HRESULT PrxDllGetClassObject(const PLATFORM_PROXY_INTERFACE* list, UINT count, REFCLSID rclsid, REFIID riid,
                                    LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (count == 0 || rclsid != *list[0].piid) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) CPSFactoryBuffer();
  if (factory == nullptr) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

inline HRESULT PrxDllCanUnloadNow() { return _PrxObjectCount().load() == 0 ? S_OK : S_FALSE; }

inline HRESULT PrxDllRegisterServer(const PLATFORM_PROXY_INTERFACE* list, UINT count) {
  if (count == 0) return S_OK;
  std::u16string clsid = _PrxGuidText(*list[0].piid);
  std::u16string server = u"CLSID\\" + clsid;
  LSTATUS st = _PrxSetString(server, nullptr, u"PSFactoryBuffer");
  if (st == ERROR_SUCCESS) st = _PrxSetString(server + u"\\InprocServer32", nullptr, CAtlModule::GetModulePath());
  if (st == ERROR_SUCCESS) st = _PrxSetString(server + u"\\InprocServer32", u"ThreadingModel", u"Both");
  for (UINT i = 0; st == ERROR_SUCCESS && i < count; ++i) {
    std::u16string key = u"Interface\\" + _PrxGuidText(*list[i].piid);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(list[i].methods));
    std::u16string methods;
    for (char* c = digits; *c != 0; ++c) methods.push_back(static_cast<char16_t>(*c));
    st = _PrxSetString(key, nullptr, list[i].name);
    if (st == ERROR_SUCCESS) st = _PrxSetString(key + u"\\NumMethods", nullptr, methods);
    if (st == ERROR_SUCCESS) st = _PrxSetString(key + u"\\ProxyStubClsid32", nullptr, clsid);
  }
  return st == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(st));
}

inline HRESULT PrxDllUnregisterServer(const PLATFORM_PROXY_INTERFACE* list, UINT count) {
  if (count == 0) return S_OK;
  std::vector<std::u16string> keys;
  keys.push_back(u"CLSID\\" + _PrxGuidText(*list[0].piid));
  for (UINT i = 0; i < count; ++i) keys.push_back(u"Interface\\" + _PrxGuidText(*list[i].piid));
  for (const auto& k : keys) {
    LSTATUS st = RegDeleteTreeW(HKEY_CLASSES_ROOT, k.c_str());
    if (st != ERROR_SUCCESS && st != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(static_cast<DWORD>(st));
  }
  return S_OK;
}

#pragma GCC visibility pop
