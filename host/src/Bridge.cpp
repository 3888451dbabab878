#include "Bridge.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Text.h"
#include "platform/com.h"

// The engine reports script errors by unwinding with longjmp, which skips
// C++ destructors. So every function the engine calls does its work in a
// helper that returns only after all of its C++ objects are gone, leaving
// either its result or an Error object on the value stack; the engine
// function then returns the value or throws the error.

namespace host::bridge {
namespace {

// Hidden keys: the script cannot spell them, and proxy traps never see them.
#define HIDDEN(name) DUK_HIDDEN_SYMBOL(name)
const char* const kDisp = HIDDEN("disp");      // on a control's proxy target: its IDispatch
const char* const kTarget = HIDDEN("target");  // on a member function: the proxy target it calls on
const char* const kDispid = HIDDEN("dispid");
const char* const kName = HIDDEN("name");
const char* const kOptions = HIDDEN("options");  // in the heap stash
const char* const kHandler = HIDDEN("handler");  // in the heap stash: the proxy handler shared by all controls

constexpr LCID kUserLocale = 0x0400;  // LOCALE_USER_DEFAULT

// Value: the result is on the stack; Error: an Error is; Target: the
// property is not the control's, read or write it on the proxy target.
enum class Outcome { Value, Error, Target };

std::string hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

// An Error carrying the HRESULT as `number`, as the browsers' script engines give it.
Outcome pushError(duk_context* ctx, duk_errcode_t kind, const std::string& message, HRESULT hr) {
  duk_push_error_object(ctx, kind, "%s", message.c_str());
  if (hr != 0) {
    duk_push_int(ctx, static_cast<duk_int_t>(hr));
    duk_put_prop_string(ctx, -2, "number");
  }
  return Outcome::Error;
}

const PageOptions* optionsOf(duk_context* ctx) {
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kOptions);
  auto* options = static_cast<const PageOptions*>(duk_get_pointer(ctx, -1));
  duk_pop_2(ctx);
  return options;
}

std::u16string scriptString(duk_context* ctx, duk_idx_t idx) {
  duk_size_t size = 0;
  const char* text = duk_get_lstring(ctx, idx, &size);
  return text != nullptr ? fromScript(text, size) : std::u16string();
}

void pushText(duk_context* ctx, const char16_t* text, std::size_t size) {
  std::string s = toScript(text, size);
  duk_push_lstring(ctx, s.data(), s.size());
}

// The IDispatch behind a control's proxy (or its target), else null.
IDispatch* dispatchOf(duk_context* ctx, duk_idx_t idx) {
  if (!duk_is_object(ctx, idx)) return nullptr;
  duk_get_prop_string(ctx, idx, kDisp);
  auto* disp = static_cast<IDispatch*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  return disp;
}

// ---------------------------------------------------------------- values

// A script value as a VARIANT argument: whole numbers that fit 32 bits as
// VT_I4, other numbers VT_R8, booleans VT_BOOL, strings VT_BSTR, null VT_NULL,
// undefined (or a missing value) VT_EMPTY, a control VT_DISPATCH.
bool toVariant(duk_context* ctx, duk_idx_t idx, VARIANT* v, std::string* why) {
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
  switch (duk_get_type(ctx, idx)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED: return true;
    case DUK_TYPE_NULL: v->vt = VT_NULL; return true;
    case DUK_TYPE_BOOLEAN:
      v->vt = VT_BOOL;
      v->boolVal = duk_get_boolean(ctx, idx) ? VARIANT_TRUE : VARIANT_FALSE;
      return true;
    case DUK_TYPE_NUMBER: {
      double d = duk_get_number(ctx, idx);
      if (d == std::floor(d) && d >= -2147483648.0 && d <= 2147483647.0) {
        v->vt = VT_I4;
        v->lVal = static_cast<LONG>(d);
      } else {
        v->vt = VT_R8;
        v->dblVal = d;
      }
      return true;
    }
    case DUK_TYPE_STRING: {
      if (duk_is_symbol(ctx, idx)) break;
      std::u16string s = scriptString(ctx, idx);
      BSTR b = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
      if (b == nullptr) {
        *why = "out of memory for a string";
        return false;
      }
      v->vt = VT_BSTR;
      v->bstrVal = b;
      return true;
    }
    case DUK_TYPE_OBJECT:
      if (IDispatch* disp = dispatchOf(ctx, idx)) {
        disp->AddRef();
        v->vt = VT_DISPATCH;
        v->pdispVal = disp;
        return true;
      }
      *why = "a script object cannot be passed to a control";
      return false;
    default: break;
  }
  *why = "this kind of value cannot be passed to a control";
  return false;
}

void pushControl(duk_context* ctx, IDispatch* disp);

// A VARIANT result as a script value. A null BSTR reads as the empty string.
void pushVariant(duk_context* ctx, const VARIANT& value) {
  if (value.vt & VT_BYREF) {
    VARIANT direct;
    VariantInit(&direct);
    if (SUCCEEDED(VariantCopyInd(&direct, &value)) && !(direct.vt & VT_BYREF)) {
      pushVariant(ctx, direct);
    } else {
      duk_push_undefined(ctx);
    }
    VariantClear(&direct);
    return;
  }
  switch (value.vt) {
    case VT_EMPTY:
    case VT_ERROR:  // a missing optional value
      duk_push_undefined(ctx);
      return;
    case VT_NULL: duk_push_null(ctx); return;
    case VT_BOOL: duk_push_boolean(ctx, value.boolVal != VARIANT_FALSE); return;
    case VT_BSTR: pushText(ctx, value.bstrVal != nullptr ? value.bstrVal : u"", SysStringLen(value.bstrVal)); return;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE: {
      VARIANT number;
      VariantInit(&number);
      if (SUCCEEDED(VariantChangeType(&number, &value, 0, VT_R8)))
        duk_push_number(ctx, number.dblVal);
      else
        duk_push_nan(ctx);
      VariantClear(&number);
      return;
    }
    case VT_DISPATCH:
      if (value.pdispVal == nullptr) {
        duk_push_null(ctx);
      } else {
        value.pdispVal->AddRef();
        pushControl(ctx, value.pdispVal);
      }
      return;
    case VT_UNKNOWN: {
      IDispatch* disp = nullptr;
      if (value.punkVal != nullptr &&
          SUCCEEDED(value.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp))) && disp != nullptr)
        pushControl(ctx, disp);
      else
        duk_push_null(ctx);
      return;
    }
    default: {
      VARIANT text;
      VariantInit(&text);
      if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)))
        pushText(ctx, text.bstrVal != nullptr ? text.bstrVal : u"", SysStringLen(text.bstrVal));
      else
        duk_push_undefined(ctx);
      VariantClear(&text);
      return;
    }
  }
}

// ---------------------------------------------------------------- invoking

struct Invocation {
  HRESULT hr = S_OK;
  VARIANT result{};
  EXCEPINFO excep{};
  UINT argErr = 0;
  ~Invocation() {
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
  }
};

// The text of a failed call of member `name` with `argCount` arguments.
std::string failureText(const std::string& name, const Invocation& call, UINT argCount, HRESULT* number) {
  *number = call.hr;
  auto argument = [&] { return std::to_string(argCount - call.argErr); };  // rgvarg runs backwards
  switch (call.hr) {
    case DISP_E_EXCEPTION: {
      HRESULT code = call.excep.scode != 0 ? call.excep.scode : static_cast<HRESULT>(call.excep.wCode);
      *number = code;
      std::string text = "'" + name + "' failed: " + hex(code);
      if (call.excep.bstrDescription != nullptr && SysStringLen(call.excep.bstrDescription) > 0)
        text += " " + toUtf8(std::u16string(call.excep.bstrDescription, SysStringLen(call.excep.bstrDescription)));
      return text;
    }
    case DISP_E_TYPEMISMATCH:
      return "'" + name + "': argument " + argument() + " has the wrong type (" + hex(call.hr) + ")";
    case DISP_E_OVERFLOW: return "'" + name + "': argument " + argument() + " is out of range (" + hex(call.hr) + ")";
    case DISP_E_BADPARAMCOUNT:
      return "'" + name + "': wrong number of arguments, " + std::to_string(argCount) + " given (" + hex(call.hr) + ")";
    case DISP_E_MEMBERNOTFOUND: return "'" + name + "' cannot be used that way (" + hex(call.hr) + ")";
    case DISP_E_PARAMNOTOPTIONAL: return "'" + name + "': an argument is missing (" + hex(call.hr) + ")";
    default: return "'" + name + "' failed: " + hex(call.hr);
  }
}

bool idOfName(IDispatch* disp, const std::u16string& name, DISPID* id) {
  std::u16string copy = name;
  LPOLESTR names[1] = {copy.data()};
  return SUCCEEDED(disp->GetIDsOfNames(IID_NULL, names, 1, kUserLocale, id));
}

// Calls the member on `disp` with the script arguments at stack indexes
// 0..argCount-1 and pushes the result (or the error).
Outcome invoke(duk_context* ctx, IDispatch* disp, DISPID id, const std::string& name, WORD flags, duk_idx_t argCount) {
  std::vector<VARIANT> args(static_cast<std::size_t>(argCount));
  std::string why;
  duk_idx_t converted = 0;
  for (; converted < argCount; ++converted) {
    if (!toVariant(ctx, converted, &args[static_cast<std::size_t>(argCount - 1 - converted)], &why)) break;
  }
  if (converted < argCount) {
    for (duk_idx_t i = 0; i < converted; ++i) VariantClear(&args[static_cast<std::size_t>(argCount - 1 - i)]);
    return pushError(ctx, DUK_ERR_TYPE_ERROR, "'" + name + "': argument " + std::to_string(converted + 1) + ": " + why,
                     DISP_E_TYPEMISMATCH);
  }
  DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, static_cast<UINT>(argCount), 0};
  Invocation call;
  VariantInit(&call.result);
  call.hr = disp->Invoke(id, IID_NULL, kUserLocale, flags, &params, &call.result, &call.excep, &call.argErr);
  for (auto& a : args) VariantClear(&a);
  if (FAILED(call.hr)) {
    HRESULT number = 0;
    std::string text = failureText(name, call, static_cast<UINT>(argCount), &number);
    return pushError(ctx, DUK_ERR_ERROR, text, number);
  }
  pushVariant(ctx, call.result);
  return Outcome::Value;
}

// A member function: [target, dispid, name] are its hidden properties.
Outcome callMember(duk_context* ctx) {
  duk_idx_t argCount = duk_get_top(ctx);
  duk_push_current_function(ctx);
  duk_get_prop_string(ctx, -1, kTarget);
  IDispatch* disp = dispatchOf(ctx, -1);
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kDispid);
  auto id = static_cast<DISPID>(duk_get_int(ctx, -1));
  duk_pop(ctx);
  duk_get_prop_string(ctx, -1, kName);
  std::string name = duk_get_string(ctx, -1) != nullptr ? duk_get_string(ctx, -1) : "";
  duk_pop_2(ctx);
  if (disp == nullptr) return pushError(ctx, DUK_ERR_ERROR, "'" + name + "': the control is gone", E_UNEXPECTED);
  // As the browsers call a member: a method, or a property read with arguments.
  return invoke(ctx, disp, id, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, argCount);
}

duk_ret_t memberFunction(duk_context* ctx) {
  if (callMember(ctx) == Outcome::Error) return duk_throw(ctx);
  return 1;
}

// get trap (target, key, receiver): a property's value, or for a method a
// function that calls it. Names the control does not know are read from the
// target, so toString and the like behave as on any object.
Outcome getProperty(duk_context* ctx) {
  if (duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) return Outcome::Target;
  IDispatch* disp = dispatchOf(ctx, 0);
  std::string name = duk_get_string(ctx, 1);
  DISPID id = DISPID_UNKNOWN;
  if (disp == nullptr || !idOfName(disp, scriptString(ctx, 1), &id)) return Outcome::Target;
  Outcome read = invoke(ctx, disp, id, name, DISPATCH_PROPERTYGET, 0);
  if (read == Outcome::Value) return read;
  duk_get_prop_string(ctx, -1, "number");
  auto hr = static_cast<HRESULT>(duk_get_int(ctx, -1));
  duk_pop(ctx);
  if (hr != DISP_E_MEMBERNOTFOUND && hr != DISP_E_BADPARAMCOUNT && hr != DISP_E_PARAMNOTOPTIONAL) return read;
  // A method (or a property read that takes arguments): the script gets a
  // function that calls it. It holds the target, so the control lives while
  // the function does.
  duk_pop(ctx);
  duk_push_c_function(ctx, memberFunction, DUK_VARARGS);
  duk_dup(ctx, 0);
  duk_put_prop_string(ctx, -2, kTarget);
  duk_push_int(ctx, static_cast<duk_int_t>(id));
  duk_put_prop_string(ctx, -2, kDispid);
  duk_push_string(ctx, name.c_str());
  duk_put_prop_string(ctx, -2, kName);
  return Outcome::Value;
}

duk_ret_t getTrap(duk_context* ctx) {
  switch (getProperty(ctx)) {
    case Outcome::Error: return duk_throw(ctx);
    case Outcome::Target:
      duk_dup(ctx, 1);
      duk_get_prop(ctx, 0);
      return 1;
    case Outcome::Value: break;
  }
  return 1;
}

// set trap (target, key, value, receiver): a property put through IDispatch.
Outcome setProperty(duk_context* ctx) {
  if (duk_is_symbol(ctx, 1) || !duk_is_string(ctx, 1)) return Outcome::Target;
  IDispatch* disp = dispatchOf(ctx, 0);
  std::string name = duk_get_string(ctx, 1);
  DISPID id = DISPID_UNKNOWN;
  if (disp == nullptr || !idOfName(disp, scriptString(ctx, 1), &id))
    return pushError(ctx, DUK_ERR_TYPE_ERROR, "the control has no property '" + name + "'", DISP_E_UNKNOWNNAME);
  VARIANT value;
  std::string why;
  if (!toVariant(ctx, 2, &value, &why))
    return pushError(ctx, DUK_ERR_TYPE_ERROR, "'" + name + "': " + why, DISP_E_TYPEMISMATCH);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{&value, &named, 1, 1};
  Invocation call;
  VariantInit(&call.result);
  call.hr = disp->Invoke(id, IID_NULL, kUserLocale, DISPATCH_PROPERTYPUT, &params, nullptr, &call.excep, &call.argErr);
  VariantClear(&value);
  if (FAILED(call.hr)) {
    HRESULT number = 0;
    std::string text = failureText(name, call, 1, &number);
    return pushError(ctx, DUK_ERR_ERROR, text, number);
  }
  duk_push_true(ctx);
  return Outcome::Value;
}

duk_ret_t setTrap(duk_context* ctx) {
  switch (setProperty(ctx)) {
    case Outcome::Error: return duk_throw(ctx);
    case Outcome::Target:
      duk_dup(ctx, 1);
      duk_dup(ctx, 2);
      duk_put_prop(ctx, 0);
      duk_push_true(ctx);
      return 1;
    case Outcome::Value: break;
  }
  return 1;
}

// Finalizer of a proxy target: the script no longer reaches the control.
duk_ret_t releaseControl(duk_context* ctx) {
  duk_get_prop_string(ctx, 0, kDisp);
  auto* disp = static_cast<IDispatch*>(duk_get_pointer(ctx, -1));
  duk_pop(ctx);
  if (disp != nullptr) {
    duk_push_pointer(ctx, nullptr);
    duk_put_prop_string(ctx, 0, kDisp);
    disp->Release();
  }
  return 0;
}

// The script object for a control; takes over the caller's reference.
void pushControl(duk_context* ctx, IDispatch* disp) {
  duk_push_object(ctx);
  duk_push_pointer(ctx, disp);
  duk_put_prop_string(ctx, -2, kDisp);
  duk_push_c_function(ctx, releaseControl, 2);
  duk_set_finalizer(ctx, -2);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, kHandler);
  duk_remove(ctx, -2);
  duk_push_proxy(ctx, 0);
}

// ---------------------------------------------------------------- ActiveXObject

// Creates the control as the browser does: the client site first (the
// controls ask for it before anything else), then the safety question for
// scripting; a control that does not declare itself safe for untrusted
// callers is not handed to the page.
Outcome createControl(duk_context* ctx) {
  if (!duk_is_string(ctx, 0) || duk_is_symbol(ctx, 0))
    return pushError(ctx, DUK_ERR_TYPE_ERROR, "ActiveXObject takes a program identifier", E_INVALIDARG);
  const PageOptions* options = optionsOf(ctx);
  std::u16string progId = scriptString(ctx, 0);
  std::string shown = toUtf8(progId);
  const std::string prefix = "Automation server can't create object '" + shown + "': ";

  CLSID clsid{};
  HRESULT hr = CLSIDFromString(progId.c_str(), &clsid);
  if (FAILED(hr)) return pushError(ctx, DUK_ERR_ERROR, prefix + "no such class registered (" + hex(hr) + ")", hr);
  IUnknown* unknown = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&unknown));
  if (FAILED(hr) || unknown == nullptr)
    return pushError(ctx, DUK_ERR_ERROR, prefix + "creation failed (" + hex(hr) + ")", FAILED(hr) ? hr : E_FAIL);

  if (options->site) {
    IOleObject* ole = nullptr;
    if (SUCCEEDED(unknown->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole))) && ole != nullptr) {
      std::u16string url = fromScript(options->url.data(), options->url.size());
      IOleClientSite* site = nullptr;
      hr = PlatformCreateClientSite(url.c_str(), options->moniker ? 0 : PLATFORM_SITE_NO_MONIKER, &site);
      if (SUCCEEDED(hr)) hr = ole->SetClientSite(site);
      if (site != nullptr) site->Release();
      ole->Release();
      if (FAILED(hr)) {
        unknown->Release();
        return pushError(ctx, DUK_ERR_ERROR, prefix + "the control refused its site (" + hex(hr) + ")", hr);
      }
    }
  }

  IObjectSafety* safety = nullptr;
  hr = unknown->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety));
  if (SUCCEEDED(hr) && safety != nullptr) {
    hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, INTERFACESAFE_FOR_UNTRUSTED_CALLER,
                                           INTERFACESAFE_FOR_UNTRUSTED_CALLER);
    safety->Release();
  } else if (SUCCEEDED(hr)) {
    hr = E_NOINTERFACE;
  }
  if (FAILED(hr)) {
    unknown->Release();
    return pushError(ctx, DUK_ERR_ERROR, prefix + "the control is not safe for scripting (" + hex(hr) + ")", hr);
  }

  IDispatch* disp = nullptr;
  hr = unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&disp));
  unknown->Release();
  if (FAILED(hr) || disp == nullptr)
    return pushError(ctx, DUK_ERR_ERROR, prefix + "the object cannot be scripted (" + hex(hr) + ")",
                     FAILED(hr) ? hr : E_NOINTERFACE);
  pushControl(ctx, disp);
  return Outcome::Value;
}

duk_ret_t activeXObject(duk_context* ctx) {
  if (createControl(ctx) == Outcome::Error) return duk_throw(ctx);
  return 1;
}

// ---------------------------------------------------------------- print

void printLine(duk_context* ctx) {
  duk_idx_t count = duk_get_top(ctx);
  std::string line;
  for (duk_idx_t i = 0; i < count; ++i) {
    if (i > 0) line.push_back(' ');
    duk_size_t size = 0;
    const char* text = duk_safe_to_lstring(ctx, i, &size);
    line += toUtf8(fromScript(text, size));
  }
  const PageOptions* options = optionsOf(ctx);
  if (options->print) {
    options->print(line);
  } else {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
}

duk_ret_t print(duk_context* ctx) {
  printLine(ctx);
  return 0;
}

}  // namespace

void install(duk_context* ctx, const PageOptions* options) {
  duk_push_global_stash(ctx);
  duk_push_pointer(ctx, const_cast<PageOptions*>(options));
  duk_put_prop_string(ctx, -2, kOptions);
  duk_push_object(ctx);
  duk_push_c_function(ctx, getTrap, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, setTrap, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_put_prop_string(ctx, -2, kHandler);
  duk_pop(ctx);

  duk_push_global_object(ctx);
  duk_push_c_function(ctx, activeXObject, 1);
  duk_put_prop_string(ctx, -2, "ActiveXObject");
  duk_push_c_function(ctx, print, DUK_VARARGS);
  duk_put_prop_string(ctx, -2, "print");
  duk_pop(ctx);
}

}  // namespace host::bridge
