// Windows, classes, message queues, timers, focus, activation and keyboard state.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "internal.h"

namespace ui {
namespace {

struct ClassInfo {
  WNDPROC proc;
  Kind kind;
  HBRUSH background;
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT elapse;
  TIMERPROC proc;
  ULONGLONG due;
  bool pending;
  ULONGLONG order;
};

// What one thread owns: its queue, timers, focus, active window and capture.
struct ThreadState {
  std::mutex queueMutex;
  std::deque<MSG> queue;
  std::vector<Timer> timers;
  HWND focus = nullptr;
  HWND active = nullptr;
  HWND capture = nullptr;
  bool quit = false;
  int quitCode = 0;
  DWORD messageTime = 0;
  int depth = 0;
};

std::recursive_mutex gMutex;
std::unordered_map<HWND, std::unique_ptr<Window>> gWindows;
std::vector<std::unique_ptr<Window>> gGraveyard;
std::uintptr_t gNextHandle = 0x10000;
std::map<std::u16string, ClassInfo> gClasses;
ULONGLONG gTimerOrder = 0;
UINT_PTR gNextThreadTimer = 0x7FFF0000;
BYTE gKeys[256];

thread_local ThreadState tThread;

std::u16string lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

void ensureClasses() {
  if (!gClasses.empty()) return;
  gClasses[u"button"] = {buttonProc, Kind::Button, nullptr};
  gClasses[u"edit"] = {editProc, Kind::Edit, nullptr};
  gClasses[u"static"] = {staticProc, Kind::Static, nullptr};
  gClasses[u"syslistview32"] = {listViewProc, Kind::ListView, nullptr};
  gClasses[u"#32770"] = {dialogClassProc, Kind::Dialog, nullptr};
}

std::u16string classNameOf(LPCWSTR name) {
  if (name == nullptr) return u"";
  if (IS_INTRESOURCE(name)) {
    switch (reinterpret_cast<ULONG_PTR>(name)) {
      case 0x0080: return u"Button";
      case 0x0081: return u"Edit";
      case 0x0082: return u"Static";
      case 0x8002: return u"#32770";
      default: return u"";
    }
  }
  return std::u16string(name);
}

std::u16string textOf(LPCWSTR text) {
  if (text == nullptr || IS_INTRESOURCE(text)) return u"";
  return std::u16string(text);
}

// Windows destroyed while messages are still being handled stay readable
// until the outermost dispatch returns.
void buryIfIdle() {
  if (tThread.depth == 0) releaseGraveyard();
}

struct DepthGuard {
  DepthGuard() { ++tThread.depth; }
  ~DepthGuard() {
    --tThread.depth;
    buryIfIdle();
  }
};

void destroyTree(Window* w);

}  // namespace

int dispatchDepth() { return tThread.depth; }

void wipeText(std::u16string& text) {
  text.resize(text.capacity());
  explicit_bzero(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

void releaseGraveyard() {
  std::vector<std::unique_ptr<Window>> dead;
  {
    std::lock_guard<std::recursive_mutex> lock(gMutex);
    dead.swap(gGraveyard);
  }
}

Window* find(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto it = gWindows.find(hwnd);
  if (it == gWindows.end() || it->second->destroyed) return nullptr;
  return it->second.get();
}

Window* findAny(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto it = gWindows.find(hwnd);
  if (it != gWindows.end()) return it->second.get();
  for (auto& g : gGraveyard)
    if (g->hwnd == hwnd) return g.get();
  return nullptr;
}

RECT clientInsets(const Window& w) {
  RECT r{0, 0, 0, 0};
  int b = 0;
  if (w.style & WS_THICKFRAME)
    b = 4;
  else if ((w.style & WS_DLGFRAME) || (w.exStyle & WS_EX_DLGMODALFRAME))
    b = 3;
  else if (w.style & WS_BORDER)
    b = 1;
  if (w.exStyle & WS_EX_CLIENTEDGE) b += 2;
  if (w.exStyle & WS_EX_STATICEDGE) b += 1;
  r.left = r.top = r.right = r.bottom = b;
  if ((w.style & WS_CAPTION) == WS_CAPTION) r.top += GetSystemMetrics(SM_CYCAPTION);
  if (w.style & WS_VSCROLL) r.right += GetSystemMetrics(SM_CXVSCROLL);
  if (w.style & WS_HSCROLL) r.bottom += GetSystemMetrics(SM_CYHSCROLL);
  return r;
}

RECT clientRectInParent(const Window& w) {
  RECT in = clientInsets(w);
  RECT r{w.rect.left + in.left, w.rect.top + in.top, w.rect.right - in.right, w.rect.bottom - in.bottom};
  if (r.right < r.left) r.right = r.left;
  if (r.bottom < r.top) r.bottom = r.top;
  return r;
}

POINT clientOriginOnScreen(const Window& w) {
  RECT c = clientRectInParent(w);
  POINT p{c.left, c.top};
  if (w.style & WS_CHILD) {
    if (Window* parent = findAny(w.parent)) {
      POINT o = clientOriginOnScreen(*parent);
      p.x += o.x;
      p.y += o.y;
    }
  }
  return p;
}

HWND topLevelOf(HWND hwnd) {
  Window* w = findAny(hwnd);
  while (w != nullptr && (w->style & WS_CHILD) && w->parent != nullptr) {
    Window* p = findAny(w->parent);
    if (p == nullptr) break;
    w = p;
  }
  return w ? w->hwnd : nullptr;
}

LRESULT send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr || w->proc == nullptr) return 0;
  DepthGuard guard;
  return w->proc(hwnd, msg, wParam, lParam);
}

void notifyParent(Window& w, WORD code) {
  if (w.parent == nullptr) return;
  send(w.parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(w.id), code), reinterpret_cast<LPARAM>(w.hwnd));
}

BYTE* keyState() { return gKeys; }

void setToggle(int vk, bool on) {
  if (on)
    gKeys[vk & 0xFF] |= 0x01;
  else
    gKeys[vk & 0xFF] &= static_cast<BYTE>(~0x01);
}

void updateKeyState(const MSG& msg) {
  auto setDown = [](int vk, bool down) {
    if (down)
      gKeys[vk] |= 0x80;
    else
      gKeys[vk] &= 0x7F;
  };
  switch (msg.message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYUP: {
      bool down = msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN;
      int vk = static_cast<int>(msg.wParam & 0xFF);
      bool wasDown = (gKeys[vk] & 0x80) != 0;
      if (down && !wasDown && (vk == VK_CAPITAL || vk == VK_NUMLOCK)) gKeys[vk] ^= 0x01;
      setDown(vk, down);
      if (vk == VK_SHIFT) setDown(VK_LSHIFT, down);
      if (vk == VK_CONTROL) setDown(VK_LCONTROL, down);
      if (vk == VK_MENU) setDown(VK_LMENU, down);
      break;
    }
    case WM_LBUTTONDOWN: setDown(VK_LBUTTON, true); break;
    case WM_LBUTTONUP: setDown(VK_LBUTTON, false); break;
    default: break;
  }
}

bool popMessage(MSG* msg, HWND filter, bool remove) {
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  for (auto it = tThread.queue.begin(); it != tThread.queue.end(); ++it) {
    if (filter != nullptr && it->hwnd != filter && !IsChild(filter, it->hwnd)) continue;
    *msg = *it;
    if (remove) {
      tThread.queue.erase(it);
      if (msg->message == WM_TIMER) {
        for (auto& t : tThread.timers)
          if (t.hwnd == msg->hwnd && t.id == msg->wParam) t.pending = false;
      }
      updateKeyState(*msg);
      tThread.messageTime = msg->time;
    }
    return true;
  }
  return false;
}

bool hasPendingTimers() { return !tThread.timers.empty(); }

bool postTimerMessages() {
  ULONGLONG now = GetTickCount64();
  std::vector<Timer*> due;
  for (auto& t : tThread.timers)
    if (!t.pending && t.due <= now) due.push_back(&t);
  std::sort(due.begin(), due.end(),
            [](Timer* a, Timer* b) { return a->due != b->due ? a->due < b->due : a->order < b->order; });
  for (Timer* t : due) {
    t->pending = true;
    t->due = now + t->elapse;
    MSG m{t->hwnd, WM_TIMER, t->id, reinterpret_cast<LPARAM>(t->proc), static_cast<DWORD>(now), {0, 0}};
    std::lock_guard<std::mutex> lock(tThread.queueMutex);
    tThread.queue.push_back(m);
  }
  return !due.empty();
}

// The milliseconds until the next timer of this thread comes due (0 when one is
// due now), or -1 when there is no timer.
long long nextTimerDelay() {
  long long best = -1;
  ULONGLONG now = GetTickCount64();
  for (auto& t : tThread.timers) {
    if (t.pending) continue;
    long long d = t.due > now ? static_cast<long long>(t.due - now) : 0;
    if (best < 0 || d < best) best = d;
  }
  return best;
}

void setFocusInternal(HWND hwnd) {
  HWND old = tThread.focus;
  if (old == hwnd) return;
  if (old != nullptr && findAny(old) != nullptr) send(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
  tThread.focus = hwnd;
  if (hwnd != nullptr) {
    if (Window* d = dialogOf(hwnd)) {
      if (d->dlg) d->dlg->lastFocus = hwnd;
      updateDefaultLook(d->hwnd, hwnd);
    }
    send(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
  }
}

namespace {

void killTimersOf(HWND hwnd) {
  auto& ts = tThread.timers;
  ts.erase(std::remove_if(ts.begin(), ts.end(), [&](const Timer& t) { return t.hwnd == hwnd; }), ts.end());
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  auto& q = tThread.queue;
  q.erase(std::remove_if(q.begin(), q.end(), [&](const MSG& m) { return m.hwnd == hwnd; }), q.end());
}

void destroyTree(Window* w) {
  // WM_DESTROY goes to the parent before its children, WM_NCDESTROY after them.
  HWND hwnd = w->hwnd;
  send(hwnd, WM_DESTROY, 0, 0);
  std::vector<HWND> kids = w->children;
  for (HWND k : kids)
    if (Window* c = find(k)) {
      c->destroyed = true;
      destroyTree(c);
    }
  send(hwnd, WM_NCDESTROY, 0, 0);
  killTimersOf(hwnd);
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  auto it = gWindows.find(hwnd);
  if (it != gWindows.end()) {
    gGraveyard.push_back(std::move(it->second));
    gWindows.erase(it);
  }
}

}  // namespace
}  // namespace ui

using namespace ui;

// ---- classes and creation ----

PLATFORM_API ATOM RegisterClassW(const WNDCLASSW* wc) {
  if (wc == nullptr || wc->lpszClassName == nullptr || wc->lpfnWndProc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::recursive_mutex> lock(gMutex);
  ensureClasses();
  std::u16string key = lower(classNameOf(wc->lpszClassName));
  if (gClasses.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  gClasses[key] = {wc->lpfnWndProc, Kind::Generic, wc->hbrBackground};
  return static_cast<ATOM>(0xC000 + gClasses.size());
}

PLATFORM_API HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                                  int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  ClassInfo info{};
  std::u16string name = classNameOf(className);
  {
    std::lock_guard<std::recursive_mutex> lock(gMutex);
    ensureClasses();
    auto it = gClasses.find(lower(name));
    if (it == gClasses.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    info = it->second;
  }
  Window* parentWindow = nullptr;
  if (parent != nullptr) {
    parentWindow = find(parent);
    if (parentWindow == nullptr) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
  } else if (style & WS_CHILD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto w = std::make_unique<Window>();
  Window* raw = w.get();
  {
    std::lock_guard<std::recursive_mutex> lock(gMutex);
    gNextHandle += 4;
    w->hwnd = reinterpret_cast<HWND>(gNextHandle);
    w->kind = info.kind;
    w->className = name;
    w->proc = info.proc;
    w->classBackground = info.background;
    w->style = style;
    w->exStyle = exStyle;
    w->text = textOf(windowName);
    w->instance = instance;
    w->rect = RECT{x, y, x + std::max(0, width), y + std::max(0, height)};
    if (style & WS_CHILD) {
      w->parent = parent;
      w->id = reinterpret_cast<LONG_PTR>(menu);
      parentWindow->children.push_back(w->hwnd);
    } else if (parent != nullptr) {
      w->owner = topLevelOf(parent);
    }
    gWindows[w->hwnd] = std::move(w);
  }
  HWND hwnd = raw->hwnd;
  CREATESTRUCTW cs{param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
                   windowName, className, exStyle};
  if (!send(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
      send(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return find(hwnd) ? hwnd : nullptr;
}

PLATFORM_API BOOL DestroyWindow(HWND hwnd) {
  Window* w = find(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  DepthGuard guard;
  // Owned windows go first, as the system does.
  if (!(w->style & WS_CHILD)) {
    std::vector<HWND> owned;
    {
      std::lock_guard<std::recursive_mutex> lock(gMutex);
      for (auto& [h, o] : gWindows)
        if (!o->destroyed && o->owner == hwnd) owned.push_back(h);
    }
    for (HWND o : owned) DestroyWindow(o);
  }
  if (w->style & WS_VISIBLE) {
    w->style &= ~WS_VISIBLE;
    if (!(w->style & WS_CHILD)) send(hwnd, WM_SHOWWINDOW, FALSE, 0);
  }
  HWND focus = tThread.focus;
  bool hadFocus = focus != nullptr && (focus == hwnd || IsChild(hwnd, focus));
  if (tThread.capture == hwnd || (tThread.capture && IsChild(hwnd, tThread.capture))) tThread.capture = nullptr;
  w->destroyed = true;
  if (Window* p = findAny(w->parent)) {
    auto& c = p->children;
    c.erase(std::remove(c.begin(), c.end(), hwnd), c.end());
  }
  if (hadFocus) tThread.focus = nullptr;
  HWND owner = w->owner;
  bool wasActive = tThread.active == hwnd;
  destroyTree(w);
  if (wasActive) {
    tThread.active = nullptr;
    if (Window* o = find(owner); o && !(o->style & WS_DISABLED)) SetActiveWindow(owner);
  }
  return TRUE;
}

PLATFORM_API BOOL IsWindow(HWND hwnd) { return find(hwnd) != nullptr ? TRUE : FALSE; }

PLATFORM_API BOOL IsWindowEnabled(HWND hwnd) {
  Window* w = find(hwnd);
  return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

PLATFORM_API BOOL IsWindowVisible(HWND hwnd) {
  Window* w = find(hwnd);
  while (w != nullptr) {
    if (!(w->style & WS_VISIBLE)) return FALSE;
    if (!(w->style & WS_CHILD)) return TRUE;
    w = find(w->parent);
  }
  return FALSE;
}

PLATFORM_API BOOL EnableWindow(HWND hwnd, BOOL enable) {
  Window* w = find(hwnd);
  if (w == nullptr) return FALSE;
  BOOL wasDisabled = (w->style & WS_DISABLED) ? TRUE : FALSE;
  if (enable && wasDisabled) {
    w->style &= ~WS_DISABLED;
    send(hwnd, WM_ENABLE, TRUE, 0);
  } else if (!enable && !wasDisabled) {
    w->style |= WS_DISABLED;
    HWND focus = tThread.focus;
    if (focus == hwnd || IsChild(hwnd, focus)) setFocusInternal(nullptr);
    if (tThread.capture == hwnd) tThread.capture = nullptr;
    send(hwnd, WM_ENABLE, FALSE, 0);
  }
  return wasDisabled;
}

PLATFORM_API BOOL ShowWindow(HWND hwnd, int cmd) {
  Window* w = find(hwnd);
  if (w == nullptr) return FALSE;
  BOOL wasVisible = (w->style & WS_VISIBLE) ? TRUE : FALSE;
  if (cmd == SW_HIDE) {
    if (!wasVisible) return FALSE;
    w->style &= ~WS_VISIBLE;
    send(hwnd, WM_SHOWWINDOW, FALSE, 0);
    HWND focus = tThread.focus;
    if (focus == hwnd || IsChild(hwnd, focus)) setFocusInternal(nullptr);
    if (!(w->style & WS_CHILD) && tThread.active == hwnd) {
      tThread.active = nullptr;
      if (Window* o = find(w->owner); o && !(o->style & WS_DISABLED)) SetActiveWindow(o->hwnd);
    }
    return TRUE;
  }
  if (!wasVisible) {
    w->style |= WS_VISIBLE;
    send(hwnd, WM_SHOWWINDOW, TRUE, 0);
  }
  if (find(hwnd) && !(w->style & WS_CHILD) && cmd != SW_SHOWNA) SetActiveWindow(hwnd);
  return wasVisible;
}

PLATFORM_API BOOL IsChild(HWND parent, HWND hwnd) {
  Window* w = findAny(hwnd);
  while (w != nullptr && (w->style & WS_CHILD)) {
    if (w->parent == parent) return TRUE;
    w = findAny(w->parent);
  }
  return FALSE;
}

PLATFORM_API HWND GetParent(HWND hwnd) {
  Window* w = find(hwnd);
  if (w == nullptr) return nullptr;
  return (w->style & WS_CHILD) ? w->parent : w->owner;
}

PLATFORM_API HWND GetWindow(HWND hwnd, UINT cmd) {
  Window* w = find(hwnd);
  if (w == nullptr) return nullptr;
  if (cmd == GW_CHILD) return w->children.empty() ? nullptr : w->children.front();
  if (cmd == GW_OWNER) return w->owner;
  Window* p = find(w->parent);
  if (p == nullptr || !(w->style & WS_CHILD)) return nullptr;
  auto& c = p->children;
  auto it = std::find(c.begin(), c.end(), hwnd);
  if (it == c.end()) return nullptr;
  switch (cmd) {
    case GW_HWNDFIRST: return c.front();
    case GW_HWNDLAST: return c.back();
    case GW_HWNDNEXT: return (it + 1) == c.end() ? nullptr : *(it + 1);
    case GW_HWNDPREV: return it == c.begin() ? nullptr : *(it - 1);
    default: return nullptr;
  }
}

PLATFORM_API BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
  if (find(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return send(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : u"")) ? TRUE : FALSE;
}

PLATFORM_API int GetWindowTextW(HWND hwnd, LPWSTR buffer, int maxCount) {
  if (buffer == nullptr || maxCount <= 0) return 0;
  buffer[0] = 0;
  if (find(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return static_cast<int>(send(hwnd, WM_GETTEXT, static_cast<WPARAM>(maxCount), reinterpret_cast<LPARAM>(buffer)));
}

PLATFORM_API int GetWindowTextLengthW(HWND hwnd) {
  if (find(hwnd) == nullptr) return 0;
  return static_cast<int>(send(hwnd, WM_GETTEXTLENGTH, 0, 0));
}

PLATFORM_API LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
  Window* w = find(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  switch (index) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(w->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(w->instance);
    case GWLP_HWNDPARENT: return reinterpret_cast<LONG_PTR>((w->style & WS_CHILD) ? w->parent : w->owner);
    case GWL_STYLE: return static_cast<LONG_PTR>(w->style);
    case GWL_EXSTYLE: return static_cast<LONG_PTR>(w->exStyle);
    case GWLP_USERDATA: return w->userData;
    case GWLP_ID: return w->id;
    case DWLP_MSGRESULT: return w->msgResult;
    case DWLP_DLGPROC: return reinterpret_cast<LONG_PTR>(w->dlgProc);
    case DWLP_USER: return w->dlgUser;
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
  }
}

PLATFORM_API LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
  Window* w = find(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old = 0;
  switch (index) {
    case GWLP_WNDPROC:
      old = reinterpret_cast<LONG_PTR>(w->proc);
      w->proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWL_STYLE:
    case GWL_EXSTYLE: {
      DWORD& field = index == GWL_STYLE ? w->style : w->exStyle;
      old = static_cast<LONG_PTR>(field);
      STYLESTRUCT ss{field, static_cast<DWORD>(value)};
      field = static_cast<DWORD>(value);
      send(hwnd, WM_STYLECHANGED, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&ss));
      break;
    }
    case GWLP_USERDATA:
      old = w->userData;
      w->userData = value;
      break;
    case GWLP_ID:
      old = w->id;
      w->id = value;
      break;
    case GWLP_HINSTANCE:
      old = reinterpret_cast<LONG_PTR>(w->instance);
      w->instance = reinterpret_cast<HINSTANCE>(value);
      break;
    case DWLP_MSGRESULT:
      old = w->msgResult;
      w->msgResult = value;
      break;
    case DWLP_DLGPROC:
      old = reinterpret_cast<LONG_PTR>(w->dlgProc);
      w->dlgProc = reinterpret_cast<DLGPROC>(value);
      break;
    case DWLP_USER:
      old = w->dlgUser;
      w->dlgUser = value;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
  }
  return old;
}

PLATFORM_API LONG GetWindowLongW(HWND hwnd, int index) { return static_cast<LONG>(GetWindowLongPtrW(hwnd, index)); }
PLATFORM_API LONG SetWindowLongW(HWND hwnd, int index, LONG value) {
  return static_cast<LONG>(SetWindowLongPtrW(hwnd, index, static_cast<LONG_PTR>(static_cast<DWORD>(value))));
}

PLATFORM_API int GetClassNameW(HWND hwnd, LPWSTR buffer, int maxCount) {
  Window* w = find(hwnd);
  if (w == nullptr || buffer == nullptr || maxCount <= 0) return 0;
  int n = std::min<int>(static_cast<int>(w->className.size()), maxCount - 1);
  std::memcpy(buffer, w->className.data(), n * sizeof(WCHAR));
  buffer[n] = 0;
  return n;
}

PLATFORM_API LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (proc == nullptr) return 0;
  DepthGuard guard;
  return proc(hwnd, msg, wParam, lParam);
}

PLATFORM_API LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window* w = findAny(hwnd);
  if (w == nullptr) return 0;
  switch (msg) {
    case WM_NCCREATE: return TRUE;
    case WM_SETTEXT:
      w->text = lParam ? std::u16string(reinterpret_cast<LPCWSTR>(lParam)) : std::u16string();
      return TRUE;
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      auto* out = reinterpret_cast<LPWSTR>(lParam);
      size_t n = std::min<size_t>(w->text.size(), wParam - 1);
      std::memcpy(out, w->text.data(), n * sizeof(WCHAR));
      out[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
    case WM_SETFONT: w->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    case WM_CLOSE: DestroyWindow(hwnd); return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_CLOSE) send(hwnd, WM_CLOSE, 0, 0);
      return 0;
    case WM_SYSKEYDOWN:
      if (wParam == VK_F4 && (lParam & (1 << 29))) {
        HWND top = topLevelOf(hwnd);
        PostMessageW(top, WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      return 0;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
      HDC hdc = reinterpret_cast<HDC>(wParam);
      bool white = msg == WM_CTLCOLOREDIT || msg == WM_CTLCOLORLISTBOX;
      SetTextColor(hdc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(hdc, GetSysColor(white ? COLOR_WINDOW : COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(white ? COLOR_WINDOW : COLOR_BTNFACE));
    }
    case WM_ERASEBKGND: {
      HBRUSH b = w->classBackground;
      if (b == nullptr) return 0;
      if (reinterpret_cast<ULONG_PTR>(b) <= 31)
        b = GetSysColorBrush(static_cast<int>(reinterpret_cast<ULONG_PTR>(b)) - 1);
      RECT r;
      GetClientRect(hwnd, &r);
      FillRect(reinterpret_cast<HDC>(wParam), &r, b);
      return 1;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_CANCELMODE:
      if (tThread.capture == hwnd) tThread.capture = nullptr;
      return 0;
    default: return 0;
  }
}

// ---- geometry ----

PLATFORM_API BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  Window* w = find(hwnd);
  if (w == nullptr || rect == nullptr) return FALSE;
  RECT c = clientRectInParent(*w);
  *rect = RECT{0, 0, c.right - c.left, c.bottom - c.top};
  return TRUE;
}

PLATFORM_API BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  Window* w = find(hwnd);
  if (w == nullptr || rect == nullptr) return FALSE;
  *rect = w->rect;
  if (w->style & WS_CHILD) {
    if (Window* p = find(w->parent)) {
      POINT o = clientOriginOnScreen(*p);
      OffsetRect(rect, o.x, o.y);
    }
  }
  return TRUE;
}

PLATFORM_API BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int cx, int cy, UINT flags) {
  Window* w = find(hwnd);
  if (w == nullptr) return FALSE;
  RECT r = w->rect;
  if (!(flags & SWP_NOMOVE)) OffsetRect(&r, x - r.left, y - r.top);
  if (!(flags & SWP_NOSIZE)) {
    r.right = r.left + std::max(0, cx);
    r.bottom = r.top + std::max(0, cy);
  }
  bool sized = r.right - r.left != w->rect.right - w->rect.left || r.bottom - r.top != w->rect.bottom - w->rect.top;
  w->rect = r;
  if (sized) {
    RECT c;
    GetClientRect(hwnd, &c);
    send(hwnd, WM_SIZE, 0, MAKELPARAM(c.right, c.bottom));
  }
  if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, SW_SHOWNA);
  if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
  return TRUE;
}

PLATFORM_API BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

PLATFORM_API BOOL ClientToScreen(HWND hwnd, LPPOINT point) {
  Window* w = find(hwnd);
  if (w == nullptr || point == nullptr) return FALSE;
  POINT o = clientOriginOnScreen(*w);
  point->x += o.x;
  point->y += o.y;
  return TRUE;
}

PLATFORM_API BOOL ScreenToClient(HWND hwnd, LPPOINT point) {
  Window* w = find(hwnd);
  if (w == nullptr || point == nullptr) return FALSE;
  POINT o = clientOriginOnScreen(*w);
  point->x -= o.x;
  point->y -= o.y;
  return TRUE;
}

PLATFORM_API int MapWindowPoints(HWND from, HWND to, LPPOINT points, UINT count) {
  POINT a{0, 0}, b{0, 0};
  if (from) ClientToScreen(from, &a);
  if (to) ClientToScreen(to, &b);
  for (UINT i = 0; i < count; ++i) {
    points[i].x += a.x - b.x;
    points[i].y += a.y - b.y;
  }
  return MAKELONG(static_cast<WORD>(a.x - b.x), static_cast<WORD>(a.y - b.y));
}

// Pictures are drawn on demand, so there is nothing to mark or flush.
PLATFORM_API BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) { return hwnd == nullptr || IsWindow(hwnd); }
PLATFORM_API BOOL UpdateWindow(HWND hwnd) { return IsWindow(hwnd); }

// ---- focus and activation ----

PLATFORM_API HWND SetFocus(HWND hwnd) {
  HWND old = tThread.focus;
  if (hwnd == nullptr) {
    setFocusInternal(nullptr);
    return old;
  }
  Window* w = find(hwnd);
  if (w == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  for (Window* x = w; x != nullptr; x = (x->style & WS_CHILD) ? find(x->parent) : nullptr)
    if (x->style & WS_DISABLED) return nullptr;
  HWND top = topLevelOf(hwnd);
  if (tThread.active != top) {
    tThread.active = top;  // focus moves with activation, without restoring the saved focus
    send(top, WM_ACTIVATE, WA_ACTIVE | 0x10000, 0);
  }
  setFocusInternal(hwnd);
  return old;
}

PLATFORM_API HWND GetFocus() { return find(tThread.focus) ? tThread.focus : nullptr; }

PLATFORM_API HWND GetActiveWindow() { return find(tThread.active) ? tThread.active : nullptr; }

PLATFORM_API HWND SetActiveWindow(HWND hwnd) {
  HWND old = GetActiveWindow();
  Window* w = find(hwnd);
  if (w == nullptr) return nullptr;
  hwnd = topLevelOf(hwnd);
  if (old == hwnd) return old;
  if (old != nullptr) send(old, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(hwnd));
  tThread.active = hwnd;
  HWND focus = tThread.focus;
  if (focus != nullptr && focus != hwnd && !IsChild(hwnd, focus)) setFocusInternal(nullptr);
  send(hwnd, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(old));
  return old;
}

PLATFORM_API HWND GetCapture() { return find(tThread.capture) ? tThread.capture : nullptr; }
PLATFORM_API HWND SetCapture(HWND hwnd) {
  HWND old = GetCapture();
  tThread.capture = hwnd;
  return old;
}
PLATFORM_API BOOL ReleaseCapture() {
  tThread.capture = nullptr;
  return TRUE;
}

// ---- messages ----

PLATFORM_API LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (find(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return send(hwnd, msg, wParam, lParam);
}

PLATFORM_API BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd != nullptr && find(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG m{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}};
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  tThread.queue.push_back(m);
  return TRUE;
}

PLATFORM_API void PostQuitMessage(int exitCode) {
  MSG m{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, GetTickCount(), {0, 0}};
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  tThread.queue.push_back(m);
}

PLATFORM_API BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT, UINT, UINT removeMsg) {
  if (msg == nullptr) return FALSE;
  bool remove = (removeMsg & PM_REMOVE) != 0;
  if (popMessage(msg, hwnd, remove)) return TRUE;
  if (postTimerMessages() && popMessage(msg, hwnd, remove)) return TRUE;
  return FALSE;
}

PLATFORM_API BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT, UINT) {
  if (msg == nullptr) return FALSE;
  for (;;) {
    if (popMessage(msg, hwnd, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
    if (postTimerMessages()) continue;
    HWND active = GetActiveWindow();
    if (active != nullptr && userIdle(active)) continue;
    if (!PlatformClockIsHeadless()) {
      long long d = nextTimerDelay();
      if (d >= 0) {
        Sleep(static_cast<DWORD>(d));
        continue;
      }
    }
    *msg = MSG{nullptr, WM_QUIT, 0, 0, GetTickCount(), {0, 0}};
    return FALSE;
  }
}

PLATFORM_API BOOL TranslateMessage(const MSG* msg) {
  if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN)) return FALSE;
  int vk = static_cast<int>(msg->wParam & 0xFF);
  bool shift = (gKeys[VK_SHIFT] & 0x80) != 0;
  bool ctrl = (gKeys[VK_CONTROL] & 0x80) != 0;
  bool caps = (gKeys[VK_CAPITAL] & 0x01) != 0;
  char16_t ch = 0;
  if (vk == VK_PACKET) {
    ch = static_cast<char16_t>(HIWORD(msg->lParam));
  } else if (vk >= 'A' && vk <= 'Z') {
    if (ctrl)
      ch = static_cast<char16_t>(vk - 'A' + 1);
    else
      ch = static_cast<char16_t>((shift != caps) ? vk : vk - 'A' + 'a');
  } else if (vk >= '0' && vk <= '9') {
    static const char16_t shifted[] = u")!@#$%^&*(";
    ch = shift ? shifted[vk - '0'] : static_cast<char16_t>(vk);
  } else if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD0 + 9) {
    ch = static_cast<char16_t>('0' + vk - VK_NUMPAD0);
  } else {
    struct OemKey {
      int vk;
      char16_t plain;
      char16_t shifted;
    };
    static const OemKey keys[] = {
        {VK_SPACE, u' ', u' '},     {VK_RETURN, u'\r', u'\r'},   {VK_BACK, 8, 8},           {VK_TAB, u'\t', u'\t'},
        {VK_ESCAPE, 27, 27},        {VK_OEM_1, u';', u':'},      {VK_OEM_PLUS, u'=', u'+'}, {VK_OEM_COMMA, u',', u'<'},
        {VK_OEM_MINUS, u'-', u'_'}, {VK_OEM_PERIOD, u'.', u'>'}, {VK_OEM_2, u'/', u'?'},    {VK_OEM_3, u'`', u'~'},
        {VK_OEM_4, u'[', u'{'},     {VK_OEM_5, u'\\', u'|'},     {VK_OEM_6, u']', u'}'},    {VK_OEM_7, u'\'', u'"'},
        {VK_MULTIPLY, u'*', u'*'},  {VK_ADD, u'+', u'+'},        {VK_SUBTRACT, u'-', u'-'}, {VK_DECIMAL, u'.', u'.'},
        {VK_DIVIDE, u'/', u'/'},
    };
    for (const auto& k : keys)
      if (k.vk == vk) ch = shift ? k.shifted : k.plain;
  }
  if (ch == 0) return FALSE;
  MSG m{msg->hwnd, static_cast<UINT>(msg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR), ch, msg->lParam, msg->time,
        msg->pt};
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  tThread.queue.push_front(m);
  return TRUE;
}

PLATFORM_API LRESULT DispatchMessageW(const MSG* msg) {
  if (msg == nullptr) return 0;
  if (msg->message == WM_TIMER && msg->lParam != 0) {
    auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
    DepthGuard guard;
    proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
    return 0;
  }
  if (find(msg->hwnd) == nullptr) return 0;
  return send(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

PLATFORM_API DWORD GetMessageTime() { return tThread.messageTime; }

// ---- timers ----

PLATFORM_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  if (hwnd != nullptr && find(hwnd) == nullptr) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (elapse < 10) elapse = 10;  // the system's minimum period
  if (hwnd == nullptr) id = ++gNextThreadTimer;
  ULONGLONG due = GetTickCount64() + elapse;
  for (auto& t : tThread.timers) {
    if (t.hwnd == hwnd && t.id == id) {
      t.elapse = elapse;
      t.proc = proc;
      t.due = due;
      return hwnd ? 1 : id;
    }
  }
  tThread.timers.push_back(Timer{hwnd, id, elapse, proc, due, false, ++gTimerOrder});
  return hwnd ? 1 : id;
}

PLATFORM_API BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto& ts = tThread.timers;
  auto it = std::find_if(ts.begin(), ts.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == ts.end()) return FALSE;
  ts.erase(it);
  std::lock_guard<std::mutex> lock(tThread.queueMutex);
  auto& q = tThread.queue;
  q.erase(std::remove_if(q.begin(), q.end(),
                         [&](const MSG& m) { return m.message == WM_TIMER && m.hwnd == hwnd && m.wParam == id; }),
          q.end());
  return TRUE;
}

// ---- keyboard ----

PLATFORM_API BOOL GetKeyboardState(BYTE* state) {
  if (state == nullptr) return FALSE;
  std::memcpy(state, gKeys, sizeof gKeys);
  return TRUE;
}

PLATFORM_API SHORT GetKeyState(int vk) {
  BYTE k = gKeys[vk & 0xFF];
  return static_cast<SHORT>(((k & 0x80) ? 0x8000 : 0) | (k & 0x01));
}

PLATFORM_API SHORT GetAsyncKeyState(int vk) { return static_cast<SHORT>((gKeys[vk & 0xFF] & 0x80) ? 0x8000 : 0); }

namespace {
std::mutex gBeepMutex;
std::vector<UINT> gBeeps;
}  // namespace

PLATFORM_API BOOL MessageBeep(UINT type) {
  std::lock_guard<std::mutex> lock(gBeepMutex);
  gBeeps.push_back(type);
  return TRUE;
}

PLATFORM_API SIZE_T PlatformBeeps(UINT* types, SIZE_T count, BOOL clear) {
  std::lock_guard<std::mutex> lock(gBeepMutex);
  SIZE_T n = gBeeps.size();
  for (SIZE_T i = 0; types != nullptr && i < count && i < n; ++i) types[i] = gBeeps[i];
  if (clear) gBeeps.clear();
  return n;
}

PLATFORM_API int GetSystemMetrics(int index) {
  switch (index) {
    case SM_CXSCREEN: return 1024;
    case SM_CYSCREEN: return 768;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL: return 16;
    case SM_CYCAPTION: return 19;
    case SM_CXBORDER:
    case SM_CYBORDER: return 1;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME: return 3;
    case SM_CXEDGE:
    case SM_CYEDGE: return 2;
    default: return 0;
  }
}

// The rectangle helpers.
PLATFORM_API BOOL SetRect(LPRECT r, int l, int t, int rr, int b) {
  if (!r) return FALSE;
  *r = RECT{l, t, rr, b};
  return TRUE;
}
PLATFORM_API BOOL SetRectEmpty(LPRECT r) { return SetRect(r, 0, 0, 0, 0); }
PLATFORM_API BOOL CopyRect(LPRECT d, const RECT* s) {
  if (!d || !s) return FALSE;
  *d = *s;
  return TRUE;
}
PLATFORM_API BOOL InflateRect(LPRECT r, int dx, int dy) {
  if (!r) return FALSE;
  r->left -= dx;
  r->right += dx;
  r->top -= dy;
  r->bottom += dy;
  return TRUE;
}
PLATFORM_API BOOL OffsetRect(LPRECT r, int dx, int dy) {
  if (!r) return FALSE;
  r->left += dx;
  r->right += dx;
  r->top += dy;
  r->bottom += dy;
  return TRUE;
}
PLATFORM_API BOOL IsRectEmpty(const RECT* r) { return !r || r->right <= r->left || r->bottom <= r->top; }
PLATFORM_API BOOL PtInRect(const RECT* r, POINT p) {
  return r && p.x >= r->left && p.x < r->right && p.y >= r->top && p.y < r->bottom;
}
PLATFORM_API BOOL IntersectRect(LPRECT d, const RECT* a, const RECT* b) {
  if (!d || !a || !b) return FALSE;
  RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
         std::min(a->bottom, b->bottom)};
  if (r.right <= r.left || r.bottom <= r.top) {
    *d = RECT{0, 0, 0, 0};
    return FALSE;
  }
  *d = r;
  return TRUE;
}
PLATFORM_API int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  long long v = static_cast<long long>(number) * numerator;
  long long half = (denominator > 0 ? denominator : -denominator) / 2;
  long long q = v >= 0 ? (v + half) / denominator : (v - half) / denominator;
  if (q > 0x7FFFFFFF || q < -0x7FFFFFFFLL - 1) return -1;
  return static_cast<int>(q);
}
