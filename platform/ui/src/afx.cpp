// The dialog-class framework.
#include "platform/afx.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

// Windows that have an object of their own; guarded, since windows may be
// made while another thread looks one up.
std::mutex gMapMutex;
std::map<HWND, CWnd*> gPermanent;

// Temporary wrappers, released when the outermost handler returns.
struct Temporaries {
  std::map<HWND, std::unique_ptr<CWnd>> windows;
  std::map<HDC, std::unique_ptr<CDC>> dcs;
  std::map<HGDIOBJ, std::unique_ptr<CGdiObject>> objects;
};
thread_local Temporaries tTemps;
thread_local int tDepth = 0;

struct CurrentMessage {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};
thread_local CurrentMessage tCurrent{};

// The dialog object DoModal or Create is making; it takes the first message.
thread_local CDialog* tPendingDialog = nullptr;

HINSTANCE gResourceHandle = nullptr;
std::u16string gAppName;

void releaseTemporaries() {
  Temporaries dead;
  std::swap(dead.windows, tTemps.windows);
  std::swap(dead.dcs, tTemps.dcs);
  std::swap(dead.objects, tTemps.objects);
  for (auto& [h, w] : dead.windows) w->m_hWnd = nullptr;
  for (auto& [h, d] : dead.dcs) d->m_hDC = nullptr;
  for (auto& [h, o] : dead.objects) o->m_hObject = nullptr;
}

}  // namespace

HINSTANCE AfxGetResourceHandle() { return gResourceHandle; }
void AfxSetResourceHandle(HINSTANCE instance) { gResourceHandle = instance; }
LPCWSTR AfxGetAppName() { return gAppName.c_str(); }
void AfxSetAppName(LPCWSTR name) { gAppName = name ? name : u""; }
int AfxMessageBox(LPCWSTR text, UINT type) {
  HWND owner = ::GetActiveWindow();
  return ::MessageBoxW(owner, text, AfxGetAppName(), type);
}

// ---- GDI wrappers ----

CGdiObject::~CGdiObject() {
  if (m_owned) DeleteObject();
}
BOOL CGdiObject::Attach(HGDIOBJ object) {
  if (object == nullptr) return FALSE;
  m_hObject = object;
  return TRUE;
}
HGDIOBJ CGdiObject::Detach() {
  HGDIOBJ h = m_hObject;
  m_hObject = nullptr;
  return h;
}
BOOL CGdiObject::DeleteObject() {
  if (m_hObject == nullptr) return FALSE;
  BOOL ok = ::DeleteObject(m_hObject);
  m_hObject = nullptr;
  return ok;
}

namespace {
template <class T>
T* temporaryObject(HGDIOBJ h) {
  if (h == nullptr) return nullptr;
  auto& slot = tTemps.objects[h];
  if (!slot) {
    auto o = std::make_unique<T>();
    o->m_hObject = h;
    slot = std::move(o);
  }
  return static_cast<T*>(slot.get());
}
// Temporaries never own their object.
struct TempPen : CPen {
  TempPen() { m_owned = false; }
};
struct TempBrush : CBrush {
  TempBrush() { m_owned = false; }
};
struct TempFont : CFont {
  TempFont() { m_owned = false; }
};
struct TempBitmap : CBitmap {
  TempBitmap() { m_owned = false; }
};
struct TempObject : CGdiObject {
  TempObject() { m_owned = false; }
};
}  // namespace

CGdiObject* CGdiObject::FromHandle(HGDIOBJ object) { return temporaryObject<TempObject>(object); }

BOOL CPen::CreatePen(int style, int width, COLORREF color) { return Attach(::CreatePen(style, width, color)); }
BOOL CBrush::CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
CBrush* CBrush::FromHandle(HBRUSH brush) { return temporaryObject<TempBrush>(brush); }
BOOL CFont::CreateFontIndirect(const LOGFONTW* font) { return Attach(::CreateFontIndirectW(font)); }
BOOL CFont::CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic, BYTE underline,
                       BYTE strikeOut, BYTE charSet, BYTE outPrecision, BYTE clipPrecision, BYTE quality,
                       BYTE pitchAndFamily, LPCWSTR face) {
  return Attach(::CreateFontW(height, width, escapement, orientation, weight, italic, underline, strikeOut, charSet,
                              outPrecision, clipPrecision, quality, pitchAndFamily, face));
}
int CFont::GetLogFont(LOGFONTW* font) const { return ::GetObjectW(m_hObject, sizeof(LOGFONTW), font); }
CFont* CFont::FromHandle(HFONT font) { return temporaryObject<TempFont>(font); }
BOOL CBitmap::CreateCompatibleBitmap(CDC* dc, int width, int height) {
  return Attach(::CreateCompatibleBitmap(dc ? dc->m_hDC : nullptr, width, height));
}
BOOL CBitmap::LoadBitmap(UINT id) { return Attach(::LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id))); }
int CBitmap::GetBitmap(BITMAP* info) const { return ::GetObjectW(m_hObject, sizeof(BITMAP), info); }
CBitmap* CBitmap::FromHandle(HBITMAP bitmap) { return temporaryObject<TempBitmap>(bitmap); }

CDC::~CDC() {
  if (m_owned) DeleteDC();
}
BOOL CDC::CreateCompatibleDC(CDC* dc) {
  m_hDC = ::CreateCompatibleDC(dc ? dc->m_hDC : nullptr);
  m_owned = m_hDC != nullptr;
  return m_owned ? TRUE : FALSE;
}
BOOL CDC::DeleteDC() {
  if (m_hDC == nullptr) return FALSE;
  BOOL ok = ::DeleteDC(m_hDC);
  m_hDC = nullptr;
  m_owned = false;
  return ok;
}
BOOL CDC::Attach(HDC hdc) {
  m_hDC = hdc;
  return hdc != nullptr;
}
HDC CDC::Detach() {
  HDC h = m_hDC;
  m_hDC = nullptr;
  m_owned = false;
  return h;
}
CDC* CDC::FromHandle(HDC hdc) {
  if (hdc == nullptr) return nullptr;
  auto& slot = tTemps.dcs[hdc];
  if (!slot) {
    slot = std::make_unique<CDC>();
    slot->m_hDC = hdc;
  }
  return slot.get();
}
CGdiObject* CDC::selectAs(CGdiObject* object, int kind) {
  if (object == nullptr) return nullptr;
  HGDIOBJ old = ::SelectObject(m_hDC, object->m_hObject);
  switch (kind) {
    case 0: return temporaryObject<TempPen>(old);
    case 1: return temporaryObject<TempBrush>(old);
    case 2: return temporaryObject<TempFont>(old);
    case 3: return temporaryObject<TempBitmap>(old);
    default: return temporaryObject<TempObject>(old);
  }
}
CGdiObject* CDC::SelectObject(CGdiObject* object) { return selectAs(object, 4); }
CGdiObject* CDC::SelectStockObject(int index) {
  HGDIOBJ old = ::SelectObject(m_hDC, ::GetStockObject(index));
  return temporaryObject<TempObject>(old);
}
POINT CDC::MoveTo(int x, int y) {
  POINT p{0, 0};
  ::MoveToEx(m_hDC, x, y, &p);
  return p;
}
void CDC::FillSolidRect(LPCRECT r, COLORREF color) {
  HBRUSH b = ::CreateSolidBrush(color);
  ::FillRect(m_hDC, r, b);
  ::DeleteObject(b);
}
SIZE CDC::GetTextExtent(const std::u16string& text) const {
  SIZE s{0, 0};
  ::GetTextExtentPoint32W(m_hDC, text.c_str(), static_cast<int>(text.size()), &s);
  return s;
}

CPaintDC::CPaintDC(CWnd* wnd) : m_hWnd(wnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }
CPaintDC::~CPaintDC() {
  ::EndPaint(m_hWnd, &m_ps);
  m_hDC = nullptr;
}
CClientDC::CClientDC(CWnd* wnd) : m_hWnd(wnd ? wnd->m_hWnd : nullptr) { m_hDC = ::GetDC(m_hWnd); }
CClientDC::~CClientDC() {
  ::ReleaseDC(m_hWnd, m_hDC);
  m_hDC = nullptr;
}

// ---- CWnd ----

CWnd::~CWnd() {
  if (m_hWnd != nullptr && FromHandlePermanent(m_hWnd) == this) {
    HWND h = m_hWnd;
    if (::IsWindow(h)) ::DestroyWindow(h);
    Detach();
  }
}

CWnd* CWnd::FromHandlePermanent(HWND hwnd) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gPermanent.find(hwnd);
  return it == gPermanent.end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  if (CWnd* w = FromHandlePermanent(hwnd)) return w;
  auto& slot = tTemps.windows[hwnd];
  if (!slot) {
    slot = std::make_unique<CWnd>();
    slot->m_hWnd = hwnd;
  }
  return slot.get();
}

BOOL CWnd::Attach(HWND hwnd) {
  if (hwnd == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(gMapMutex);
  gPermanent[hwnd] = this;
  m_hWnd = hwnd;
  return TRUE;
}

HWND CWnd::Detach() {
  HWND h = m_hWnd;
  if (h != nullptr) {
    std::lock_guard<std::mutex> lock(gMapMutex);
    auto it = gPermanent.find(h);
    if (it != gPermanent.end() && it->second == this) gPermanent.erase(it);
  }
  m_hWnd = nullptr;
  return h;
}

BOOL CWnd::SubclassWindow(HWND hwnd) {
  if (hwnd == nullptr || !::IsWindow(hwnd) || FromHandlePermanent(hwnd) != nullptr) return FALSE;
  Attach(hwnd);
  m_pfnSuper =
      reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
  return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  if (parent == nullptr) return FALSE;
  return SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

HWND CWnd::UnsubclassWindow() {
  if (m_hWnd == nullptr) return nullptr;
  if (m_pfnSuper) ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
  m_pfnSuper = nullptr;
  return Detach();
}

BOOL CWnd::DestroyWindow() {
  if (m_hWnd == nullptr) return FALSE;
  return ::DestroyWindow(m_hWnd);
}

std::u16string CWnd::GetWindowText() const {
  int n = ::GetWindowTextLengthW(m_hWnd);
  std::u16string s(static_cast<size_t>(n) + 1, u'\0');
  int got = ::GetWindowTextW(m_hWnd, s.data(), n + 1);
  s.resize(static_cast<size_t>(got));
  return s;
}

CWnd* CWnd::GetDlgItem(int id) const { return FromHandle(::GetDlgItem(m_hWnd, id)); }

int CWnd::MessageBox(LPCWSTR text, LPCWSTR caption, UINT type) {
  return ::MessageBoxW(m_hWnd, text, caption ? caption : AfxGetAppName(), type);
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT) {
  DWORD s = GetStyle();
  DWORD n = (s & ~remove) | add;
  if (n == s) return FALSE;
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(n));
  return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add, UINT) {
  DWORD s = GetExStyle();
  DWORD n = (s & ~remove) | add;
  if (n == s) return FALSE;
  ::SetWindowLongW(m_hWnd, GWL_EXSTYLE, static_cast<LONG>(n));
  return TRUE;
}

CDC* CWnd::GetDC() { return CDC::FromHandle(::GetDC(m_hWnd)); }
int CWnd::ReleaseDC(CDC* dc) {
  if (dc == nullptr) return 0;
  HDC h = dc->m_hDC;
  dc->m_hDC = nullptr;
  tTemps.dcs.erase(h);
  return ::ReleaseDC(m_hWnd, h);
}
void CWnd::SetFont(CFont* font, BOOL redraw) {
  SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font ? font->m_hObject : nullptr), redraw);
}
CFont* CWnd::GetFont() const {
  return CFont::FromHandle(reinterpret_cast<HFONT>(::SendMessageW(m_hWnd, WM_GETFONT, 0, 0)));
}

BOOL CWnd::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}
BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (m_pfnSuper) return ::CallWindowProcW(m_pfnSuper, m_hWnd, msg, wParam, lParam);
  return ::DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

LRESULT CWnd::Default() { return DefWindowProc(tCurrent.msg, tCurrent.wParam, tCurrent.lParam); }

LRESULT CWnd::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (!OnWndMsg(msg, wParam, lParam, &result)) result = DefWindowProc(msg, wParam, lParam);
  return result;
}

BOOL CWnd::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  *result = 0;
  switch (msg) {
    case WM_COMMAND: {
      HWND from = reinterpret_cast<HWND>(lParam);
      if (CWnd* child = from ? FromHandlePermanent(from) : nullptr; child && child != this) {
        if (child->OnChildNotify(msg, wParam, lParam, result)) return TRUE;
      }
      return OnCommand(wParam, lParam);
    }
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lParam);
      if (CWnd* child = hdr ? FromHandlePermanent(hdr->hwndFrom) : nullptr; child && child != this) {
        if (child->OnChildNotify(msg, wParam, lParam, result)) return TRUE;
      }
      return OnNotify(wParam, lParam, result);
    }
    case WM_DRAWITEM:
      OnDrawItem(static_cast<int>(wParam), reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
      *result = TRUE;
      return TRUE;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
      *result =
          reinterpret_cast<LRESULT>(OnCtlColor(CDC::FromHandle(reinterpret_cast<HDC>(wParam)),
                                               FromHandle(reinterpret_cast<HWND>(lParam)), msg - WM_CTLCOLORMSGBOX));
      return TRUE;
    case WM_CREATE: *result = OnCreate(reinterpret_cast<LPCREATESTRUCTW>(lParam)); return TRUE;
    case WM_DESTROY: OnDestroy(); return TRUE;
    case WM_CLOSE: OnClose(); return TRUE;
    case WM_PAINT: OnPaint(); return TRUE;
    case WM_ERASEBKGND: *result = OnEraseBkgnd(CDC::FromHandle(reinterpret_cast<HDC>(wParam))); return TRUE;
    case WM_TIMER: OnTimer(wParam); return TRUE;
    case WM_SHOWWINDOW: OnShowWindow(static_cast<BOOL>(wParam), static_cast<UINT>(lParam)); return TRUE;
    case WM_SETFOCUS: OnSetFocus(FromHandle(reinterpret_cast<HWND>(wParam))); return TRUE;
    case WM_KILLFOCUS: OnKillFocus(FromHandle(reinterpret_cast<HWND>(wParam))); return TRUE;
    case WM_KEYDOWN: OnKeyDown(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)); return TRUE;
    case WM_CHAR: OnChar(static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam)); return TRUE;
    case WM_LBUTTONDOWN:
      OnLButtonDown(static_cast<UINT>(wParam), POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
      return TRUE;
    case WM_LBUTTONUP:
      OnLButtonUp(static_cast<UINT>(wParam), POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
      return TRUE;
    case WM_CANCELMODE: OnCancelMode(); return TRUE;
    default: return FALSE;
  }
}

BOOL CWnd::OnCommand(WPARAM, LPARAM) { return FALSE; }
BOOL CWnd::OnNotify(WPARAM, LPARAM, LRESULT*) { return FALSE; }
BOOL CWnd::OnChildNotify(UINT, WPARAM, LPARAM, LRESULT*) { return FALSE; }
HBRUSH CWnd::CtlColor(CDC*, UINT) { return nullptr; }

HBRUSH CWnd::OnCtlColor(CDC* dc, CWnd* wnd, UINT ctlColor) {
  auto brush = reinterpret_cast<HBRUSH>(Default());
  if (CWnd* child = wnd ? FromHandlePermanent(wnd->m_hWnd) : nullptr; child && child != this) {
    if (HBRUSH own = child->CtlColor(dc, ctlColor)) brush = own;
  }
  return brush;
}

void CWnd::OnDrawItem(int, LPDRAWITEMSTRUCT item) {
  if (CWnd* child = item ? FromHandlePermanent(item->hwndItem) : nullptr; child && child != this) {
    LRESULT r = 0;
    if (child->OnChildNotify(WM_DRAWITEM, static_cast<WPARAM>(item->CtlID), reinterpret_cast<LPARAM>(item), &r)) return;
  }
  Default();
}

int CWnd::OnCreate(LPCREATESTRUCTW) { return static_cast<int>(Default()); }
void CWnd::OnDestroy() { Default(); }
void CWnd::OnClose() { Default(); }
void CWnd::OnPaint() { Default(); }
BOOL CWnd::OnEraseBkgnd(CDC*) { return static_cast<BOOL>(Default()); }
void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnShowWindow(BOOL, UINT) { Default(); }
void CWnd::OnSetFocus(CWnd*) { Default(); }
void CWnd::OnKillFocus(CWnd*) { Default(); }
void CWnd::OnKeyDown(UINT, UINT, UINT) { Default(); }
void CWnd::OnChar(UINT, UINT, UINT) { Default(); }
void CWnd::OnLButtonDown(UINT, POINT) { Default(); }
void CWnd::OnLButtonUp(UINT, POINT) { Default(); }
void CWnd::OnCancelMode() { Default(); }
void CWnd::PostNcDestroy() {}

LRESULT AfxWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWnd* w = CWnd::FromHandlePermanent(hwnd);
  if (w == nullptr) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  CurrentMessage saved = tCurrent;
  tCurrent = CurrentMessage{msg, wParam, lParam};
  ++tDepth;
  LRESULT r = w->WindowProc(msg, wParam, lParam);
  if (msg == WM_NCDESTROY && CWnd::FromHandlePermanent(hwnd) == w) {
    w->m_pfnSuper = nullptr;
    w->Detach();
    w->PostNcDestroy();
  }
  --tDepth;
  tCurrent = saved;
  if (tDepth == 0) releaseTemporaries();
  return r;
}

// Walks from the message's window up to the dialog, as the framework's
// message pump does; messages for other windows go to the dialog itself.
BOOL AfxPreTranslate(HWND dialog, MSG* msg, void*) {
  ++tDepth;
  BOOL eaten = FALSE;
  bool inside = msg->hwnd == dialog || ::IsChild(dialog, msg->hwnd);
  if (inside) {
    for (HWND h = msg->hwnd; h != nullptr && !eaten; h = (h == dialog) ? nullptr : ::GetParent(h)) {
      if (CWnd* w = CWnd::FromHandlePermanent(h)) eaten = w->PreTranslateMessage(msg);
    }
  } else if (CWnd* d = CWnd::FromHandlePermanent(dialog)) {
    eaten = d->PreTranslateMessage(msg);
  }
  --tDepth;
  if (tDepth == 0) releaseTemporaries();
  return eaten;
}

INT_PTR AfxDlgProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
  CWnd* w = CWnd::FromHandlePermanent(hwnd);
  if (w == nullptr && tPendingDialog != nullptr) {
    CDialog* d = tPendingDialog;
    tPendingDialog = nullptr;
    d->SubclassWindow(hwnd);
    PlatformSetDialogPreTranslate(hwnd, &AfxPreTranslate, d);
    return FALSE;
  }
  if (msg == WM_INITDIALOG && w != nullptr) {
    auto* d = static_cast<CDialog*>(w);
    ++tDepth;
    BOOL focus = d->OnInitDialog();
    --tDepth;
    if (tDepth == 0) releaseTemporaries();
    return focus;
  }
  return FALSE;
}

// ---- CDialog ----

CDialog::CDialog(UINT idTemplate, CWnd* parent) : m_nIDTemplate(idTemplate), m_pParentWnd(parent) {}
CDialog::CDialog() = default;

BOOL CDialog::InitModalIndirect(LPCDLGTEMPLATEW dlgTemplate, CWnd* parent) {
  m_lpDialogTemplate = dlgTemplate;
  m_pParentWnd = parent;
  return dlgTemplate != nullptr;
}

namespace {
LPCDLGTEMPLATEW templateOf(UINT id) {
  HINSTANCE inst = AfxGetResourceHandle();
  HRSRC res = ::FindResourceW(inst, MAKEINTRESOURCEW(id), RT_DIALOG);
  if (res == nullptr) return nullptr;
  return static_cast<LPCDLGTEMPLATEW>(::LockResource(::LoadResource(inst, res)));
}

HWND ownerFor(CWnd* parent) {
  HWND owner = parent ? parent->m_hWnd : ::GetActiveWindow();
  // The owner is always a top-level window.
  while (owner != nullptr && (::GetWindowLongW(owner, GWL_STYLE) & WS_CHILD)) owner = ::GetParent(owner);
  return owner;
}
}  // namespace

INT_PTR CDialog::DoModal() {
  LPCDLGTEMPLATEW t = m_lpDialogTemplate ? m_lpDialogTemplate : templateOf(m_nIDTemplate);
  if (t == nullptr) return -1;
  HWND owner = ownerFor(m_pParentWnd);
  tPendingDialog = this;
  PlatformSetNextTemplateId(m_lpDialogTemplate ? 0 : static_cast<int>(m_nIDTemplate));
  INT_PTR r = ::DialogBoxIndirectParamW(AfxGetResourceHandle(), t, owner, &AfxDlgProc, reinterpret_cast<LPARAM>(this));
  if (tPendingDialog == this) tPendingDialog = nullptr;
  if (m_hWnd != nullptr && !::IsWindow(m_hWnd)) Detach();
  return r;
}

BOOL CDialog::Create(UINT idTemplate, CWnd* parent) {
  m_nIDTemplate = idTemplate;
  LPCDLGTEMPLATEW t = templateOf(idTemplate);
  if (t == nullptr) return FALSE;
  m_pParentWnd = parent;
  tPendingDialog = this;
  PlatformSetNextTemplateId(static_cast<int>(idTemplate));
  HWND h = ::CreateDialogIndirectParamW(AfxGetResourceHandle(), t, parent ? parent->m_hWnd : nullptr, &AfxDlgProc,
                                        reinterpret_cast<LPARAM>(this));
  if (tPendingDialog == this) tPendingDialog = nullptr;
  return h != nullptr;
}

BOOL CDialog::CreateIndirect(LPCDLGTEMPLATEW dlgTemplate, CWnd* parent) {
  m_pParentWnd = parent;
  tPendingDialog = this;
  HWND h = ::CreateDialogIndirectParamW(AfxGetResourceHandle(), dlgTemplate, parent ? parent->m_hWnd : nullptr,
                                        &AfxDlgProc, reinterpret_cast<LPARAM>(this));
  if (tPendingDialog == this) tPendingDialog = nullptr;
  return h != nullptr;
}

void CDialog::EndDialog(int result) { ::EndDialog(m_hWnd, result); }

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::PreTranslateMessage(MSG*) { return FALSE; }

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED) return FALSE;
  if (LOWORD(wParam) == IDOK) {
    OnOK();
    return TRUE;
  }
  if (LOWORD(wParam) == IDCANCEL) {
    OnCancel();
    return TRUE;
  }
  return FALSE;
}

// ---- controls ----

void CButton::DrawItem(LPDRAWITEMSTRUCT) {}

BOOL CButton::OnChildNotify(UINT msg, WPARAM, LPARAM lParam, LRESULT* result) {
  if (msg != WM_DRAWITEM) return FALSE;
  DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
  *result = TRUE;
  return TRUE;
}

void CEdit::SetSel(int start, int end, BOOL noScroll) {
  SendMessage(EM_SETSEL, static_cast<WPARAM>(start), end);
  if (!noScroll) SendMessage(EM_SCROLLCARET);
}

void CEdit::GetSel(int& start, int& end) const {
  DWORD a = 0, b = 0;
  ::SendMessageW(m_hWnd, EM_GETSEL, reinterpret_cast<WPARAM>(&a), reinterpret_cast<LPARAM>(&b));
  start = static_cast<int>(a);
  end = static_cast<int>(b);
}

int CListCtrl::InsertColumn(int column, LPCWSTR heading, int format, int width, int subItem) {
  LVCOLUMNW c{};
  c.mask = LVCF_TEXT | LVCF_FMT;
  c.fmt = format;
  c.pszText = const_cast<LPWSTR>(heading);
  if (width != -1) {
    c.mask |= LVCF_WIDTH;
    c.cx = width;
  }
  if (subItem != -1) {
    c.mask |= LVCF_SUBITEM;
    c.iSubItem = subItem;
  }
  return InsertColumn(column, &c);
}
int CListCtrl::InsertColumn(int column, const LVCOLUMNW* info) {
  return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(info)));
}
int CListCtrl::InsertItem(int item, LPCWSTR text) {
  LVITEMW it{};
  it.mask = LVIF_TEXT;
  it.iItem = item;
  it.pszText = const_cast<LPWSTR>(text);
  return InsertItem(&it);
}
int CListCtrl::InsertItem(const LVITEMW* item) {
  return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(item)));
}
BOOL CListCtrl::SetItemText(int item, int subItem, LPCWSTR text) {
  LVITEMW it{};
  it.iSubItem = subItem;
  it.pszText = const_cast<LPWSTR>(text);
  return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it)));
}
std::u16string CListCtrl::GetItemText(int item, int subItem) const {
  std::u16string buf(1024, u'\0');
  LVITEMW it{};
  it.iSubItem = subItem;
  it.pszText = buf.data();
  it.cchTextMax = static_cast<int>(buf.size());
  LRESULT n = ::SendMessageW(m_hWnd, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
  buf.resize(static_cast<size_t>(n));
  return buf;
}
int CListCtrl::GetItemCount() const { return static_cast<int>(::SendMessageW(m_hWnd, LVM_GETITEMCOUNT, 0, 0)); }
UINT CListCtrl::GetSelectedCount() const {
  return static_cast<UINT>(::SendMessageW(m_hWnd, LVM_GETSELECTEDCOUNT, 0, 0));
}
POSITION CListCtrl::GetFirstSelectedItemPosition() const {
  int i = GetNextItem(-1, LVNI_SELECTED);
  return reinterpret_cast<POSITION>(static_cast<ULONG_PTR>(i + 1));
}
int CListCtrl::GetNextSelectedItem(POSITION& pos) const {
  int i = static_cast<int>(reinterpret_cast<ULONG_PTR>(pos)) - 1;
  int next = GetNextItem(i, LVNI_SELECTED);
  pos = reinterpret_cast<POSITION>(static_cast<ULONG_PTR>(next + 1));
  return i;
}
int CListCtrl::GetNextItem(int item, int flags) const {
  return static_cast<int>(::SendMessageW(m_hWnd, LVM_GETNEXTITEM, static_cast<WPARAM>(item), flags));
}
BOOL CListCtrl::SetItemState(int item, UINT state, UINT mask) {
  LVITEMW it{};
  it.state = state;
  it.stateMask = mask;
  return static_cast<BOOL>(SendMessage(LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it)));
}
UINT CListCtrl::GetItemState(int item, UINT mask) const {
  return static_cast<UINT>(::SendMessageW(m_hWnd, LVM_GETITEMSTATE, static_cast<WPARAM>(item), mask));
}

// ---- data exchange ----

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.m_hWnd == nullptr) control.SubclassDlgItem(static_cast<UINT>(id), dx->m_pDlgWnd);
}

void DDX_Text(CDataExchange* dx, int id, std::u16string& value) {
  HWND c = ::GetDlgItem(dx->m_pDlgWnd->m_hWnd, id);
  if (c == nullptr) return;
  if (dx->m_bSaveAndValidate) {
    value = CWnd::FromHandle(c)->GetWindowText();
  } else {
    ::SetWindowTextW(c, value.c_str());
  }
}
