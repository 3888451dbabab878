// CTokenInOutDlg: the small window (dialog 107) that asks the user to pull the
// token out (phase 0) or put it in (phase 1), polls the token probe once a
// second, counts down and ends with 0 when the asked-for change was seen, 62
// when the time ran out, or 28 when the user closed the window. The opener
// runs it twice on the same object, phase 0 then phase 1; moduleName is the
// module the opener's probe loaded, and the probe is called with this object
// as its caller.
#pragma once

#include "platform/dialogimpl.h"
#include "signlib/ResultCode.h"

class CTokenInOutDlg : public CDialogImpl<CTokenInOutDlg> {
 public:
  enum { IDD = 107 };
  static constexpr int kInstructionId = 311;
  static constexpr int kCountdownId = 313;
  static constexpr UINT_PTR kTimerId = 1;
  static constexpr UINT kTickMs = 1000;
  static constexpr int kSeconds = 60;

  // No WM_COMMAND is handled: Enter and Escape do nothing here.
  BEGIN_MSG_MAP(CTokenInOutDlg)
  MESSAGE_HANDLER(WM_INITDIALOG, onInitDialog)
  MESSAGE_HANDLER(WM_TIMER, onTimer)
  MESSAGE_HANDLER(WM_CLOSE, onClose)
  END_MSG_MAP()

  // DoModal ends with 0 (change seen), 62 (time-out) or 28 (closed by the
  // user); -1 when the dialog cannot be made.
  // The template, its two items, its texts and its time-out: the library's
  // unless a deliverable names its own.
  struct Resources {
    UINT templateId = IDD;
    int instructionId = kInstructionId;
    int countdownId = kCountdownId;
    UINT pullOut = 301, remainPrefix = 304, remainSuffix = 305, insert = 306, connected = 307, disconnected = 308,
         timeout = 309;
    int timeoutCode = rc::TOKEN_UNPLUG_TIMEOUT;
    // The countdown between the two texts (one int argument).
    const char* countdownFormat = " %03d ";
    // Phase 1 runs the probe's load step before each count (reopening its
    // session on the token just put in); without it only the count is asked.
    bool reloadInPhase1 = true;
  };

  CTokenInOutDlg();
  explicit CTokenInOutDlg(const Resources& resources);
  ~CTokenInOutDlg() override;

  // Runs the template this object was given.
  INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow()) { return RunModal(m_resources.templateId, hWndParent); }

  int countdown = kSeconds;   // seconds left
  int phase = 0;              // 0: pull out; 1: insert
  char moduleName[256] = {};  // filled by the token probe's load step

  LRESULT onInitDialog(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  // Any timer id: the message result is 0, or 62 when the time ran out.
  LRESULT onTimer(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);
  LRESULT onClose(UINT uMsg, WPARAM wParam, LPARAM lParam, BOOL& bHandled);

 private:
  void finish(UINT textId, int code);
  Resources m_resources;
};
