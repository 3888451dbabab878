// Pictures of every protected-input dialog in both languages, keys pressed,
// saved under the build folder (protinput-<template>-<language>.png) for a
// person to look at; the templates' texts in each language are checked here.
#include <cstring>
#include <memory>

#include "ProtInputTestSupport.h"
#include "protinput/ConvertToImageDLG.h"
#include "protinput/GRDDLG.h"
#include "protinput/ProtectionDataDlg.h"

using namespace platform::user;
using namespace protdlg_test;

namespace {

std::string shotName(int tmpl, LANGID lang, const char* what = "") {
  return buildPath("protinput-" + std::to_string(tmpl) + "-" + std::to_string(lang) + what + ".png");
}

// Every visible control lies inside the dialog's client area, and no two
// buttons or pictures overlap (group boxes and labels aside).
std::vector<std::string> outOfPlace(HWND dialog) {
  std::vector<std::string> bad;
  RECT client;
  GetClientRect(dialog, &client);
  POINT origin{0, 0};
  ClientToScreen(dialog, &origin);
  OffsetRect(&client, origin.x, origin.y);
  std::vector<std::pair<int, RECT>> solid;
  for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (!IsWindowVisible(c)) continue;
    RECT r, inter;
    GetWindowRect(c, &r);
    int id = GetDlgCtrlID(c);
    if (r.left < client.left || r.top < client.top || r.right > client.right || r.bottom > client.bottom)
      bad.push_back("control " + std::to_string(id) + " reaches outside the dialog");
    DWORD style = static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE));
    WCHAR cls[32] = {};
    GetClassNameW(c, cls, 32);
    std::u16string name(cls);
    bool button = (name == u"Button" || name == u"BUTTON" || name == u"button") && (style & BS_TYPEMASK) != BS_GROUPBOX;
    bool picture = (name == u"Static" || name == u"STATIC" || name == u"static") && (style & SS_TYPEMASK) == SS_BITMAP;
    if (!button && !picture) continue;
    for (const auto& [other, o] : solid)
      if (IntersectRect(&inter, &r, &o))
        bad.push_back("controls " + std::to_string(id) + " and " + std::to_string(other) + " overlap");
    solid.push_back({id, r});
  }
  return bad;
}

struct Texts {
  const char16_t* confirm;
  const char16_t* cancel;
  const char16_t* clear;
  const char16_t* regenerate;
  const char16_t* reenter;
};

}  // namespace

class Pictures : public testing::TestWithParam<LANGID> {};
INSTANTIATE_TEST_SUITE_P(Languages, Pictures, testing::Values(1028, 1033),
                         [](const testing::TestParamInfo<LANGID>& i) { return "Lang" + std::to_string(i.param); });

TEST_P(Pictures, EveryDialog) {
  const LANGID lang = GetParam();
  ScopedLanguage scoped(lang);
  const Texts t = lang == 1033 ? Texts{u"Confirm", u"Cancel", u"Clear", u"Regenerate", u"Re-enter"}
                               : Texts{u"確認", u"取消", u"清除", u"重新產生", u"重新輸入"};
  const std::u16string title = lang == 1033 ? u"Enter the account PIN" : u"請輸入帳戶密碼";
  {
    ProtectionDataDlg keypad;
    keypad.setTitle(title);
    DialogView v;
    ScriptedUser u;
    u.expect(107, {clickShown(u"3"), clickShown(u"1"), clickShown(u"4"), inspect([&](const DialogView& x) {
                     v = x;
                     EXPECT_EQ(outOfPlace(x.hwnd), std::vector<std::string>{});
                   }),
                   shot(shotName(107, lang)), key(VK_RETURN), click(IDCANCEL)})
        .expectMessageBox(3002, {shot(shotName(107, lang, "-3002")), click(IDOK)});
    u.install();
    EXPECT_EQ(keypad.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(textOf(v, 1036), t.confirm);
    EXPECT_EQ(textOf(v, IDCANCEL), t.cancel);
    EXPECT_EQ(textOf(v, 1033), t.clear);
  }
  {
    ProtectionDataDlg2 keypad;
    keypad.setTitle(title);
    ScriptedUser u;
    u.expect(204, {clickShown(u"2"), clickShown(u"."), clickShown(u"5"), shot(shotName(204, lang)),
                   inspect([&](const DialogView& x) { EXPECT_EQ(outOfPlace(x.hwnd), std::vector<std::string>{}); }),
                   click(IDCANCEL)});
    u.install();
    EXPECT_EQ(keypad.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
  for (int tmpl : {201, 202}) {
    std::unique_ptr<GRDDLG> pad;
    if (tmpl == 201)
      pad = std::make_unique<GRDDLG_1>();
    else
      pad = std::make_unique<GRDDLG_2>();
    pad->title = lang == 1033 ? u"Token PWD  (Enter PIN)" : u"憑證載具密碼(Enter PIN)";
    int code = tmpl == 201 ? 1001 : 1043;
    DialogView v;
    ScriptedUser u;
    u.expect(tmpl, {shot(shotName(tmpl, lang, "-start")), click(210), click(203), click(207), type(code, u"ABC"),
                    inspect([&](const DialogView& x) {
                      v = x;
                      EXPECT_EQ(outOfPlace(x.hwnd), std::vector<std::string>{}) << tmpl;
                    }),
                    shot(shotName(tmpl, lang)), click(tmpl == 201 ? IDCANCEL : 4)});
    u.install();
    EXPECT_EQ(pad->DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(textOf(v, tmpl == 201 ? 1000 : 1028), t.regenerate);
    EXPECT_EQ(textOf(v, tmpl == 201 ? 1002 : 1027), t.reenter);
    EXPECT_EQ(textOf(v, tmpl == 201 ? 1003 : 1042), u"***");
  }
  for (const char* text : {"0123456789", "012345678901234567890"}) {
    ConvertToImageDLG confirm;
    confirm.setTitle(lang == 1033 ? u"Is this account correct?" : u"是否要匯入此帳號");
    std::strcpy(confirm.inputText, text);
    ScriptedUser u;
    u.expect(203, {shot(shotName(203, lang, std::strlen(text) > 16 ? "-21" : "")),
                   inspect([&](const DialogView& x) { EXPECT_EQ(outOfPlace(x.hwnd), std::vector<std::string>{}); }),
                   click(IDCANCEL)});
    u.install();
    EXPECT_EQ(confirm.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}
