// Dialog classes of the hosting kind: a class names its template with a
// class constant `IDD`, answers its messages through a message map, and
// derives from CDialogImpl<itself>, whose DoModal runs template IDD from the
// framework's resource module (AfxGetResourceHandle) in the thread's UI
// language, owned by the given window.
//
//   class CAskDlg : public CDialogImpl<CAskDlg> {
//    public:
//     enum { IDD = 106 };
//     BEGIN_MSG_MAP(CAskDlg)
//       MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
//       COMMAND_ID_HANDLER(IDOK, OnOK)
//     END_MSG_MAP()
//     LRESULT OnInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
//     LRESULT OnOK(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled);
//   };
//
// The message map is the virtual ProcessWindowMessage, so a derived class
// may put its own in front and call its base's. The first entry that takes
// the message answers it; a handler that clears bHandled lets the entries
// after it look. A message no entry takes goes to the dialog manager's
// default handling. The WM_INITDIALOG result is the dialog procedure's own
// return (non-zero: the focus goes to the first tab stop); any other answered
// message's result becomes its DWLP_MSGRESULT.
#pragma once

#include "platform/afx.h"

// The side of a window class that its message map writes.
class CMessageMap {
 public:
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                    DWORD dwMsgMapID = 0) = 0;
  virtual ~CMessageMap() = default;
};

// What every CDialogImpl shares, whatever its template.
class CDialogImplBase : public CMessageMap {
 public:
  CDialogImplBase() = default;
  CDialogImplBase(const CDialogImplBase&) = delete;
  CDialogImplBase& operator=(const CDialogImplBase&) = delete;

  BOOL EndDialog(int nRetCode) { return ::EndDialog(m_hWnd, nRetCode); }

  HWND m_hWnd = nullptr;  // while the dialog runs

 protected:
  // Runs template `templateId` of the framework's resource module modally;
  // the end code, or -1 when the dialog cannot be made.
  INT_PTR RunModal(UINT templateId, HWND hWndParent);
  // Called once the window is gone (after WM_NCDESTROY, m_hWnd already null).
  virtual void OnFinalMessage(HWND hWnd);

 private:
  static INT_PTR DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
};

template <class T>
class CDialogImpl : public CDialogImplBase {
 public:
  // The end code (EndDialog's), or -1 when the dialog cannot be made.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow()) { return RunModal(T::IDD, hWndParent); }
};

// ---- message maps ----
#define BEGIN_MSG_MAP(theClass)                                                                   \
 public:                                                                                          \
  BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, \
                            DWORD dwMsgMapID = 0) override {                                      \
    static_cast<void>(hWnd);                                                                      \
    static_cast<void>(uMsg);                                                                      \
    static_cast<void>(wParam);                                                                    \
    static_cast<void>(lParam);                                                                    \
    static_cast<void>(lResult);                                                                   \
    BOOL bHandled = TRUE;                                                                         \
    static_cast<void>(bHandled);                                                                  \
    if (dwMsgMapID == 0) {
// LRESULT func(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled)
#define MESSAGE_HANDLER(msg, func)                  \
  if (uMsg == (msg)) {                              \
    bHandled = TRUE;                                \
    lResult = func(uMsg, wParam, lParam, bHandled); \
    if (bHandled) return TRUE;                      \
  }
// LRESULT func(WORD wNotifyCode, WORD wID, HWND hWndCtl, BOOL& bHandled), for WM_COMMAND from control `id`
#define COMMAND_ID_HANDLER(id, func)                                                          \
  if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                                         \
    bHandled = TRUE;                                                                          \
    lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
    if (bHandled) return TRUE;                                                                \
  }
#define END_MSG_MAP() \
  }                   \
  return FALSE;       \
  }
