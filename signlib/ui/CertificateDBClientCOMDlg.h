// CCertificateDBClientCOMDlg: the certificate chooser (dialog 104), one list
// row per candidate. Row i always shows candidate i, so the selected row's
// index is the candidate's index; a candidate that cannot be read gets an
// empty row that cannot be chosen. After IDOK chosenIndex holds the choice.
//
// A hosting-kind dialog: its messages go through ProcessWindowMessage, and
// DoModal runs the template from the framework's resource module
// (AfxGetResourceHandle) in the thread's UI language.
#pragma once

#include "platform/afx.h"
#include "platform/crypt.h"

class CCertificateDBClientCOMDlg {
 public:
  enum { IDD = 104 };
  static constexpr int kListId = 211;

  CCertificateDBClientCOMDlg();
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                    DWORD dwMsgMapID = 0);
  virtual ~CCertificateDBClientCOMDlg();
  CCertificateDBClientCOMDlg(const CCertificateDBClientCOMDlg&) = delete;
  CCertificateDBClientCOMDlg& operator=(const CCertificateDBClientCOMDlg&) = delete;

  // IDOK, IDCANCEL, or -1 when the dialog cannot be made.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

  PCCERT_CONTEXT* candidates = nullptr;  // borrowed, in the order the store client found them
  int candidateCount = 0;
  int chosenIndex = -1;
  BYTE blockExpired = 1;
  HWND m_hWnd = nullptr;  // while the dialog runs

  LRESULT OnInitDialog();
  void OnOK();
  void OnCancel();
  // 0, or 99 after an unexpected failure (reported in a message box).
  int init_CertInfo2ListCtrl();

 private:
  static INT_PTR dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void clearSelection();
  void inform(UINT textId);
  CListCtrl m_list;
};
