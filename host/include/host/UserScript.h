// pagehost's --user file: the scripted user's entries written as JSON.
//
//   [{"expect": 105, "actions": [["type", 310, "1234"], ["click", 1]]},
//    {"expect": [201, 202], "actions": [["click", 2]]},
//    {"expect": "messagebox", "text": 3002, "actions": [["click", 1]]}]
//
// "expect" is a dialog's template id, an array of template ids any of which
// may open (a window that opens in one of several layouts), or "messagebox";
// "text" (message boxes only) the string-table id of the text the box must
// show. Each action is an
// array that starts with its name; they map one to one onto the scripted
// user's actions (platform/user.h):
//   ["type", id, "text"]   type(id, u"text")      one keystroke per character
//   ["paste", id, "text"]  paste(id, u"text")     one paste (Ctrl+V)
//   ["key", "VK_TAB", "shift"]  key("VK_TAB", {"shift"})  modifiers shift, ctrl, alt
//   ["click", id]          click(id)
//   ["select", id, [rows]] select(id, {rows})     click, then Ctrl+click the others
//   ["close"]              close()                the close box, else Alt+F4
//   ["capslock", true]     capsLock(true)         presses Caps Lock if needed
//   ["wait", ms]           wait(ms)               advances the clock, timer by timer
//   ["exec", "command"]    exec("command")        runs a shell command (status 0 expected)
//   ["clickshown", "7"]    clickShown(u"7")       clicks the one control whose picture shows 7
#pragma once

#include <string>
#include <vector>

#include "platform/user.h"

namespace host {

// Reads the file's text into the user's entries. Returns false with a
// message on bad input.
bool parseUserJson(const std::string& json, std::vector<platform::user::Entry>* entries, std::string* error);

}  // namespace host
