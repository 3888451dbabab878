// CIKEYLoginDlg: the card login dialog (template 102) of the signature
// control's build: it shows who signs (subject, then the issuer in round
// brackets), takes the PIN in one edit held to PINLenLimit, moves the focus to
// Confirm when the PIN reaches the limit, refuses to finish with an empty PIN
// and hands the PIN back. Its edit rules are the token login dialog's
// (PinEditModel).
//
// The opener sets certificate and PINLenLimit, runs DoModal and, on IDOK,
// copies pin; pin is wiped when the object goes.
#pragma once

#include "platform/dialogimpl.h"
#include "signlib/ui/PinEditModel.h"

class CIKEYLoginDlg : public CDialogImpl<CIKEYLoginDlg> {
 public:
  enum { IDD = 102 };
  static constexpr int kPinEditId = 201;
  static constexpr int kSignerId = 203;
  static constexpr int kPromptId = 205;
  static constexpr UINT kIdsTitle = 107;
  static constexpr UINT kIdsPrompt = 108;
  static constexpr UINT kIdsCancel = 109;
  static constexpr UINT kIdsConfirm = 2509;

  BEGIN_MSG_MAP(CIKEYLoginDlg)
  MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
  MESSAGE_HANDLER(WM_SHOWWINDOW, OnShowWindow)
  COMMAND_ID_HANDLER(kPinEditId, OnPinCommand)
  COMMAND_ID_HANDLER(IDOK, OnOK)
  COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
  END_MSG_MAP()

  // DoModal: IDOK or IDCANCEL; -1 when the template cannot be found.
  CIKEYLoginDlg();
  ~CIKEYLoginDlg() override;

  // Signer line and texts; the focus goes to the PIN edit (result 0).
  LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  // The focus to the PIN edit, then the default handling.
  LRESULT OnShowWindow(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  // EN_UPDATE of the PIN edit: the edit rules; at the limit the focus moves to Confirm.
  LRESULT OnPinCommand(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
  // An empty PIN is refused with a message box; otherwise the dialog ends with IDOK.
  LRESULT OnOK(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
  LRESULT OnCancel(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);

  char pin[PinEditModel::kPinSize];   // the PIN typed so far, thread ANSI code page
  const char* certificate = nullptr;  // Base64 text, borrowed
  int PINLenLimit = 0;                // 0 or below: no limit

 private:
  PinEditModel m_pinModel;
};
