// CCertificateDBClientCOMDlg: the certificate chooser (dialog 104), one list
// row per candidate. Row i always shows candidate i, so the selected row's
// index is the candidate's index; a candidate that cannot be read gets an
// empty row that cannot be chosen. After IDOK chosenIndex holds the choice.
//
// A hosting-kind dialog (CDialogImpl): DoModal runs template IDD from the
// framework's resource module (AfxGetResourceHandle) in the thread's UI
// language and returns IDOK, IDCANCEL, or -1 when the dialog cannot be made.
#pragma once

#include "platform/crypt.h"
#include "platform/dialogimpl.h"

class CCertificateDBClientCOMDlg : public CDialogImpl<CCertificateDBClientCOMDlg> {
 public:
  enum { IDD = 104 };
  static constexpr int kListId = 211;

  BEGIN_MSG_MAP(CCertificateDBClientCOMDlg)
  MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
  COMMAND_ID_HANDLER(IDOK, OnOK)
  COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
  MESSAGE_HANDLER(WM_CANCELMODE, OnCancelMode)
  END_MSG_MAP()

  CCertificateDBClientCOMDlg();
  ~CCertificateDBClientCOMDlg() override;

  PCCERT_CONTEXT* candidates = nullptr;  // borrowed, in the order the store client found them
  int candidateCount = 0;
  int chosenIndex = -1;
  BYTE blockExpired = 1;

  LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  LRESULT OnOK(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
  LRESULT OnCancel(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
  // Answered with 0 and not passed on.
  LRESULT OnCancelMode(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
  // 0, or 99 after an unexpected failure (reported in a message box).
  int init_CertInfo2ListCtrl();

 protected:
  // The list lets go of its window with the dialog's.
  void OnFinalMessage(HWND hWnd) override;

 private:
  void clearSelection();
  void inform(UINT textId);
  CListCtrl m_list;
};
