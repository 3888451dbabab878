// The scripted user: acts, headless, on the dialogs and message boxes that a
// test (or pagehost --user) expects to open, in the order they open.
//
// Each entry names the dialog it expects (its template id, any of several
// template ids, or kMessageBox) and the actions to take on it. The user sees a dialog when its modal loop
// first runs out of messages, and then takes one step each time the loop is
// idle: a keystroke, a click, a clock advance. When a step opens a nested
// dialog or message box, that one takes the next entry, and the outer
// dialog's remaining actions resume once it has closed. A dialog that opens
// when no entry is left, or that is not the one the next entry expects, or
// that still waits when its entry has no actions left, is ended as cancelled
// (IDCANCEL) and the run counts as failed: nothing ever waits.
//
// The actions (pagehost's --user file writes them as JSON, see host/UserScript.h):
//   type(id, u"text")      one keystroke per character
//   paste(id, u"text")     one paste (Ctrl+V)
//   key("VK_TAB", {"shift"})  modifiers shift, ctrl, alt
//   click(id)
//   select(id, {rows})     click, then Ctrl+click the others
//   close()                the close box, else Alt+F4
//   capsLock(true)         presses Caps Lock if needed
//   wait(ms)               advances the clock, timer by timer
//   exec("command")        runs a shell command (status 0 expected)
//   clickShown(u"7")       clicks the one control whose picture shows 7
// and three for C++ tests only: shot(path) saves the window as a PNG,
// inspect(fn) hands the dialog's current view to fn, and react(fn) takes the
// actions fn chooses from the dialog's current view (a person reading the
// screen: a code in a picture, a digit to find).
//
// What a control shows as a picture (an owner-drawn button's text, the digit
// of a bitmap key, a picture's text) is in its view's `shown` only, never its
// window text; the user looks at the dialog (paints it) before reading it.
// A message box entry may name the string-table id of the text it expects
// (in the thread's UI language, in any module that has resources).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/ui.h"

namespace platform::user {

constexpr unsigned kShift = 1;
constexpr unsigned kCtrl = 2;
constexpr unsigned kAlt = 4;
constexpr int kMessageBox = -1;

struct ControlView {
  int id = 0;
  std::u16string className;
  std::u16string text;   // a password edit shows its mask only
  std::u16string shown;  // what its picture shows: owner-drawn text, a bitmap's text
  DWORD style = 0;
  bool visible = false;
  bool enabled = false;
  bool focused = false;
  std::vector<std::vector<std::u16string>> rows;  // list views: the cells of each row
  std::vector<int> selectedRows;
};

struct DialogView {
  HWND hwnd = nullptr;
  int templateId = 0;
  bool messageBox = false;
  std::u16string caption;
  std::u16string text;  // a message box's text
  UINT messageBoxType = 0;
  int focusId = 0;  // 0 when the focus is on no control of the dialog
  std::vector<ControlView> controls;
  const ControlView* control(int id) const;
};

struct Action {
  enum class Kind { Type, Paste, Key, Click, Select, Close, CapsLock, Wait, Exec, Shot, Inspect, ClickShown, React };
  Kind kind = Kind::Close;
  int id = 0;
  std::u16string text;
  int vk = 0;
  unsigned modifiers = 0;
  std::vector<int> rows;
  bool on = false;
  unsigned ms = 0;
  std::string command;  // exec: the command; shot: the file
  std::function<void(const DialogView&)> inspect;
  std::function<std::vector<Action>(const DialogView&)> react;
};

Action type(int id, std::u16string text);
Action paste(int id, std::u16string text);
Action key(int vk, unsigned modifiers = 0);
Action key(const std::string& vkName, const std::vector<std::string>& modifiers = {});
Action click(int id);
Action select(int id, std::vector<int> rows);
Action close();
Action capsLock(bool on);
Action wait(unsigned ms);
Action exec(std::string command);
Action shot(std::string path);
Action inspect(std::function<void(const DialogView&)> fn);
Action clickShown(std::u16string shown);
Action react(std::function<std::vector<Action>(const DialogView&)> fn);

// "VK_TAB", "VK_F4", "A", "VK_A", "5"... to the key code; -1 when unknown.
int keyCode(const std::string& name);

struct Entry {
  int expect = 0;  // template id, or kMessageBox
  std::vector<Action> actions;
  UINT textId = 0;  // a message box: the string its text must be (0: any text)
  // Other template ids the dialog may have instead of `expect` (a window that
  // opens in one of several layouts, chosen at random).
  std::vector<int> orTemplates{};
};

// What a dialog shows now.
DialogView viewOf(HWND dialog);

class ScriptedUser {
 public:
  ScriptedUser() = default;
  explicit ScriptedUser(std::vector<Entry> entries);
  ~ScriptedUser();
  ScriptedUser(const ScriptedUser&) = delete;
  ScriptedUser& operator=(const ScriptedUser&) = delete;

  ScriptedUser& expect(int templateId, std::vector<Action> actions);
  ScriptedUser& expectMessageBox(std::vector<Action> actions);
  // A message box whose text is string `textId` of the string tables.
  ScriptedUser& expectMessageBox(UINT textId, std::vector<Action> actions);
  // Saves NN-<template id>-<step>.png in `dir` for each dialog as first seen
  // (step 00) and before each click (the action's number).
  void setShotsDir(std::string dir);

  // Only one user is installed at a time; installing replaces the one before.
  void install();
  void uninstall();

  // Caps Lock as the keyboard has it before anything runs.
  static void setCapsLock(bool on);

  // True when every entry was used, each by the dialog it expected, with all
  // its actions, and nothing went wrong.
  bool ok() const;
  std::vector<std::string> failures() const;
  // Each dialog and message box as the user first saw it, in opening order.
  const std::vector<DialogView>& seen() const { return seen_; }

  struct Impl;
  Impl* impl() const { return impl_; }

 private:
  friend struct Impl;
  std::vector<Entry> entries_;
  size_t next_ = 0;
  std::vector<DialogView> seen_;
  std::vector<std::string> failures_;
  std::string shotsDir_;
  Impl* impl_ = nullptr;
};

}  // namespace platform::user
