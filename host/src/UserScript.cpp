#include "host/UserScript.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "platform/utf.h"

namespace host {

namespace {

using nlohmann::json;
using namespace platform::user;

// A whole number that fits an int (1.0 counts, 1.5 does not).
bool wholeNumber(const json& j, int* out) {
  if (!j.is_number()) return false;
  double n = j.get<double>();
  if (n != static_cast<double>(static_cast<long long>(n)) || n < -2147483648.0 || n > 2147483647.0) return false;
  *out = static_cast<int>(n);
  return true;
}

// What an action's arguments may be, in order after its name.
enum class Arg {
  Id,         // a control id
  Count,      // a whole number from 0
  Text,       // a string
  Shown,      // a non-empty string
  Flag,       // true or false
  Rows,       // an array of row numbers from 0
  KeyName,    // a key name keyCode() knows
  Modifiers,  // the rest: "shift", "ctrl", "alt"
};

// The arguments read, by kind, in order.
struct Values {
  std::vector<int> numbers;
  std::vector<std::string> texts;  // UTF-8, as the file has them
  bool flag = false;
  std::vector<int> rows;
  std::vector<std::string> modifiers;
  std::u16string wide(size_t i) const { return platform::utf::toUtf16(texts[i]); }
};

struct ActionForm {
  const char* name;
  std::vector<Arg> args;
  const char* usage;  // said after the name when the arguments do not fit
  Action (*make)(const Values&);
};

// One line per action.
const ActionForm kActions[] = {
    {"type",
     {Arg::Id, Arg::Text},
     "takes a control id and a text",
     [](const Values& v) { return type(v.numbers[0], v.wide(0)); }},
    {"paste",
     {Arg::Id, Arg::Text},
     "takes a control id and a text",
     [](const Values& v) { return paste(v.numbers[0], v.wide(0)); }},
    {"key",
     {Arg::KeyName, Arg::Modifiers},
     "takes a key name and modifiers",
     [](const Values& v) { return key(v.texts[0], v.modifiers); }},
    {"click", {Arg::Id}, "takes a control id", [](const Values& v) { return click(v.numbers[0]); }},
    {"select",
     {Arg::Id, Arg::Rows},
     "takes a control id and an array of rows",
     [](const Values& v) { return select(v.numbers[0], v.rows); }},
    {"close", {}, "takes nothing", [](const Values&) { return close(); }},
    {"capslock", {Arg::Flag}, "takes true or false", [](const Values& v) { return capsLock(v.flag); }},
    {"wait",
     {Arg::Count},
     "takes milliseconds",
     [](const Values& v) { return wait(static_cast<unsigned>(v.numbers[0])); }},
    {"exec", {Arg::Text}, "takes a command", [](const Values& v) { return exec(v.texts[0]); }},
    {"clickshown",
     {Arg::Shown},
     "takes the text a control shows",
     [](const Values& v) { return clickShown(v.wide(0)); }},
};

// Reads argument `kind` from j into v; false with *why set when it does not fit
// (why stays empty for the action's general usage text).
bool readArg(Arg kind, const json& j, Values* v, std::string* why) {
  int n = 0;
  switch (kind) {
    case Arg::Id:
    case Arg::Count:
      if (!wholeNumber(j, &n) || (kind == Arg::Count && n < 0)) return false;
      v->numbers.push_back(n);
      return true;
    case Arg::Text:
    case Arg::Shown:
    case Arg::KeyName:
      if (!j.is_string() || (kind == Arg::Shown && j.get_ref<const std::string&>().empty())) return false;
      if (kind == Arg::KeyName && keyCode(j.get<std::string>()) < 0) {
        *why = "unknown key " + j.get<std::string>();
        return false;
      }
      v->texts.push_back(j.get<std::string>());
      return true;
    case Arg::Flag:
      if (!j.is_boolean()) return false;
      v->flag = j.get<bool>();
      return true;
    case Arg::Rows:
      if (!j.is_array()) return false;
      for (const auto& r : j) {
        int row = 0;
        if (!wholeNumber(r, &row) || row < 0) {
          *why = "a row is a number from 0";
          return false;
        }
        v->rows.push_back(row);
      }
      return true;
    case Arg::Modifiers: {
      if (!j.is_string()) {
        *why = "a modifier is a string";
        return false;
      }
      const std::string& m = j.get_ref<const std::string&>();
      if (m != "shift" && m != "ctrl" && m != "alt") {
        *why = "unknown modifier " + m;
        return false;
      }
      v->modifiers.push_back(m);
      return true;
    }
  }
  return false;
}

bool actionFrom(const json& j, Action* a, std::string* error) {
  if (!j.is_array() || j.empty() || !j[0].is_string()) {
    *error = "an action is an array that starts with its name";
    return false;
  }
  const std::string& name = j[0].get_ref<const std::string&>();
  for (const ActionForm& form : kActions) {
    if (name != form.name) continue;
    bool rest = !form.args.empty() && form.args.back() == Arg::Modifiers;
    size_t fixed = form.args.size() - (rest ? 1 : 0);
    Values v;
    std::string why;
    bool ok = rest ? j.size() >= 1 + fixed : j.size() == 1 + form.args.size();
    for (size_t i = 1; ok && i < j.size(); ++i)
      ok = readArg(form.args[std::min(i - 1, form.args.size() - 1)], j[i], &v, &why);
    if (!ok)
      *error = name + (why.empty() ? " " + std::string(form.usage) : ": " + why);
    else
      *a = form.make(v);
    return ok;
  }
  *error = "unknown action " + name;
  return false;
}

bool templateId(const json& j, int* id) { return wholeNumber(j, id) && *id > 0; }

// "messagebox", a template id, or an array of one or more template ids (a
// window that opens in one of several layouts): the first becomes expect,
// the others orTemplates.
bool expectFrom(const json& value, Entry* entry) {
  if (value.is_string()) {
    entry->expect = kMessageBox;
    return value.get_ref<const std::string&>() == "messagebox";
  }
  if (!value.is_array()) return templateId(value, &entry->expect);
  if (value.empty() || !templateId(value[0], &entry->expect)) return false;
  entry->orTemplates.clear();
  for (size_t i = 1; i < value.size(); ++i) {
    int id = 0;
    if (!templateId(value[i], &id)) return false;
    entry->orTemplates.push_back(id);
  }
  return true;
}

bool entryFrom(const json& e, Entry* entry, std::string* error) {
  if (!e.is_object()) {
    *error = "not an object";
    return false;
  }
  bool haveExpect = false;
  for (const auto& [name, value] : e.items()) {
    if (name == "expect") {
      if (!expectFrom(value, entry)) {
        *error = "expect is a template id, an array of template ids or \"messagebox\"";
        return false;
      }
      haveExpect = true;
    } else if (name == "text") {
      int id = 0;
      if (!wholeNumber(value, &id) || id <= 0 || id > 65535) {
        *error = "text is a string-table id";
        return false;
      }
      entry->textId = static_cast<UINT>(id);
    } else if (name == "actions") {
      if (!value.is_array()) {
        *error = "actions is an array";
        return false;
      }
      for (const auto& a : value) {
        Action act;
        if (!actionFrom(a, &act, error)) return false;
        entry->actions.push_back(std::move(act));
      }
    } else {
      *error = "unknown member " + name;
      return false;
    }
  }
  if (!haveExpect) {
    *error = "no expect";
    return false;
  }
  if (entry->textId != 0 && entry->expect != kMessageBox) {
    *error = "text is for a message box";
    return false;
  }
  return true;
}

}  // namespace

bool parseUserJson(const std::string& text, std::vector<Entry>* entries, std::string* error) {
  auto bad = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {  // a syntax error, or a number out of range
    // "[json.exception.parse_error.101] parse error at line 1, column 2: ..." without its tag.
    std::string what = e.what();
    size_t tag = what.find("] ");
    return bad(tag == std::string::npos ? what : what.substr(tag + 2));
  }
  if (!root.is_array()) return bad("the user is an array of entries");
  std::vector<Entry> out;
  for (size_t i = 0; i < root.size(); ++i) {
    Entry entry;
    std::string why;
    if (!entryFrom(root[i], &entry, &why)) return bad("entry " + std::to_string(i + 1) + ": " + why);
    out.push_back(std::move(entry));
  }
  *entries = std::move(out);
  return true;
}

}  // namespace host
