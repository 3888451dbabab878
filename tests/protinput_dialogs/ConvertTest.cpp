// The text-as-picture confirmation (template 203): every character shown
// (the picture has a cell for each, the dialog grows), the hidden mode, the
// text refused when a character has no key, Cancel and the refused keyboard.
#include <cstring>

#include "ProtInputTestSupport.h"
#include "protinput/ConvertToImageDLG.h"
#include "protinput/RandomByte.h"

using namespace platform::user;
using namespace protdlg_test;

namespace {

void setText(ConvertToImageDLG& dlg, const char* text) { std::strncpy(dlg.inputText, text, sizeof dlg.inputText - 1); }

}  // namespace

TEST(ConvertToImage, EveryCharacterShowsAndIsConfirmed) {
  struct Case {
    const char* text;
    const char* confirmed;
  };
  const Case cases[] = {
      {"0123456789.123456789", "0123456789.123456789"},
      {"012345678901234567890", "012345678901234567890"},  // 21: all of them
      {"12.5", "12.5"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ConvertToImageDLG dlg;
    dlg.setTitle(u"Is this account correct?");
    dlg.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
    setText(dlg, c.text);
    std::u16string shown;
    RECT picture{}, window{};
    ScriptedUser u;
    u.expect(203, {inspect([&](const DialogView& v) {
                     shown = shownOf(v, 1032);
                     GetWindowRect(GetDlgItem(v.hwnd, 1032), &picture);
                     GetWindowRect(v.hwnd, &window);
                   }),
                   click(1036)});
    u.install();
    ASSERT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    std::u16string want(c.confirmed, c.confirmed + std::strlen(c.confirmed));
    size_t cells = std::max<size_t>(16, want.size());
    EXPECT_EQ(shown, want + std::u16string(cells - want.size(), u' '));
    EXPECT_GE(picture.right - picture.left, static_cast<LONG>(25 * cells));
    EXPECT_LT(picture.right, window.right);  // the whole picture inside the dialog
    EXPECT_EQ(dlg.plainText, want);
    EXPECT_EQ(dlg.labels.size(), 16 * want.size());
    std::string plain;
    ASSERT_TRUE(bankDecrypt(dlg.getCipherData(), &plain));
    EXPECT_EQ(plain, c.confirmed);
  }
}

TEST(ConvertToImage, HiddenModeConfirmsWithoutTheUser) {
  ScriptedUser u;  // no dialog may reach the user
  u.install();
  ConvertToImageDLG dlg;
  dlg.setTitle(u"DONOTSHOWDIALOG");
  dlg.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
  setText(dlg, "012345678901234567890");
  ASSERT_TRUE(dlg.Create(203, nullptr));
  dlg.ShowWindow(SW_HIDE);
  EXPECT_FALSE(dlg.IsWindowVisible());
  dlg.acceptInput();
  EXPECT_EQ(dlg.plainText, u"012345678901234567890");
  std::string plain;
  ASSERT_TRUE(bankDecrypt(dlg.getCipherData(), &plain));
  EXPECT_EQ(plain, "012345678901234567890");
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}

// A character that no key holds, or a text longer than the 21 characters
// the dialog shows, refuses the whole text, shown or hidden; nothing is
// enciphered, and the text is never shortened.
TEST(ConvertToImage, CharacterWithoutAKeyOrATooLongTextRefusesTheText) {
  for (const char* text : {"12a4", "1 2", "-5", "12\xa4\xa4", "0123456789012345678901",
                           "012345678901234567890123456789012345678901234567890123456789012"}) {
    SCOPED_TRACE(text);
    {
      ScriptedUser u;
      u.install();
      ConvertToImageDLG dlg;
      dlg.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
      setText(dlg, text);
      EXPECT_EQ(dlg.DoModal(), ConvertToImageDLG::kRefused);
      EXPECT_EQ(dlg.refusal, 1);
      EXPECT_EQ(dlg.getCipherData(), u"");
      EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    }
    ConvertToImageDLG hidden;
    hidden.publicKey = std::u16string(bankKey().publicBase64.begin(), bankKey().publicBase64.end());
    setText(hidden, text);
    ASSERT_TRUE(hidden.Create(203, nullptr));
    hidden.ShowWindow(SW_HIDE);
    hidden.acceptInput();
    EXPECT_EQ(hidden.refusal, 1);
    EXPECT_EQ(hidden.plainText, u"");
    EXPECT_EQ(hidden.getCipherData(), u"");
  }
}

TEST(ConvertToImage, CancelKeyboardAndFailingRandomSource) {
  ConvertToImageDLG dlg;
  setText(dlg, "42");
  ScriptedUser u;
  u.expect(203, {key(VK_RETURN), key(VK_ESCAPE), click(IDCANCEL)})
      .expectMessageBox(3002, {click(IDOK)})
      .expectMessageBox(3002, {click(IDOK)});
  u.install();
  EXPECT_EQ(dlg.DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());

  FailingRandomSource failing;
  ScopedRandomSource scoped(&failing);
  ConvertToImageDLG refused;
  setText(refused, "42");
  ScriptedUser v;
  v.install();
  EXPECT_EQ(refused.DoModal(), ConvertToImageDLG::kRefused);
  EXPECT_EQ(refused.refusal, 99);
  EXPECT_TRUE(v.ok());
}
