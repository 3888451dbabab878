// IDispatch served from type information through an interface's dispatch
// table (platform/dispatch.h).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"
#include "platform/dispatch.h"
#include "typelib.h"

using namespace com_internal;

namespace {

// Kinds a C++ parameter type accepts: VT_I4 for int also serves VT_INT,
// VT_UI4 serves VT_UINT, VT_I2 serves VT_BOOL (VARIANT_BOOL is a short).
bool sameKind(VARTYPE cpp, VARTYPE declared) {
  if (cpp == declared) return true;
  VARTYPE ref = cpp & VT_BYREF;
  if ((declared & VT_BYREF) != ref) return false;
  VARTYPE a = cpp & VT_TYPEMASK, b = declared & VT_TYPEMASK;
  return (a == VT_I4 && b == VT_INT) || (a == VT_UI4 && b == VT_UINT) || (a == VT_I2 && b == VT_BOOL);
}

const FuncData* findFunc(const TypeData& type, DISPID id, WORD flags) {
  const FuncData* method = nullptr;
  const FuncData* get = nullptr;
  const FuncData* put = nullptr;
  const FuncData* putref = nullptr;
  for (const auto& f : type.funcs) {
    if (f.memid != id) continue;
    if (f.invkind == INVOKE_FUNC) method = &f;
    if (f.invkind == INVOKE_PROPERTYGET) get = &f;
    if (f.invkind == INVOKE_PROPERTYPUT) put = &f;
    if (f.invkind == INVOKE_PROPERTYPUTREF) putref = &f;
  }
  if (flags & DISPATCH_PROPERTYPUTREF) return putref != nullptr ? putref : put;
  if (flags & DISPATCH_PROPERTYPUT) return put;
  if ((flags & DISPATCH_METHOD) && method != nullptr) return method;
  if (flags & DISPATCH_PROPERTYGET) return get;
  return nullptr;
}

const PLATFORM_DISPENTRY* findEntry(const PLATFORM_DISPENTRY* entries, UINT count, DISPID id, INVOKEKIND kind) {
  for (UINT i = 0; i < count; ++i)
    if (entries[i].dispid == id && entries[i].invkind == kind) return &entries[i];
  return nullptr;
}

// The value behind at most one VT_BYREF|VT_VARIANT.
const VARIANT* unwrap(const VARIANT* v) {
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) return v->pvarVal;
  return v;
}

void fillException(EXCEPINFO* e, HRESULT hr) {
  if (e == nullptr) return;
  std::memset(e, 0, sizeof *e);
  e->scode = hr;
}
}  // namespace

PLATFORM_API HRESULT PlatformDispInvoke(ITypeInfo* typeInfo, const PLATFORM_DISPENTRY* entries, UINT count, void* self,
                                        DISPID dispid, WORD wFlags, DISPPARAMS* params, VARIANT* pVarResult,
                                        EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  if (typeInfo == nullptr || self == nullptr || params == nullptr) return E_INVALIDARG;
  const TypeData* type = typeDataOf(typeInfo);
  if (type == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs || (params->cArgs > 0 && params->rgvarg == nullptr) ||
      (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  if (pVarResult != nullptr) VariantInit(pVarResult);

  const FuncData* func = findFunc(*type, dispid, wFlags);
  if (func == nullptr) return DISP_E_MEMBERNOTFOUND;
  const PLATFORM_DISPENTRY* entry = findEntry(entries, count, dispid, func->invkind);
  if (entry == nullptr || entry->cParams != func->params.size()) return DISP_E_MEMBERNOTFOUND;

  const auto& declared = func->params;
  bool hasRetval = !declared.empty() && (declared.back().flags & PARAMFLAG_FRETVAL);
  size_t inCount = declared.size() - (hasRetval ? 1 : 0);
  if (params->cArgs != inCount) return DISP_E_BADPARAMCOUNT;

  // Which argument (index into rgvarg) goes to which parameter.
  std::vector<int> source(inCount, -1);
  UINT named = params->cNamedArgs;
  UINT positional = params->cArgs - named;
  for (UINT j = 0; j < positional; ++j) source[j] = static_cast<int>(params->cArgs - 1 - j);
  bool isPut = func->invkind == INVOKE_PROPERTYPUT || func->invkind == INVOKE_PROPERTYPUTREF;
  for (UINT i = 0; i < named; ++i) {
    DISPID n = params->rgdispidNamedArgs[i];
    size_t target;
    if (n == DISPID_PROPERTYPUT && isPut && inCount > 0) {
      target = inCount - 1;  // the value a property is set to
    } else if (n >= 0 && static_cast<size_t>(n) < inCount) {
      target = static_cast<size_t>(n);
    } else {
      if (puArgErr != nullptr) *puArgErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    if (source[target] != -1) {
      if (puArgErr != nullptr) *puArgErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    source[target] = static_cast<int>(i);
  }

  // The arguments as the member's parameters: coerced copies the dispatcher owns.
  std::vector<VARIANT> slots(declared.size());
  std::vector<bool> owned(declared.size(), false);
  for (auto& s : slots) VariantInit(&s);
  auto cleanup = [&]() {
    for (size_t k = 0; k < slots.size(); ++k)
      if (owned[k]) VariantClear(&slots[k]);
  };
  for (size_t k = 0; k < inCount; ++k) {
    UINT argIndex = static_cast<UINT>(source[k]);
    VARIANT* arg = &params->rgvarg[argIndex];
    VARTYPE want = declared[k].vt;
    HRESULT hr = S_OK;
    if (want == VT_VARIANT) {
      slots[k] = *unwrap(arg);  // borrowed, as the caller passed it
    } else if (want == (VT_BYREF | VT_VARIANT)) {
      slots[k].vt = want;
      slots[k].pvarVal = arg->vt == (VT_BYREF | VT_VARIANT) ? arg->pvarVal : arg;
    } else if (want & VT_BYREF) {
      const VARIANT* a = unwrap(arg);
      if (a->vt == want) {
        slots[k] = *a;
      } else {
        hr = DISP_E_TYPEMISMATCH;
      }
    } else {
      const VARIANT* a = unwrap(arg);
      if (a->vt == want) {
        slots[k] = *a;
      } else {
        hr = VariantChangeType(&slots[k], a, 0, want);
        if (SUCCEEDED(hr))
          owned[k] = true;
        else if (hr != DISP_E_OVERFLOW && hr != E_OUTOFMEMORY)
          hr = DISP_E_TYPEMISMATCH;
      }
    }
    if (FAILED(hr)) {
      cleanup();
      if (puArgErr != nullptr && hr != E_OUTOFMEMORY) *puArgErr = argIndex;
      return hr;
    }
  }

  VARIANT result;
  VariantInit(&result);
  VARTYPE retType = VT_EMPTY;
  if (hasRetval) {
    retType = static_cast<VARTYPE>(declared.back().vt & ~VT_BYREF);
    VARIANT& r = slots.back();
    r.vt = declared.back().vt;
    r.byref = &result.llVal;  // every field of the union starts there
    if (retType == VT_VARIANT) r.pvarVal = &result;
  }

  HRESULT hr;
  try {
    hr = entry->invoke(self, slots.data());
  } catch (...) {
    hr = E_UNEXPECTED;  // nothing thrown may cross the interface
  }
  cleanup();
  if (hasRetval && retType != VT_VARIANT) result.vt = retType;
  if (FAILED(hr)) {
    VariantClear(&result);
    fillException(pExcepInfo, hr);
    return DISP_E_EXCEPTION;
  }
  if (pVarResult != nullptr) {
    *pVarResult = result;
  } else {
    VariantClear(&result);
  }
  return hr;
}

PLATFORM_API HRESULT PlatformDispCheckTable(ITypeInfo* typeInfo, const PLATFORM_DISPENTRY* entries, UINT count,
                                            char* message, SIZE_T messageSize) {
  std::string why;
  const TypeData* type = typeInfo != nullptr ? typeDataOf(typeInfo) : nullptr;
  if (type == nullptr) {
    why = "no type information";
  } else {
    for (const auto& f : type->funcs) {
      if (!why.empty()) break;
      std::string name = toUtf8(f.name);
      const PLATFORM_DISPENTRY* e = findEntry(entries, count, f.memid, f.invkind);
      if (e == nullptr) {
        why = "member " + name + " (" + std::to_string(f.memid) + ") has no entry";
      } else if (e->name == nullptr || name != e->name) {
        why = "member " + std::to_string(f.memid) + " is " + name + " in the type library but " +
              (e->name != nullptr ? e->name : "(null)") + " in the table";
      } else if (e->cParams != f.params.size()) {
        why = "member " + name + " has " + std::to_string(f.params.size()) + " parameters, its function " +
              std::to_string(e->cParams);
      } else {
        for (size_t k = 0; k < f.params.size(); ++k) {
          if (!sameKind(e->paramTypes[k], f.params[k].vt)) {
            why = "member " + name + " parameter " + std::to_string(k + 1) + " is of type " +
                  std::to_string(f.params[k].vt) + " in the type library but " + std::to_string(e->paramTypes[k]) +
                  " in its function";
            break;
          }
        }
      }
    }
    for (UINT i = 0; i < count && why.empty(); ++i) {
      bool found = false;
      for (const auto& f : type->funcs)
        if (f.memid == entries[i].dispid && f.invkind == entries[i].invkind) found = true;
      if (!found)
        why = std::string("entry ") + (entries[i].name != nullptr ? entries[i].name : "(null)") +
              " names no member of the type library";
      for (UINT j = i + 1; j < count && why.empty(); ++j)
        if (entries[j].dispid == entries[i].dispid && entries[j].invkind == entries[i].invkind)
          why = std::string("entry ") + (entries[i].name != nullptr ? entries[i].name : "(null)") + " is bound twice";
    }
  }
  if (message != nullptr && messageSize > 0) std::snprintf(message, messageSize, "%s", why.c_str());
  return why.empty() ? S_OK : TYPE_E_TYPEMISMATCH;
}

PLATFORM_API HRESULT DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames, DISPID* rgdispid) {
  if (ptinfo == nullptr) return E_INVALIDARG;
  return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}
