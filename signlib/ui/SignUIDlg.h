// CSignUIDlg: shows the text that is about to be signed (dialog 106) and
// reports whether the user signs (IDOK) or refuses (IDCANCEL). It only shows
// the text; the opener turns IDCANCEL into "user cancel".
//
// A hosting-kind dialog: its messages go through ProcessWindowMessage, and
// DoModal runs the template from the framework's resource module
// (AfxGetResourceHandle) in the thread's UI language.
#pragma once

#include "platform/afx.h"

class CSignUIDlg {
 public:
  enum { IDD = 106 };
  static constexpr int kDataEditId = 352;

  CSignUIDlg();
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                    DWORD dwMsgMapID = 0);
  virtual ~CSignUIDlg();
  CSignUIDlg(const CSignUIDlg&) = delete;
  CSignUIDlg& operator=(const CSignUIDlg&) = delete;

  // Keeps a copy of the text (8-bit, the user's ANSI code page); null clears it.
  // Returns false when the copy cannot be made.
  bool setDataText(const char* text);

  // IDOK or IDCANCEL; -1 when the dialog cannot be made.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

  char* dataText = nullptr;  // owned
  HWND m_hWnd = nullptr;     // while the dialog runs

 private:
  static INT_PTR dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
};
