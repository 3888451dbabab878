// The dialog manager: templates, dialog creation, the modal loop, keyboard
// navigation, default buttons, and message boxes.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace ui {
HBITMAP bitmapFromDib(const BYTE* data, size_t size);
HBITMAP loadBitmapResource(HINSTANCE instance, LPCWSTR name);

namespace {

struct ItemTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  std::u16string cls;
  std::u16string title;
  int titleOrdinal = -1;
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::u16string title;
  bool hasFont = false;
  WORD pointSize = 0;
  WORD weight = FW_NORMAL;
  BYTE italic = 0;
  BYTE charset = DEFAULT_CHARSET;
  std::u16string face;
  std::vector<ItemTemplate> items;
};

// Reads the documented binary layouts, never beyond `size` bytes.
class Reader {
 public:
  Reader(const BYTE* p, size_t size) : p_(p), size_(size) {}
  bool ok() const { return ok_; }
  WORD word() {
    if (pos_ + 2 > size_) return fail();
    WORD v = static_cast<WORD>(p_[pos_] | (p_[pos_ + 1] << 8));
    pos_ += 2;
    return v;
  }
  DWORD dword() {
    DWORD lo = word();
    DWORD hi = word();
    return lo | (hi << 16);
  }
  short sword() { return static_cast<short>(word()); }
  BYTE byte() {
    if (pos_ + 1 > size_) return static_cast<BYTE>(fail());
    return p_[pos_++];
  }
  std::u16string string() {
    std::u16string s;
    for (;;) {
      WORD c = word();
      if (!ok_ || c == 0) break;
      s.push_back(static_cast<char16_t>(c));
    }
    return s;
  }
  // sz_Or_Ord: 0 none, 0xFFFF then an ordinal, or a string.
  void stringOrOrdinal(std::u16string& s, int& ordinal) {
    ordinal = -1;
    WORD first = word();
    if (!ok_ || first == 0) return;
    if (first == 0xFFFF) {
      ordinal = word();
      return;
    }
    s.push_back(static_cast<char16_t>(first));
    s += string();
  }
  void align4() {
    while (pos_ % 4) ++pos_;
  }
  void skip(size_t n) {
    if (pos_ + n > size_)
      fail();
    else
      pos_ += n;
  }

 private:
  WORD fail() {
    ok_ = false;
    pos_ = size_;
    return 0;
  }
  const BYTE* p_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

std::u16string classOfOrdinal(int ordinal) {
  switch (ordinal) {
    case 0x80: return u"Button";
    case 0x81: return u"Edit";
    case 0x82: return u"Static";
    case 0x83: return u"ListBox";
    case 0x84: return u"ScrollBar";
    case 0x85: return u"ComboBox";
    default: return u"";
  }
}

bool parseTemplate(const BYTE* data, size_t size, DialogTemplate& t) {
  Reader r(data, size);
  WORD w0 = r.word();
  WORD w1 = r.word();
  bool ex = w0 == 1 && w1 == 0xFFFF;
  WORD count;
  if (ex) {
    r.dword();  // help id
    t.exStyle = r.dword();
    t.style = r.dword();
  } else {
    t.style = static_cast<DWORD>(w0) | (static_cast<DWORD>(w1) << 16);
    t.exStyle = r.dword();
  }
  count = r.word();
  t.x = r.sword();
  t.y = r.sword();
  t.cx = r.sword();
  t.cy = r.sword();
  std::u16string menu, cls;
  int menuOrd, clsOrd;
  r.stringOrOrdinal(menu, menuOrd);
  r.stringOrOrdinal(cls, clsOrd);
  t.title = r.string();
  if (t.style & (DS_SETFONT | DS_SHELLFONT)) {
    t.hasFont = true;
    t.pointSize = r.word();
    if (ex) {
      t.weight = r.word();
      t.italic = r.byte();
      t.charset = r.byte();
    }
    t.face = r.string();
  }
  for (WORD i = 0; i < count && r.ok(); ++i) {
    r.align4();
    ItemTemplate it;
    if (ex) {
      r.dword();  // help id
      it.exStyle = r.dword();
      it.style = r.dword();
    } else {
      it.style = r.dword();
      it.exStyle = r.dword();
    }
    it.x = r.sword();
    it.y = r.sword();
    it.cx = r.sword();
    it.cy = r.sword();
    it.id = ex ? r.dword() : r.word();
    int ord;
    r.stringOrOrdinal(it.cls, ord);
    if (ord >= 0) it.cls = classOfOrdinal(ord);
    r.stringOrOrdinal(it.title, it.titleOrdinal);
    WORD extra = r.word();
    r.skip(extra);
    t.items.push_back(it);
  }
  return r.ok();
}

// Fixed base units for a template font, so that a dialog has the same size in
// pixels on every machine: the font's height in pixels at 96 dots per inch is
// em = round(points * 96 / 72); base X = (em + 1) / 2, base Y = (6 em + 2) / 5.
// Without a font: 8 and 16, the system font's.
void baseUnits(const DialogTemplate& t, int& bx, int& by) {
  if (!t.hasFont || t.pointSize == 0 || t.pointSize > 200) {
    bx = 8;
    by = 16;
    return;
  }
  int em = MulDiv(t.pointSize, 96, 72);
  bx = (em + 1) / 2;
  by = (em * 6 + 2) / 5;
}

struct PendingDialog {
  DLGPROC proc = nullptr;
  std::unique_ptr<DialogState> state;
};
thread_local PendingDialog* tPending = nullptr;
thread_local int tNextTemplateId = 0;
thread_local int tModalDepth = 0;

bool isPushButton(Window* w) {
  if (w == nullptr || w->kind != Kind::Button) return false;
  DWORD type = w->style & BS_TYPEMASK;
  return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

void dlgSetFocus(HWND control) {
  if (control == nullptr) return;
  LRESULT code = send(control, WM_GETDLGCODE, 0, 0);
  if (code & DLGC_HASSETSEL) send(control, EM_SETSEL, 0, -1);
  SetFocus(control);
}

HWND firstTabItem(HWND dialog) { return GetNextDlgTabItem(dialog, nullptr, FALSE); }

LRESULT defaultDialogHandling(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  switch (msg) {
    case WM_ERASEBKGND: {
      HDC hdc = reinterpret_cast<HDC>(wParam);
      auto brush = reinterpret_cast<HBRUSH>(send(hwnd, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(hwnd)));
      if (brush == nullptr) brush = GetSysColorBrush(COLOR_BTNFACE);
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(hdc, &r, brush);
      return 1;
    }
    case WM_CLOSE: {
      HWND cancel = GetDlgItem(hwnd, IDCANCEL);
      if (cancel == nullptr || IsWindowEnabled(cancel))
        PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
      return 0;
    }
    case WM_SETFOCUS: {
      HWND target = w->dlg && IsWindow(w->dlg->lastFocus) && IsChild(hwnd, w->dlg->lastFocus) ? w->dlg->lastFocus
                                                                                              : firstTabItem(hwnd);
      if (target) dlgSetFocus(target);
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE && !HIWORD(wParam) && w->dlg) {
        HWND focus = GetFocus();
        if (focus == nullptr || (focus != hwnd && !IsChild(hwnd, focus))) {
          HWND target =
              IsWindow(w->dlg->lastFocus) && IsChild(hwnd, w->dlg->lastFocus) ? w->dlg->lastFocus : firstTabItem(hwnd);
          if (target) SetFocus(target);
        }
      }
      return 0;
    case DM_GETDEFID:
      if (w->dlg && w->dlg->defaultId) return MAKELONG(static_cast<WORD>(w->dlg->defaultId), DC_HASDEFID);
      return 0;
    case DM_SETDEFID:
      if (w->dlg) {
        if (Window* old = find(GetDlgItem(hwnd, static_cast<int>(w->dlg->defaultId))); isPushButton(old))
          send(old->hwnd, BM_SETSTYLE, (old->style & 0xFFFF & ~BS_TYPEMASK) | BS_PUSHBUTTON, TRUE);
        w->dlg->defaultId = static_cast<UINT>(wParam);
        HWND focus = GetFocus();
        if (!isPushButton(find(focus)))
          if (Window* def = find(GetDlgItem(hwnd, static_cast<int>(wParam))); isPushButton(def))
            send(def->hwnd, BM_SETSTYLE, (def->style & 0xFFFF & ~BS_TYPEMASK) | BS_DEFPUSHBUTTON, TRUE);
      }
      return TRUE;
    case WM_NEXTDLGCTL: {
      HWND target = LOWORD(lParam) ? reinterpret_cast<HWND>(wParam)
                                   : GetNextDlgTabItem(hwnd, GetFocus(), wParam != 0 ? TRUE : FALSE);
      dlgSetFocus(target);
      return 0;
    }
    case WM_SETFONT: w->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case WM_NCDESTROY:
      if (w->dlg && w->dlg->ownedFont) {
        DeleteObject(w->dlg->ownedFont);
        w->dlg->ownedFont = nullptr;
      }
      return 0;
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

Window* createFromTemplate(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC proc, LPARAM param,
                           bool modal, int templateId) {
  DialogTemplate t;
  if (data == nullptr || !parseTemplate(data, size, t)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  int bx, by;
  baseUnits(t, bx, by);
  auto state = std::make_unique<DialogState>();
  state->modal = modal;
  state->templateId = templateId;
  state->baseX = bx;
  state->baseY = by;
  HFONT font = nullptr;
  if (t.hasFont) {
    font = CreateFontW(-MulDiv(t.pointSize, 96, 72), 0, 0, 0, t.weight, t.italic, 0, 0, t.charset, 0, 0, 0, 0,
                       t.face.c_str());
    state->ownedFont = font;
  }
  DWORD style = t.style & ~WS_VISIBLE;
  DWORD exStyle = t.exStyle;
  if (style & DS_MODALFRAME) exStyle |= WS_EX_DLGMODALFRAME;
  if (!(style & WS_CHILD) && owner != nullptr) owner = topLevelOf(owner);  // a child dialog keeps its parent
  int cw = MulDiv(t.cx, bx, 4), ch = MulDiv(t.cy, by, 8);
  Window probe;
  probe.style = style;
  probe.exStyle = exStyle;
  RECT in = clientInsets(probe);
  int ww = cw + in.left + in.right, wh = ch + in.top + in.bottom;
  int x, y;
  if ((style & (DS_CENTER | DS_CENTERMOUSE)) || owner == nullptr || (style & WS_CHILD)) {
    x = (GetSystemMetrics(SM_CXSCREEN) - ww) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - wh) / 2;
    if (style & WS_CHILD) {
      x = MulDiv(t.x, bx, 4);
      y = MulDiv(t.y, by, 8);
    }
  } else {
    POINT o{0, 0};
    ClientToScreen(owner, &o);
    x = o.x + MulDiv(t.x, bx, 4);
    y = o.y + MulDiv(t.y, by, 8);
  }
  PendingDialog pending{proc, std::move(state)};
  PendingDialog* saved = tPending;
  tPending = &pending;
  HWND hwnd =
      CreateWindowExW(exStyle, WC_DIALOG, t.title.c_str(), style, x, y, ww, wh, owner, nullptr, instance, nullptr);
  tPending = saved;
  if (hwnd == nullptr) {
    if (font && pending.state) DeleteObject(font);
    return nullptr;
  }
  if (font) send(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  for (const ItemTemplate& it : t.items) {
    if (!IsWindow(hwnd)) return nullptr;
    DWORD cs = (it.style | WS_CHILD) & ~WS_POPUP;
    DWORD cex = it.exStyle;
    std::u16string lowerClass;
    for (char16_t c : it.cls) lowerClass.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c);
    // Bordered edits and lists get the sunken client edge of three-dimensional dialogs.
    if ((lowerClass == u"edit" || lowerClass == u"syslistview32") && (cs & WS_BORDER)) {
      cs &= ~WS_BORDER;
      cex |= WS_EX_CLIENTEDGE;
    }
    HWND c = CreateWindowExW(cex, it.cls.c_str(), it.titleOrdinal >= 0 ? u"" : it.title.c_str(), cs,
                             MulDiv(it.x, bx, 4), MulDiv(it.y, by, 8), MulDiv(it.cx, bx, 4), MulDiv(it.cy, by, 8), hwnd,
                             reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(it.id)), instance, nullptr);
    if (c == nullptr) {
      if (t.style & DS_NOFAILCREATE) continue;
      DWORD err = GetLastError();
      DestroyWindow(hwnd);
      SetLastError(err);
      return nullptr;
    }
    if (font) send(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    Window* cw2 = find(c);
    if (cw2 && cw2->kind == Kind::Static && it.titleOrdinal >= 0 && (cs & SS_TYPEMASK) == SS_BITMAP) {
      if (HBITMAP b = loadBitmapResource(instance, MAKEINTRESOURCEW(it.titleOrdinal)))
        send(c, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(b));
    }
    Window* dw = find(hwnd);
    if (dw && dw->dlg && dw->dlg->defaultId == 0 && cw2 && cw2->kind == Kind::Button &&
        (cs & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
      dw->dlg->defaultId = it.id;
  }
  HWND first = firstTabItem(hwnd);
  LRESULT focusIt = send(hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
  Window* w = find(hwnd);
  if (w == nullptr) return nullptr;
  if (focusIt) {
    HWND target = first;
    if (target && IsWindow(target)) dlgSetFocus(target);
  }
  return find(hwnd);
}

}  // namespace

Window* dialogOf(HWND control) {
  Window* w = findAny(control);
  while (w != nullptr) {
    if (w->dlg) return w;
    if (!(w->style & WS_CHILD)) return nullptr;
    w = findAny(w->parent);
  }
  return nullptr;
}

void updateDefaultLook(HWND dialog, HWND newFocus) {
  Window* d = find(dialog);
  if (d == nullptr || !d->dlg) return;
  Window* f = find(newFocus);
  bool focusIsButton = isPushButton(f) && f->parent == dialog;
  HWND def = focusIsButton ? newFocus : GetDlgItem(dialog, static_cast<int>(d->dlg->defaultId));
  std::vector<HWND> kids = d->children;
  for (HWND k : kids) {
    Window* c = find(k);
    if (!isPushButton(c)) continue;
    DWORD want = k == def ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
    if ((c->style & BS_TYPEMASK) != want) send(k, BM_SETSTYLE, (c->style & 0xFFFF & ~BS_TYPEMASK) | want, TRUE);
  }
}

LRESULT dialogClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  if (msg == WM_NCCREATE && tPending != nullptr && !w->dlg) {
    w->dlg = std::move(tPending->state);
    w->dlgProc = tPending->proc;
  }
  if (!w->dlg) w->dlg = std::make_unique<DialogState>();
  if (w->dlgProc) {
    w->msgResult = 0;
    INT_PTR handled = w->dlgProc(hwnd, msg, wParam, lParam);
    if (handled) {
      switch (msg) {
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_INITDIALOG: return handled;
        default:
          if (Window* x = findAny(hwnd)) return x->msgResult;
          return 0;
      }
    }
    if (msg == WM_INITDIALOG) return FALSE;
  }
  if (msg == WM_INITDIALOG) return TRUE;
  return defaultDialogHandling(hwnd, msg, wParam, lParam);
}

INT_PTR runModal(HWND dialog, HWND owner) {
  bool reenable = owner != nullptr && IsWindowEnabled(owner);
  if (reenable) EnableWindow(owner, FALSE);
  ++tModalDepth;
  Window* w = find(dialog);
  if (w && !w->dlg->ended) ShowWindow(dialog, SW_SHOWNORMAL);
  INT_PTR result = -1;
  long busy = 0;  // messages since the queue was last empty
  for (;;) {
    w = findAny(dialog);
    if (w == nullptr) break;
    if (w->dlg && w->dlg->ended) {
      result = w->dlg->result;
      break;
    }
    if (w->destroyed) break;  // destroyed without an end code
    MSG msg;
    if (!popMessage(&msg, nullptr, true)) {
      busy = 0;
      if (postTimerMessages()) continue;
      if (userIdle(dialog)) continue;
      EndDialog(dialog, IDCANCEL);  // nobody is there to act: the dialog ends as cancelled
      continue;
    }
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      EndDialog(dialog, IDCANCEL);
      continue;
    }
    if (++busy > 1000000) {  // a loop that never lets the queue run empty
      std::fprintf(stderr, "ui: dialog %d never let its queue run empty; ended as cancelled\n",
                   w->dlg ? w->dlg->templateId : 0);
      EndDialog(dialog, IDCANCEL);
      continue;
    }
    if (w->dlg && w->dlg->hook && w->dlg->hook(dialog, &msg, w->dlg->hookContext)) continue;
    if (IsDialogMessageW(dialog, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (reenable && IsWindow(owner)) EnableWindow(owner, TRUE);
  if (IsWindow(dialog)) DestroyWindow(dialog);
  if (owner != nullptr && IsWindow(owner) && GetActiveWindow() == nullptr) SetActiveWindow(owner);
  userDialogClosed(dialog);
  --tModalDepth;
  if (tModalDepth == 0 && dispatchDepth() == 0) releaseGraveyard();
  return result;
}

}  // namespace ui

using namespace ui;

namespace ui {
INT_PTR dialogBoxFromMemory(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC proc, LPARAM param,
                            int templateId) {
  if (owner != nullptr && !IsWindow(owner)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return -1;
  }
  HWND top = owner ? topLevelOf(owner) : nullptr;
  Window* w = createFromTemplate(instance, data, size, top, proc, param, true, templateId);
  if (w == nullptr) {
    // Destroyed while it initialised: an end code given by then stands.
    return -1;
  }
  return runModal(w->hwnd, top);
}

HWND createDialogFromMemory(HINSTANCE instance, const BYTE* data, size_t size, HWND owner, DLGPROC proc, LPARAM param,
                            int templateId) {
  Window* w = createFromTemplate(instance, data, size, owner, proc, param, false, templateId);
  if (w == nullptr) return nullptr;
  HWND hwnd = w->hwnd;
  // A modeless dialog shows itself only when its template asks for it.
  DialogTemplate t;
  if (parseTemplate(data, size, t) && (t.style & WS_VISIBLE)) ShowWindow(hwnd, SW_SHOWNORMAL);
  return IsWindow(hwnd) ? hwnd : nullptr;
}

int takeNextTemplateId() {
  int id = tNextTemplateId;
  tNextTemplateId = 0;
  return id;
}
}  // namespace ui

// Templates given in memory carry no size; they are read as far as their own
// layout goes.
constexpr size_t kTemplateLimit = 1 << 20;

PLATFORM_API INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dlgTemplate, HWND owner, DLGPROC proc,
                                             LPARAM initParam) {
  int id = takeNextTemplateId();
  return dialogBoxFromMemory(instance, reinterpret_cast<const BYTE*>(dlgTemplate), kTemplateLimit, owner, proc,
                             initParam, id);
}

PLATFORM_API HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dlgTemplate, HWND owner, DLGPROC proc,
                                             LPARAM initParam) {
  int id = takeNextTemplateId();
  return createDialogFromMemory(instance, reinterpret_cast<const BYTE*>(dlgTemplate), kTemplateLimit, owner, proc,
                                initParam, id);
}

PLATFORM_API void PlatformSetNextTemplateId(int id) { tNextTemplateId = id; }

PLATFORM_API BOOL EndDialog(HWND dialog, INT_PTR result) {
  Window* w = find(dialog);
  if (w == nullptr || !w->dlg) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  w->dlg->ended = true;
  w->dlg->result = result;
  return TRUE;
}

PLATFORM_API LRESULT DefDlgProcW(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  return dialogClassProc(dialog, msg, wParam, lParam);
}

PLATFORM_API BOOL PlatformSetDialogPreTranslate(HWND dialog, PLATFORM_PRETRANSLATE hook, void* context) {
  Window* w = find(dialog);
  if (w == nullptr || !w->dlg) return FALSE;
  w->dlg->hook = hook;
  w->dlg->hookContext = context;
  return TRUE;
}

PLATFORM_API int PlatformDialogTemplateId(HWND dialog) {
  Window* w = find(dialog);
  return w && w->dlg ? w->dlg->templateId : 0;
}

PLATFORM_API BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
  if (msg == nullptr || find(dialog) == nullptr) return FALSE;
  if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return FALSE;
  if (msg->message == WM_KEYDOWN) {
    LRESULT code = msg->hwnd ? send(msg->hwnd, WM_GETDLGCODE, msg->wParam, reinterpret_cast<LPARAM>(msg)) : 0;
    bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
    switch (static_cast<int>(msg->wParam)) {
      case VK_TAB:
        if (code & (DLGC_WANTTAB | DLGC_WANTMESSAGE)) break;
        if (HWND next = GetNextDlgTabItem(dialog, GetFocus(), shift ? TRUE : FALSE)) dlgSetFocus(next);
        return TRUE;
      case VK_LEFT:
      case VK_UP:
      case VK_RIGHT:
      case VK_DOWN: {
        if (code & (DLGC_WANTARROWS | DLGC_WANTMESSAGE)) break;
        bool back = msg->wParam == VK_LEFT || msg->wParam == VK_UP;
        // Labels in the group are passed over.
        HWND at = GetFocus(), next = at;
        for (int guard = 0; guard < 256; ++guard) {
          next = GetNextDlgGroupItem(dialog, next, back ? TRUE : FALSE);
          if (next == nullptr || next == at || !(send(next, WM_GETDLGCODE, 0, 0) & DLGC_STATIC)) break;
        }
        if (next != nullptr && next != at) dlgSetFocus(next);
        return TRUE;
      }
      case VK_RETURN: {
        if (code & DLGC_WANTMESSAGE) break;
        HWND focus = GetFocus();
        Window* f = find(focus);
        int id;
        HWND control;
        if (f && f->parent == dialog && isPushButton(f) && IsWindowEnabled(focus)) {
          id = static_cast<int>(f->id);
          control = focus;
        } else {
          LRESULT def = send(dialog, DM_GETDEFID, 0, 0);
          id = HIWORD(def) == DC_HASDEFID ? LOWORD(def) : IDOK;
          control = GetDlgItem(dialog, id);
          if (control != nullptr && !IsWindowEnabled(control)) return TRUE;
        }
        send(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), reinterpret_cast<LPARAM>(control));
        return TRUE;
      }
      case VK_ESCAPE: {
        if (code & DLGC_WANTMESSAGE) break;
        HWND cancel = GetDlgItem(dialog, IDCANCEL);
        if (cancel != nullptr && !IsWindowEnabled(cancel)) return TRUE;
        send(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(cancel));
        return TRUE;
      }
      default: break;
    }
  }
  TranslateMessage(msg);
  DispatchMessageW(msg);
  return TRUE;
}

PLATFORM_API HWND GetDlgItem(HWND dialog, int id) {
  Window* w = find(dialog);
  if (w == nullptr) return nullptr;
  for (HWND c : w->children) {
    Window* k = find(c);
    if (k && static_cast<int>(k->id) == id) return c;
  }
  return nullptr;
}

PLATFORM_API int GetDlgCtrlID(HWND hwnd) {
  Window* w = find(hwnd);
  return w && (w->style & WS_CHILD) ? static_cast<int>(w->id) : 0;
}

PLATFORM_API BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  HWND c = GetDlgItem(dialog, id);
  return c ? SetWindowTextW(c, text) : FALSE;
}

PLATFORM_API UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int maxCount) {
  HWND c = GetDlgItem(dialog, id);
  if (c == nullptr) {
    if (buffer && maxCount > 0) buffer[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextW(c, buffer, maxCount));
}

PLATFORM_API LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
  HWND c = GetDlgItem(dialog, id);
  return c ? SendMessageW(c, msg, wParam, lParam) : 0;
}

namespace {
bool tabCandidate(Window* k, DWORD need) {
  return k && (k->style & WS_VISIBLE) && !(k->style & WS_DISABLED) && (k->style & need) == need;
}
}  // namespace

PLATFORM_API HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous) {
  Window* d = find(dialog);
  if (d == nullptr) return nullptr;
  std::vector<HWND> kids = d->children;
  int n = static_cast<int>(kids.size());
  if (n == 0) return nullptr;
  int start = -1;
  for (int i = 0; i < n; ++i)
    if (kids[i] == control) start = i;
  if (start < 0) start = previous ? 0 : n - 1;
  for (int step = 1; step <= n; ++step) {
    int i = previous ? (start - step + n * 2) % n : (start + step) % n;
    if (tabCandidate(find(kids[i]), WS_TABSTOP)) return kids[i];
  }
  return control;
}

PLATFORM_API HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous) {
  Window* d = find(dialog);
  if (d == nullptr) return nullptr;
  std::vector<HWND> kids = d->children;
  int n = static_cast<int>(kids.size());
  int at = -1;
  for (int i = 0; i < n; ++i)
    if (kids[i] == control) at = i;
  if (at < 0) return GetNextDlgTabItem(dialog, nullptr, previous);
  // The group runs from the nearest control with WS_GROUP at or before this
  // one up to the next control with WS_GROUP.
  int first = at;
  while (first > 0) {
    Window* k = find(kids[first]);
    if (k && (k->style & WS_GROUP)) break;
    --first;
  }
  int last = at;
  while (last + 1 < n) {
    Window* k = find(kids[last + 1]);
    if (k && (k->style & WS_GROUP)) break;
    ++last;
  }
  int size = last - first + 1;
  for (int step = 1; step < size; ++step) {
    int i = first + (previous ? (at - first - step + size * 2) % size : (at - first + step) % size);
    if (tabCandidate(find(kids[i]), 0)) return kids[i];
  }
  return control;
}

PLATFORM_API BOOL MapDialogRect(HWND dialog, LPRECT rect) {
  Window* w = find(dialog);
  if (w == nullptr || !w->dlg || rect == nullptr) return FALSE;
  rect->left = MulDiv(rect->left, w->dlg->baseX, 4);
  rect->right = MulDiv(rect->right, w->dlg->baseX, 4);
  rect->top = MulDiv(rect->top, w->dlg->baseY, 8);
  rect->bottom = MulDiv(rect->bottom, w->dlg->baseY, 8);
  return TRUE;
}

PLATFORM_API LONG GetDialogBaseUnits() { return MAKELONG(8, 16); }

// ---- message boxes ----

namespace {

INT_PTR messageBoxProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM) {
  Window* w = find(hwnd);
  if (w == nullptr || !w->dlg) return FALSE;
  UINT type = w->dlg->mbType & MB_TYPEMASK;
  bool hasCancel = type == MB_OKCANCEL || type == MB_YESNOCANCEL || type == MB_RETRYCANCEL;
  switch (msg) {
    case WM_INITDIALOG: return FALSE;  // the focus is already on the default button
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (id == IDCANCEL && !hasCancel) {
        // Escape or the close box: an OK-only box takes it as OK; others have no way out but a button.
        if (type == MB_OK) EndDialog(hwnd, IDOK);
        return TRUE;
      }
      if (GetDlgItem(hwnd, id) != nullptr || id == IDCANCEL) EndDialog(hwnd, id);
      return TRUE;
    }
    case WM_CLOSE:
      if (hasCancel || type == MB_OK) EndDialog(hwnd, hasCancel ? IDCANCEL : IDOK);
      return TRUE;
    default: return FALSE;
  }
}

}  // namespace

PLATFORM_API BOOL PlatformIsMessageBox(HWND hwnd) {
  Window* w = find(hwnd);
  return w && w->dlg && w->dlg->messageBox ? TRUE : FALSE;
}

PLATFORM_API int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  if (owner != nullptr && !IsWindow(owner)) owner = nullptr;
  HWND top = owner ? topLevelOf(owner) : nullptr;
  std::u16string body = text ? text : u"";
  std::u16string title = caption ? caption : u"Error";
  struct Btn {
    int id;
    const char16_t* label;
  };
  std::vector<Btn> buttons;
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL: buttons = {{IDOK, u"OK"}, {IDCANCEL, u"Cancel"}}; break;
    case MB_ABORTRETRYIGNORE: buttons = {{IDABORT, u"&Abort"}, {IDRETRY, u"&Retry"}, {IDIGNORE, u"&Ignore"}}; break;
    case MB_YESNOCANCEL: buttons = {{IDYES, u"&Yes"}, {IDNO, u"&No"}, {IDCANCEL, u"Cancel"}}; break;
    case MB_YESNO: buttons = {{IDYES, u"&Yes"}, {IDNO, u"&No"}}; break;
    case MB_RETRYCANCEL: buttons = {{IDRETRY, u"&Retry"}, {IDCANCEL, u"Cancel"}}; break;
    default: buttons = {{IDOK, u"OK"}}; break;
  }
  size_t defIndex = std::min<size_t>((type & MB_DEFMASK) >> 8, buttons.size() - 1);
  UINT icon = type & MB_ICONMASK;

  auto state = std::make_unique<DialogState>();
  state->modal = true;
  state->messageBox = true;
  state->mbType = type;
  state->mbText = body;
  state->baseX = 6;
  state->baseY = 13;
  state->defaultId = static_cast<UINT>(buttons[defIndex].id);
  HFONT font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"MS Shell Dlg");
  state->ownedFont = font;

  // Measure the text: at most 400 pixels wide, wrapped between words.
  HDC probe = GetDC(nullptr);
  SelectObject(probe, font);
  RECT tr{0, 0, 400, 0};
  DrawTextW(probe, body.c_str(), static_cast<int>(body.size()), &tr, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  ReleaseDC(nullptr, probe);
  const int margin = 11, iconSize = 32, bw = 75, bh = 23, gap = 6;
  int textLeft = margin + (icon ? iconSize + 12 : 0);
  int textHeight = std::max<int>(tr.bottom, 13);
  int contentHeight = std::max(icon ? iconSize : 0, textHeight);
  int buttonsWidth = static_cast<int>(buttons.size()) * bw + (static_cast<int>(buttons.size()) - 1) * gap;
  int cw = std::max(textLeft + static_cast<int>(tr.right) + margin, buttonsWidth + 2 * margin);
  int ch = margin + contentHeight + 14 + bh + margin;
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  Window probeW;
  probeW.style = style;
  probeW.exStyle = WS_EX_DLGMODALFRAME;
  RECT in = clientInsets(probeW);
  int ww = cw + in.left + in.right, wh = ch + in.top + in.bottom;

  PendingDialog pending{messageBoxProc, std::move(state)};
  PendingDialog* saved = tPending;
  tPending = &pending;
  HWND hwnd =
      CreateWindowExW(WS_EX_DLGMODALFRAME, WC_DIALOG, title.c_str(), style, (GetSystemMetrics(SM_CXSCREEN) - ww) / 2,
                      (GetSystemMetrics(SM_CYSCREEN) - wh) / 2, ww, wh, top, nullptr, nullptr, nullptr);
  tPending = saved;
  if (hwnd == nullptr) {
    DeleteObject(font);
    return 0;
  }
  send(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  auto add = [&](const char16_t* cls, const char16_t* label, DWORD s, int x, int y, int w, int h, int id) {
    HWND c = CreateWindowExW(0, cls, label, WS_CHILD | WS_VISIBLE | s, x, y, w, h, hwnd,
                             reinterpret_cast<HMENU>(static_cast<LONG_PTR>(id)), nullptr, nullptr);
    if (c) send(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return c;
  };
  if (icon) {
    HWND ic = add(WC_STATICW, u"", SS_ICON, margin, margin, iconSize, iconSize, 20);
    send(ic, STM_SETICON, static_cast<WPARAM>(icon), 0);
  }
  int textTop = margin + (contentHeight - textHeight) / 2;
  add(WC_STATICW, body.c_str(), SS_LEFT | SS_NOPREFIX, textLeft, textTop, static_cast<int>(tr.right) + 1, textHeight,
      0xFFFF);
  int bx = (cw - buttonsWidth) / 2, by = ch - margin - bh;
  HWND defButton = nullptr;
  for (size_t i = 0; i < buttons.size(); ++i) {
    DWORD s = WS_TABSTOP | (i == 0 ? WS_GROUP : 0) | (i == defIndex ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    HWND b = add(WC_BUTTONW, buttons[i].label, s, bx + static_cast<int>(i) * (bw + gap), by, bw, bh, buttons[i].id);
    if (i == defIndex) defButton = b;
  }
  send(hwnd, WM_INITDIALOG, 0, 0);
  if (defButton) SetFocus(defButton);
  return static_cast<int>(runModal(hwnd, top));
}
