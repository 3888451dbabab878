// Every text a customer is shown in a dialog fits its control: each dialog
// template of each deliverable (with the library's and protected input's
// dialogs they embed) in each language it ships, and each text the dialogs'
// code puts into a control at run time from the string tables. A text fits
// when DrawTextW with DT_CALCRECT, the flags and the rectangle the platform
// drew it with (a button's less its frame), needs no more room than that
// rectangle. What the platform drew is taken from the draw record of a
// picture of the control, so the flags are the platform's own. Edits and list
// views scroll, owner-drawn keys and pictures show no window text: they are
// not measured.
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/drawrecord.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"
#include "platform/ui.h"
#include "platform/utf.h"

namespace {

struct Deliverable {
  const char* name;
  const char* path;
};
const Deliverable kDeliverables[] = {{"Teskel", TESKEL_PATH}, {"Haldrin", HALDRIN_PATH}, {"Pellmar", PELLMAR_PATH}};

constexpr int kTitle = 0;  // the dialog's own caption, in place of a control id

// A text the code sets into a control at run time: string `before`, then
// `middle` (a number as the code formats it), then string `after` (0: none).
struct RuntimeText {
  const char* module;
  int dialog;
  int control;
  UINT before;
  const char* middle = "";
  UINT after = 0;
};

// Where the dialogs' code sets string-table texts (the certificate names, the
// page's titles and the digit captions are not string-table texts).
const RuntimeText kRuntimeTexts[] = {
    // The certificate chooser's title (CertificateDBClientCOMDlg).
    {"Teskel", 104, kTitle, 201},
    // The token login dialog's buttons and Caps Lock note (TokenLoginDlg).
    {"Teskel", 105, IDOK, 402},
    {"Teskel", 105, IDCANCEL, 303},
    {"Teskel", 105, 600, 464},
    // The token insert-and-remove window: instructions and final states, and
    // the countdown as it first shows (TokenInOutDlg, the library's texts).
    {"Teskel", 107, 311, 301},
    {"Teskel", 107, 311, 306},
    {"Teskel", 107, 311, 307},
    {"Teskel", 107, 311, 308},
    {"Teskel", 107, 311, 309},
    {"Teskel", 107, 313, 304, " 060 ", 305},
    // The card login dialog (IKEYLoginDlg).
    {"Haldrin", 102, kTitle, 107},
    {"Haldrin", 102, 205, 108},
    {"Haldrin", 102, IDOK, 2509},
    {"Haldrin", 102, IDCANCEL, 109},
    // The signature control's token window (its texts 107-116, "%03d").
    {"Haldrin", 104, 202, 107},
    {"Haldrin", 104, 202, 110},
    {"Haldrin", 104, 202, 113},
    {"Haldrin", 104, 202, 114},
    {"Haldrin", 104, 202, 116},
    {"Haldrin", 104, 204, 111, "060", 112},
    // The PIN pads' count line, at the longest PIN they take (GRDDLG).
    {"Haldrin", 201, 212, 105, "20", 106},
    {"Haldrin", 202, 211, 105, "20", 106},
};

std::string utf8(const std::u16string& s) { return platform::utf::toUtf8(s); }

// A text as the platform drew it, and the room it needs.
struct Drawn {
  std::u16string text;
  RECT rect;
  UINT format;
  LOGFONTW font;
};

SIZE needed(const Drawn& d) {
  HDC dc = CreateCompatibleDC(nullptr);
  HFONT font = CreateFontIndirectW(&d.font);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r = d.rect;
  DrawTextW(dc, d.text.c_str(), static_cast<int>(d.text.size()), &r, d.format | DT_CALCRECT);
  SelectObject(dc, old);
  DeleteObject(font);
  DeleteDC(dc);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

// The texts a picture of the window draws (a disabled text's shadow once).
std::vector<Drawn> textsDrawn(HWND window) {
  PlatformStartDrawRecord();
  HBITMAP picture = PlatformCaptureWindow(window);
  std::vector<PlatformDrawOp> ops = PlatformTakeDrawRecord();
  DeleteObject(picture);
  std::vector<Drawn> out;
  for (const PlatformDrawOp& op : ops) {
    if (op.kind != PlatformDrawOp::DrawText || op.text.empty()) continue;
    Drawn d{op.text, op.rect, op.format, op.font};
    if (!out.empty() && out.back().text == d.text && out.back().format == d.format &&
        out.back().rect.right - out.back().rect.left == d.rect.right - d.rect.left)
      continue;
    out.push_back(d);
  }
  return out;
}

std::u16string className(HWND control) {
  WCHAR name[64] = {};
  GetClassNameW(control, name, 64);
  return name;
}

// Controls whose text is measured: visible ones that show their window text
// (not edits or list views, not owner-drawn or picture controls).
bool measured(HWND control) {
  DWORD style = static_cast<DWORD>(GetWindowLongW(control, GWL_STYLE));
  if (!(style & WS_VISIBLE)) return false;
  std::u16string cls = className(control);
  if (_wcsicmp(cls.c_str(), WC_BUTTONW) == 0) return (style & BS_TYPEMASK) != BS_OWNERDRAW && !(style & BS_BITMAP);
  if (_wcsicmp(cls.c_str(), WC_STATICW) == 0) {
    DWORD type = style & SS_TYPEMASK;
    return type != SS_BITMAP && type != SS_ICON && type != SS_OWNERDRAW;
  }
  return _wcsicmp(cls.c_str(), WC_EDITW) != 0 && _wcsicmp(cls.c_str(), WC_LISTVIEWW) != 0;
}

// Measures what a control shows, or the dialog's caption alone when `window`
// is the dialog. Adds a line to `faults` for each text that does not fit.
void check(HWND window, const std::string& where, std::vector<std::string>& faults) {
  std::vector<HWND> hidden;
  // The caption alone: the controls are hidden for the picture.
  if (!(GetWindowLongW(window, GWL_STYLE) & WS_CHILD))
    for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
      if (GetWindowLongW(c, GWL_STYLE) & WS_VISIBLE) {
        ShowWindow(c, SW_HIDE);
        hidden.push_back(c);
      }
  // A push button with the focus is drawn as the default one, in a frame one
  // pixel wider: it is measured so, since any of them may take the focus.
  DWORD style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  if (_wcsicmp(className(window).c_str(), WC_BUTTONW) == 0 && !(style & WS_DISABLED) &&
      ((style & BS_TYPEMASK) == BS_PUSHBUTTON || (style & BS_TYPEMASK) == BS_DEFPUSHBUTTON))
    SetFocus(window);
  for (const Drawn& d : textsDrawn(window)) {
    SIZE need = needed(d);
    int w = d.rect.right - d.rect.left, h = d.rect.bottom - d.rect.top;
    if (need.cx <= w && need.cy <= h) continue;
    std::ostringstream s;
    s << where << ": \"" << utf8(d.text) << "\" needs " << need.cx << " x " << need.cy << " pixels in " << w << " x "
      << h;
    faults.push_back(s.str());
  }
  for (HWND c : hidden) ShowWindow(c, SW_SHOWNA);
}

std::string controlName(HWND control) {
  int id = GetDlgCtrlID(control);
  return utf8(className(control)) + " " + std::to_string(id == 0xFFFF ? -1 : id);
}

std::u16string loadString(HMODULE module, UINT id) {
  LPCWSTR p = nullptr;
  int n = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&p), 0);
  return n > 0 ? std::u16string(p, static_cast<size_t>(n)) : std::u16string();
}

std::u16string runtimeText(HMODULE module, const RuntimeText& t) {
  std::u16string text = loadString(module, t.before);
  for (const char* m = t.middle; *m != '\0'; ++m) text += static_cast<char16_t>(*m);
  if (t.after != 0) text += loadString(module, t.after);
  return text;
}

INT_PTR CALLBACK plainDialog(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

std::vector<WORD> dialogIds(HMODULE module) {
  std::vector<WORD> ids;
  EnumResourceNamesW(
      module, RT_DIALOG,
      [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR p) -> BOOL {
        // The deliverables number their templates.
        if (IS_INTRESOURCE(name))
          reinterpret_cast<std::vector<WORD>*>(p)->push_back(static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name)));
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&ids));
  return ids;
}

std::vector<WORD> languagesOf(HMODULE module, WORD id) {
  std::vector<WORD> languages;
  EnumResourceLanguagesW(
      module, RT_DIALOG, MAKEINTRESOURCEW(id),
      [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR p) -> BOOL {
        reinterpret_cast<std::vector<WORD>*>(p)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

TEST(DialogTextFits, ShellDialogFaceIsLiberationSans) {
  // Fontconfig falls back to another face without a word when the one named
  // is missing: the dialogs were laid out for Liberation Sans's widths.
  FcConfig* config = FcInitLoadConfigAndFonts();
  ASSERT_NE(config, nullptr);
  FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(PlatformFontSubstitute(u"MS Shell Dlg")));
  ASSERT_NE(pattern, nullptr);
  FcConfigSubstitute(config, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result;
  FcPattern* match = FcFontMatch(config, pattern, &result);
  FcChar8* family = nullptr;
  std::string matched;
  if (match != nullptr && FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch)
    matched = reinterpret_cast<const char*>(family);
  EXPECT_EQ(matched, "Liberation Sans") << "MS Shell Dlg is drawn with " << PlatformFontSubstitute(u"MS Shell Dlg");
  if (match != nullptr) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
}

TEST(DialogTextFits, EveryTemplateAndRuntimeText) {
  struct RestoreLanguage {
    ~RestoreLanguage() { SetThreadUILanguage(0); }
  } restore;
  std::vector<std::string> faults;
  std::set<std::string> runtimeDone;
  for (const Deliverable& m : kDeliverables) {
    HMODULE module = PlatformLoadLibraryPath(m.path);
    ASSERT_NE(module, nullptr) << m.path;
    for (WORD id : dialogIds(module)) {
      for (WORD language : languagesOf(module, id)) {
        // The code loads its texts in the thread's UI language.
        SetThreadUILanguage(language);
        HRSRC r = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(id), language);
        auto* tmpl = static_cast<LPCDLGTEMPLATEW>(LockResource(LoadResource(module, r)));
        HWND dialog = CreateDialogIndirectParamW(module, tmpl, nullptr, plainDialog, 0);
        std::string where =
            std::string(m.name) + " dialog " + std::to_string(id) + " language " + std::to_string(language);
        if (dialog == nullptr) {
          ADD_FAILURE() << where << ": cannot be made";
          continue;
        }
        check(dialog, where + " caption", faults);
        for (HWND c = GetWindow(dialog, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT))
          if (measured(c)) check(c, where + " " + controlName(c), faults);
        for (const RuntimeText& t : kRuntimeTexts) {
          if (std::string(t.module) != m.name || t.dialog != id) continue;
          std::u16string text = runtimeText(module, t);
          HWND control = t.control == kTitle ? dialog : GetDlgItem(dialog, t.control);
          std::string name = t.control == kTitle ? "caption" : control ? controlName(control) : "";
          if (control == nullptr || text.empty()) {
            ADD_FAILURE() << where << ": no control " << t.control << " or no string " << t.before;
            continue;
          }
          SetWindowTextW(control, text.c_str());
          check(control, where + " " + name + " (set at run time)", faults);
          runtimeDone.insert(std::string(t.module) + " " + std::to_string(t.dialog) + " " + std::to_string(t.control) +
                             " " + std::to_string(t.before));
        }
        DestroyWindow(dialog);
      }
    }
    FreeLibrary(module);
  }
  for (const RuntimeText& t : kRuntimeTexts) {
    std::string key = std::string(t.module) + " " + std::to_string(t.dialog) + " " + std::to_string(t.control) + " " +
                      std::to_string(t.before);
    EXPECT_TRUE(runtimeDone.count(key)) << key << ": no such dialog";
  }
  std::string all;
  for (const std::string& f : faults) all += f + "\n";
  EXPECT_TRUE(faults.empty()) << "texts that do not fit:\n" << all;
}

}  // namespace
