// CSignUIDlg: shows the text that is about to be signed (dialog 106) and
// reports whether the user signs (IDOK) or refuses (IDCANCEL). It only shows
// the text; the opener turns IDCANCEL into "user cancel".
//
// A hosting-kind dialog (CDialogImpl): DoModal runs template IDD from the
// framework's resource module (AfxGetResourceHandle) in the thread's UI
// language and returns IDOK or IDCANCEL, or -1 when the dialog cannot be made.
#pragma once

#include "platform/dialogimpl.h"

class CSignUIDlg : public CDialogImpl<CSignUIDlg> {
 public:
  enum { IDD = 106 };
  static constexpr int kDataEditId = 352;

  BEGIN_MSG_MAP(CSignUIDlg)
  MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
  COMMAND_ID_HANDLER(IDOK, OnEnd)
  COMMAND_ID_HANDLER(IDCANCEL, OnEnd)
  END_MSG_MAP()

  // The template and its data field: the library's (106, 352) unless a
  // deliverable names its own.
  explicit CSignUIDlg(UINT templateId = IDD, int dataEditId = kDataEditId);
  ~CSignUIDlg() override;

  // Runs the template this object was given.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow()) { return RunModal(m_templateId, hWndParent); }

  // Keeps a copy of the text (8-bit, the user's ANSI code page); null clears it.
  // Returns false when the copy cannot be made.
  bool setDataText(const char* text);

  char* dataText = nullptr;  // owned

  // Edit 352 shows dataText; 1: the focus goes to the first tab stop, the Sign button.
  LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  // Sign (IDOK) or Cancel (IDCANCEL) ends the dialog with that button's id.
  LRESULT OnEnd(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);

 private:
  UINT m_templateId;
  int m_dataEditId;
};
