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

#include "platform/afx.h"
#include "signlib/ui/PinEditModel.h"

class CIKEYLoginDlg {
 public:
  enum { IDD = 102 };
  static constexpr int kPinEditId = 201;
  static constexpr int kSignerId = 203;
  static constexpr int kPromptId = 205;
  static constexpr UINT kIdsTitle = 107;
  static constexpr UINT kIdsPrompt = 108;
  static constexpr UINT kIdsCancel = 109;
  static constexpr UINT kIdsConfirm = 2509;

  CIKEYLoginDlg();
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                    DWORD dwMsgMapID = 0);
  virtual ~CIKEYLoginDlg();
  CIKEYLoginDlg(const CIKEYLoginDlg&) = delete;
  CIKEYLoginDlg& operator=(const CIKEYLoginDlg&) = delete;

  // IDOK or IDCANCEL; -1 when the template cannot be found.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

  char pin[PinEditModel::kPinSize];  // the PIN typed so far, thread ANSI code page
  const char* certificate = nullptr;  // Base64 text, borrowed
  int PINLenLimit = 0;                // 0 or below: no limit
  HWND m_hWnd = nullptr;              // while the dialog runs

 private:
  static INT_PTR dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void onInitDialog(HWND hWnd);
  PinEditModel m_pinModel;
};
