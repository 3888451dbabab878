// COM and OLE Automation family: GUIDs, BSTR, VARIANT, IUnknown, IDispatch
// served from type-library data, class factories, the OLE control and
// container interfaces the controls use, type-library loading and
// registration, and in-process activation through the registry.
//
// Interfaces are plain C++ abstract classes with virtual methods returning
// HRESULT (one calling convention on this platform). Methods follow the
// documented order; interfaces only ever seen as pointers are declared
// incomplete.
#pragma once

#include <atomic>
#include <cstring>

#include "platform/wintypes.h"

// ---------------------------------------------------------------- window and drawing types
// Declared as the ui family (platform/ui.h) defines them; the OLE interfaces
// below only pass them by pointer or reference.
struct HWND__;
struct HDC__;
struct HMENU__;
struct HACCEL__;
using HWND = HWND__*;
using HDC = HDC__*;
using HMENU = HMENU__*;
using HACCEL = HACCEL__*;
struct RECT;
struct POINT;
struct MSG;
struct LOGPALETTE;
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using LPPOINT = POINT*;
using LPMSG = MSG*;
using LPLOGPALETTE = LOGPALETTE*;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;

// Everything declared here is private to the module that includes it, except
// the PLATFORM_API functions: inline data (IIDs, framework state) must never
// be merged across the deliverables loaded into one process.
#pragma GCC visibility push(hidden)

// ---------------------------------------------------------------- basic types
using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;
using LPBSTR = BSTR*;
using VARIANT_BOOL = SHORT;
using SCODE = LONG;
using DATE = double;
using FLOAT = float;
using DOUBLE = double;
using DISPID = LONG;
using MEMBERID = DISPID;
using HREFTYPE = DWORD;
using VARTYPE = USHORT;
using PROPID = ULONG;
using CLIPFORMAT = WORD;
using OLE_COLOR = DWORD;
using REGKIND_T = int;

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

union CY {
  struct {
    ULONG Lo;
    LONG Hi;
  };
  LONGLONG int64;
};

// ---------------------------------------------------------------- GUIDs
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using LPGUID = GUID*;
using LPIID = IID*;
using LPCLSID = CLSID*;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline BOOL IsEqualGUID(REFGUID a, REFGUID b) { return a == b ? TRUE : FALSE; }
inline BOOL IsEqualIID(REFIID a, REFIID b) { return a == b ? TRUE : FALSE; }
inline BOOL IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b ? TRUE : FALSE; }

// One object per module (hidden), usable as a template argument by address.
#define PLATFORM_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  [[gnu::visibility("hidden")]] inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

PLATFORM_DEFINE_GUID(GUID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
PLATFORM_DEFINE_GUID(IID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
PLATFORM_DEFINE_GUID(CLSID_NULL, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);

// The interface identifier of an interface type: specialised next to each
// interface declaration (PLATFORM_INTERFACE_ID), used by the COM map macros
// and the smart pointers in place of the compiler's __uuidof.
template <class I>
struct InterfaceId;
#define PLATFORM_INTERFACE_ID(I, iid)         \
  template <>                                 \
  struct InterfaceId<I> {                     \
    static constexpr const GUID& value = iid; \
  }
template <class I>
constexpr const IID& IIDOf() {
  return InterfaceId<I>::value;
}

// ---------------------------------------------------------------- HRESULTs
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_READREGDB = static_cast<HRESULT>(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = static_cast<HRESULT>(0x80040151);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT REGDB_E_IIDNOTREG = static_cast<HRESULT>(0x80040155);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_IIDSTRING = static_cast<HRESULT>(0x800401F4);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
constexpr HRESULT MK_E_UNAVAILABLE = static_cast<HRESULT>(0x800401E3);
constexpr HRESULT MK_E_NOOBJECT = static_cast<HRESULT>(0x800401E5);
constexpr HRESULT OLE_E_NOCONNECTION = static_cast<HRESULT>(0x80040004);
constexpr HRESULT OLE_E_NOTRUNNING = static_cast<HRESULT>(0x80040005);
constexpr HRESULT OLE_S_USEREG = static_cast<HRESULT>(0x00040000);
constexpr HRESULT OLEOBJ_E_NOVERBS = static_cast<HRESULT>(0x80040180);
constexpr HRESULT DV_E_FORMATETC = static_cast<HRESULT>(0x80040064);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = static_cast<HRESULT>(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);
constexpr HRESULT DISP_E_UNKNOWNLCID = static_cast<HRESULT>(0x8002000C);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000F);
constexpr HRESULT TYPE_E_INVDATAREAD = static_cast<HRESULT>(0x80028018);
constexpr HRESULT TYPE_E_UNSUPFORMAT = static_cast<HRESULT>(0x80028019);
constexpr HRESULT TYPE_E_REGISTRYACCESS = static_cast<HRESULT>(0x8002801C);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = static_cast<HRESULT>(0x8002801D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = static_cast<HRESULT>(0x8002802B);
constexpr HRESULT TYPE_E_TYPEMISMATCH = static_cast<HRESULT>(0x80028CA0);
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4A);

// ---------------------------------------------------------------- VARIANT
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_PTR = 26,
  VT_SAFEARRAY = 27,
  VT_CARRAY = 28,
  VT_USERDEFINED = 29,
  VT_LPSTR = 30,
  VT_LPWSTR = 31,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_RESERVED = 0x8000,
  VT_TYPEMASK = 0x0fff,
};

struct IUnknown;
struct IDispatch;
struct SAFEARRAY;

// The documented layout: the type tag, three reserved words, then one
// 8-byte union. The small fields share the union's first bytes, so boolVal
// (and iVal) are the low 16 bits of lVal.
struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    CY cyVal;
    DATE date;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    LONGLONG* pllVal;
    FLOAT* pfltVal;
    DOUBLE* pdblVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    CY* pcyVal;
    DATE* pdate;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    VARIANT* pvarVal;
    PVOID byref;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    ULONGLONG* pullVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;
using LPVARIANTARG = VARIANT*;
using REFVARIANT = const VARIANT&;
static_assert(sizeof(VARIANT) == 16, "VARIANT is 16 bytes on this platform (no DECIMAL overlay)");

#define V_VT(v) ((v)->vt)
#define V_I4(v) ((v)->lVal)
#define V_BOOL(v) ((v)->boolVal)
#define V_BSTR(v) ((v)->bstrVal)
#define V_R8(v) ((v)->dblVal)
#define V_DISPATCH(v) ((v)->pdispVal)
#define V_UNKNOWN(v) ((v)->punkVal)

// VariantChangeType flags.
constexpr USHORT VARIANT_NOVALUEPROP = 0x1;
constexpr USHORT VARIANT_ALPHABOOL = 0x2;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x4;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// ---------------------------------------------------------------- dispatch
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_NEWENUM = -4;
constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

struct DISPPARAMS {
  VARIANTARG* rgvarg;  // arguments in reverse order
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  PVOID pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};
using LPEXCEPINFO = EXCEPINFO*;

// ---------------------------------------------------------------- type information
enum TYPEKIND {
  TKIND_ENUM = 0,
  TKIND_RECORD,
  TKIND_MODULE,
  TKIND_INTERFACE,
  TKIND_DISPATCH,
  TKIND_COCLASS,
  TKIND_ALIAS,
  TKIND_UNION,
  TKIND_MAX
};
enum SYSKIND { SYS_WIN16 = 0, SYS_WIN32, SYS_MAC, SYS_WIN64 };
enum FUNCKIND { FUNC_VIRTUAL = 0, FUNC_PUREVIRTUAL, FUNC_NONVIRTUAL, FUNC_STATIC, FUNC_DISPATCH };
enum INVOKEKIND { INVOKE_FUNC = 1, INVOKE_PROPERTYGET = 2, INVOKE_PROPERTYPUT = 4, INVOKE_PROPERTYPUTREF = 8 };
enum CALLCONV { CC_FASTCALL = 0, CC_CDECL = 1, CC_PASCAL, CC_MACPASCAL, CC_STDCALL, CC_FPFASTCALL, CC_SYSCALL };
enum REGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER, REGKIND_NONE };
enum DESCKIND { DESCKIND_NONE = 0, DESCKIND_FUNCDESC, DESCKIND_VARDESC, DESCKIND_TYPECOMP, DESCKIND_IMPLICITAPPOBJ };

constexpr WORD TYPEFLAG_FAPPOBJECT = 0x1;
constexpr WORD TYPEFLAG_FCANCREATE = 0x2;
constexpr WORD TYPEFLAG_FLICENSED = 0x4;
constexpr WORD TYPEFLAG_FPREDECLID = 0x8;
constexpr WORD TYPEFLAG_FHIDDEN = 0x10;
constexpr WORD TYPEFLAG_FCONTROL = 0x20;
constexpr WORD TYPEFLAG_FDUAL = 0x40;
constexpr WORD TYPEFLAG_FNONEXTENSIBLE = 0x80;
constexpr WORD TYPEFLAG_FOLEAUTOMATION = 0x100;
constexpr WORD TYPEFLAG_FRESTRICTED = 0x200;
constexpr WORD TYPEFLAG_FAGGREGATABLE = 0x400;
constexpr WORD TYPEFLAG_FDISPATCHABLE = 0x1000;

constexpr USHORT PARAMFLAG_NONE = 0;
constexpr USHORT PARAMFLAG_FIN = 0x1;
constexpr USHORT PARAMFLAG_FOUT = 0x2;
constexpr USHORT PARAMFLAG_FLCID = 0x4;
constexpr USHORT PARAMFLAG_FRETVAL = 0x8;
constexpr USHORT PARAMFLAG_FOPT = 0x10;
constexpr USHORT PARAMFLAG_FHASDEFAULT = 0x20;

constexpr WORD FUNCFLAG_FRESTRICTED = 0x1;
constexpr WORD FUNCFLAG_FHIDDEN = 0x40;

constexpr INT IMPLTYPEFLAG_FDEFAULT = 0x1;
constexpr INT IMPLTYPEFLAG_FSOURCE = 0x2;
constexpr INT IMPLTYPEFLAG_FRESTRICTED = 0x4;

constexpr WORD LIBFLAG_FRESTRICTED = 0x1;
constexpr WORD LIBFLAG_FCONTROL = 0x2;
constexpr WORD LIBFLAG_FHIDDEN = 0x4;
constexpr WORD LIBFLAG_FHASDISKIMAGE = 0x8;

struct ARRAYDESC;
struct PARAMDESCEX;
struct TYPEDESC {
  union {
    TYPEDESC* lptdesc;  // VT_PTR: the pointed-to type
    ARRAYDESC* lpadesc;
    HREFTYPE hreftype;
  };
  VARTYPE vt;
};
struct IDLDESC {
  ULONG_PTR dwReserved;
  USHORT wIDLFlags;
};
struct PARAMDESC {
  PARAMDESCEX* pparamdescex;
  USHORT wParamFlags;
};
struct ELEMDESC {
  TYPEDESC tdesc;
  union {
    IDLDESC idldesc;
    PARAMDESC paramdesc;
  };
};
struct TYPEATTR {
  GUID guid;
  LCID lcid;
  DWORD dwReserved;
  MEMBERID memidConstructor;
  MEMBERID memidDestructor;
  LPOLESTR lpstrSchema;
  ULONG cbSizeInstance;
  TYPEKIND typekind;
  WORD cFuncs;
  WORD cVars;
  WORD cImplTypes;
  WORD cbSizeVft;
  WORD cbAlignment;
  WORD wTypeFlags;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  TYPEDESC tdescAlias;
  IDLDESC idldescType;
};
struct FUNCDESC {
  MEMBERID memid;
  SCODE* lprgscode;
  ELEMDESC* lprgelemdescParam;
  FUNCKIND funckind;
  INVOKEKIND invkind;
  CALLCONV callconv;
  SHORT cParams;
  SHORT cParamsOpt;
  SHORT oVft;
  SHORT cScodes;
  ELEMDESC elemdescFunc;
  WORD wFuncFlags;
};
struct VARDESC;
struct TLIBATTR {
  GUID guid;
  LCID lcid;
  SYSKIND syskind;
  WORD wMajorVerNum;
  WORD wMinorVerNum;
  WORD wLibFlags;
};

// OLE's own sizes and rectangles in long units (HIMETRIC for extents).
struct SIZEL {
  LONG cx;
  LONG cy;
};
using LPSIZEL = SIZEL*;
struct RECTL {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECTL = RECTL*;
using LPCRECTL = const RECTL*;
struct POINTL {
  LONG x;
  LONG y;
};
struct POINTF {
  FLOAT x;
  FLOAT y;
};

struct DVTARGETDEVICE;
struct FORMATETC;
struct STGMEDIUM;
struct CONTROLINFO;
struct QACONTAINER;
struct QACONTROL;
struct DVASPECTINFO;
struct BIND_OPTS;
struct ULARGE_INTEGER_ {
  ULONGLONG QuadPart;
};
using ULARGE_INTEGER = ULARGE_INTEGER_;
struct OLEINPLACEFRAMEINFO;
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

// ---------------------------------------------------------------- interfaces
struct IStream;
struct IStorage;
struct IAdviseSink;
struct IEnumOLEVERB;
struct IEnumSTATDATA;
struct IEnumFORMATETC;
struct IEnumMoniker;
struct IEnumString;
struct IRunningObjectTable;
struct IOleContainer;
struct IDropTarget;
struct ITypeComp;
struct IRecordInfo;
struct IOleInPlaceUIWindow;
struct IPropertyNotifySink;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};
using LPUNKNOWN = IUnknown*;
PLATFORM_DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IUnknown, IID_IUnknown);

// The IUnknown of a platform object that serves one interface: it answers
// for IUnknown and that interface, counts its references (any thread) and
// goes with the last one. Derived is the object's own (final) class.
template <class Derived, class Interface>
class PlatformSingleInterface : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IIDOf<Interface>()) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

 private:
  std::atomic<ULONG> refs_{1};
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT LockServer(BOOL fLock) = 0;
};
PLATFORM_DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IClassFactory, IID_IClassFactory);

struct ITypeLib;
struct ITypeInfo : IUnknown {
  virtual HRESULT GetTypeAttr(TYPEATTR** ppTypeAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  virtual HRESULT GetFuncDesc(UINT index, FUNCDESC** ppFuncDesc) = 0;
  virtual HRESULT GetVarDesc(UINT index, VARDESC** ppVarDesc) = 0;
  virtual HRESULT GetNames(MEMBERID memid, BSTR* rgBstrNames, UINT cMaxNames, UINT* pcNames) = 0;
  virtual HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE* pRefType) = 0;
  virtual HRESULT GetImplTypeFlags(UINT index, INT* pImplTypeFlags) = 0;
  virtual HRESULT GetIDsOfNames(LPOLESTR* rgszNames, UINT cNames, MEMBERID* pMemId) = 0;
  virtual HRESULT Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                         EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
  virtual HRESULT GetDocumentation(MEMBERID memid, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual HRESULT GetDllEntry(MEMBERID memid, INVOKEKIND invKind, BSTR* pBstrDllName, BSTR* pBstrName,
                              WORD* pwOrdinal) = 0;
  virtual HRESULT GetRefTypeInfo(HREFTYPE hRefType, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT AddressOfMember(MEMBERID memid, INVOKEKIND invKind, PVOID* ppv) = 0;
  virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, PVOID* ppvObj) = 0;
  virtual HRESULT GetMops(MEMBERID memid, BSTR* pBstrMops) = 0;
  virtual HRESULT GetContainingTypeLib(ITypeLib** ppTLib, UINT* pIndex) = 0;
  virtual void ReleaseTypeAttr(TYPEATTR* pTypeAttr) = 0;
  virtual void ReleaseFuncDesc(FUNCDESC* pFuncDesc) = 0;
  virtual void ReleaseVarDesc(VARDESC* pVarDesc) = 0;
};
PLATFORM_DEFINE_GUID(IID_ITypeInfo, 0x00020401, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(ITypeInfo, IID_ITypeInfo);

struct ITypeLib : IUnknown {
  virtual UINT GetTypeInfoCount() = 0;
  virtual HRESULT GetTypeInfo(UINT index, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetTypeInfoType(UINT index, TYPEKIND* pTKind) = 0;
  virtual HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo** ppTinfo) = 0;
  virtual HRESULT GetLibAttr(TLIBATTR** ppTLibAttr) = 0;
  virtual HRESULT GetTypeComp(ITypeComp** ppTComp) = 0;
  virtual HRESULT GetDocumentation(INT index, BSTR* pBstrName, BSTR* pBstrDocString, DWORD* pdwHelpContext,
                                   BSTR* pBstrHelpFile) = 0;
  virtual HRESULT IsName(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) = 0;
  virtual HRESULT FindName(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo, MEMBERID* rgMemId,
                           USHORT* pcFound) = 0;
  virtual void ReleaseTLibAttr(TLIBATTR* pTLibAttr) = 0;
};
PLATFORM_DEFINE_GUID(IID_ITypeLib, 0x00020402, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(ITypeLib, IID_ITypeLib);

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) = 0;
};
using LPDISPATCH = IDispatch*;
PLATFORM_DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IDispatch, IID_IDispatch);

struct ISupportErrorInfo : IUnknown {
  virtual HRESULT InterfaceSupportsErrorInfo(REFIID riid) = 0;
};
PLATFORM_DEFINE_GUID(IID_ISupportErrorInfo, 0xDF0B3D60, 0x548F, 0x101B, 0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19);
PLATFORM_INTERFACE_ID(ISupportErrorInfo, IID_ISupportErrorInfo);

// Object safety for scripting.
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
constexpr DWORD INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;
constexpr DWORD INTERFACE_USES_DISPEX = 0x4;
constexpr DWORD INTERFACE_USES_SECURITY_MANAGER = 0x8;
struct IObjectSafety : IUnknown {
  virtual HRESULT GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions, DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) = 0;
};
PLATFORM_DEFINE_GUID(IID_IObjectSafety, 0xCB5BDC81, 0x93C1, 0x11CF, 0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64);
PLATFORM_INTERFACE_ID(IObjectSafety, IID_IObjectSafety);

// Monikers and bind contexts.
struct IBindCtx : IUnknown {
  virtual HRESULT RegisterObjectBound(IUnknown* punk) = 0;
  virtual HRESULT RevokeObjectBound(IUnknown* punk) = 0;
  virtual HRESULT ReleaseBoundObjects() = 0;
  virtual HRESULT SetBindOptions(BIND_OPTS* pbindopts) = 0;
  virtual HRESULT GetBindOptions(BIND_OPTS* pbindopts) = 0;
  virtual HRESULT GetRunningObjectTable(IRunningObjectTable** pprot) = 0;
  virtual HRESULT RegisterObjectParam(LPOLESTR pszKey, IUnknown* punk) = 0;
  virtual HRESULT GetObjectParam(LPOLESTR pszKey, IUnknown** ppunk) = 0;
  virtual HRESULT EnumObjectParam(IEnumString** ppenum) = 0;
  virtual HRESULT RevokeObjectParam(LPOLESTR pszKey) = 0;
};
PLATFORM_DEFINE_GUID(IID_IBindCtx, 0x0000000E, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IBindCtx, IID_IBindCtx);

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* pClassID) = 0;
};
PLATFORM_DEFINE_GUID(IID_IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IPersist, IID_IPersist);

struct IPersistStream : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* pStm) = 0;
  virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* pcbSize) = 0;
};
PLATFORM_DEFINE_GUID(IID_IPersistStream, 0x00000109, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IPersistStream, IID_IPersistStream);

constexpr DWORD MKSYS_NONE = 0;
constexpr DWORD MKSYS_URLMONIKER = 6;
struct IMoniker : IPersistStream {
  virtual HRESULT BindToObject(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riidResult, void** ppvResult) = 0;
  virtual HRESULT BindToStorage(IBindCtx* pbc, IMoniker* pmkToLeft, REFIID riid, void** ppvObj) = 0;
  virtual HRESULT Reduce(IBindCtx* pbc, DWORD dwReduceHowFar, IMoniker** ppmkToLeft, IMoniker** ppmkReduced) = 0;
  virtual HRESULT ComposeWith(IMoniker* pmkRight, BOOL fOnlyIfNotGeneric, IMoniker** ppmkComposite) = 0;
  virtual HRESULT Enum(BOOL fForward, IEnumMoniker** ppenumMoniker) = 0;
  virtual HRESULT IsEqual(IMoniker* pmkOtherMoniker) = 0;
  virtual HRESULT Hash(DWORD* pdwHash) = 0;
  virtual HRESULT IsRunning(IBindCtx* pbc, IMoniker* pmkToLeft, IMoniker* pmkNewlyRunning) = 0;
  virtual HRESULT GetTimeOfLastChange(IBindCtx* pbc, IMoniker* pmkToLeft, FILETIME* pFileTime) = 0;
  virtual HRESULT Inverse(IMoniker** ppmk) = 0;
  virtual HRESULT CommonPrefixWith(IMoniker* pmkOther, IMoniker** ppmkPrefix) = 0;
  virtual HRESULT RelativePathTo(IMoniker* pmkOther, IMoniker** ppmkRelPath) = 0;
  virtual HRESULT GetDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR* ppszDisplayName) = 0;
  virtual HRESULT ParseDisplayName(IBindCtx* pbc, IMoniker* pmkToLeft, LPOLESTR pszDisplayName, ULONG* pchEaten,
                                   IMoniker** ppmkOut) = 0;
  virtual HRESULT IsSystemMoniker(DWORD* pdwMksys) = 0;
};
PLATFORM_DEFINE_GUID(IID_IMoniker, 0x0000000F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IMoniker, IID_IMoniker);
PLATFORM_DEFINE_GUID(CLSID_StdURLMoniker, 0x79EAC9E0, 0xBAF9, 0x11CE, 0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B);

// The container side.
constexpr DWORD OLEGETMONIKER_ONLYIFTHERE = 1;
constexpr DWORD OLEGETMONIKER_FORCEASSIGN = 2;
constexpr DWORD OLEGETMONIKER_UNASSIGN = 3;
constexpr DWORD OLEGETMONIKER_TEMPFORUSER = 4;
constexpr DWORD OLEWHICHMK_CONTAINER = 1;
constexpr DWORD OLEWHICHMK_OBJREL = 2;
constexpr DWORD OLEWHICHMK_OBJFULL = 3;

struct IOleClientSite : IUnknown {
  virtual HRESULT SaveObject() = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT GetContainer(IOleContainer** ppContainer) = 0;
  virtual HRESULT ShowObject() = 0;
  virtual HRESULT OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT RequestNewObjectLayout() = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleClientSite, 0x00000118, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IOleClientSite, IID_IOleClientSite);

// OLE miscellaneous status bits.
constexpr DWORD OLEMISC_RECOMPOSEONRESIZE = 0x1;
constexpr DWORD OLEMISC_ONLYICONIC = 0x2;
constexpr DWORD OLEMISC_INSERTNOTREPLACE = 0x4;
constexpr DWORD OLEMISC_STATIC = 0x8;
constexpr DWORD OLEMISC_CANTLINKINSIDE = 0x10;
constexpr DWORD OLEMISC_CANLINKBYOLE1 = 0x20;
constexpr DWORD OLEMISC_ISLINKOBJECT = 0x40;
constexpr DWORD OLEMISC_INSIDEOUT = 0x80;
constexpr DWORD OLEMISC_ACTIVATEWHENVISIBLE = 0x100;
constexpr DWORD OLEMISC_RENDERINGISDEVICEINDEPENDENT = 0x200;
constexpr DWORD OLEMISC_INVISIBLEATRUNTIME = 0x400;
constexpr DWORD OLEMISC_ALWAYSRUN = 0x800;
constexpr DWORD OLEMISC_ACTSLIKEBUTTON = 0x1000;
constexpr DWORD OLEMISC_ACTSLIKELABEL = 0x2000;
constexpr DWORD OLEMISC_NOUIACTIVATE = 0x4000;
constexpr DWORD OLEMISC_ALIGNABLE = 0x8000;
constexpr DWORD OLEMISC_SIMPLEFRAME = 0x10000;
constexpr DWORD OLEMISC_SETCLIENTSITEFIRST = 0x20000;
constexpr DWORD OLEMISC_IMEMODE = 0x40000;
constexpr DWORD DVASPECT_CONTENT = 1;

struct IOleObject : IUnknown {
  virtual HRESULT SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) = 0;
  virtual HRESULT Close(DWORD dwSaveOption) = 0;
  virtual HRESULT SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) = 0;
  virtual HRESULT GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT InitFromData(struct IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) = 0;
  virtual HRESULT GetClipboardData(DWORD dwReserved, struct IDataObject** ppDataObject) = 0;
  virtual HRESULT DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex, HWND hwndParent,
                         LPCRECT lprcPosRect) = 0;
  virtual HRESULT EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT Update() = 0;
  virtual HRESULT IsUpToDate() = 0;
  virtual HRESULT GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
  virtual HRESULT GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT SetColorScheme(LOGPALETTE* pLogpal) = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleObject, 0x00000112, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IOleObject, IID_IOleObject);

struct IOleWindow : IUnknown {
  virtual HRESULT GetWindow(HWND* phwnd) = 0;
  virtual HRESULT ContextSensitiveHelp(BOOL fEnterMode) = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleWindow, 0x00000114, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IOleWindow, IID_IOleWindow);

struct IOleInPlaceObject : IOleWindow {
  virtual HRESULT InPlaceDeactivate() = 0;
  virtual HRESULT UIDeactivate() = 0;
  virtual HRESULT SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) = 0;
  virtual HRESULT ReactivateAndUndo() = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleInPlaceObject, 0x00000113, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IOleInPlaceObject, IID_IOleInPlaceObject);

struct IOleInPlaceObjectWindowless : IOleInPlaceObject {
  virtual HRESULT OnWindowMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* plResult) = 0;
  virtual HRESULT GetDropTarget(IDropTarget** ppDropTarget) = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleInPlaceObjectWindowless, 0x1C2056CC, 0x5EF4, 0x101B, 0x8B, 0xC8, 0x00, 0xAA, 0x00, 0x3E,
                     0x3B, 0x29);
PLATFORM_INTERFACE_ID(IOleInPlaceObjectWindowless, IID_IOleInPlaceObjectWindowless);

struct IOleInPlaceActiveObject : IOleWindow {
  virtual HRESULT TranslateAccelerator(LPMSG lpmsg) = 0;
  virtual HRESULT OnFrameWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT OnDocWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow, BOOL fFrameWindow) = 0;
  virtual HRESULT EnableModeless(BOOL fEnable) = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleInPlaceActiveObject, 0x00000117, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                     0x46);
PLATFORM_INTERFACE_ID(IOleInPlaceActiveObject, IID_IOleInPlaceActiveObject);

struct IOleControl : IUnknown {
  virtual HRESULT GetControlInfo(CONTROLINFO* pCI) = 0;
  virtual HRESULT OnMnemonic(LPMSG pMsg) = 0;
  virtual HRESULT OnAmbientPropertyChange(DISPID dispID) = 0;
  virtual HRESULT FreezeEvents(BOOL bFreeze) = 0;
};
PLATFORM_DEFINE_GUID(IID_IOleControl, 0xB196B288, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
PLATFORM_INTERFACE_ID(IOleControl, IID_IOleControl);

struct IViewObject : IUnknown {
  virtual HRESULT Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd, HDC hdcTargetDev,
                       HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds, BOOL (*pfnContinue)(ULONG_PTR),
                       ULONG_PTR dwContinue) = 0;
  virtual HRESULT GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd, HDC hicTargetDev,
                              LOGPALETTE** ppColorSet) = 0;
  virtual HRESULT Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) = 0;
  virtual HRESULT Unfreeze(DWORD dwFreeze) = 0;
  virtual HRESULT SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) = 0;
  virtual HRESULT GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) = 0;
};
PLATFORM_DEFINE_GUID(IID_IViewObject, 0x0000010D, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IViewObject, IID_IViewObject);

struct IViewObject2 : IViewObject {
  virtual HRESULT GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd, LPSIZEL lpsizel) = 0;
};
PLATFORM_DEFINE_GUID(IID_IViewObject2, 0x00000127, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IViewObject2, IID_IViewObject2);

struct IViewObjectEx : IViewObject2 {
  virtual HRESULT GetRect(DWORD dwAspect, LPRECTL pRect) = 0;
  virtual HRESULT GetViewStatus(DWORD* pdwStatus) = 0;
  // The point comes by reference: POINT is completed by the ui family.
  virtual HRESULT QueryHitPoint(DWORD dwAspect, LPCRECT pRectBounds, const POINT& ptlLoc, LONG lCloseHint,
                                DWORD* pHitResult) = 0;
  virtual HRESULT QueryHitRect(DWORD dwAspect, LPCRECT pRectBounds, LPCRECT pRectLoc, LONG lCloseHint,
                               DWORD* pHitResult) = 0;
  virtual HRESULT GetNaturalExtent(DWORD dwAspect, LONG lindex, DVTARGETDEVICE* ptd, HDC hicTargetDev,
                                   DVASPECTINFO* pExtentInfo, LPSIZEL pSizel) = 0;
};
PLATFORM_DEFINE_GUID(IID_IViewObjectEx, 0x3AF24292, 0x0C96, 0x11CE, 0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8);
PLATFORM_INTERFACE_ID(IViewObjectEx, IID_IViewObjectEx);

struct IPersistStreamInit : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* pStm) = 0;
  virtual HRESULT Save(IStream* pStm, BOOL fClearDirty) = 0;
  virtual HRESULT GetSizeMax(ULARGE_INTEGER* pCbSize) = 0;
  virtual HRESULT InitNew() = 0;
};
PLATFORM_DEFINE_GUID(IID_IPersistStreamInit, 0x7FD52380, 0x4E07, 0x101B, 0xAE, 0x2D, 0x08, 0x00, 0x2B, 0x2E, 0xC7,
                     0x13);
PLATFORM_INTERFACE_ID(IPersistStreamInit, IID_IPersistStreamInit);

struct IPersistStorage : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT InitNew(IStorage* pStg) = 0;
  virtual HRESULT Load(IStorage* pStg) = 0;
  virtual HRESULT Save(IStorage* pStgSave, BOOL fSameAsLoad) = 0;
  virtual HRESULT SaveCompleted(IStorage* pStgNew) = 0;
  virtual HRESULT HandsOffStorage() = 0;
};
PLATFORM_DEFINE_GUID(IID_IPersistStorage, 0x0000010A, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IPersistStorage, IID_IPersistStorage);

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT GetPages(CAUUID* pPages) = 0;
};
PLATFORM_DEFINE_GUID(IID_ISpecifyPropertyPages, 0xB196B28B, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D,
                     0x07);
PLATFORM_INTERFACE_ID(ISpecifyPropertyPages, IID_ISpecifyPropertyPages);

struct IQuickActivate : IUnknown {
  virtual HRESULT QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) = 0;
  virtual HRESULT SetContentExtent(LPSIZEL pSizel) = 0;
  virtual HRESULT GetContentExtent(LPSIZEL pSizel) = 0;
};
PLATFORM_DEFINE_GUID(IID_IQuickActivate, 0xCF51ED10, 0x62FE, 0x11CF, 0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36);
PLATFORM_INTERFACE_ID(IQuickActivate, IID_IQuickActivate);

struct IDataObject : IUnknown {
  virtual HRESULT GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) = 0;
  virtual HRESULT GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) = 0;
  virtual HRESULT QueryGetData(FORMATETC* pformatetc) = 0;
  virtual HRESULT GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) = 0;
  virtual HRESULT SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) = 0;
  virtual HRESULT EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) = 0;
  virtual HRESULT DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT DUnadvise(DWORD dwConnection) = 0;
  virtual HRESULT EnumDAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
};
PLATFORM_DEFINE_GUID(IID_IDataObject, 0x0000010E, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
PLATFORM_INTERFACE_ID(IDataObject, IID_IDataObject);

struct IProvideClassInfo : IUnknown {
  virtual HRESULT GetClassInfo(ITypeInfo** ppTI) = 0;
};
PLATFORM_DEFINE_GUID(IID_IProvideClassInfo, 0xB196B283, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
PLATFORM_INTERFACE_ID(IProvideClassInfo, IID_IProvideClassInfo);

constexpr DWORD GUIDKIND_DEFAULT_SOURCE_DISP_IID = 1;
struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;
};
PLATFORM_DEFINE_GUID(IID_IProvideClassInfo2, 0xA6BC3AC0, 0xDBAA, 0x11CE, 0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8,
                     0x51);
PLATFORM_INTERFACE_ID(IProvideClassInfo2, IID_IProvideClassInfo2);

// Proxy and stub factories of a server's own interfaces. Everything here is
// in one process, so they exist to be registered; they create nothing.
struct IRpcProxyBuffer;
struct IRpcStubBuffer;
struct IPSFactoryBuffer : IUnknown {
  virtual HRESULT CreateProxy(IUnknown* pUnkOuter, REFIID riid, IRpcProxyBuffer** ppProxy, void** ppv) = 0;
  virtual HRESULT CreateStub(REFIID riid, IUnknown* pUnkServer, IRpcStubBuffer** ppStub) = 0;
};
PLATFORM_DEFINE_GUID(IID_IPSFactoryBuffer, 0xD5F569D0, 0x593B, 0x101A, 0xB5, 0x69, 0x08, 0x00, 0x2B, 0x2D, 0xBF, 0x7A);
PLATFORM_INTERFACE_ID(IPSFactoryBuffer, IID_IPSFactoryBuffer);
// The automation marshaller that type-library registration names for
// dual and oleautomation interfaces.
PLATFORM_DEFINE_GUID(CLSID_PSOAInterface, 0x00020424, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

// The registrar: runs registry scripts (see platform/README.md for the grammar).
struct IRegistrarBase : IUnknown {
  virtual HRESULT AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
  virtual HRESULT ClearReplacements() = 0;
};
struct IRegistrar : IRegistrarBase {
  virtual HRESULT ResourceRegisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) = 0;
  virtual HRESULT ResourceUnregisterSz(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) = 0;
  virtual HRESULT FileRegister(LPCOLESTR fileName) = 0;
  virtual HRESULT FileUnregister(LPCOLESTR fileName) = 0;
  virtual HRESULT StringRegister(LPCOLESTR data) = 0;
  virtual HRESULT StringUnregister(LPCOLESTR data) = 0;
  virtual HRESULT ResourceRegister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) = 0;
  virtual HRESULT ResourceUnregister(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) = 0;
};
PLATFORM_DEFINE_GUID(IID_IRegistrar, 0x44EC053B, 0x400F, 0x11D0, 0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3);
PLATFORM_INTERFACE_ID(IRegistrar, IID_IRegistrar);
PLATFORM_DEFINE_GUID(CLSID_Registrar, 0x44EC053A, 0x400F, 0x11D0, 0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3);

#pragma GCC visibility pop

// ---------------------------------------------------------------- functions
// BSTR: a length prefix (bytes, 32 bits) before the characters, and a NUL
// after them. A null BSTR is the empty string for every function here.
PLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
PLATFORM_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
PLATFORM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
PLATFORM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
PLATFORM_API void SysFreeString(BSTR bstrString);
PLATFORM_API UINT SysStringLen(BSTR pbstr);
PLATFORM_API UINT SysStringByteLen(BSTR bstr);
// Test hook: after `count` further successful string allocations, every
// SysAlloc*/SysReAlloc* call fails (returns NULL/FALSE) until the hook is
// reset with a negative count.
PLATFORM_API void PlatformSysAllocFailAfter(LONG count);

PLATFORM_API void VariantInit(VARIANTARG* pvarg);
PLATFORM_API HRESULT VariantClear(VARIANTARG* pvarg);
PLATFORM_API HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
PLATFORM_API HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
PLATFORM_API HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
PLATFORM_API HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                                         VARTYPE vt);

// Task memory.
PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb);
PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
PLATFORM_API void CoTaskMemFree(LPVOID pv);

// GUID text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
PLATFORM_API INT StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, INT cchMax);
PLATFORM_API HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
PLATFORM_API HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// Accepts the braced form, or a program identifier looked up in the registry.
PLATFORM_API HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
PLATFORM_API HRESULT IIDFromString(LPCOLESTR lpsz, LPIID lpiid);
PLATFORM_API HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
PLATFORM_API HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID);
PLATFORM_API HRESULT CoCreateGuid(GUID* pguid);

// Activation (in-process servers only).
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD COINIT_DISABLE_OLE1DDE = 0x4;
constexpr DWORD COINIT_SPEED_OVER_MEMORY = 0x8;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_SERVER = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
PLATFORM_API HRESULT CoInitialize(LPVOID pvReserved);
PLATFORM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
PLATFORM_API void CoUninitialize();
PLATFORM_API HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
PLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                                      LPVOID* ppv);
PLATFORM_API void CoFreeUnusedLibraries();
PLATFORM_API void CoFreeUnusedLibrariesEx(DWORD dwUnloadDelay, DWORD dwReserved);
// The number of server libraries activation holds loaded (for tests).
PLATFORM_API ULONG PlatformComLoadedServerCount();

// Type libraries. A path names a type-library data file, or a module whose
// resource TYPELIB 1 holds the data; "MODULE\N" (or "MODULE/N") picks resource N.
PLATFORM_API HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
PLATFORM_API HRESULT LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
PLATFORM_API HRESULT LoadRegTypeLib(REFGUID rguid, WORD wVerMajor, WORD wVerMinor, LCID lcid, ITypeLib** pptlib);
PLATFORM_API HRESULT QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid, BSTR* lpbstrPathName);
PLATFORM_API HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
PLATFORM_API HRESULT UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid, SYSKIND syskind);
// Parses type-library data held in memory.
PLATFORM_API HRESULT PlatformLoadTypeLibFromMemory(const void* data, SIZE_T size, ITypeLib** pptlib);

// IDispatch from type information. The interface's dispatch table (see
// platform/dispatch.h) binds each member to a C++ member function.
PLATFORM_API HRESULT DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames, DISPID* rgdispid);

// The registrar that runs registry scripts.
PLATFORM_API HRESULT PlatformCreateRegistrar(IRegistrar** ppRegistrar);

// The container side: a URL moniker, a bind context, and a client site whose
// container moniker's display name is a page address.
PLATFORM_API HRESULT CreateURLMoniker(IMoniker* pMkCtx, LPCWSTR szURL, IMoniker** ppmk);
PLATFORM_API HRESULT CreateBindCtx(DWORD reserved, IBindCtx** ppbc);
constexpr DWORD PLATFORM_SITE_NO_MONIKER = 0x1;  // GetMoniker fails: a container without an address
PLATFORM_API HRESULT PlatformCreateClientSite(LPCOLESTR pageUrl, DWORD flags, IOleClientSite** ppSite);
