// Dispatch tables: IDispatch::Invoke served from type information.
//
// A dual interface's members are C++ virtual functions. Its dispatch table
// (written by tools/midl into the interface's generated header, or by hand)
// binds each member of the type library, by dispatch identifier and kind,
// to a thunk that unpacks coerced VARIANT arguments into the C++ parameters
// and calls the member function:
//
//   template <> struct PlatformDispatchTable<IFoo> {
//     static constexpr PLATFORM_DISPENTRY entries[] = {
//       PlatformDispEntry<&IFoo::sign>(1, INVOKE_FUNC, "sign"),
//       PlatformDispEntry<&IFoo::get_Name>(2, INVOKE_PROPERTYGET, "Name"),
//     };
//     static constexpr UINT count = 2;
//   };
//
// PlatformDispInvoke reads the member's declared parameter types from the
// type information, coerces the caller's arguments to them and passes the
// [out, retval] parameter's value back in pVarResult. PlatformDispCheckTable
// compares a table with the type information (names, kinds and C++
// parameter types) so that a table and a type library that disagree are
// caught when the type information is first loaded.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/com.h"

#pragma GCC visibility push(hidden)

struct PLATFORM_DISPENTRY {
  DISPID dispid;
  WORD invkind;               // INVOKE_FUNC, INVOKE_PROPERTYGET, INVOKE_PROPERTYPUT, INVOKE_PROPERTYPUTREF
  const char* name;           // the member's name as the type library spells it
  UINT cParams;               // C++ parameters, the [out, retval] one included
  const VARTYPE* paramTypes;  // C++ parameter kinds: a VARTYPE, with VT_BYREF for a pointer
  HRESULT (*invoke)(void* self, VARIANT* args);  // args[i]: parameter i, already of its declared type
};

// Specialised per interface: `entries` (at least one element) and `count`.
template <class I>
struct PlatformDispatchTable;

// An interface a server's proxy and stub would cover (tools/midl lists a
// library's dual and oleautomation interfaces as <Library>_ProxyInterfaces).
struct PLATFORM_PROXY_INTERFACE {
  const IID* piid;
  LPCOLESTR name;
  ULONG methods;  // vtable slots, IUnknown's and IDispatch's included
};

namespace platform_dispatch {
// How a C++ parameter type is read from a VARIANT of its declared type.
template <class T>
struct Arg;
#define PLATFORM_DISP_ARG(T, VT, field)          \
  template <>                                    \
  struct Arg<T> {                                \
    static constexpr VARTYPE vt = VT;            \
    static T get(VARIANT& v) { return v.field; } \
  }
PLATFORM_DISP_ARG(BSTR, VT_BSTR, bstrVal);
PLATFORM_DISP_ARG(LONG, VT_I4, lVal);     // also INT (VT_INT)
PLATFORM_DISP_ARG(ULONG, VT_UI4, ulVal);  // also UINT (VT_UINT)
PLATFORM_DISP_ARG(SHORT, VT_I2, iVal);    // also VARIANT_BOOL (VT_BOOL)
PLATFORM_DISP_ARG(USHORT, VT_UI2, uiVal);
PLATFORM_DISP_ARG(BYTE, VT_UI1, bVal);
PLATFORM_DISP_ARG(CHAR, VT_I1, cVal);
PLATFORM_DISP_ARG(LONGLONG, VT_I8, llVal);
PLATFORM_DISP_ARG(ULONGLONG, VT_UI8, ullVal);
PLATFORM_DISP_ARG(DOUBLE, VT_R8, dblVal);
PLATFORM_DISP_ARG(FLOAT, VT_R4, fltVal);
PLATFORM_DISP_ARG(IDispatch*, VT_DISPATCH, pdispVal);
PLATFORM_DISP_ARG(IUnknown*, VT_UNKNOWN, punkVal);
#undef PLATFORM_DISP_ARG
template <>
struct Arg<VARIANT> {
  static constexpr VARTYPE vt = VT_VARIANT;
  static VARIANT get(VARIANT& v) { return v; }  // by value, as the member declares it; the caller keeps ownership
};
template <class T>
struct Arg<T*> {
  static constexpr VARTYPE vt = static_cast<VARTYPE>(Arg<T>::vt | VT_BYREF);
  static T* get(VARIANT& v) { return static_cast<T*>(v.byref); }
};

template <auto M>
struct Thunk;
template <class C, class... A, HRESULT (C::*M)(A...)>
struct Thunk<M> {
  static constexpr UINT count = sizeof...(A);
  static constexpr VARTYPE types[sizeof...(A) + 1] = {Arg<A>::vt..., VT_EMPTY};
  template <std::size_t... I>
  static HRESULT call(C* self, VARIANT* args, std::index_sequence<I...>) {
    return (self->*M)(Arg<A>::get(args[I])...);
  }
  static HRESULT invoke(void* self, VARIANT* args) {
    return call(static_cast<C*>(self), args, std::index_sequence_for<A...>{});
  }
};
}  // namespace platform_dispatch

// One table entry for member function M (a pointer to a member of the interface).
template <auto M>
constexpr PLATFORM_DISPENTRY PlatformDispEntry(DISPID dispid, WORD invkind, const char* name) {
  using T = platform_dispatch::Thunk<M>;
  return PLATFORM_DISPENTRY{dispid, invkind, name, T::count, T::types, &T::invoke};
}

#pragma GCC visibility pop

// Invokes member `dispid` of the interface described by `typeInfo` on `self`
// (the interface pointer the table's member functions are called on).
// Errors: DISP_E_MEMBERNOTFOUND (no such member, or none of the kind asked),
// DISP_E_BADPARAMCOUNT, DISP_E_PARAMNOTFOUND (a named argument that names no
// parameter), DISP_E_TYPEMISMATCH / DISP_E_OVERFLOW (an argument that cannot be
// coerced; *puArgErr is its index in rgvarg), DISP_E_EXCEPTION (the member
// failed: pExcepInfo->scode holds its HRESULT). A member's success code
// (S_OK or S_FALSE) is returned as it is.
PLATFORM_API HRESULT PlatformDispInvoke(ITypeInfo* typeInfo, const PLATFORM_DISPENTRY* entries, UINT count, void* self,
                                        DISPID dispid, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                        EXCEPINFO* pExcepInfo, UINT* puArgErr);
// S_OK when every member of the type information has exactly one entry of the
// same dispatch identifier, kind and name whose C++ parameters match the
// declared ones, and every entry has its member; otherwise TYPE_E_TYPEMISMATCH
// and the first difference as text in `message` (UTF-8).
PLATFORM_API HRESULT PlatformDispCheckTable(ITypeInfo* typeInfo, const PLATFORM_DISPENTRY* entries, UINT count,
                                            char* message, SIZE_T messageSize);
