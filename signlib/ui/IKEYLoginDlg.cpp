#include "signlib/ui/IKEYLoginDlg.h"

#include "signlib/ui/DialogText.h"

#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "platform/locale.h"
#include "platform/resources.h"
#include "signlib/MyCertContext.h"

using dialogtext::loadText;
using dialogtext::widen;

namespace {}  // namespace

CIKEYLoginDlg::CIKEYLoginDlg() : pin{}, m_pinModel(pin, PINLenLimit) {}

CIKEYLoginDlg::~CIKEYLoginDlg() { OPENSSL_cleanse(pin, sizeof pin); }

LRESULT CIKEYLoginDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
  try {
    CMyCertContext context;
    if (certificate != nullptr && context.setCertContext(certificate, false, false) == rc::OK) {
      const char* subject = context.getSubjectCN();
      const char* issuer = context.getIssuerCN();
      // Built to size: names have no length bound of their own.
      std::string line = std::string(subject ? subject : "") + "\r\n(" + (issuer ? issuer : "") + ")";
      ::SetDlgItemTextW(m_hWnd, kSignerId, widen(line.c_str()).c_str());
      ::SetFocus(::GetDlgItem(m_hWnd, kPinEditId));
    }
    ::SetWindowTextW(m_hWnd, loadText(kIdsTitle).c_str());
    ::SetDlgItemTextW(m_hWnd, kPromptId, loadText(kIdsPrompt).c_str());
    ::SetDlgItemTextW(m_hWnd, IDOK, loadText(kIdsConfirm).c_str());
    ::SetDlgItemTextW(m_hWnd, IDCANCEL, loadText(kIdsCancel).c_str());
  } catch (...) {
    // The dialog stays usable without its texts.
  }
  return 0;  // the focus is set here
}

LRESULT CIKEYLoginDlg::OnShowWindow(UINT, WPARAM, LPARAM, BOOL& bHandled) {
  ::SetFocus(::GetDlgItem(m_hWnd, kPinEditId));
  bHandled = FALSE;
  return 0;
}

LRESULT CIKEYLoginDlg::OnPinCommand(WORD wNotifyCode, WORD, HWND, BOOL& bHandled) {
  if (wNotifyCode != EN_UPDATE) {
    bHandled = FALSE;
    return 0;
  }
  int length = m_pinModel.onUpdate(::GetDlgItem(m_hWnd, kPinEditId));
  if (PINLenLimit > 0 && length == PINLenLimit) ::SetFocus(::GetDlgItem(m_hWnd, IDOK));
  return 0;
}

LRESULT CIKEYLoginDlg::OnOK(WORD, WORD, HWND, BOOL&) {
  if (pin[0] == '\0') {
    ::MessageBoxW(m_hWnd, loadText(kIdsPrompt).c_str(), loadText(kIdsTitle).c_str(), MB_ICONHAND);
    ::SetFocus(::GetDlgItem(m_hWnd, kPinEditId));
  } else {
    EndDialog(IDOK);
  }
  return 0;
}

LRESULT CIKEYLoginDlg::OnCancel(WORD, WORD, HWND, BOOL&) {
  EndDialog(IDCANCEL);
  return 0;
}
