// The edit control: single line, password mask, read-only, multi-line with
// word wrap or scrolling. Each typed character is one change (EN_UPDATE then
// EN_CHANGE), a paste is one change as a whole, and WM_SETTEXT is one change.
#include <algorithm>
#include <map>
#include <mutex>

#include "internal.h"

namespace ui {
int textWidth(HFONT font, const std::u16string& text);
int lineHeight(HFONT font);

namespace {

std::mutex gClipMutex;
std::u16string gClipboard;

constexpr int kDefaultLimit = 0x7FFFFFFE;
constexpr int kMargin = 2;

struct EditState : ControlState {
  int selStart = 0;
  int selEnd = 0;  // the caret
  int limit = kDefaultLimit;
  char16_t passwordChar = u'*';
  int firstLine = 0;
  int xOffset = 0;
  bool focused = false;
  bool modified = false;
};

struct VisualLine {
  int start;
  int end;  // exclusive, without the line break
};

EditState& editState(Window& w) {
  if (!w.ctl) w.ctl = std::make_unique<EditState>();
  return static_cast<EditState&>(*w.ctl);
}

bool multiLine(const Window& w) { return (w.style & ES_MULTILINE) != 0; }
bool password(const Window& w) { return (w.style & ES_PASSWORD) && !multiLine(w); }

// The control's text becomes `next`. The new text is built whole before it
// is swapped in and the old one is wiped, its unused room included: a
// password typed key by key leaves no copy of itself in freed memory.
void setText(Window& w, std::u16string&& next) {
  w.text.swap(next);
  wipeText(next);
}

HFONT fontOfEdit(const Window& w) { return w.font ? w.font : reinterpret_cast<HFONT>(GetStockObject(SYSTEM_FONT)); }

// What the control shows: the mask for a password edit.
std::u16string shown(Window& w) {
  if (password(w)) return std::u16string(w.text.size(), editState(w).passwordChar);
  return w.text;
}

std::map<std::pair<HFONT, char16_t>, int> gCharWidths;

int charWidth(HFONT font, char16_t c) {
  if (c < 0x20) return 0;
  auto key = std::make_pair(font, c);
  auto it = gCharWidths.find(key);
  if (it != gCharWidths.end()) return it->second;
  int w = textWidth(font, std::u16string(1, c));
  gCharWidths[key] = w;
  return w;
}

int spanWidth(HFONT font, const std::u16string& s, int from, int to) {
  int w = 0;
  for (int i = from; i < to; ++i) w += charWidth(font, s[i]);
  return w;
}

bool wraps(const Window& w) { return multiLine(w) && !(w.style & (ES_AUTOHSCROLL | WS_HSCROLL)); }

int clientWidth(HWND hwnd) {
  RECT r;
  GetClientRect(hwnd, &r);
  return std::max<int>(0, r.right - 2 * kMargin);
}

// Lines as shown: a CR LF pair starts a new line; with word wrap, long lines
// break between words (or between characters of scripts without blanks).
std::vector<VisualLine> layoutLines(Window& w) {
  std::vector<VisualLine> lines;
  const std::u16string& t = w.text;
  if (!multiLine(w)) {
    lines.push_back({0, static_cast<int>(t.size())});
    return lines;
  }
  HFONT font = fontOfEdit(w);
  int width = clientWidth(w.hwnd);
  int n = static_cast<int>(t.size());
  int start = 0;
  for (;;) {
    int end = start;
    while (end < n && !(t[end] == u'\r' && end + 1 < n && t[end + 1] == u'\n')) ++end;
    if (wraps(w) && width > 0) {
      int ls = start;
      while (true) {
        int x = 0, lastBreak = -1, i = ls;
        for (; i < end; ++i) {
          int cw = charWidth(font, t[i]);
          if (x + cw > width && i > ls) break;
          x += cw;
          if (t[i] == u' ' || t[i] >= 0x2E80) lastBreak = i + 1;
          if (i + 1 < end && t[i + 1] >= 0x2E80) lastBreak = i + 1;
        }
        if (i >= end) {
          lines.push_back({ls, end});
          break;
        }
        int cut = lastBreak > ls ? lastBreak : i;
        lines.push_back({ls, cut});
        ls = cut;
      }
    } else {
      lines.push_back({start, end});
    }
    if (end >= n) break;
    start = end + 2;
  }
  return lines;
}

int lineOf(const std::vector<VisualLine>& lines, int pos) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (pos >= lines[i].start && pos <= lines[i].end) {
      if (pos == lines[i].end && i + 1 < lines.size() && lines[i + 1].start == pos) return static_cast<int>(i + 1);
      return static_cast<int>(i);
    }
  return lines.empty() ? 0 : static_cast<int>(lines.size()) - 1;
}

int visibleLines(Window& w) {
  RECT r;
  GetClientRect(w.hwnd, &r);
  int lh = lineHeight(fontOfEdit(w));
  return std::max(1, static_cast<int>(r.bottom) / std::max(1, lh));
}

void updateScrollBars(Window& w) {
  EditState& s = editState(w);
  auto lines = layoutLines(w);
  w.scroll[SB_VERT] = ScrollState{0, std::max(0, static_cast<int>(lines.size()) - 1), visibleLines(w), s.firstLine};
  HFONT font = fontOfEdit(w);
  std::u16string disp = shown(w);
  int widest = 0;
  for (auto& l : lines) widest = std::max(widest, spanWidth(font, disp, l.start, l.end));
  w.scroll[SB_HORZ] = ScrollState{0, widest, clientWidth(w.hwnd), s.xOffset};
}

void scrollToCaret(Window& w) {
  EditState& s = editState(w);
  auto lines = layoutLines(w);
  int line = lineOf(lines, s.selEnd);
  if (multiLine(w)) {
    int vis = visibleLines(w);
    if (line < s.firstLine) s.firstLine = line;
    if (line >= s.firstLine + vis) s.firstLine = line - vis + 1;
  }
  if (!wraps(w)) {
    std::u16string disp = shown(w);
    int x = spanWidth(fontOfEdit(w), disp, lines[line].start, s.selEnd);
    int width = clientWidth(w.hwnd);
    if (x < s.xOffset) s.xOffset = std::max(0, x - width / 4);
    if (x > s.xOffset + width) s.xOffset = x - width + width / 4;
  }
  updateScrollBars(w);
}

void notify(Window& w, bool change) {
  HWND hwnd = w.hwnd;
  notifyParent(w, EN_UPDATE);
  if (!change) return;
  if (Window* x = find(hwnd)) notifyParent(*x, EN_CHANGE);
}

// Replaces the selection with `s`; `typed` applies the rules of keyboard input.
// Returns false when nothing changed.
bool replaceSelection(Window& w, std::u16string s, bool typed) {
  EditState& e = editState(w);
  int a = std::min(e.selStart, e.selEnd), b = std::max(e.selStart, e.selEnd);
  if (!multiLine(w)) {
    size_t cut = s.find_first_of(u"\r\n");
    if (cut != std::u16string::npos) s.resize(cut);
  }
  if (w.style & ES_UPPERCASE)
    for (auto& c : s)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  if (w.style & ES_LOWERCASE)
    for (auto& c : s)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  if (typed && (w.style & ES_NUMBER))
    for (auto c : s)
      if (c < u'0' || c > u'9') return false;
  long long room = static_cast<long long>(e.limit) - (static_cast<long long>(w.text.size()) - (b - a));
  bool truncated = false;
  if (room < static_cast<long long>(s.size())) {
    s.resize(static_cast<size_t>(std::max(0LL, room)));
    truncated = true;
  }
  if (s.empty() && a == b) {
    if (truncated) notifyParent(w, EN_MAXTEXT);
    return false;
  }
  std::u16string next;
  next.reserve(w.text.size() - static_cast<size_t>(b - a) + s.size());
  next.append(w.text, 0, static_cast<size_t>(a)).append(s).append(w.text, static_cast<size_t>(b));
  setText(w, std::move(next));
  e.selStart = e.selEnd = a + static_cast<int>(s.size());
  wipeText(s);
  e.modified = true;
  scrollToCaret(w);
  HWND hwnd = w.hwnd;
  if (truncated) notifyParent(w, EN_MAXTEXT);
  if (Window* x = find(hwnd)) notify(*x, true);
  return true;
}

void deleteRange(Window& w, int a, int b) {
  EditState& e = editState(w);
  e.selStart = a;
  e.selEnd = b;
  replaceSelection(w, u"", false);
}

int positionFromPoint(Window& w, int x, int y) {
  EditState& e = editState(w);
  auto lines = layoutLines(w);
  int lh = std::max(1, lineHeight(fontOfEdit(w)));
  int line = multiLine(w) ? std::clamp(e.firstLine + (y - 1) / lh, 0, static_cast<int>(lines.size()) - 1) : 0;
  std::u16string disp = shown(w);
  HFONT font = fontOfEdit(w);
  int px = x - kMargin + e.xOffset;
  int pos = lines[line].start, acc = 0;
  for (int i = lines[line].start; i < lines[line].end; ++i) {
    int cw = charWidth(font, disp[i]);
    if (acc + cw / 2 >= px) break;
    acc += cw;
    pos = i + 1;
  }
  return pos;
}

void moveCaret(Window& w, int pos, bool extend) {
  EditState& e = editState(w);
  pos = std::clamp(pos, 0, static_cast<int>(w.text.size()));
  // Never stop between the CR and LF of a line break.
  if (pos > 0 && pos < static_cast<int>(w.text.size()) && w.text[pos - 1] == u'\r' && w.text[pos] == u'\n') {
    pos += pos > e.selEnd ? 1 : -1;
  }
  e.selEnd = pos;
  if (!extend) e.selStart = pos;
  scrollToCaret(w);
}

void paintEdit(Window& w, HDC hdc) {
  EditState& e = editState(w);
  RECT r;
  GetClientRect(w.hwnd, &r);
  bool readOnly = (w.style & ES_READONLY) != 0;
  bool disabled = (w.style & WS_DISABLED) != 0;
  HBRUSH brush = controlColor(w, hdc, (readOnly || disabled) ? WM_CTLCOLORSTATIC : WM_CTLCOLOREDIT);
  FillRect(hdc, &r, brush);
  HFONT font = fontOfEdit(w);
  HGDIOBJ oldFont = SelectObject(hdc, font);
  COLORREF textColor = disabled ? GetSysColor(COLOR_GRAYTEXT) : GetTextColor(hdc);
  SetBkMode(hdc, TRANSPARENT);
  std::u16string disp = shown(w);
  auto lines = layoutLines(w);
  int lh = lineHeight(font);
  int a = std::min(e.selStart, e.selEnd), b = std::max(e.selStart, e.selEnd);
  bool showSel = (e.focused || (w.style & ES_NOHIDESEL)) && a != b;
  int first = multiLine(w) ? e.firstLine : 0;
  int caretLine = lineOf(lines, e.selEnd);
  for (int li = first; li < static_cast<int>(lines.size()); ++li) {
    int y = 1 + (li - first) * lh;
    if (y >= r.bottom) break;
    const VisualLine& l = lines[li];
    int width = spanWidth(font, disp, l.start, l.end);
    int x0 = kMargin - e.xOffset;
    int avail = r.right - 2 * kMargin;
    if (w.style & ES_CENTER)
      x0 = kMargin + (avail - width) / 2 - (wraps(w) ? 0 : e.xOffset);
    else if (w.style & ES_RIGHT)
      x0 = r.right - kMargin - width;
    std::u16string seg = disp.substr(l.start, l.end - l.start);
    SetTextColor(hdc, textColor);
    TextOutW(hdc, x0, y, seg.c_str(), static_cast<int>(seg.size()));
    if (showSel) {
      int sa = std::clamp(a, l.start, l.end), sb = std::clamp(b, l.start, l.end);
      if (sa < sb) {
        int sx = x0 + spanWidth(font, disp, l.start, sa);
        int sw = spanWidth(font, disp, sa, sb);
        RECT hl{sx, y, sx + sw, y + lh};
        FillRect(hdc, &hl, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(hdc, GetSysColor(COLOR_HIGHLIGHTTEXT));
        std::u16string part = disp.substr(sa, sb - sa);
        TextOutW(hdc, sx, y, part.c_str(), static_cast<int>(part.size()));
      }
    }
    if (e.focused && a == b && li == caretLine) {
      int cx = x0 + spanWidth(font, disp, l.start, e.selEnd);
      RECT caret{cx, y, cx + 1, y + lh};
      FillRect(hdc, &caret, reinterpret_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
  }
  SelectObject(hdc, oldFont);
}

}  // namespace

std::u16string editDisplayText(HWND edit) {
  Window* w = find(edit);
  if (w == nullptr || w->kind != Kind::Edit) return u"";
  return shown(*w);
}

std::u16string clipboardText() {
  std::lock_guard<std::mutex> lock(gClipMutex);
  return gClipboard;
}

void setClipboardText(const std::u16string& text) {
  std::lock_guard<std::mutex> lock(gClipMutex);
  gClipboard = text;
}

LRESULT editProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  EditState& e = editState(*w);
  bool readOnly = (w->style & ES_READONLY) != 0;
  switch (msg) {
    case WM_CREATE:
      if (w->style & ES_PASSWORD) e.passwordChar = u'*';
      e.selStart = e.selEnd = 0;
      updateScrollBars(*w);
      return 0;
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      auto* m = reinterpret_cast<const MSG*>(lParam);
      if (multiLine(*w) && (w->style & ES_WANTRETURN) && m && m->message == WM_KEYDOWN && m->wParam == VK_RETURN)
        code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_SETFONT:
      w->font = reinterpret_cast<HFONT>(wParam);
      updateScrollBars(*w);
      return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case WM_SIZE: updateScrollBars(*w); return 0;
    case WM_SETTEXT:
      setText(*w, lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string());
      e.selStart = e.selEnd = 0;
      e.firstLine = 0;
      e.xOffset = 0;
      e.modified = false;
      updateScrollBars(*w);
      notify(*w, !multiLine(*w));
      return TRUE;
    case WM_CHAR: {
      char16_t c = static_cast<char16_t>(wParam);
      switch (c) {
        case 0x16: send(hwnd, WM_PASTE, 0, 0); return 0;
        case 0x03: send(hwnd, WM_COPY, 0, 0); return 0;
        case 0x18: send(hwnd, WM_CUT, 0, 0); return 0;
        case 0x08:
          if (readOnly) return 0;
          if (e.selStart != e.selEnd) {
            replaceSelection(*w, u"", false);
          } else if (e.selEnd > 0) {
            int from = e.selEnd - 1;
            if (from > 0 && w->text[from] == u'\n' && w->text[from - 1] == u'\r') --from;
            deleteRange(*w, from, e.selEnd);
          }
          return 0;
        case u'\r':
          if (!readOnly && multiLine(*w) && (w->style & ES_WANTRETURN)) replaceSelection(*w, u"\r\n", true);
          return 0;
        default:
          if (c < 0x20 || readOnly) return 0;
          replaceSelection(*w, std::u16string(1, c), true);
          return 0;
      }
    }
    case WM_KEYDOWN: {
      bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
      bool ctrl = (GetKeyState(VK_CONTROL) & 0x8000) != 0;
      auto lines = layoutLines(*w);
      int line = lineOf(lines, e.selEnd);
      HFONT font = fontOfEdit(*w);
      std::u16string disp = shown(*w);
      auto toLine = [&](int target) {
        target = std::clamp(target, 0, static_cast<int>(lines.size()) - 1);
        int x = spanWidth(font, disp, lines[line].start, e.selEnd);
        int pos = lines[target].start, acc = 0;
        for (int i = lines[target].start; i < lines[target].end; ++i) {
          int cw = charWidth(font, disp[i]);
          if (acc + cw / 2 > x) break;
          acc += cw;
          pos = i + 1;
        }
        return pos;
      };
      switch (static_cast<int>(wParam)) {
        case VK_LEFT:
          moveCaret(*w, (e.selStart != e.selEnd && !shift) ? std::min(e.selStart, e.selEnd) : e.selEnd - 1, shift);
          break;
        case VK_RIGHT:
          moveCaret(*w, (e.selStart != e.selEnd && !shift) ? std::max(e.selStart, e.selEnd) : e.selEnd + 1, shift);
          break;
        case VK_HOME: moveCaret(*w, ctrl ? 0 : lines[line].start, shift); break;
        case VK_END: moveCaret(*w, ctrl ? static_cast<int>(w->text.size()) : lines[line].end, shift); break;
        case VK_UP:
          if (multiLine(*w)) moveCaret(*w, toLine(line - 1), shift);
          break;
        case VK_DOWN:
          if (multiLine(*w)) moveCaret(*w, toLine(line + 1), shift);
          break;
        case VK_PRIOR:
          if (multiLine(*w)) moveCaret(*w, toLine(line - visibleLines(*w)), shift);
          break;
        case VK_NEXT:
          if (multiLine(*w)) moveCaret(*w, toLine(line + visibleLines(*w)), shift);
          break;
        case VK_DELETE:
          if (readOnly) break;
          if (e.selStart != e.selEnd) {
            replaceSelection(*w, u"", false);
          } else if (e.selEnd < static_cast<int>(w->text.size())) {
            int to = e.selEnd + 1;
            if (w->text[e.selEnd] == u'\r' && to < static_cast<int>(w->text.size()) && w->text[to] == u'\n') ++to;
            deleteRange(*w, e.selEnd, to);
          }
          break;
        default: break;
      }
      return 0;
    }
    case WM_PASTE:
      if (readOnly) return 0;
      replaceSelection(*w, clipboardText(), false);
      return 0;
    case WM_COPY:
      if (!password(*w) && e.selStart != e.selEnd) {
        int a = std::min(e.selStart, e.selEnd), b = std::max(e.selStart, e.selEnd);
        setClipboardText(w->text.substr(a, b - a));
      }
      return 0;
    case WM_CUT:
      if (readOnly || password(*w)) return 0;
      send(hwnd, WM_COPY, 0, 0);
      replaceSelection(*w, u"", false);
      return 0;
    case WM_CLEAR:
      if (readOnly) return 0;
      replaceSelection(*w, u"", false);
      return 0;
    case EM_SETSEL: {
      int n = static_cast<int>(w->text.size());
      int a = static_cast<int>(static_cast<LONG_PTR>(static_cast<int>(wParam)));
      int b = static_cast<int>(lParam);
      if (a < 0) {
        e.selStart = e.selEnd;  // takes the selection away
        return 0;
      }
      if (b < 0 || b > n) b = n;
      e.selStart = std::min(a, n);
      e.selEnd = b;
      return 0;
    }
    case EM_GETSEL: {
      int a = std::min(e.selStart, e.selEnd), b = std::max(e.selStart, e.selEnd);
      if (wParam) *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(a);
      if (lParam) *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(b);
      return MAKELONG(static_cast<WORD>(a), static_cast<WORD>(b));
    }
    case EM_REPLACESEL:
      replaceSelection(*w, lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string(), false);
      return 0;
    case EM_LIMITTEXT:
      e.limit = wParam == 0 || wParam > static_cast<WPARAM>(kDefaultLimit) ? kDefaultLimit : static_cast<int>(wParam);
      return 0;
    case EM_GETLIMITTEXT: return e.limit;
    case EM_SETPASSWORDCHAR:
      e.passwordChar = static_cast<char16_t>(wParam);
      if (wParam == 0)
        w->style &= ~ES_PASSWORD;
      else if (!multiLine(*w))
        w->style |= ES_PASSWORD;
      return 0;
    case EM_GETPASSWORDCHAR: return password(*w) ? e.passwordChar : 0;
    case EM_SETREADONLY:
      if (wParam)
        w->style |= ES_READONLY;
      else
        w->style &= ~ES_READONLY;
      return TRUE;
    case EM_GETMODIFY: return e.modified ? TRUE : FALSE;
    case EM_SETMODIFY: e.modified = wParam != 0; return 0;
    case EM_GETLINECOUNT: return static_cast<LRESULT>(layoutLines(*w).size());
    case EM_GETFIRSTVISIBLELINE: return multiLine(*w) ? e.firstLine : 0;
    case EM_LINESCROLL: {
      if (!multiLine(*w)) return FALSE;
      int count = static_cast<int>(layoutLines(*w).size());
      e.firstLine = std::clamp(e.firstLine + static_cast<int>(lParam), 0, std::max(0, count - 1));
      if (!wraps(*w)) {
        TEXTMETRICW tm{};
        HDC hdc = GetDC(hwnd);
        SelectObject(hdc, fontOfEdit(*w));
        GetTextMetricsW(hdc, &tm);
        ReleaseDC(hwnd, hdc);
        e.xOffset = std::max(
            0, e.xOffset + static_cast<int>(static_cast<LONG_PTR>(static_cast<int>(wParam))) * tm.tmAveCharWidth);
      }
      updateScrollBars(*w);
      return TRUE;
    }
    case EM_SCROLLCARET: scrollToCaret(*w); return TRUE;
    case WM_VSCROLL:
    case WM_HSCROLL: {
      if (!multiLine(*w)) return 0;
      bool vert = msg == WM_VSCROLL;
      int count = static_cast<int>(layoutLines(*w).size());
      int page = vert ? visibleLines(*w) : clientWidth(hwnd);
      int step = vert ? 1 : std::max(1, lineHeight(fontOfEdit(*w)) / 2);
      int& pos = vert ? e.firstLine : e.xOffset;
      int max = vert ? std::max(0, count - 1) : std::max(0, w->scroll[SB_HORZ].max - page);
      switch (LOWORD(wParam)) {
        case SB_LINEUP: pos -= step; break;
        case SB_LINEDOWN: pos += step; break;
        case SB_PAGEUP: pos -= page; break;
        case SB_PAGEDOWN: pos += page; break;
        case SB_TOP: pos = 0; break;
        case SB_BOTTOM: pos = max; break;
        case SB_THUMBPOSITION:
        case SB_THUMBTRACK: pos = static_cast<short>(HIWORD(wParam)); break;
        default: break;
      }
      pos = std::clamp(pos, 0, max);
      updateScrollBars(*w);
      return 0;
    }
    case WM_SETFOCUS:
      e.focused = true;
      notifyParent(*w, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      e.focused = false;
      notifyParent(*w, EN_KILLFOCUS);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      if (w->style & WS_DISABLED) return 0;
      int pos = positionFromPoint(*w, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
      if (GetFocus() != hwnd) SetFocus(hwnd);
      if ((w = find(hwnd)) == nullptr) return 0;
      moveCaret(*w, pos, (wParam & MK_SHIFT) != 0);
      return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC hdc = BeginPaint(hwnd, &ps);
      paintEdit(*w, hdc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default: return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

}  // namespace ui
