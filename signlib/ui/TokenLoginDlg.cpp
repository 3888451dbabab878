#include "signlib/ui/TokenLoginDlg.h"

#include "signlib/ui/DialogText.h"

#include <cctype>
#include <cstring>
#include <string>

#include <openssl/crypto.h>

#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "signlib/MyCertContext.h"

using dialogtext::loadText;
using dialogtext::widen;

namespace {

constexpr UINT kIdsEmptyPinCaption = 301;
constexpr UINT kIdsEmptyPinText = 302;
constexpr UINT kIdsCancel = 303;
constexpr UINT kIdsConfirm = 402;
constexpr UINT kIdsCapsLockNote = 464;

bool capsLockDown() {
  BYTE state[256] = {};
  if (!::GetKeyboardState(state)) return false;
  return state[VK_CAPITAL] != 0;
}

}  // namespace

CTokenLoginDlg::CTokenLoginDlg()
    : CDialog(IDD), pin{}, certificate(nullptr), PINLenLimit(0), m_pinModel(pin, PINLenLimit) {
  capsLockNote = loadText(kIdsCapsLockNote);
}

CTokenLoginDlg::~CTokenLoginDlg() { OPENSSL_cleanse(pin, sizeof pin); }

void CTokenLoginDlg::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, kPinEditId, m_pinEdit);
  DDX_Control(dx, kCertificateEditId, m_certificateEdit);
  DDX_Control(dx, kNoteId, m_noteStatic);
}

BOOL CTokenLoginDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  try {
    showCertificate();
    if (CWnd* ok = GetDlgItem(IDOK)) ok->SetWindowText(loadText(kIdsConfirm));
    if (CWnd* cancel = GetDlgItem(IDCANCEL)) cancel->SetWindowText(loadText(kIdsCancel));
    showCapsLockNote();
  } catch (...) {
    // The dialog stays usable without its texts.
  }
  return TRUE;
}

void CTokenLoginDlg::showCertificate() {
  CMyCertContext context;
  if (context.setCertContext(certificate, false, false) != rc::OK) return;
  const char* subject = context.getSubjectCN();
  const char* issuer = context.getIssuerCN();
  // Names have no length bound of their own, so the line is built to size.
  std::string names = std::string(subject ? subject : "") + "\r\n(" + (issuer ? issuer : "") + ")";
  m_certificateEdit.SetWindowText(widen(names.c_str()));
  m_pinEdit.SetFocus();
}

void CTokenLoginDlg::showCapsLockNote() { m_noteStatic.SetWindowText(capsLockDown() ? capsLockNote.c_str() : u""); }

BOOL CTokenLoginDlg::PreTranslateMessage(MSG* msg) {
  try {
    if (msg->message == WM_KEYDOWN) {
      WPARAM vk = msg->wParam;
      if (vk < 256 && std::isalpha(static_cast<int>(vk))) {
        // Give the keyboard a moment to report the toggle of the key just pressed.
        ::Sleep(100);
        showCapsLockNote();
      } else {
        m_noteStatic.SetWindowText(u"");
      }
    }
  } catch (...) {
  }
  return CDialog::PreTranslateMessage(msg);
}

BOOL CTokenLoginDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
  if (LOWORD(wParam) == kPinEditId && HIWORD(wParam) == EN_UPDATE) {
    OnPINUpdate();
    return TRUE;
  }
  return CDialog::OnCommand(wParam, lParam);
}

void CTokenLoginDlg::OnShowWindow(BOOL show, UINT status) {
  CDialog::OnShowWindow(show, status);
  if (m_pinEdit.m_hWnd != nullptr) m_pinEdit.SetFocus();
}

void CTokenLoginDlg::OnPINUpdate() { m_pinModel.onUpdate(m_pinEdit.m_hWnd); }

void CTokenLoginDlg::OnOK() {
  if (pin[0] == '\0') {
    try {
      MessageBox(loadText(kIdsEmptyPinText).c_str(), loadText(kIdsEmptyPinCaption).c_str(), MB_ICONERROR);
    } catch (...) {
    }
    m_pinEdit.SetFocus();
    return;
  }
  EndDialog(IDOK);
}
