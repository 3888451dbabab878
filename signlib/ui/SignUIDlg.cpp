#include "signlib/ui/SignUIDlg.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/locale.h"
#include "platform/resources.h"

CSignUIDlg::CSignUIDlg() = default;

CSignUIDlg::~CSignUIDlg() { std::free(dataText); }

bool CSignUIDlg::setDataText(const char* text) {
  std::free(dataText);
  dataText = nullptr;
  if (text == nullptr) return true;
  dataText = strdup(text);
  return dataText != nullptr;
}

INT_PTR CSignUIDlg::DoModal(HWND hWndParent) {
  HINSTANCE instance = AfxGetResourceHandle();
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(IDD), RT_DIALOG);
  if (resource == nullptr) return -1;
  auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(instance, resource)));
  if (dialogTemplate == nullptr) return -1;
  ::PlatformSetNextTemplateId(IDD);
  return ::DialogBoxIndirectParamW(instance, dialogTemplate, hWndParent, &CSignUIDlg::dialogProc,
                                   reinterpret_cast<LPARAM>(this));
}

INT_PTR CSignUIDlg::dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CSignUIDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<CSignUIDlg*>(lParam);
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

BOOL CSignUIDlg::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD) {
  switch (uMsg) {
    case WM_INITDIALOG: {
      std::u16string text;
      if (dataText != nullptr && *dataText != '\0') {
        int n = ::MultiByteToWideChar(CP_ACP, 0, dataText, -1, nullptr, 0);
        if (n > 0) {
          text.resize(static_cast<size_t>(n));
          ::MultiByteToWideChar(CP_ACP, 0, dataText, -1, text.data(), n);
          text.resize(static_cast<size_t>(n - 1));
        }
      }
      ::SetDlgItemTextW(hWnd, kDataEditId, text.c_str());
      lResult = 1;  // the focus goes to the first tab stop, the Sign button
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(hWnd, LOWORD(wParam));
        lResult = 0;
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
