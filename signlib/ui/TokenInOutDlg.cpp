#include "signlib/ui/TokenInOutDlg.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ResultCode.h"
#include "platform/kernel.h"
#include "platform/resources.h"

namespace {

constexpr UINT kIdsPullOut = 301;
constexpr UINT kIdsRemainPrefix = 304;
constexpr UINT kIdsRemainSuffix = 305;
constexpr UINT kIdsInsert = 306;
constexpr UINT kIdsConnected = 307;
constexpr UINT kIdsDisconnected = 308;
constexpr UINT kIdsTimeout = 309;

std::u16string loadText(UINT id) {
  LPCWSTR text = nullptr;
  int n = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::u16string(text, static_cast<size_t>(n)) : std::u16string();
}

CK_ULONG slotsWithToken() {
  CK_ULONG count = 0;
  getPKCS11SlotList(&count);  // the count is 0 on any failure
  return count;
}

}  // namespace

CTokenInOutDlg::CTokenInOutDlg() = default;
CTokenInOutDlg::~CTokenInOutDlg() = default;

INT_PTR CTokenInOutDlg::DoModal(HWND hWndParent) {
  HINSTANCE instance = AfxGetResourceHandle();
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(IDD), RT_DIALOG);
  if (resource == nullptr) return -1;
  auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(instance, resource)));
  if (dialogTemplate == nullptr) return -1;
  ::PlatformSetNextTemplateId(IDD);
  return ::DialogBoxIndirectParamW(instance, dialogTemplate, hWndParent, &CTokenInOutDlg::dialogProc,
                                   reinterpret_cast<LPARAM>(this));
}

INT_PTR CTokenInOutDlg::dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CTokenInOutDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<CTokenInOutDlg*>(lParam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    if (self != nullptr) self->m_hWnd = hwnd;
  }
  if (self == nullptr) return FALSE;
  LRESULT result = 0;
  BOOL handled = self->ProcessWindowMessage(hwnd, msg, wParam, lParam, result, 0);
  if (msg == WM_NCDESTROY) self->m_hWnd = nullptr;
  if (!handled) return FALSE;
  if (msg == WM_INITDIALOG) return static_cast<INT_PTR>(result);
  ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
  return TRUE;
}

BOOL CTokenInOutDlg::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM, LPARAM, LRESULT& lResult, DWORD) {
  switch (uMsg) {
    case WM_INITDIALOG:
      lResult = onInitDialog();
      return TRUE;
    case WM_TIMER:
      lResult = onTimer();
      return TRUE;
    case WM_CLOSE:
      // The openers read 0 as "the token moved as asked"; a window the user
      // closed must not look like that.
      ::KillTimer(hWnd, kTimerId);
      ::EndDialog(hWnd, rc::USER_CANCEL);
      lResult = 0;
      return TRUE;
    default:
      return FALSE;  // Enter and Escape do nothing here
  }
}

LRESULT CTokenInOutDlg::onInitDialog() {
  countdown = kSeconds;
  if (phase == 0) {
    ::SetDlgItemTextW(m_hWnd, kInstructionId, loadText(kIdsPullOut).c_str());
  } else if (phase == 1) {
    ::SetDlgItemTextW(m_hWnd, kInstructionId, loadText(kIdsInsert).c_str());
  }
  ::SetTimer(m_hWnd, kTimerId, kTickMs, nullptr);
  return 1;
}

void CTokenInOutDlg::finish(UINT textId, int code) {
  ::SetDlgItemTextW(m_hWnd, kInstructionId, loadText(textId).c_str());
  ::Sleep(kTickMs);  // let the user read the final state
  ::KillTimer(m_hWnd, kTimerId);
  ::EndDialog(m_hWnd, code);
}

LRESULT CTokenInOutDlg::onTimer() {
  slotsWithToken();
  if (countdown < 1) {
    finish(kIdsTimeout, rc::TOKEN_UNPLUG_TIMEOUT);
    return rc::TOKEN_UNPLUG_TIMEOUT;
  }
  char number[16];
  std::snprintf(number, sizeof number, " %03d ", countdown);
  std::u16string remain = loadText(kIdsRemainPrefix);
  for (const char* p = number; *p != '\0'; ++p) remain += static_cast<char16_t>(*p);
  remain += loadText(kIdsRemainSuffix);
  ::SetDlgItemTextW(m_hWnd, kCountdownId, remain.c_str());
  --countdown;

  if (phase == 0) {
    if (slotsWithToken() == 0) {
      finish(kIdsDisconnected, rc::OK);
      return rc::OK;
    }
  } else if (phase == 1) {
    // The probe keeps its first module; the load step reopens its session on
    // the token that was just put in.
    char name[sizeof moduleName];
    std::memcpy(name, moduleName, sizeof name);
    name[sizeof name - 1] = '\0';
    loadPKCS11FunctionList(moduleName, sizeof moduleName, name);
    if (slotsWithToken() == 1) {
      finish(kIdsConnected, rc::OK);
      return rc::OK;
    }
  }
  return 0;
}
