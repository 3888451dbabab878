// CTokenInOutDlg: the small window (dialog 107) that asks the user to pull the
// token out (phase 0) or put it in (phase 1), polls the token probe once a
// second, counts down and ends with 0 when the asked-for change was seen, 62
// when the time ran out, or 28 when the user closed the window. The opener
// runs it twice on the same object, phase 0 then phase 1; moduleName is the
// module the opener's probe loaded, and the probe is called with this object
// as its caller.
#pragma once

#include "platform/afx.h"

class CTokenInOutDlg {
 public:
  enum { IDD = 107 };
  static constexpr int kInstructionId = 311;
  static constexpr int kCountdownId = 313;
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr UINT kTickMs = 1000;
  static constexpr int kSeconds = 60;

  CTokenInOutDlg();
  virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                    DWORD dwMsgMapID = 0);
  virtual ~CTokenInOutDlg();
  CTokenInOutDlg(const CTokenInOutDlg&) = delete;
  CTokenInOutDlg& operator=(const CTokenInOutDlg&) = delete;

  // 0 (change seen), 62 (time-out), 28 (closed by the user); -1 when the
  // dialog cannot be made.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow());

  int countdown = kSeconds;  // seconds left
  int phase = 0;             // 0: pull out; 1: insert
  char moduleName[256] = {};  // filled by the token probe's load step
  HWND m_hWnd = nullptr;      // while the dialog runs

  LRESULT onInitDialog();
  LRESULT onTimer();

 private:
  static INT_PTR dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void finish(UINT textId, int code);
};
