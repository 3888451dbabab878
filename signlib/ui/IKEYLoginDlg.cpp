#include "signlib/ui/IKEYLoginDlg.h"

#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "signlib/MyCertContext.h"
#include "platform/locale.h"
#include "platform/resources.h"

namespace {

std::u16string loadText(UINT id) {
  LPCWSTR text = nullptr;
  int n = ::LoadStringW(AfxGetResourceHandle(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::u16string(text, static_cast<size_t>(n)) : std::u16string();
}

std::u16string widen(const std::string& text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

}  // namespace

CIKEYLoginDlg::CIKEYLoginDlg() : pin{}, m_pinModel(pin, PINLenLimit) {}

CIKEYLoginDlg::~CIKEYLoginDlg() { OPENSSL_cleanse(pin, sizeof pin); }

INT_PTR CIKEYLoginDlg::DoModal(HWND hWndParent) {
  HINSTANCE instance = AfxGetResourceHandle();
  HRSRC resource = ::FindResourceW(instance, MAKEINTRESOURCEW(IDD), RT_DIALOG);
  if (resource == nullptr) return -1;
  auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(instance, resource)));
  if (dialogTemplate == nullptr) return -1;
  ::PlatformSetNextTemplateId(IDD);
  return ::DialogBoxIndirectParamW(instance, dialogTemplate, hWndParent, &CIKEYLoginDlg::dialogProc,
                                   reinterpret_cast<LPARAM>(this));
}

INT_PTR CIKEYLoginDlg::dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<CIKEYLoginDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<CIKEYLoginDlg*>(lParam);
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

void CIKEYLoginDlg::onInitDialog(HWND hWnd) {
  try {
    CMyCertContext context;
    if (certificate != nullptr && context.setCertContext(certificate, false, false) == rc::OK) {
      const char* subject = context.getSubjectCN();
      const char* issuer = context.getIssuerCN();
      // Built to size: names have no length bound of their own.
      std::string line = std::string(subject ? subject : "") + "\r\n(" + (issuer ? issuer : "") + ")";
      ::SetDlgItemTextW(hWnd, kSignerId, widen(line).c_str());
      ::SetFocus(::GetDlgItem(hWnd, kPinEditId));
    }
    ::SetWindowTextW(hWnd, loadText(kIdsTitle).c_str());
    ::SetDlgItemTextW(hWnd, kPromptId, loadText(kIdsPrompt).c_str());
    ::SetDlgItemTextW(hWnd, IDOK, loadText(kIdsConfirm).c_str());
    ::SetDlgItemTextW(hWnd, IDCANCEL, loadText(kIdsCancel).c_str());
  } catch (...) {
    // The dialog stays usable without its texts.
  }
}

BOOL CIKEYLoginDlg::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD) {
  switch (uMsg) {
    case WM_INITDIALOG:
      onInitDialog(hWnd);
      lResult = 0;  // the focus is set here
      return TRUE;
    case WM_SHOWWINDOW:
      ::SetFocus(::GetDlgItem(hWnd, kPinEditId));
      lResult = 0;
      return FALSE;  // the default handling too
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      if (id == kPinEditId && HIWORD(wParam) == EN_UPDATE) {
        int length = m_pinModel.onUpdate(::GetDlgItem(hWnd, kPinEditId));
        if (PINLenLimit > 0 && length == PINLenLimit) ::SetFocus(::GetDlgItem(hWnd, IDOK));
        lResult = 0;
        return TRUE;
      }
      if (id == IDOK) {
        if (pin[0] == '\0') {
          ::MessageBoxW(hWnd, loadText(kIdsPrompt).c_str(), loadText(kIdsTitle).c_str(), MB_ICONHAND);
          ::SetFocus(::GetDlgItem(hWnd, kPinEditId));
        } else {
          ::EndDialog(hWnd, IDOK);
        }
        lResult = 0;
        return TRUE;
      }
      if (id == IDCANCEL) {
        ::EndDialog(hWnd, IDCANCEL);
        lResult = 0;
        return TRUE;
      }
      return FALSE;
    }
    default:
      return FALSE;
  }
}
