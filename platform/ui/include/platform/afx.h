// A thin dialog-class framework over the ui family, so that dialogs read like
// ordinary Windows dialog classes: CWnd with virtual message handlers in place
// of message maps, CDialog with DoModal/OnInitDialog/OnOK/OnCancel and
// PreTranslateMessage, control classes, and GDI wrappers.
//
// Messages reach a CWnd through WindowProc -> OnWndMsg, which calls the
// virtual handler for the message; every default handler passes the message
// on to the window's previous procedure (Default()). Notifications from
// controls are offered to the control's own object first (OnChildNotify:
// owner drawing, WM_COMMAND, WM_NOTIFY). Control colours are asked in a fixed
// order: the parent's OnCtlColor, whose base version takes the default colours
// (Default()) and then lets the control's reflected handler CtlColor replace
// them when it returns a brush.
//
// Wrappers handed out for handles the program did not wrap itself
// (FromHandle, SelectObject's previous object) are temporary: they live until
// the outermost message handler returns.
#pragma once

#include <string>

#include "platform/resources.h"
#include "platform/ui.h"

struct __POSITION;
using POSITION = __POSITION*;

constexpr UINT CTLCOLOR_MSGBOX = 0;
constexpr UINT CTLCOLOR_EDIT = 1;
constexpr UINT CTLCOLOR_LISTBOX = 2;
constexpr UINT CTLCOLOR_BTN = 3;
constexpr UINT CTLCOLOR_DLG = 4;
constexpr UINT CTLCOLOR_SCROLLBAR = 5;
constexpr UINT CTLCOLOR_STATIC = 6;

class CDC;
class CWnd;

class CRect : public RECT {
 public:
  CRect() : RECT{0, 0, 0, 0} {}
  CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
  CRect(const RECT& r) : RECT(r) {}  // NOLINT: converts as its model does
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  void DeflateRect(int x, int y) { ::InflateRect(this, -x, -y); }
  void InflateRect(int x, int y) { ::InflateRect(this, x, y); }
  void OffsetRect(int x, int y) { ::OffsetRect(this, x, y); }
  BOOL PtInRect(POINT p) const { return ::PtInRect(this, p); }
  operator LPRECT() { return this; }
  operator LPCRECT() const { return this; }
};

// ---- GDI wrappers ----
class CGdiObject {
 public:
  HGDIOBJ m_hObject = nullptr;
  CGdiObject() = default;
  CGdiObject(const CGdiObject&) = delete;
  CGdiObject& operator=(const CGdiObject&) = delete;
  virtual ~CGdiObject();
  BOOL Attach(HGDIOBJ object);
  HGDIOBJ Detach();
  BOOL DeleteObject();
  HGDIOBJ GetSafeHandle() const { return m_hObject; }
  operator HGDIOBJ() const { return m_hObject; }
  // A temporary wrapper that does not own the object.
  static CGdiObject* FromHandle(HGDIOBJ object);

 protected:
  bool m_owned = true;
  friend class CDC;
};

class CPen : public CGdiObject {
 public:
  CPen() = default;
  CPen(int style, int width, COLORREF color) { CreatePen(style, width, color); }
  BOOL CreatePen(int style, int width, COLORREF color);
};

class CBrush : public CGdiObject {
 public:
  CBrush() = default;
  explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
  BOOL CreateSolidBrush(COLORREF color);
  static CBrush* FromHandle(HBRUSH brush);
};

class CFont : public CGdiObject {
 public:
  BOOL CreateFontIndirect(const LOGFONTW* font);
  BOOL CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic, BYTE underline,
                  BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision, BYTE quality,
                  BYTE pitchAndFamily, LPCWSTR face);
  int GetLogFont(LOGFONTW* font) const;
  static CFont* FromHandle(HFONT font);
};

class CBitmap : public CGdiObject {
 public:
  BOOL CreateCompatibleBitmap(CDC* dc, int width, int height);
  // From the framework's resource module (AfxGetResourceHandle).
  BOOL LoadBitmap(UINT id);
  int GetBitmap(BITMAP* info) const;
  static CBitmap* FromHandle(HBITMAP bitmap);
};

class CDC {
 public:
  HDC m_hDC = nullptr;
  CDC() = default;
  CDC(const CDC&) = delete;
  CDC& operator=(const CDC&) = delete;
  virtual ~CDC();
  BOOL CreateCompatibleDC(CDC* dc);
  BOOL DeleteDC();
  BOOL Attach(HDC hdc);
  HDC Detach();
  HDC GetSafeHdc() const { return m_hDC; }
  operator HDC() const { return m_hDC; }
  static CDC* FromHandle(HDC hdc);

  CGdiObject* SelectObject(CGdiObject* object);
  CPen* SelectObject(CPen* pen) { return static_cast<CPen*>(selectAs(pen, 0)); }
  CBrush* SelectObject(CBrush* brush) { return static_cast<CBrush*>(selectAs(brush, 1)); }
  CFont* SelectObject(CFont* font) { return static_cast<CFont*>(selectAs(font, 2)); }
  CBitmap* SelectObject(CBitmap* bitmap) { return static_cast<CBitmap*>(selectAs(bitmap, 3)); }
  CGdiObject* SelectStockObject(int index);

  COLORREF SetTextColor(COLORREF c) { return ::SetTextColor(m_hDC, c); }
  COLORREF SetBkColor(COLORREF c) { return ::SetBkColor(m_hDC, c); }
  int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
  POINT MoveTo(int x, int y);
  BOOL LineTo(int x, int y) { return ::LineTo(m_hDC, x, y); }
  COLORREF SetPixel(int x, int y, COLORREF c) { return ::SetPixel(m_hDC, x, y, c); }
  COLORREF GetPixel(int x, int y) const { return ::GetPixel(m_hDC, x, y); }
  BOOL Rectangle(int l, int t, int r, int b) { return ::Rectangle(m_hDC, l, t, r, b); }
  BOOL Rectangle(LPCRECT r) { return ::Rectangle(m_hDC, r->left, r->top, r->right, r->bottom); }
  void FillRect(LPCRECT r, CBrush* brush) { ::FillRect(m_hDC, r, brush ? brush->m_hObject : nullptr); }
  void FillSolidRect(LPCRECT r, COLORREF color);
  void FrameRect(LPCRECT r, CBrush* brush) { ::FrameRect(m_hDC, r, brush ? brush->m_hObject : nullptr); }
  void DrawFocusRect(LPCRECT r) { ::DrawFocusRect(m_hDC, r); }
  BOOL DrawFrameControl(LPRECT r, UINT type, UINT state) { return ::DrawFrameControl(m_hDC, r, type, state); }
  BOOL DrawEdge(LPRECT r, UINT edge, UINT flags) { return ::DrawEdge(m_hDC, r, edge, flags); }
  int DrawText(const std::u16string& text, LPRECT r, UINT format) {
    return ::DrawTextW(m_hDC, text.c_str(), static_cast<int>(text.size()), r, format);
  }
  int DrawText(LPCWSTR text, int count, LPRECT r, UINT format) { return ::DrawTextW(m_hDC, text, count, r, format); }
  BOOL TextOut(int x, int y, const std::u16string& text) {
    return ::TextOutW(m_hDC, x, y, text.c_str(), static_cast<int>(text.size()));
  }
  BOOL TextOut(int x, int y, LPCWSTR text, int count) { return ::TextOutW(m_hDC, x, y, text, count); }
  BOOL BitBlt(int x, int y, int w, int h, CDC* src, int sx, int sy, DWORD rop) {
    return ::BitBlt(m_hDC, x, y, w, h, src ? src->m_hDC : nullptr, sx, sy, rop);
  }
  SIZE GetTextExtent(const std::u16string& text) const;
  BOOL GetTextMetrics(TEXTMETRICW* tm) const { return ::GetTextMetricsW(m_hDC, tm); }

 protected:
  CGdiObject* selectAs(CGdiObject* object, int kind);
  bool m_owned = false;  // made by CreateCompatibleDC
};

class CPaintDC : public CDC {
 public:
  explicit CPaintDC(CWnd* wnd);
  ~CPaintDC() override;
  PAINTSTRUCT m_ps{};

 private:
  HWND m_hWnd;
};

class CClientDC : public CDC {
 public:
  explicit CClientDC(CWnd* wnd);
  ~CClientDC() override;

 private:
  HWND m_hWnd;
};

// ---- windows ----
class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_bSaveAndValidate(saveAndValidate), m_pDlgWnd(dialog) {}
  BOOL m_bSaveAndValidate;
  CWnd* m_pDlgWnd;
};

class CWnd {
 public:
  HWND m_hWnd = nullptr;
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  // Destroys a window still attached (a modeless dialog that outlived its use).
  virtual ~CWnd();

  operator HWND() const { return m_hWnd; }
  HWND GetSafeHwnd() const { return m_hWnd; }
  static CWnd* FromHandle(HWND hwnd);           // a temporary wrapper when none is attached
  static CWnd* FromHandlePermanent(HWND hwnd);  // the attached object, or null
  BOOL Attach(HWND hwnd);
  HWND Detach();
  // Routes the window's messages through this object.
  BOOL SubclassWindow(HWND hwnd);
  BOOL SubclassDlgItem(UINT id, CWnd* parent);
  HWND UnsubclassWindow();
  virtual BOOL DestroyWindow();

  void SetWindowText(LPCWSTR text) { ::SetWindowTextW(m_hWnd, text); }
  void SetWindowText(const std::u16string& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
  std::u16string GetWindowText() const;
  int GetWindowText(LPWSTR buffer, int max) const { return ::GetWindowTextW(m_hWnd, buffer, max); }
  int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
  CWnd* GetDlgItem(int id) const;
  int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
  void SetDlgItemText(int id, LPCWSTR text) { ::SetDlgItemTextW(m_hWnd, id, text); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
  static CWnd* GetFocus() { return FromHandle(::GetFocus()); }
  static CWnd* GetActiveWindow() { return FromHandle(::GetActiveWindow()); }
  CWnd* GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageW(m_hWnd, msg, wParam, lParam);
  }
  BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::PostMessageW(m_hWnd, msg, wParam, lParam);
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc = nullptr) { return ::SetTimer(m_hWnd, id, elapse, proc); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  // A null caption gives the application's name (AfxGetAppName).
  int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK);
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)); }
  BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
  BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT flags = 0);
  void GetClientRect(LPRECT r) const { ::GetClientRect(m_hWnd, r); }
  void GetWindowRect(LPRECT r) const { ::GetWindowRect(m_hWnd, r); }
  void MoveWindow(int x, int y, int w, int h, BOOL repaint = TRUE) { ::MoveWindow(m_hWnd, x, y, w, h, repaint); }
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void UpdateWindow() { ::UpdateWindow(m_hWnd); }
  CDC* GetDC();
  int ReleaseDC(CDC* dc);
  void SetFont(CFont* font, BOOL redraw = TRUE);
  CFont* GetFont() const;
  // Runs DoDataExchange: TRUE copies the controls into the fields, FALSE the fields into the controls.
  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  // ---- message handling ----
  virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual BOOL OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);
  virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  // Sees messages of this window before dispatch (in a framework dialog's
  // modal loop); TRUE consumes the message.
  virtual BOOL PreTranslateMessage(MSG* msg);
  virtual void DoDataExchange(CDataExchange* dx);
  // The current message passed to the previous window procedure.
  LRESULT Default();

 protected:
  // Handlers; each default passes the message on with Default().
  virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);  // FALSE: not handled
  virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* result);
  // Notifications offered to the control that sent them; TRUE when handled.
  virtual BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);
  // The control's own (reflected) control-colour handler; null: not handled.
  virtual HBRUSH CtlColor(CDC* dc, UINT ctlColor);
  virtual HBRUSH OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor);
  virtual void OnDrawItem(int id, LPDRAWITEMSTRUCT item);
  virtual int OnCreate(LPCREATESTRUCTW cs);
  virtual void OnDestroy();
  virtual void OnClose();
  virtual void OnPaint();
  virtual BOOL OnEraseBkgnd(CDC* dc);
  virtual void OnTimer(UINT_PTR id);
  virtual void OnShowWindow(BOOL show, UINT status);
  virtual void OnSetFocus(CWnd* old);
  virtual void OnKillFocus(CWnd* next);
  virtual void OnKeyDown(UINT vk, UINT repeat, UINT flags);
  virtual void OnChar(UINT ch, UINT repeat, UINT flags);
  virtual void OnLButtonDown(UINT flags, POINT point);
  virtual void OnLButtonUp(UINT flags, POINT point);
  virtual void OnCancelMode();
  virtual void PostNcDestroy();

  WNDPROC m_pfnSuper = nullptr;
  friend LRESULT AfxWndProc(HWND, UINT, WPARAM, LPARAM);
  friend BOOL AfxPreTranslate(HWND, MSG*, void*);
  friend INT_PTR AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

LRESULT AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT idTemplate, CWnd* parent = nullptr);
  CDialog();
  // A template in memory instead of a resource (for modal or modeless use).
  BOOL InitModalIndirect(LPCDLGTEMPLATEW dlgTemplate, CWnd* parent = nullptr);
  // Runs the dialog modally; owner: the parent, else the active window.
  // Returns the end code, or -1 when the dialog could not be made.
  virtual INT_PTR DoModal();
  // Modeless: made (and initialised) now; shown only if its template says so.
  BOOL Create(UINT idTemplate, CWnd* parent = nullptr);
  BOOL CreateIndirect(LPCDLGTEMPLATEW dlgTemplate, CWnd* parent = nullptr);
  void EndDialog(int result);

  virtual BOOL OnInitDialog();  // UpdateData(FALSE); TRUE
  virtual void OnOK();          // UpdateData(TRUE), then EndDialog(IDOK)
  virtual void OnCancel();      // EndDialog(IDCANCEL)
  BOOL PreTranslateMessage(MSG* msg) override;

  UINT m_nIDTemplate = 0;
  CWnd* m_pParentWnd = nullptr;

 protected:
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  LPCDLGTEMPLATEW m_lpDialogTemplate = nullptr;
  friend INT_PTR AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

// ---- controls ----
class CButton : public CWnd {
 public:
  // Owner-drawn buttons paint here (WM_DRAWITEM, offered to the button).
  virtual void DrawItem(LPDRAWITEMSTRUCT item);
  HBITMAP SetBitmap(HBITMAP bitmap) {
    return reinterpret_cast<HBITMAP>(SendMessage(BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  }
  HBITMAP GetBitmap() { return reinterpret_cast<HBITMAP>(SendMessage(BM_GETIMAGE, IMAGE_BITMAP, 0)); }
  UINT GetState() { return static_cast<UINT>(SendMessage(BM_GETSTATE)); }
  void SetState(BOOL pushed) { SendMessage(BM_SETSTATE, pushed); }
  UINT GetButtonStyle() const { return GetStyle() & 0xFFFF; }
  void SetButtonStyle(UINT style, BOOL redraw = TRUE) { SendMessage(BM_SETSTYLE, style, redraw); }

 protected:
  BOOL OnChildNotify(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
};

class CEdit : public CWnd {
 public:
  void SetSel(int start, int end, BOOL noScroll = FALSE);
  void GetSel(int& start, int& end) const;
  void ReplaceSel(LPCWSTR text, BOOL canUndo = FALSE) {
    SendMessage(EM_REPLACESEL, canUndo, reinterpret_cast<LPARAM>(text));
  }
  void Clear() { SendMessage(WM_CLEAR); }
  void Copy() { SendMessage(WM_COPY); }
  void Cut() { SendMessage(WM_CUT); }
  void Paste() { SendMessage(WM_PASTE); }
  void SetLimitText(UINT max) { SendMessage(EM_LIMITTEXT, max); }
  void LimitText(int max = 0) { SendMessage(EM_LIMITTEXT, static_cast<WPARAM>(max)); }
  UINT GetLimitText() { return static_cast<UINT>(SendMessage(EM_GETLIMITTEXT)); }
  void SetPasswordChar(WCHAR ch) { SendMessage(EM_SETPASSWORDCHAR, ch); }
  WCHAR GetPasswordChar() { return static_cast<WCHAR>(SendMessage(EM_GETPASSWORDCHAR)); }
  BOOL SetReadOnly(BOOL readOnly = TRUE) { return static_cast<BOOL>(SendMessage(EM_SETREADONLY, readOnly)); }
  BOOL LineScroll(int lines, int chars = 0) { return static_cast<BOOL>(SendMessage(EM_LINESCROLL, chars, lines)); }
  int GetLineCount() { return static_cast<int>(SendMessage(EM_GETLINECOUNT)); }
  int GetFirstVisibleLine() { return static_cast<int>(SendMessage(EM_GETFIRSTVISIBLELINE)); }
};

class CStatic : public CWnd {
 public:
  HBITMAP SetBitmap(HBITMAP bitmap) {
    return reinterpret_cast<HBITMAP>(SendMessage(STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  }
  HBITMAP GetBitmap() { return reinterpret_cast<HBITMAP>(SendMessage(STM_GETIMAGE, IMAGE_BITMAP, 0)); }
};

class CListCtrl : public CWnd {
 public:
  int InsertColumn(int column, LPCWSTR heading, int format = LVCFMT_LEFT, int width = -1, int subItem = -1);
  int InsertColumn(int column, const LVCOLUMNW* column_info);
  int InsertItem(int item, LPCWSTR text);
  int InsertItem(const LVITEMW* item);
  BOOL SetItemText(int item, int subItem, LPCWSTR text);
  std::u16string GetItemText(int item, int subItem) const;
  BOOL DeleteItem(int item) { return static_cast<BOOL>(SendMessage(LVM_DELETEITEM, item)); }
  BOOL DeleteAllItems() { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }
  int GetItemCount() const;
  UINT GetSelectedCount() const;
  // Positions are item index + 1; NULL after the last selected item.
  POSITION GetFirstSelectedItemPosition() const;
  int GetNextSelectedItem(POSITION& pos) const;
  int GetNextItem(int item, int flags) const;
  BOOL SetItemState(int item, UINT state, UINT mask);
  UINT GetItemState(int item, UINT mask) const;
  DWORD SetExtendedStyle(DWORD style) {
    return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style));
  }
  DWORD GetExtendedStyle() { return static_cast<DWORD>(SendMessage(LVM_GETEXTENDEDLISTVIEWSTYLE)); }
  BOOL EnsureVisible(int item, BOOL partialOk) {
    return static_cast<BOOL>(SendMessage(LVM_ENSUREVISIBLE, item, partialOk));
  }
  int GetColumnWidth(int column) { return static_cast<int>(SendMessage(LVM_GETCOLUMNWIDTH, column)); }
  BOOL SetColumnWidth(int column, int width) {
    return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)));
  }
  int GetSelectionMark() { return static_cast<int>(SendMessage(LVM_GETSELECTIONMARK)); }
};

// ---- framework globals ----
// The module whose resources DoModal, Create and CBitmap::LoadBitmap read
// (null: the main program).
HINSTANCE AfxGetResourceHandle();
void AfxSetResourceHandle(HINSTANCE instance);
LPCWSTR AfxGetAppName();
void AfxSetAppName(LPCWSTR name);
int AfxMessageBox(LPCWSTR text, UINT type = MB_OK);
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
void DDX_Text(CDataExchange* dx, int id, std::u16string& value);
