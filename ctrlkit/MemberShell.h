// The member shell: what every scriptable member of a control does around
// its own steps, written once. A control derives from CControlKit<Control>
// (after its framework bases), names its class prefix and its HRESULT
// policy, and writes each member as
//
//   return runMember(pVal, {.unknownError = "sign ->Unknown error", .record = Record::Result},
//                    [&] { ...the member's steps, returning its code... });
//
// The shell then does the rest in this order: the module's resources for the
// member's length, LastErrorCode's first value, the catch-all (99 and the
// member's unknown-error text), LastErrorCode's last value, the error line,
// the out value and the HRESULT. Texts are written after the class prefix:
// fail(1, "sign -> error during invalid parameter(signerCert)!") keeps
// "CTeskelCtrl::sign -> error during invalid parameter(signerCert)!".
#pragma once

#include <cstddef>
#include <string>

#include "ctrlkit/ScriptText.h"
#include "platform/afx.h"
#include "platform/comserver.h"

namespace ctrlkit {

// The codes the shell itself gives; the same numbers as the library's.
namespace code {
constexpr int OK = 0;
constexpr int WRONG_PARAMETER = 1;
constexpr int ILLEGAL_URL = 61;
constexpr int UNKNOWN_ERROR = 99;
}  // namespace code

// The size of LastErrorStr: at most 511 characters and the NUL.
constexpr std::size_t LAST_ERROR_SIZE = 512;

// For the length of one member, the dialogs and strings that the library
// loads come from this module's resources, whoever hosts it.
class CModuleResourceState {
 public:
  explicit CModuleResourceState(HINSTANCE module) : m_saved(AfxGetResourceHandle()) { AfxSetResourceHandle(module); }
  ~CModuleResourceState() { AfxSetResourceHandle(m_saved); }
  CModuleResourceState(const CModuleResourceState&) = delete;
  CModuleResourceState& operator=(const CModuleResourceState&) = delete;

 private:
  HINSTANCE m_saved;
};

// A control's HRESULT for a member's code; `threw` says the body threw.
using HResultPolicy = HRESULT (*)(int code, bool threw);
// S_FALSE only after the body threw (the certificate control's members).
HRESULT falseOnThrow(int code, bool threw);
// S_FALSE for every non-zero code (the signature control's members).
HRESULT falseOnFailure(int code, bool threw);
// S_OK whatever happened.
HRESULT alwaysOk(int code, bool threw);

// How a member keeps its code in LastErrorCode.
enum class Record {
  None,         // never written by the shell (the body may write it)
  Result,       // 0 first, then the member's code (99 when the body threw)
  FailureOnly,  // a non-zero code (99 when the body threw); success leaves the earlier one
  Body,         // the body writes it; the shell writes 99 when the body threw
};

// When the shell writes the error line (the control's errorLine hook).
enum class ErrorLine {
  OnFailure,  // for every non-zero code
  OnThrow,    // only when the body threw; the body writes its own otherwise
  None,
};

// One member's way through the shell. Further per-member steps that run
// before the body (argument gates) belong here as fields, read in runBody.
struct Member {
  // Kept after the class prefix when the body throws; null leaves the text.
  const char* unknownError = nullptr;
  Record record = Record::None;
  ErrorLine errorLine = ErrorLine::OnFailure;
  // The control's own policy when null.
  HResultPolicy hresult = nullptr;
  // The member's name, for members that read the user's certificates, touch
  // a token or a module, or read or write a file: the host check runs before
  // the body, and a page of another host gets 61 with "<name> -> The
  // Component can not verify the URL" and the body never runs. Null: open
  // to every page (members that only take page values or report state).
  const char* hostGate = nullptr;
};

// The host check a control runs on its page.
enum class HostCheck {
  HostList,           // the host list alone (the certificate control)
  ServerCertificate,  // then, for an HTTPS page, the name in the host's server
                      // certificate (the signature and network-address controls)
};

// What one run through the shell gave.
struct Outcome {
  int code;
  bool threw;
  HRESULT hr;
};

// The shell's state and steps that need nothing of the control's framework.
class ControlShell {
 public:
  ControlShell(const char* classPrefix, HResultPolicy policy, HostCheck hostCheck = HostCheck::HostList);
  virtual ~ControlShell();
  ControlShell(const ControlShell&) = delete;
  ControlShell& operator=(const ControlShell&) = delete;

  // The LastErrorCode and LastErrorStr properties. The text is converted
  // with the code page the control reports it in.
  HRESULT lastErrorCode(LONG* pVal) const;
  HRESULT lastErrorStr(BSTR* pVal, UINT codePage) const;

 protected:
  // LastErrorStr := the class prefix, "::" and the formatted text, cut at
  // 511 characters. Arguments may point into LastErrorStr itself.
  void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The same, giving back code, for a body's "return fail(...)".
  int fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void clearError();

  // The host test on a page address: 0 when the page comes from an allowed
  // host, else 61 with "<prefix>::IsWebCtl >> error %d" (the platform's error
  // number when the address does not split, 0 for a host not in the list);
  // the result is also left in LastErrorCode.
  int hostListCheck(const std::u16string& pageAddress);
  // The control's host check: the host test, then, with
  // HostCheck::ServerCertificate and an HTTPS page, the server-certificate
  // step. That step fails closed: 61 with "<prefix>::IsWebCtl >> error %d"
  // and the first failing step's error number when no name was obtained, or
  // 0 when the name is empty or does not occur in the address.
  int pageCheck(const std::u16string& pageAddress);

  // The control's error line for a failed member (nothing by default: a
  // control without a log writes none).
  virtual void errorLine(int code);

  // The member's name for the shell's own texts: its host gate, else its
  // unknown-error text up to " ->" or " >>".
  static std::string memberName(const Member& m);

  int LastErrorCode = 0;
  char LastErrorStr[LAST_ERROR_SIZE] = {};

  // Steps 2 and 6 to 9 of a member around its body: see Member. The module
  // resource state is the caller's (runMember).
  template <class Body>
  Outcome runBodyIn(const Member& m, Body&& body) {
    if (m.record == Record::Result) LastErrorCode = 0;
    int result = 0;
    bool threw = false;
    try {
      result = body();
    } catch (const RefusedText&) {
      // A text argument that would reach the library cut at a NUL.
      result = code::WRONG_PARAMETER;
      setError("%s -> error during invalid parameter(text with NUL)!", memberName(m).c_str());
    } catch (...) {
      result = code::UNKNOWN_ERROR;
      threw = true;
      if (m.unknownError != nullptr) setError("%s", m.unknownError);
    }
    switch (m.record) {
      case Record::Result: LastErrorCode = result; break;
      case Record::FailureOnly:
        if (result != 0) LastErrorCode = result;
        break;
      case Record::Body:
        if (threw) LastErrorCode = code::UNKNOWN_ERROR;
        break;
      case Record::None: break;
    }
    if ((m.errorLine == ErrorLine::OnFailure && result != 0) || (m.errorLine == ErrorLine::OnThrow && threw))
      errorLine(result);
    return {result, threw, (m.hresult != nullptr ? m.hresult : m_policy)(result, threw)};
  }

 private:
  const char* m_classPrefix;
  HResultPolicy m_policy;
  HostCheck m_hostCheck;
};

// The shell over a control of the framework: the module is the one this
// control is compiled into, the page address comes from its client site.
template <class Control>
class CControlKit : public ControlShell {
 public:
  using ControlShell::ControlShell;

  // The page address: the display name of the client site's container
  // moniker; empty without a site or a moniker.
  void getContainerURL(std::u16string& url) {
    url.clear();
    LPOLESTR name = nullptr;
    if (SUCCEEDED(AtlGetContainerDisplayName(static_cast<Control*>(this)->m_spClientSite, &name)) && name != nullptr)
      url = name;
    CoTaskMemFree(name);
  }

  // The page address, as the signature and network-address controls name it.
  void GetHostPageURL(std::u16string& url) { getContainerURL(url); }

  // The host check on this control's page (see pageCheck): 0 or 61, also
  // left in LastErrorCode.
  int IsWebCtl() {
    std::u16string url;
    getContainerURL(url);
    return pageCheck(url);
  }

 protected:
  static HINSTANCE moduleInstance() { return CAtlModule::GetModuleInstance(); }

  // A member with no out value of its own. A gated member runs the host
  // check first; an allowed page leaves LastErrorCode as it was, so the gate
  // changes nothing for it.
  template <class Body>
  Outcome runBody(const Member& m, Body&& body) {
    CModuleResourceState state(moduleInstance());
    if (m.hostGate == nullptr) return runBodyIn(m, body);
    return runBodyIn(m, [&]() -> int {
      const int earlier = LastErrorCode;
      if (IsWebCtl() != 0) return fail(code::ILLEGAL_URL, "%s -> The Component can not verify the URL", m.hostGate);
      LastErrorCode = earlier;
      return body();
    });
  }

  // A member whose code goes to its last argument.
  template <class Body>
  HRESULT runMember(LONG* pVal, const Member& m, Body&& body) {
    if (pVal == nullptr) return E_POINTER;
    *pVal = 0;
    Outcome outcome = runBody(m, body);
    *pVal = outcome.code;
    return outcome.hr;
  }

  // A property whose value is the library's 8-bit text (thread's ANSI code
  // page); get runs inside the module's resource state.
  template <class Get>
  HRESULT textProperty(BSTR* pVal, Get&& get) {
    if (pVal == nullptr) return E_POINTER;
    CModuleResourceState state(moduleInstance());
    return textResult(get(), pVal);
  }
};

}  // namespace ctrlkit
