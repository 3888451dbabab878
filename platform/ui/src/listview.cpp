// The list view in report mode: columns, items with subitems, selection with
// Ctrl and Shift, the LVM_* messages, LVN_ITEMCHANGED and NM_* notices.
// Other views are drawn as the report view.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace ui {
int lineHeight(HFONT font);

namespace {

struct Column {
  std::u16string text;
  int width = 50;
  int fmt = LVCFMT_LEFT;
  int subItem = 0;
};

struct Item {
  std::vector<std::u16string> texts;
  UINT state = 0;
  LPARAM param = 0;
};

struct ListState : ControlState {
  std::vector<Column> columns;
  std::vector<Item> items;
  DWORD exStyle = 0;
  int top = 0;
  int mark = -1;
  bool focused = false;
  bool tracking = false;
  int xOffset = 0;
};

ListState& listState(Window& w) {
  if (!w.ctl) w.ctl = std::make_unique<ListState>();
  return static_cast<ListState&>(*w.ctl);
}

HFONT fontOfList(const Window& w) { return w.font ? w.font : defaultGuiFont(); }
int rowHeight(const Window& w) { return lineHeight(fontOfList(w)) + 4; }
int headerHeight(const Window& w) { return (w.style & LVS_NOCOLUMNHEADER) ? 0 : lineHeight(fontOfList(w)) + 6; }

int perPage(Window& w) {
  RECT r;
  GetClientRect(w.hwnd, &r);
  return std::max(1, static_cast<int>(r.bottom - headerHeight(w)) / rowHeight(w));
}

int totalWidth(ListState& s) {
  int t = 0;
  for (auto& c : s.columns) t += c.width;
  return t;
}

void updateScroll(Window& w) {
  ListState& s = listState(w);
  int count = static_cast<int>(s.items.size());
  // Scroll bars come and go with the content, as the list view's own do.
  for (int pass = 0; pass < 2; ++pass) {
    bool needV = count > perPage(w);
    RECT r;
    GetClientRect(w.hwnd, &r);
    bool needH = totalWidth(s) > r.right + ((w.style & WS_VSCROLL) ? 0 : 0);
    DWORD style = w.style & ~(WS_VSCROLL | WS_HSCROLL);
    if (needV) style |= WS_VSCROLL;
    if (needH) style |= WS_HSCROLL;
    w.style = style;
  }
  int pp = perPage(w);
  s.top = std::clamp(s.top, 0, std::max(0, count - pp));
  RECT r;
  GetClientRect(w.hwnd, &r);
  s.xOffset = std::clamp(s.xOffset, 0, std::max(0, totalWidth(s) - static_cast<int>(r.right)));
  w.scroll[SB_VERT] = ScrollState{0, std::max(0, count - 1), pp, s.top};
  w.scroll[SB_HORZ] = ScrollState{0, std::max(0, totalWidth(s) - 1), static_cast<int>(r.right), s.xOffset};
}

void notifyItem(Window& w, int item, UINT oldState, UINT newState) {
  NMLISTVIEW nm{};
  nm.hdr = NMHDR{w.hwnd, static_cast<UINT_PTR>(w.id), LVN_ITEMCHANGED};
  nm.iItem = item;
  nm.uOldState = oldState;
  nm.uNewState = newState;
  nm.uChanged = LVIF_STATE;
  if (w.parent) send(w.parent, WM_NOTIFY, static_cast<WPARAM>(w.id), reinterpret_cast<LPARAM>(&nm));
}

void notifyCode(Window& w, UINT code, int item) {
  NMLISTVIEW nm{};
  nm.hdr = NMHDR{w.hwnd, static_cast<UINT_PTR>(w.id), code};
  nm.iItem = item;
  if (w.parent) send(w.parent, WM_NOTIFY, static_cast<WPARAM>(w.id), reinterpret_cast<LPARAM>(&nm));
}

// Sets the state bits of one item and reports a change.
void setState(Window& w, int i, UINT state, UINT mask) {
  HWND hwnd = w.hwnd;
  ListState& s = listState(w);
  if (i < 0 || i >= static_cast<int>(s.items.size())) return;
  if ((mask & LVIS_FOCUSED) && (state & LVIS_FOCUSED)) {
    for (int j = 0; j < static_cast<int>(s.items.size()); ++j)
      if (j != i && (s.items[j].state & LVIS_FOCUSED)) {
        UINT old = s.items[j].state;
        s.items[j].state &= ~LVIS_FOCUSED;
        notifyItem(w, j, old, s.items[j].state);
        if (find(hwnd) == nullptr) return;
      }
  }
  UINT old = s.items[i].state;
  UINT now = (old & ~mask) | (state & mask);
  if (now == old) return;
  s.items[i].state = now;
  notifyItem(w, i, old, now);
}

void selectOnly(Window& w, int row) {
  HWND hwnd = w.hwnd;
  ListState& s = listState(w);
  for (int j = 0; j < static_cast<int>(s.items.size()) && find(hwnd); ++j)
    if (j != row) setState(w, j, 0, LVIS_SELECTED);
  if (row >= 0 && find(hwnd)) setState(w, row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

void selectRange(Window& w, int from, int to, bool keepOthers) {
  HWND hwnd = w.hwnd;
  ListState& s = listState(w);
  int a = std::min(from, to), b = std::max(from, to);
  for (int j = 0; j < static_cast<int>(s.items.size()) && find(hwnd); ++j) {
    if (j >= a && j <= b)
      setState(w, j, LVIS_SELECTED, LVIS_SELECTED);
    else if (!keepOthers)
      setState(w, j, 0, LVIS_SELECTED);
  }
  if (find(hwnd)) setState(w, to, LVIS_FOCUSED, LVIS_FOCUSED);
}

int focusedItem(ListState& s) {
  for (int i = 0; i < static_cast<int>(s.items.size()); ++i)
    if (s.items[i].state & LVIS_FOCUSED) return i;
  return -1;
}

void ensureVisible(Window& w, int i) {
  ListState& s = listState(w);
  int pp = perPage(w);
  if (i < s.top) s.top = i;
  if (i >= s.top + pp) s.top = i - pp + 1;
  updateScroll(w);
}

void copyText(const std::u16string& t, LPWSTR out, int max) {
  if (out == nullptr || max <= 0) return;
  int n = std::min<int>(static_cast<int>(t.size()), max - 1);
  std::memcpy(out, t.data(), n * sizeof(WCHAR));
  out[n] = 0;
}

std::u16string cellText(const Item& it, int sub) {
  return sub >= 0 && sub < static_cast<int>(it.texts.size()) ? it.texts[sub] : std::u16string();
}

// Applies a click (or a keyboard move) at row `row` with the modifiers held.
void pick(Window& w, int row, bool ctrl, bool shift) {
  ListState& s = listState(w);
  bool single = (w.style & LVS_SINGLESEL) != 0;
  if (row < 0) {
    if (!ctrl && !shift) selectOnly(w, -1);
    return;
  }
  if (single || (!ctrl && !shift)) {
    selectOnly(w, row);
    s.mark = row;
  } else if (shift) {
    selectRange(w, s.mark >= 0 ? s.mark : row, row, ctrl);
  } else {
    bool on = (s.items[row].state & LVIS_SELECTED) != 0;
    setState(w, row, (on ? 0 : LVIS_SELECTED) | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    s.mark = row;
  }
}

int rowAt(Window& w, int y) {
  ListState& s = listState(w);
  int h = headerHeight(w);
  if (y < h) return -2;  // the header
  int row = s.top + (y - h) / rowHeight(w);
  return row < static_cast<int>(s.items.size()) ? row : -1;
}

void paintList(Window& w, HDC hdc) {
  ListState& s = listState(w);
  RECT r;
  GetClientRect(w.hwnd, &r);
  bool disabled = (w.style & WS_DISABLED) != 0;
  FillRect(hdc, &r, GetSysColorBrush(disabled ? COLOR_BTNFACE : COLOR_WINDOW));
  HGDIOBJ oldFont = SelectObject(hdc, fontOfList(w));
  SetBkMode(hdc, TRANSPARENT);
  int hh = headerHeight(w), rh = rowHeight(w);
  int x0 = -s.xOffset;
  if (hh > 0) {
    int x = x0;
    for (auto& c : s.columns) {
      RECT cell{x, 0, x + c.width, hh};
      DrawFrameControl(hdc, &cell, DFC_BUTTON, DFCS_BUTTONPUSH);
      RECT tr{cell.left + 6, cell.top, cell.right - 6, cell.bottom};
      SetTextColor(hdc, GetSysColor(COLOR_BTNTEXT));
      UINT fmt = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX |
                 (c.fmt == LVCFMT_RIGHT    ? DT_RIGHT
                  : c.fmt == LVCFMT_CENTER ? DT_CENTER
                                           : DT_LEFT);
      DrawTextW(hdc, c.text.c_str(), static_cast<int>(c.text.size()), &tr, fmt);
      x += c.width;
    }
    if (x < r.right) {
      RECT rest{x, 0, r.right, hh};
      DrawFrameControl(hdc, &rest, DFC_BUTTON, DFCS_BUTTONPUSH);
    }
  }
  bool showSel = s.focused || (w.style & LVS_SHOWSELALWAYS);
  bool fullRow = (s.exStyle & LVS_EX_FULLROWSELECT) != 0;
  int total = totalWidth(s);
  for (int i = s.top; i < static_cast<int>(s.items.size()); ++i) {
    int y = hh + (i - s.top) * rh;
    if (y >= r.bottom) break;
    const Item& it = s.items[i];
    bool sel = (it.state & LVIS_SELECTED) && showSel;
    int first = s.columns.empty() ? total : s.columns[0].width;
    RECT hl{x0, y, x0 + (fullRow ? total : first), y + rh};
    if (sel) FillRect(hdc, &hl, GetSysColorBrush(s.focused ? COLOR_HIGHLIGHT : COLOR_BTNFACE));
    int x = x0;
    for (size_t c = 0; c < s.columns.size(); ++c) {
      const Column& col = s.columns[c];
      std::u16string t = cellText(it, col.subItem);
      RECT tr{x + 6, y, x + col.width - 6, y + rh};
      bool inHighlight = sel && (fullRow || c == 0);
      SetTextColor(hdc, disabled                   ? GetSysColor(COLOR_GRAYTEXT)
                        : inHighlight && s.focused ? GetSysColor(COLOR_HIGHLIGHTTEXT)
                                                   : GetSysColor(COLOR_WINDOWTEXT));
      UINT fmt = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX |
                 (col.fmt == LVCFMT_RIGHT    ? DT_RIGHT
                  : col.fmt == LVCFMT_CENTER ? DT_CENTER
                                             : DT_LEFT);
      DrawTextW(hdc, t.c_str(), static_cast<int>(t.size()), &tr, fmt);
      x += col.width;
    }
    if (s.exStyle & LVS_EX_GRIDLINES) {
      RECT line{x0, y + rh - 1, x0 + total, y + rh};
      FillRect(hdc, &line, GetSysColorBrush(COLOR_BTNFACE));
    }
    if (s.focused && (it.state & LVIS_FOCUSED)) DrawFocusRect(hdc, &hl);
  }
  if (s.exStyle & LVS_EX_GRIDLINES) {
    int x = x0;
    for (auto& c : s.columns) {
      x += c.width;
      RECT line{x - 1, hh, x, r.bottom};
      FillRect(hdc, &line, GetSysColorBrush(COLOR_BTNFACE));
    }
  }
  SelectObject(hdc, oldFont);
}

}  // namespace

int listViewRowCount(HWND list) {
  Window* w = find(list);
  return w && w->kind == Kind::ListView ? static_cast<int>(listState(*w).items.size()) : 0;
}

std::vector<std::u16string> listViewRow(HWND list, int row) {
  Window* w = find(list);
  std::vector<std::u16string> out;
  if (!w || w->kind != Kind::ListView) return out;
  ListState& s = listState(*w);
  if (row < 0 || row >= static_cast<int>(s.items.size())) return out;
  for (auto& c : s.columns) out.push_back(cellText(s.items[row], c.subItem));
  if (s.columns.empty()) out.push_back(cellText(s.items[row], 0));
  return out;
}

bool listViewRowSelected(HWND list, int row) {
  Window* w = find(list);
  if (!w || w->kind != Kind::ListView) return false;
  ListState& s = listState(*w);
  return row >= 0 && row < static_cast<int>(s.items.size()) && (s.items[row].state & LVIS_SELECTED);
}

bool listViewRowPoint(HWND list, int row, POINT* p) {
  Window* w = find(list);
  if (!w || w->kind != Kind::ListView) return false;
  ListState& s = listState(*w);
  if (row < 0 || row >= static_cast<int>(s.items.size())) return false;
  ensureVisible(*w, row);
  int first = s.columns.empty() ? 40 : s.columns[0].width;
  RECT r;
  GetClientRect(list, &r);
  p->x = std::max(2, std::min<int>(first - s.xOffset, r.right) / 2);
  p->y = headerHeight(*w) + (row - s.top) * rowHeight(*w) + rowHeight(*w) / 2;
  return true;
}

LRESULT listViewProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  ListState& s = listState(*w);
  int count = static_cast<int>(s.items.size());
  switch (msg) {
    case WM_CREATE: updateScroll(*w); return 0;
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_SETFONT:
      w->font = reinterpret_cast<HFONT>(wParam);
      updateScroll(*w);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case WM_SIZE:
    case WM_STYLECHANGED: updateScroll(*w); return 0;
    case LVM_GETITEMCOUNT: return count;
    case LVM_SETEXTENDEDLISTVIEWSTYLE: {
      DWORD old = s.exStyle;
      DWORD mask = wParam ? static_cast<DWORD>(wParam) : 0xFFFFFFFFu;
      s.exStyle = (old & ~mask) | (static_cast<DWORD>(lParam) & mask);
      return old;
    }
    case LVM_GETEXTENDEDLISTVIEWSTYLE: return s.exStyle;
    case LVM_INSERTCOLUMNW: {
      auto* c = reinterpret_cast<const LVCOLUMNW*>(lParam);
      if (c == nullptr) return -1;
      Column col;
      if ((c->mask & LVCF_TEXT) && c->pszText) col.text = c->pszText;
      if (c->mask & LVCF_WIDTH) col.width = c->cx;
      if (c->mask & LVCF_FMT) col.fmt = c->fmt & 3;
      int at = std::clamp(static_cast<int>(wParam), 0, static_cast<int>(s.columns.size()));
      col.subItem = (c->mask & LVCF_SUBITEM) ? c->iSubItem : at;
      int pos = at;
      if (c->mask & LVCF_ORDER) pos = std::clamp(c->iOrder, 0, static_cast<int>(s.columns.size()));
      s.columns.insert(s.columns.begin() + pos, col);
      updateScroll(*w);
      return pos;
    }
    case LVM_DELETECOLUMN: {
      int i = static_cast<int>(wParam);
      if (i < 0 || i >= static_cast<int>(s.columns.size())) return FALSE;
      s.columns.erase(s.columns.begin() + i);
      updateScroll(*w);
      return TRUE;
    }
    case LVM_GETCOLUMNW: {
      int i = static_cast<int>(wParam);
      auto* c = reinterpret_cast<LVCOLUMNW*>(lParam);
      if (!c || i < 0 || i >= static_cast<int>(s.columns.size())) return FALSE;
      if (c->mask & LVCF_TEXT) copyText(s.columns[i].text, c->pszText, c->cchTextMax);
      if (c->mask & LVCF_WIDTH) c->cx = s.columns[i].width;
      if (c->mask & LVCF_FMT) c->fmt = s.columns[i].fmt;
      if (c->mask & LVCF_SUBITEM) c->iSubItem = s.columns[i].subItem;
      if (c->mask & LVCF_ORDER) c->iOrder = i;
      return TRUE;
    }
    case LVM_SETCOLUMNW: {
      int i = static_cast<int>(wParam);
      auto* c = reinterpret_cast<const LVCOLUMNW*>(lParam);
      if (!c || i < 0 || i >= static_cast<int>(s.columns.size())) return FALSE;
      if ((c->mask & LVCF_TEXT) && c->pszText) s.columns[i].text = c->pszText;
      if (c->mask & LVCF_WIDTH) s.columns[i].width = c->cx;
      if (c->mask & LVCF_FMT) s.columns[i].fmt = c->fmt & 3;
      updateScroll(*w);
      return TRUE;
    }
    case LVM_GETCOLUMNWIDTH: {
      int i = static_cast<int>(wParam);
      return i >= 0 && i < static_cast<int>(s.columns.size()) ? s.columns[i].width : 0;
    }
    case LVM_SETCOLUMNWIDTH: {
      int i = static_cast<int>(wParam);
      if (i < 0 || i >= static_cast<int>(s.columns.size())) return FALSE;
      s.columns[i].width = std::max(0, static_cast<int>(static_cast<short>(LOWORD(lParam))));
      updateScroll(*w);
      return TRUE;
    }
    case LVM_INSERTITEMW: {
      auto* it = reinterpret_cast<const LVITEMW*>(lParam);
      if (it == nullptr || it->iSubItem != 0) return -1;
      Item item;
      item.texts.push_back((it->mask & LVIF_TEXT) && it->pszText ? std::u16string(it->pszText) : std::u16string());
      if (it->mask & LVIF_PARAM) item.param = it->lParam;
      int at = std::clamp(it->iItem, 0, count);
      if (w->style & (LVS_SORTASCENDING | LVS_SORTDESCENDING)) {
        bool asc = (w->style & LVS_SORTASCENDING) != 0;
        at = 0;
        while (at < count && (asc ? s.items[at].texts[0] <= item.texts[0] : s.items[at].texts[0] >= item.texts[0]))
          ++at;
      }
      s.items.insert(s.items.begin() + at, item);
      if (s.mark >= at) ++s.mark;
      if (it->mask & LVIF_STATE) setState(*w, at, it->state, it->stateMask);
      if ((w = find(hwnd))) updateScroll(*w);
      return at;
    }
    case LVM_SETITEMTEXTW:
    case LVM_SETITEMW: {
      auto* it = reinterpret_cast<const LVITEMW*>(lParam);
      if (it == nullptr) return FALSE;
      int i = msg == LVM_SETITEMTEXTW ? static_cast<int>(wParam) : it->iItem;
      if (i < 0 || i >= count || it->iSubItem < 0) return FALSE;
      Item& item = s.items[i];
      if (msg == LVM_SETITEMTEXTW || (it->mask & LVIF_TEXT)) {
        if (static_cast<int>(item.texts.size()) <= it->iSubItem) item.texts.resize(it->iSubItem + 1);
        item.texts[it->iSubItem] = it->pszText ? std::u16string(it->pszText) : std::u16string();
      }
      if (msg == LVM_SETITEMW && (it->mask & LVIF_PARAM) && it->iSubItem == 0) item.param = it->lParam;
      if (msg == LVM_SETITEMW && (it->mask & LVIF_STATE) && it->iSubItem == 0)
        setState(*w, i, it->state, it->stateMask);
      return TRUE;
    }
    case LVM_GETITEMW: {
      auto* it = reinterpret_cast<LVITEMW*>(lParam);
      if (it == nullptr || it->iItem < 0 || it->iItem >= count) return FALSE;
      const Item& item = s.items[it->iItem];
      if (it->mask & LVIF_TEXT) copyText(cellText(item, it->iSubItem), it->pszText, it->cchTextMax);
      if (it->mask & LVIF_STATE) it->state = item.state & it->stateMask;
      if (it->mask & LVIF_PARAM) it->lParam = item.param;
      return TRUE;
    }
    case LVM_GETITEMTEXTW: {
      auto* it = reinterpret_cast<LVITEMW*>(lParam);
      int i = static_cast<int>(wParam);
      if (it == nullptr || i < 0 || i >= count) return 0;
      std::u16string t = cellText(s.items[i], it->iSubItem);
      copyText(t, it->pszText, it->cchTextMax);
      return std::min<int>(static_cast<int>(t.size()), std::max(0, it->cchTextMax - 1));
    }
    case LVM_DELETEITEM: {
      int i = static_cast<int>(wParam);
      if (i < 0 || i >= count) return FALSE;
      s.items.erase(s.items.begin() + i);
      if (s.mark == i)
        s.mark = -1;
      else if (s.mark > i)
        --s.mark;
      updateScroll(*w);
      return TRUE;
    }
    case LVM_DELETEALLITEMS:
      s.items.clear();
      s.mark = -1;
      s.top = 0;
      updateScroll(*w);
      return TRUE;
    case LVM_GETNEXTITEM: {
      int start = static_cast<int>(static_cast<LONG_PTR>(static_cast<int>(wParam)));
      UINT flags = static_cast<UINT>(lParam);
      UINT need = flags & (LVNI_SELECTED | LVNI_FOCUSED);
      bool up = (flags & LVNI_ABOVE) != 0;
      for (int i = up ? start - 1 : start + 1; i >= 0 && i < count; i += up ? -1 : 1)
        if ((s.items[i].state & need) == need) return i;
      return -1;
    }
    case LVM_SETITEMSTATE: {
      auto* it = reinterpret_cast<const LVITEMW*>(lParam);
      if (it == nullptr) return FALSE;
      int i = static_cast<int>(static_cast<LONG_PTR>(static_cast<int>(wParam)));
      if (i == -1) {
        for (int j = 0; j < count && find(hwnd); ++j) setState(*w, j, it->state, it->stateMask & ~LVIS_FOCUSED);
        return TRUE;
      }
      if (i < 0 || i >= count) return FALSE;
      setState(*w, i, it->state, it->stateMask);
      if ((it->stateMask & it->state & LVIS_SELECTED) && find(hwnd)) s.mark = i;
      return TRUE;
    }
    case LVM_GETITEMSTATE: {
      int i = static_cast<int>(wParam);
      return i >= 0 && i < count ? (s.items[i].state & static_cast<UINT>(lParam)) : 0;
    }
    case LVM_GETSELECTEDCOUNT: {
      int n = 0;
      for (auto& it : s.items)
        if (it.state & LVIS_SELECTED) ++n;
      return n;
    }
    case LVM_GETSELECTIONMARK: return s.mark;
    case LVM_SETSELECTIONMARK: {
      int old = s.mark;
      s.mark = static_cast<int>(lParam);
      return old;
    }
    case LVM_ENSUREVISIBLE: {
      int i = static_cast<int>(wParam);
      if (i < 0 || i >= count) return FALSE;
      ensureVisible(*w, i);
      return TRUE;
    }
    case LVM_GETTOPINDEX: return s.top;
    case LVM_GETCOUNTPERPAGE: return perPage(*w);
    case WM_SETFOCUS:
      s.focused = true;
      notifyCode(*w, NM_SETFOCUS, -1);
      return 0;
    case WM_KILLFOCUS:
      s.focused = false;
      notifyCode(*w, NM_KILLFOCUS, -1);
      return 0;
    case WM_LBUTTONDOWN: {
      if (w->style & WS_DISABLED) return 0;
      if (GetFocus() != hwnd) SetFocus(hwnd);
      if ((w = find(hwnd)) == nullptr) return 0;
      int row = rowAt(*w, GET_Y_LPARAM(lParam));
      if (row == -2) return 0;
      pick(*w, row, (wParam & MK_CONTROL) != 0, (wParam & MK_SHIFT) != 0);
      if ((w = find(hwnd)) == nullptr) return 0;
      listState(*w).tracking = true;
      return 0;
    }
    case WM_LBUTTONUP: {
      if (!s.tracking) return 0;
      s.tracking = false;
      int row = rowAt(*w, GET_Y_LPARAM(lParam));
      notifyCode(*w, NM_CLICK, row >= 0 ? row : -1);
      return 0;
    }
    case WM_LBUTTONDBLCLK: {
      int row = rowAt(*w, GET_Y_LPARAM(lParam));
      notifyCode(*w, NM_DBLCLK, row >= 0 ? row : -1);
      return 0;
    }
    case WM_KEYDOWN: {
      if (count == 0) return 0;
      bool ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
      bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
      int f = focusedItem(s);
      int target = f;
      switch (static_cast<int>(wParam)) {
        case VK_UP: target = std::max(0, f - 1); break;
        case VK_DOWN: target = std::min(count - 1, f + 1); break;
        case VK_HOME: target = 0; break;
        case VK_END: target = count - 1; break;
        case VK_PRIOR: target = std::max(0, f - perPage(*w)); break;
        case VK_NEXT: target = std::min(count - 1, f + perPage(*w)); break;
        case VK_SPACE:
          if (f < 0) return 0;
          if (ctrl && !(w->style & LVS_SINGLESEL))
            pick(*w, f, true, false);
          else
            pick(*w, f, false, false);
          return 0;
        default: return 0;
      }
      if (f < 0) target = 0;
      if (ctrl && !shift && !(w->style & LVS_SINGLESEL)) {
        setState(*w, target, LVIS_FOCUSED, LVIS_FOCUSED);
      } else {
        pick(*w, target, false, shift);
      }
      if ((w = find(hwnd))) ensureVisible(*w, target);
      return 0;
    }
    case WM_VSCROLL: {
      int pp = perPage(*w);
      switch (LOWORD(wParam)) {
        case SB_LINEUP: s.top -= 1; break;
        case SB_LINEDOWN: s.top += 1; break;
        case SB_PAGEUP: s.top -= pp; break;
        case SB_PAGEDOWN: s.top += pp; break;
        case SB_TOP: s.top = 0; break;
        case SB_BOTTOM: s.top = count; break;
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK: s.top = static_cast<short>(HIWORD(wParam)); break;
        default: break;
      }
      updateScroll(*w);
      return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      paintList(*w, hdc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

}  // namespace ui
