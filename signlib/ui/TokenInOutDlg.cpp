#include "signlib/ui/TokenInOutDlg.h"

#include "signlib/ui/DialogText.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel.h"
#include "platform/resources.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ResultCode.h"

using dialogtext::loadText;

namespace {

CK_ULONG slotsWithToken() {
  CK_ULONG count = 0;
  getPKCS11SlotList(&count);  // the count is 0 on any failure
  return count;
}

}  // namespace

CTokenInOutDlg::CTokenInOutDlg() = default;
CTokenInOutDlg::CTokenInOutDlg(const Resources& resources) : m_resources(resources) {}
CTokenInOutDlg::~CTokenInOutDlg() = default;

LRESULT CTokenInOutDlg::onClose(UINT, WPARAM, LPARAM, BOOL&) {
  // The openers read 0 as "the token moved as asked"; a window the user
  // closed must not look like that.
  ::KillTimer(m_hWnd, kTimerId);
  EndDialog(rc::USER_CANCEL);
  return 0;
}

LRESULT CTokenInOutDlg::onInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  countdown = kSeconds;
  if (phase == 0) {
    ::SetDlgItemTextW(m_hWnd, m_resources.instructionId, loadText(m_resources.pullOut).c_str());
  } else if (phase == 1) {
    ::SetDlgItemTextW(m_hWnd, m_resources.instructionId, loadText(m_resources.insert).c_str());
  }
  ::SetTimer(m_hWnd, kTimerId, kTickMs, nullptr);
  return 1;
}

void CTokenInOutDlg::finish(UINT textId, int code) {
  ::SetDlgItemTextW(m_hWnd, m_resources.instructionId, loadText(textId).c_str());
  ::Sleep(kTickMs);  // let the user read the final state
  ::KillTimer(m_hWnd, kTimerId);
  ::EndDialog(m_hWnd, code);
}

LRESULT CTokenInOutDlg::onTimer(UINT, WPARAM, LPARAM, BOOL&) {
  slotsWithToken();
  if (countdown < 1) {
    finish(m_resources.timeout, m_resources.timeoutCode);
    return m_resources.timeoutCode;
  }
  char number[16];
  std::snprintf(number, sizeof number, m_resources.countdownFormat, countdown);
  std::u16string remain = loadText(m_resources.remainPrefix);
  for (const char* p = number; *p != '\0'; ++p) remain += static_cast<char16_t>(*p);
  remain += loadText(m_resources.remainSuffix);
  ::SetDlgItemTextW(m_hWnd, m_resources.countdownId, remain.c_str());
  --countdown;

  if (phase == 0) {
    if (slotsWithToken() == 0) {
      finish(m_resources.disconnected, rc::OK);
      return rc::OK;
    }
  } else if (phase == 1) {
    if (m_resources.reloadInPhase1) {
      // The probe keeps its first module; the load step reopens its session
      // on the token that was just put in.
      char name[sizeof moduleName];
      std::memcpy(name, moduleName, sizeof name);
      name[sizeof name - 1] = '\0';
      loadPKCS11FunctionList(moduleName, sizeof moduleName, name);
    }
    if (slotsWithToken() == 1) {
      finish(m_resources.connected, rc::OK);
      return rc::OK;
    }
  }
  return 0;
}
