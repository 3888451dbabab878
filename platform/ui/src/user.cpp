// The scripted user.
#include "platform/user.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "internal.h"
#include "platform/resources.h"
#include "platform/utf.h"

namespace platform::user {

namespace {

std::string dialogName(const DialogView& v) {
  return v.messageBox ? std::string("message box \"") + platform::utf::toUtf8(v.text) + "\""
                      : "dialog " + std::to_string(v.templateId);
}

std::string expectName(int expect) {
  return expect == kMessageBox ? "a message box" : "dialog " + std::to_string(expect);
}
std::string expectName(const Entry& e) {
  if (e.expect == kMessageBox && e.textId != 0) return "a message box with string " + std::to_string(e.textId);
  std::string name = expectName(e.expect);
  if (e.expect == kMessageBox) return name;
  for (size_t i = 0; i < e.orTemplates.size(); ++i)
    name += (i + 1 == e.orTemplates.size() ? " or " : ", ") + std::to_string(e.orTemplates[i]);
  return name;
}

// Whether a message box text is string `id` in some module's string table
// (in the thread's UI language).
bool isStringText(const std::u16string& text, UINT id) {
  HMODULE modules[64];
  SIZE_T n = PlatformResourceModules(modules, 64);
  for (SIZE_T i = 0; i < n && i < 64; ++i) {
    LPCWSTR p = nullptr;
    int len = LoadStringW(modules[i], id, reinterpret_cast<LPWSTR>(&p), 0);
    if (len > 0 && p != nullptr && text == std::u16string(p, static_cast<size_t>(len))) return true;
  }
  return false;
}

// Whether the dialog that opened is the one entry e expects.
bool expects(const Entry& e, const DialogView& v) {
  if (e.expect == kMessageBox) return v.messageBox && (e.textId == 0 || isStringText(v.text, e.textId));
  if (v.messageBox) return false;
  return v.templateId == e.expect ||
         std::find(e.orTemplates.begin(), e.orTemplates.end(), v.templateId) != e.orTemplates.end();
}

enum class Step { Done, Skip, Fail };

struct OpenDialog {
  HWND hwnd;
  Entry* entry;
  size_t nextAction = 0;
  int ordinal;
  std::deque<std::function<Step()>> steps;  // what is left of the current action
  bool failed = false;
  std::vector<int> held;      // keys pressed and not yet let go
  std::deque<Action> chosen;  // actions a react step chose, taken before the entry's next
  int opened = 0;             // the template id it opened with (kMessageBox for a box)
};

struct KeyName {
  const char* name;
  int vk;
};
const KeyName kKeys[] = {
    {"VK_BACK", VK_BACK},
    {"VK_TAB", VK_TAB},
    {"VK_RETURN", VK_RETURN},
    {"VK_SHIFT", VK_SHIFT},
    {"VK_CONTROL", VK_CONTROL},
    {"VK_MENU", VK_MENU},
    {"VK_PAUSE", VK_PAUSE},
    {"VK_CAPITAL", VK_CAPITAL},
    {"VK_ESCAPE", VK_ESCAPE},
    {"VK_SPACE", VK_SPACE},
    {"VK_PRIOR", VK_PRIOR},
    {"VK_NEXT", VK_NEXT},
    {"VK_END", VK_END},
    {"VK_HOME", VK_HOME},
    {"VK_LEFT", VK_LEFT},
    {"VK_UP", VK_UP},
    {"VK_RIGHT", VK_RIGHT},
    {"VK_DOWN", VK_DOWN},
    {"VK_INSERT", VK_INSERT},
    {"VK_DELETE", VK_DELETE},
    {"VK_MULTIPLY", VK_MULTIPLY},
    {"VK_ADD", VK_ADD},
    {"VK_SUBTRACT", VK_SUBTRACT},
    {"VK_DECIMAL", VK_DECIMAL},
    {"VK_DIVIDE", VK_DIVIDE},
    {"VK_NUMLOCK", VK_NUMLOCK},
    {"VK_OEM_1", VK_OEM_1},
    {"VK_OEM_PLUS", VK_OEM_PLUS},
    {"VK_OEM_COMMA", VK_OEM_COMMA},
    {"VK_OEM_MINUS", VK_OEM_MINUS},
    {"VK_OEM_PERIOD", VK_OEM_PERIOD},
    {"VK_OEM_2", VK_OEM_2},
    {"VK_OEM_3", VK_OEM_3},
    {"VK_OEM_4", VK_OEM_4},
    {"VK_OEM_5", VK_OEM_5},
    {"VK_OEM_6", VK_OEM_6},
    {"VK_OEM_7", VK_OEM_7},
};

// How a character is typed on a US keyboard: the key, and whether Shift is held.
bool keyFor(char16_t c, int* vk, bool* shift) {
  bool caps = (ui::keyState()[VK_CAPITAL] & 1) != 0;
  if (c >= u'a' && c <= u'z') {
    *vk = c - u'a' + 'A';
    *shift = caps;
    return true;
  }
  if (c >= u'A' && c <= u'Z') {
    *vk = c;
    *shift = !caps;
    return true;
  }
  if (c >= u'0' && c <= u'9') {
    *vk = c;
    *shift = false;
    return true;
  }
  static const char16_t shiftedDigits[] = u")!@#$%^&*(";
  for (int i = 0; i < 10; ++i)
    if (shiftedDigits[i] == c) {
      *vk = '0' + i;
      *shift = true;
      return true;
    }
  struct Oem {
    int vk;
    char16_t plain, shifted;
  };
  static const Oem oem[] = {{VK_SPACE, u' ', 0},        {VK_OEM_1, u';', u':'},     {VK_OEM_PLUS, u'=', u'+'},
                            {VK_OEM_COMMA, u',', u'<'}, {VK_OEM_MINUS, u'-', u'_'}, {VK_OEM_PERIOD, u'.', u'>'},
                            {VK_OEM_2, u'/', u'?'},     {VK_OEM_3, u'`', u'~'},     {VK_OEM_4, u'[', u'{'},
                            {VK_OEM_5, u'\\', u'|'},    {VK_OEM_6, u']', u'}'},     {VK_OEM_7, u'\'', u'"'},
                            {VK_RETURN, u'\r', 0},      {VK_TAB, u'\t', 0}};
  for (const auto& o : oem) {
    if (o.plain == c) {
      *vk = o.vk;
      *shift = false;
      return true;
    }
    if (o.shifted && o.shifted == c) {
      *vk = o.vk;
      *shift = true;
      return true;
    }
  }
  return false;
}

}  // namespace

struct ScriptedUser::Impl {
  ScriptedUser* user;
  std::vector<OpenDialog> open;
  int ordinal = 0;

  void fail(const std::string& why) {
    std::fprintf(stderr, "user: %s\n", why.c_str());
    user->failures_.push_back(why);
  }

  OpenDialog* find(HWND hwnd) {
    for (auto& o : open)
      if (o.hwnd == hwnd) return &o;
    return nullptr;
  }

  void shot(OpenDialog& d, int step) {
    if (user->shotsDir_.empty()) return;
    char name[64];
    std::string id = d.opened == kMessageBox ? "messagebox" : std::to_string(d.opened);
    std::snprintf(name, sizeof name, "/%02d-%s-%02d.png", d.ordinal, id.c_str(), step);
    PlatformSaveWindowPng(d.hwnd, (user->shotsDir_ + name).c_str());
  }

  // ---- input, one message per step ----
  static LPARAM keyParam(int vk, bool up, bool alt) {
    LPARAM lp = 1 | (static_cast<LPARAM>(vk & 0xFF) << 16);
    if (alt) lp |= 1 << 29;
    if (up) lp |= (static_cast<LPARAM>(1) << 30) | (static_cast<LPARAM>(1) << 31);
    return lp;
  }

  static HWND keyTarget(HWND dialog) {
    HWND f = GetFocus();
    return f ? f : dialog;
  }

  std::function<Step()> keyEvent(HWND dialog, int vk, bool up, bool alt, char16_t packet = 0) {
    return [=, this]() {
      if (OpenDialog* o = find(dialog)) {
        auto& h = o->held;
        if (up)
          h.erase(std::remove(h.begin(), h.end(), vk), h.end());
        else
          h.push_back(vk);
      }
      UINT msg = alt || vk == VK_MENU ? (up ? WM_SYSKEYUP : WM_SYSKEYDOWN) : (up ? WM_KEYUP : WM_KEYDOWN);
      if (vk == VK_MENU && up) msg = WM_KEYUP;
      LPARAM lp = packet ? (1 | (static_cast<LPARAM>(packet) << 16)) : keyParam(vk, up, alt);
      PostMessageW(keyTarget(dialog), msg, static_cast<WPARAM>(vk), lp);
      return Step::Done;
    };
  }

  void pushKey(std::deque<std::function<Step()>>& q, HWND dialog, int vk, unsigned mods) {
    bool alt = (mods & kAlt) != 0;
    if (mods & kShift) q.push_back(keyEvent(dialog, VK_SHIFT, false, alt));
    if (mods & kCtrl) q.push_back(keyEvent(dialog, VK_CONTROL, false, alt));
    if (alt) q.push_back(keyEvent(dialog, VK_MENU, false, true));
    q.push_back(keyEvent(dialog, vk, false, alt));
    q.push_back(keyEvent(dialog, vk, true, alt));
    if (alt) q.push_back(keyEvent(dialog, VK_MENU, true, false));
    if (mods & kCtrl) q.push_back(keyEvent(dialog, VK_CONTROL, true, false));
    if (mods & kShift) q.push_back(keyEvent(dialog, VK_SHIFT, true, false));
  }

  static std::function<Step()> mouse(HWND target, POINT p, bool up, unsigned mods) {
    return [=]() {
      if (!IsWindow(target)) return Step::Skip;
      WPARAM keys = (up ? 0 : MK_LBUTTON) | ((mods & kCtrl) ? MK_CONTROL : 0) | ((mods & kShift) ? MK_SHIFT : 0);
      PostMessageW(target, up ? WM_LBUTTONUP : WM_LBUTTONDOWN, keys, MAKELPARAM(p.x, p.y));
      return Step::Done;
    };
  }

  // A click at the centre of a control (or at a point of it). A disabled
  // control takes no mouse input: the click lands on the dialog.
  void pushClick(std::deque<std::function<Step()>>& q, HWND dialog, HWND control, POINT p, unsigned mods) {
    if (mods & kShift) q.push_back(keyEvent(dialog, VK_SHIFT, false, false));
    if (mods & kCtrl) q.push_back(keyEvent(dialog, VK_CONTROL, false, false));
    HWND target = control;
    if (!IsWindowEnabled(control)) {
      MapWindowPoints(control, dialog, &p, 1);
      target = dialog;
    }
    q.push_back(mouse(target, p, false, mods));
    q.push_back(mouse(target, p, true, mods));
    if (mods & kCtrl) q.push_back(keyEvent(dialog, VK_CONTROL, true, false));
    if (mods & kShift) q.push_back(keyEvent(dialog, VK_SHIFT, true, false));
  }

  static POINT centre(HWND control) {
    RECT r;
    GetClientRect(control, &r);
    return POINT{r.right / 2, r.bottom / 2};
  }

  HWND control(OpenDialog& d, int id, const char* what) {
    HWND c = GetDlgItem(d.hwnd, id);
    if (c == nullptr || !IsWindowVisible(c)) {
      fail(std::string(what) + ": " + (c ? "hidden" : "no") + " control " + std::to_string(id) + " in " +
           expectName(d.opened));
      return nullptr;
    }
    return c;
  }

  // Advances the clock to the next timer that comes due, or to the end of
  // the wait, and comes back until the wait is over.
  struct WaitStep {
    Impl* impl;
    HWND dlg;
    std::shared_ptr<ULONGLONG> target;
    unsigned ms;
    Step operator()() const {
      ULONGLONG now = GetTickCount64();
      if (*target == 0) *target = now + ms;
      if (now >= *target) return Step::Skip;
      long long d = ui::nextTimerDelay();
      ULONGLONG left = *target - now;
      ULONGLONG by = d > 0 && static_cast<ULONGLONG>(d) < left ? static_cast<ULONGLONG>(d) : left;
      PlatformAdvanceClock(static_cast<DWORD>(by));
      if (OpenDialog* o = impl->find(dlg)) o->steps.push_front(*this);
      return Step::Done;
    }
  };

  // Turns one action into its steps. False when it cannot be done at all.
  bool expand(OpenDialog& d, const Action& a, int number) {
    HWND dlg = d.hwnd;
    auto& q = d.steps;
    switch (a.kind) {
      case Action::Kind::Type:
      case Action::Kind::Paste: {
        HWND c = control(d, a.id, a.kind == Action::Kind::Type ? "type" : "paste");
        if (c == nullptr) return false;
        q.push_back([this, dlg, c]() {
          if (GetFocus() == c) return Step::Skip;
          std::deque<std::function<Step()>> click;
          pushClick(click, dlg, c, centre(c), 0);
          OpenDialog* o = find(dlg);
          if (o) o->steps.insert(o->steps.begin(), click.begin(), click.end());
          return Step::Skip;
        });
        if (a.kind == Action::Kind::Paste) {
          std::u16string text = a.text;
          q.push_back([text]() {
            ui::setClipboardText(text);
            return Step::Skip;
          });
          pushKey(q, dlg, 'V', kCtrl);
          return true;
        }
        for (char16_t ch : a.text) {
          q.push_back([this, dlg, ch]() {
            int vk;
            bool shift;
            std::deque<std::function<Step()>> keys;
            if (keyFor(ch, &vk, &shift)) {
              pushKey(keys, dlg, vk, shift ? kShift : 0);
            } else {
              keys.push_back(keyEvent(dlg, VK_PACKET, false, false, ch));
              keys.push_back(keyEvent(dlg, VK_PACKET, true, false, ch));
            }
            OpenDialog* o = find(dlg);
            if (o) o->steps.insert(o->steps.begin(), keys.begin(), keys.end());
            return Step::Skip;
          });
        }
        return true;
      }
      case Action::Kind::Key:
        if (a.vk <= 0) {
          fail("key: unknown key");
          return false;
        }
        pushKey(q, dlg, a.vk, a.modifiers);
        return true;
      case Action::Kind::Click: {
        HWND c = control(d, a.id, "click");
        if (c == nullptr) return false;
        shot(d, number);
        pushClick(q, dlg, c, centre(c), 0);
        return true;
      }
      case Action::Kind::Select: {
        HWND c = control(d, a.id, "select");
        if (c == nullptr) return false;
        shot(d, number);
        std::vector<int> rows = a.rows;
        if (rows.empty()) {
          // Nothing to keep: Ctrl+click every selected row away.
          for (int i = 0; i < ui::listViewRowCount(c); ++i)
            if (ui::listViewRowSelected(c, i)) rows.push_back(-1 - i);
        }
        bool first = true;
        for (int r : rows) {
          bool deselect = r < 0;
          int row = deselect ? -1 - r : r;
          unsigned mods = first && !deselect ? 0 : kCtrl;
          first = false;
          q.push_back([this, dlg, c, row, mods]() {
            POINT p;
            if (!ui::listViewRowPoint(c, row, &p)) {
              fail("select: no row " + std::to_string(row));
              return Step::Fail;
            }
            std::deque<std::function<Step()>> click;
            pushClick(click, dlg, c, p, mods);
            OpenDialog* o = find(dlg);
            if (o) o->steps.insert(o->steps.begin(), click.begin(), click.end());
            return Step::Skip;
          });
        }
        return true;
      }
      case Action::Kind::Close: {
        DWORD style = static_cast<DWORD>(GetWindowLongW(dlg, GWL_STYLE));
        if ((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU)) {
          q.push_back([dlg]() {
            PostMessageW(dlg, WM_SYSCOMMAND, SC_CLOSE, 0);
            return Step::Done;
          });
        } else {
          pushKey(q, dlg, VK_F4, kAlt);
        }
        return true;
      }
      case Action::Kind::CapsLock: {
        bool on = a.on;
        q.push_back([this, dlg, on]() {
          bool now = (ui::keyState()[VK_CAPITAL] & 1) != 0;
          if (now == on) return Step::Skip;
          std::deque<std::function<Step()>> keys;
          pushKey(keys, dlg, VK_CAPITAL, 0);
          OpenDialog* o = find(dlg);
          if (o) o->steps.insert(o->steps.begin(), keys.begin(), keys.end());
          return Step::Skip;
        });
        return true;
      }
      case Action::Kind::Wait: q.push_back(WaitStep{this, dlg, std::make_shared<ULONGLONG>(0), a.ms}); return true;
      case Action::Kind::Exec: {
        std::string cmd = a.command;
        q.push_back([this, cmd]() {
          int rc = std::system(cmd.c_str());
          if (rc != 0) {
            fail("exec: \"" + cmd + "\" exited with " + std::to_string(rc));
            return Step::Fail;
          }
          return Step::Done;
        });
        return true;
      }
      case Action::Kind::Shot: {
        std::string path = a.command;
        q.push_back([this, dlg, path]() {
          if (!PlatformSaveWindowPng(dlg, path.c_str())) fail("shot: cannot write " + path);
          return Step::Skip;
        });
        return true;
      }
      case Action::Kind::Inspect: {
        auto fn = a.inspect;
        q.push_back([dlg, fn]() {
          if (fn) fn(viewOf(dlg));
          return Step::Skip;
        });
        return true;
      }
      case Action::Kind::ClickShown: {
        DialogView v = viewOf(dlg);
        HWND found = nullptr;
        int count = 0;
        for (const auto& c : v.controls) {
          HWND h = GetDlgItem(dlg, c.id);
          ui::Window* k = ui::find(h);
          if (!c.visible || c.shown != a.text || k == nullptr || k->kind != ui::Kind::Button) continue;
          ++count;
          found = h;
        }
        if (count != 1 || found == nullptr) {
          fail("clickshown: " + std::to_string(count) + " keys show \"" + platform::utf::toUtf8(a.text) + "\" in " +
               expectName(d.opened));
          return false;
        }
        shot(d, number);
        pushClick(q, dlg, found, centre(found), 0);
        return true;
      }
      case Action::Kind::React: {
        auto fn = a.react;
        q.push_back([this, dlg, fn]() {
          OpenDialog* o = find(dlg);
          if (o == nullptr || !fn) return Step::Skip;
          // Taken one by one, each when the one before is done, as entry actions are.
          std::vector<Action> picked = fn(viewOf(dlg));
          o->chosen.insert(o->chosen.begin(), picked.begin(), picked.end());
          return Step::Skip;
        });
        return true;
      }
    }
    return false;
  }

  bool idle(HWND hwnd) {
    OpenDialog* d = find(hwnd);
    if (d == nullptr) {
      DialogView v = viewOf(hwnd);
      user->seen_.push_back(v);
      if (user->next_ >= user->entries_.size()) {
        fail(dialogName(v) + " opened when the user had nothing left to do");
        return false;
      }
      Entry& e = user->entries_[user->next_++];
      if (!expects(e, v)) {
        fail(dialogName(v) + " opened where " + expectName(e) + " was expected");
        return false;
      }
      open.push_back(OpenDialog{hwnd, &e, 0, ++ordinal, {}, false, {}, {}, v.messageBox ? kMessageBox : v.templateId});
      d = &open.back();
      shot(*d, 0);
    }
    if (d->failed) return false;
    for (;;) {
      while (!d->steps.empty()) {
        auto step = d->steps.front();
        d->steps.pop_front();
        Step s = step();
        d = find(hwnd);
        if (d == nullptr) return true;
        if (s == Step::Fail) {
          d->failed = true;
          return false;
        }
        if (s == Step::Done) return true;
      }
      if (!d->chosen.empty()) {
        Action a = d->chosen.front();
        d->chosen.pop_front();
        if (!expand(*d, a, static_cast<int>(d->nextAction))) {
          d->failed = true;
          return false;
        }
        continue;
      }
      if (d->nextAction >= d->entry->actions.size()) {
        fail(expectName(d->opened) + " was left open with nothing left to do");
        d->failed = true;
        return false;
      }
      size_t n = d->nextAction++;
      if (!expand(*d, d->entry->actions[n], static_cast<int>(n) + 1)) {
        d->failed = true;
        return false;
      }
    }
  }

  void closed(HWND hwnd) {
    for (auto it = open.begin(); it != open.end(); ++it) {
      if (it->hwnd != hwnd) continue;
      // Keys still held when the window went away are let go, so that no
      // Shift or Ctrl stays down for the next window.
      BYTE* keys = ui::keyState();
      for (int vk : it->held) {
        keys[vk & 0xFF] &= 0x7F;
        if (vk == VK_SHIFT) keys[VK_LSHIFT] &= 0x7F;
        if (vk == VK_CONTROL) keys[VK_LCONTROL] &= 0x7F;
        if (vk == VK_MENU) keys[VK_LMENU] &= 0x7F;
      }
      // An action under way (a wait the dialog's own end cut short) counts as done.
      if (!it->failed && it->nextAction < it->entry->actions.size())
        fail(expectName(it->opened) + " closed with " + std::to_string(it->entry->actions.size() - it->nextAction) +
             " action(s) not done");
      open.erase(it);
      return;
    }
  }
};

namespace {
std::mutex gUserMutex;
ScriptedUser* gUser = nullptr;
}  // namespace

// ---- actions ----

Action type(int id, std::u16string text) {
  Action a;
  a.kind = Action::Kind::Type;
  a.id = id;
  a.text = std::move(text);
  return a;
}
Action paste(int id, std::u16string text) {
  Action a = type(id, std::move(text));
  a.kind = Action::Kind::Paste;
  return a;
}
Action key(int vk, unsigned modifiers) {
  Action a;
  a.kind = Action::Kind::Key;
  a.vk = vk;
  a.modifiers = modifiers;
  return a;
}
Action key(const std::string& vkName, const std::vector<std::string>& modifiers) {
  unsigned m = 0;
  for (const auto& s : modifiers) {
    if (s == "shift")
      m |= kShift;
    else if (s == "ctrl")
      m |= kCtrl;
    else if (s == "alt")
      m |= kAlt;
  }
  return key(keyCode(vkName), m);
}
Action click(int id) {
  Action a;
  a.kind = Action::Kind::Click;
  a.id = id;
  return a;
}
Action select(int id, std::vector<int> rows) {
  Action a;
  a.kind = Action::Kind::Select;
  a.id = id;
  a.rows = std::move(rows);
  return a;
}
Action close() { return Action{}; }
Action capsLock(bool on) {
  Action a;
  a.kind = Action::Kind::CapsLock;
  a.on = on;
  return a;
}
Action wait(unsigned ms) {
  Action a;
  a.kind = Action::Kind::Wait;
  a.ms = ms;
  return a;
}
Action exec(std::string command) {
  Action a;
  a.kind = Action::Kind::Exec;
  a.command = std::move(command);
  return a;
}
Action shot(std::string path) {
  Action a;
  a.kind = Action::Kind::Shot;
  a.command = std::move(path);
  return a;
}
Action clickShown(std::u16string shown) {
  Action a;
  a.kind = Action::Kind::ClickShown;
  a.text = std::move(shown);
  return a;
}
Action react(std::function<std::vector<Action>(const DialogView&)> fn) {
  Action a;
  a.kind = Action::Kind::React;
  a.react = std::move(fn);
  return a;
}
Action inspect(std::function<void(const DialogView&)> fn) {
  Action a;
  a.kind = Action::Kind::Inspect;
  a.inspect = std::move(fn);
  return a;
}

int keyCode(const std::string& name) {
  for (const auto& k : kKeys)
    if (name == k.name) return k.vk;
  std::string n = name.rfind("VK_", 0) == 0 ? name.substr(3) : name;
  if (n.size() == 1 && ((n[0] >= 'A' && n[0] <= 'Z') || (n[0] >= '0' && n[0] <= '9'))) return n[0];
  if (n.size() == 1 && n[0] >= 'a' && n[0] <= 'z') return n[0] - 'a' + 'A';
  if (n.size() >= 2 && n[0] == 'F') {
    int f = std::atoi(n.c_str() + 1);
    if (f >= 1 && f <= 12) return VK_F1 + f - 1;
  }
  if (n.rfind("NUMPAD", 0) == 0 && n.size() == 7 && n[6] >= '0' && n[6] <= '9') return VK_NUMPAD0 + (n[6] - '0');
  return -1;
}

const ControlView* DialogView::control(int id) const {
  for (const auto& c : controls)
    if (c.id == id) return &c;
  return nullptr;
}

DialogView viewOf(HWND dialog) {
  DialogView v;
  v.hwnd = dialog;
  v.templateId = PlatformDialogTemplateId(dialog);
  v.messageBox = PlatformIsMessageBox(dialog) != FALSE;
  ui::Window* w = ui::find(dialog);
  if (w == nullptr) return v;
  // Owner-drawn controls show what they drew: look at the dialog first.
  bool drawn = false;
  for (HWND c : w->children)
    if (ui::Window* k = ui::find(c); k && k->kind == ui::Kind::Button && (k->style & BS_TYPEMASK) == BS_OWNERDRAW)
      drawn = true;
  if (drawn) {
    if (HBITMAP look = PlatformCaptureWindow(dialog)) DeleteObject(look);
    if ((w = ui::find(dialog)) == nullptr) return v;
  }
  v.caption = w->text;
  if (v.messageBox && w->dlg) {
    v.text = w->dlg->mbText;
    v.messageBoxType = w->dlg->mbType;
  }
  HWND focus = GetFocus();
  for (HWND c : w->children) {
    ui::Window* k = ui::find(c);
    if (k == nullptr) continue;
    ControlView cv;
    cv.id = static_cast<int>(k->id);
    cv.className = k->className;
    cv.style = k->style;
    cv.visible = IsWindowVisible(c) != FALSE;
    cv.enabled = IsWindowEnabled(c) != FALSE;
    cv.focused = focus == c;
    if (cv.focused) v.focusId = cv.id;
    if (k->kind == ui::Kind::Edit) {
      cv.text = ui::editDisplayText(c);
    } else {
      cv.text = k->text;
    }
    cv.shown = ui::controlShown(c);
    if (k->kind == ui::Kind::ListView) {
      int n = ui::listViewRowCount(c);
      for (int i = 0; i < n; ++i) {
        cv.rows.push_back(ui::listViewRow(c, i));
        if (ui::listViewRowSelected(c, i)) cv.selectedRows.push_back(i);
      }
    }
    v.controls.push_back(std::move(cv));
  }
  return v;
}

// ---- the user ----

ScriptedUser::ScriptedUser(std::vector<Entry> entries) : entries_(std::move(entries)) {}

ScriptedUser::~ScriptedUser() { uninstall(); }

ScriptedUser& ScriptedUser::expect(int templateId, std::vector<Action> actions) {
  entries_.push_back(Entry{templateId, std::move(actions)});
  return *this;
}

ScriptedUser& ScriptedUser::expectMessageBox(std::vector<Action> actions) {
  return expect(kMessageBox, std::move(actions));
}

ScriptedUser& ScriptedUser::expectMessageBox(UINT textId, std::vector<Action> actions) {
  entries_.push_back(Entry{kMessageBox, std::move(actions), textId});
  return *this;
}

void ScriptedUser::setShotsDir(std::string dir) { shotsDir_ = std::move(dir); }

void ScriptedUser::install() {
  std::lock_guard<std::mutex> lock(gUserMutex);
  if (impl_ == nullptr) impl_ = new Impl{this, {}, 0};
  gUser = this;
}

void ScriptedUser::uninstall() {
  {
    std::lock_guard<std::mutex> lock(gUserMutex);
    if (gUser == this) gUser = nullptr;
  }
  delete impl_;
  impl_ = nullptr;
}

void ScriptedUser::setCapsLock(bool on) { ui::setToggle(VK_CAPITAL, on); }

bool ScriptedUser::ok() const {
  if (!failures_.empty() || next_ != entries_.size()) return false;
  return impl_ == nullptr || impl_->open.empty();
}

std::vector<std::string> ScriptedUser::failures() const {
  std::vector<std::string> f = failures_;
  for (size_t i = next_; i < entries_.size(); ++i)
    f.push_back("entry " + std::to_string(i + 1) + " (" + expectName(entries_[i]) + ") was never used");
  return f;
}

}  // namespace platform::user

namespace ui {

bool userIdle(HWND dialog) {
  using platform::user::ScriptedUser;
  ScriptedUser* u;
  {
    std::lock_guard<std::mutex> lock(platform::user::gUserMutex);
    u = platform::user::gUser;
  }
  if (u == nullptr) return false;
  return u->impl()->idle(dialog);
}

void userDialogClosed(HWND dialog) {
  using platform::user::ScriptedUser;
  ScriptedUser* u;
  {
    std::lock_guard<std::mutex> lock(platform::user::gUserMutex);
    u = platform::user::gUser;
  }
  if (u != nullptr) u->impl()->closed(dialog);
}

bool userInstalled() {
  std::lock_guard<std::mutex> lock(platform::user::gUserMutex);
  return platform::user::gUser != nullptr;
}

}  // namespace ui
