// The shuffled PIN pads (templates 201 and 202) driven by the scripted user,
// who reads the digit keys' pictures, the target digit and the picture code
// as a person would: the main path, the row and code mistakes that renew
// row, target and code, Re-enter, Regenerate, the length limit, Enter, Cancel.
// The PIN is checked against the bitmaps the clicked keys hold (BM_GETIMAGE
// compared with the bitmaps 3030-3039), not against the shuffle's table.
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "Pictures.h"
#include "ProtInputTestSupport.h"
#include "protinput/GRDDLG.h"
#include "protinput/RandomByte.h"

using namespace platform::user;
using namespace protdlg_test;

namespace {

struct Ids {
  int tmpl, picture, code, regenerate, pinField, reenter, count, target, rowFirst, cancel;
};
constexpr Ids kPad1{201, 1046, 1001, 1000, 1003, 1002, 212, 1015, 1004, IDCANCEL};
constexpr Ids kPad2{202, 1047, 1043, 1028, 1042, 1027, 211, 1026, 1016, 4};
constexpr int kKeyIds[10] = {210, 201, 202, 203, 204, 205, 206, 207, 208, 209};

std::unique_ptr<GRDDLG> makePad(const Ids& ids) {
  if (ids.tmpl == 201) return std::make_unique<GRDDLG_1>();
  return std::make_unique<GRDDLG_2>();
}

using testsupport::samePicture;

// The digit a key shows, from the bitmap it holds compared with the ten
// digit bitmaps of the resources; -1 when none matches.
int digitOfKey(HWND dialog, int keyId) {
  auto held = reinterpret_cast<HBITMAP>(SendDlgItemMessageW(dialog, keyId, BM_GETIMAGE, IMAGE_BITMAP, 0));
  for (int d = 0; d <= 9; ++d) {
    HBITMAP b = LoadBitmapW(nullptr, MAKEINTRESOURCEW(d == 9 ? 3030 : 3031 + d));
    bool same = b && samePicture(held, b);
    DeleteObject(b);
    if (same) return d;
  }
  return -1;
}

// What a person does to confirm: types the code read off the picture, then
// clicks the row button that carries the target digit.
Action typeCodeAndConfirm(const Ids& ids, bool lowerCase = false) {
  return react([ids, lowerCase](const DialogView& v) {
    std::u16string code = shownOf(v, ids.picture);
    if (lowerCase)
      for (auto& c : code)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    std::u16string target = textOf(v, ids.target);
    int row = -1;
    for (int k = 0; k < 10; ++k)
      if (textOf(v, ids.rowFirst + k) == target) row = ids.rowFirst + k;
    return std::vector<Action>{type(ids.code, code), click(row)};
  });
}

// Clicks a row button that does not carry the target digit.
Action clickWrongRow(const Ids& ids) {
  return react([ids](const DialogView& v) {
    std::u16string target = textOf(v, ids.target);
    for (int k = 0; k < 10; ++k)
      if (textOf(v, ids.rowFirst + k) != target) return std::vector<Action>{click(ids.rowFirst + k)};
    return std::vector<Action>{};
  });
}

struct PadState {
  std::u16string row, target, code, pinField, count;
  std::vector<int> keys;  // the digit each key's bitmap shows
};
PadState stateOf(const Ids& ids, const DialogView& v) {
  PadState s;
  for (int k = 0; k < 10; ++k) s.row += textOf(v, ids.rowFirst + k);
  s.target = textOf(v, ids.target);
  s.code = shownOf(v, ids.picture);
  s.pinField = textOf(v, ids.pinField);
  s.count = textOf(v, ids.count);
  for (int id : kKeyIds) s.keys.push_back(digitOfKey(v.hwnd, id));
  return s;
}

}  // namespace

class PinPad : public testing::TestWithParam<Ids> {};
INSTANTIATE_TEST_SUITE_P(Layouts, PinPad, testing::Values(kPad1, kPad2), [](const testing::TestParamInfo<Ids>& i) {
  return "Template" + std::to_string(i.param.tmpl);
});

TEST_P(PinPad, PinFromTheKeysClickedByTheirBitmaps) {
  const Ids ids = GetParam();
  auto pad = makePad(ids);
  pad->title = u"Token PIN";
  pad->maxLen = 8;
  PadState start;
  std::vector<int> clicked = {kKeyIds[3], kKeyIds[0], kKeyIds[9], kKeyIds[3]};
  std::u16string expected;
  ScriptedUser u;
  std::vector<Action> acts = {inspect([&](const DialogView& v) {
    start = stateOf(ids, v);
    for (int id : clicked) expected += static_cast<char16_t>(u'0' + digitOfKey(v.hwnd, id));
  })};
  for (int id : clicked) acts.push_back(click(id));
  std::u16string fieldText;
  acts.push_back(inspect([&](const DialogView& v) {
    WCHAR buf[64] = {};
    GetDlgItemTextW(v.hwnd, ids.pinField, buf, 64);
    fieldText = buf;
  }));
  acts.push_back(typeCodeAndConfirm(ids, true));  // the code is not case sensitive
  u.expect(ids.tmpl, acts);
  u.install();
  ASSERT_EQ(pad->DoModal(), IDOK);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(pad->pin, expected);
  EXPECT_EQ(fieldText, u"****");  // the field's own text is the mask, never the digits
  // The pad is a permutation of the ten digits; the row is cyclic and ascending.
  EXPECT_EQ(std::set<int>(start.keys.begin(), start.keys.end()).size(), 10u);
  EXPECT_EQ(*std::min_element(start.keys.begin(), start.keys.end()), 0);
  for (int k = 0; k < 10; ++k)
    EXPECT_EQ(start.row[(k + 1) % 10], u'0' + (start.row[k] - u'0' + 1) % 10) << narrow(start.row);
  EXPECT_EQ(start.code.size(), 6u);
  EXPECT_EQ(start.pinField, u"");
}

TEST_P(PinPad, WrongRowWrongCodeEmptyPinReenterRegenerate) {
  const Ids ids = GetParam();
  auto pad = makePad(ids);
  PadState empty, before, afterRow, afterKey, afterCode, afterReenter, afterRegenerate;
  std::vector<UINT> icons;
  std::u16string expected;
  auto snap = [&](PadState* s) { return inspect([&, s](const DialogView& v) { *s = stateOf(ids, v); }); };
  Action rightRow = react([ids](const DialogView& v) {
    for (int k = 0; k < 10; ++k)
      if (textOf(v, ids.rowFirst + k) == textOf(v, ids.target)) return std::vector<Action>{click(ids.rowFirst + k)};
    return std::vector<Action>{};
  });
  ScriptedUser u;
  u.expect(ids.tmpl,
           {typeCodeAndConfirm(ids),
            snap(&empty),  // no digit yet: 2501
            click(kKeyIds[1]),
            click(kKeyIds[2]),
            snap(&before),  //
            clickWrongRow(ids),
            snap(&afterRow),  // 2503
            click(kKeyIds[4]),
            snap(&afterKey),  //
            type(ids.code, u"zzzzzz"),
            rightRow,
            snap(&afterCode),  // 2504
            click(ids.reenter),
            snap(&afterReenter),  //
            click(ids.regenerate),
            snap(&afterRegenerate),  //
            key(VK_RETURN),          // Enter does not close
            inspect([&](const DialogView& v) { expected = std::u16string(1, u'0' + digitOfKey(v.hwnd, kKeyIds[5])); }),
            click(kKeyIds[5]),
            typeCodeAndConfirm(ids)})
      .expectMessageBox(2501, {inspect([&](const DialogView& v) { icons.push_back(v.messageBoxType); }), click(IDOK)})
      .expectMessageBox(2503, {inspect([&](const DialogView& v) { icons.push_back(v.messageBoxType); }), click(IDOK)})
      .expectMessageBox(2504, {inspect([&](const DialogView& v) { icons.push_back(v.messageBoxType); }), click(IDOK)});
  u.install();
  ASSERT_EQ(pad->DoModal(), IDOK);
  EXPECT_EQ(icons, (std::vector<UINT>{MB_ICONEXCLAMATION, MB_ICONSTOP, MB_ICONSTOP}));
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(pad->pin, expected);
  // 2501 renews nothing.
  EXPECT_EQ(empty.code, before.code);
  EXPECT_EQ(empty.row, before.row);
  EXPECT_EQ(before.pinField, u"**");
  // A wrong row renews row, target and code; the field is emptied, the PIN and count stay.
  EXPECT_NE(afterRow.code, before.code);
  EXPECT_EQ(afterRow.pinField, u"");
  EXPECT_EQ(afterRow.count, before.count);
  EXPECT_EQ(afterKey.pinField, u"***");  // every digit entered so far shows again
  EXPECT_NE(afterKey.count, before.count);
  // A wrong code renews the code too.
  EXPECT_NE(afterCode.code, afterKey.code);
  // Re-enter: a new pad order and no PIN; target and row stay.
  EXPECT_NE(afterReenter.keys, afterCode.keys);
  EXPECT_EQ(afterReenter.row, afterCode.row);
  EXPECT_EQ(afterReenter.target, afterCode.target);
  EXPECT_EQ(afterReenter.pinField, u"");
  EXPECT_EQ(afterReenter.count, u"");
  // Regenerate: a new code, nothing else.
  EXPECT_NE(afterRegenerate.code, afterReenter.code);
  EXPECT_EQ(afterRegenerate.keys, afterReenter.keys);
}

TEST_P(PinPad, LengthLimit) {
  const Ids ids = GetParam();
  struct Case {
    int maxLen, accepted;
  };
  for (Case c : {Case{0, 20}, Case{-3, 20}, Case{1, 1}, Case{20, 20}, Case{21, 20}}) {
    SCOPED_TRACE(c.maxLen);
    auto pad = makePad(ids);
    pad->maxLen = c.maxLen;
    std::vector<Action> acts;
    for (int i = 0; i < 22; ++i) acts.push_back(click(kKeyIds[i % 10]));
    acts.push_back(typeCodeAndConfirm(ids));
    ScriptedUser u;
    u.expect(ids.tmpl, acts);
    u.install();
    ASSERT_EQ(pad->DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
    EXPECT_EQ(pad->pin.size(), static_cast<size_t>(c.accepted));
  }
}

TEST_P(PinPad, CancelAndEscape) {
  const Ids ids = GetParam();
  for (bool escape : {false, true}) {
    auto pad = makePad(ids);
    ScriptedUser u;
    u.expect(ids.tmpl, {click(kKeyIds[0]), escape ? key(VK_ESCAPE) : click(ids.cancel)});
    u.install();
    EXPECT_EQ(pad->DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  }
}

// The row's start, the target and the pad order are draws of the random
// source, in that order (bytes 250-255 drawn again, so each digit is as
// likely as any other), never the clock.
TEST_P(PinPad, ShufflesComeFromTheRandomSource) {
  const Ids ids = GetParam();
  std::vector<unsigned char> bytes = {253, 17,                 // row start: 253 is drawn again, then 7
                                      23,                      // target 3
                                      5,   15, 2, 250, 0, 1,   // pad: 5, (5 again), 2, (again), 0, 1,
                                      9,   8,  7, 6,   4, 3};  // 9, 8, 7, 6, 4, 3
  for (int i = 0; i < 2614; ++i) bytes.push_back(static_cast<unsigned char>(i * 7));  // the picture code
  SequenceRandomSource source(bytes);
  ScopedRandomSource scoped(&source);
  auto pad = makePad(ids);
  PadState s;
  ScriptedUser u;
  u.expect(ids.tmpl, {inspect([&](const DialogView& v) { s = stateOf(ids, v); }), click(ids.cancel)});
  u.install();
  EXPECT_EQ(pad->DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(source.used(), bytes.size());
  EXPECT_EQ(s.row, u"7890123456");
  EXPECT_EQ(s.target, u"3");
  EXPECT_EQ(s.keys, (std::vector<int>{5, 2, 0, 1, 9, 8, 7, 6, 4, 3}));
}

// The pads draw nothing from the C library's generator and never reseed it.
TEST_P(PinPad, HostGeneratorUntouched) {
  const Ids ids = GetParam();
  std::srand(4242);
  int first = std::rand(), second = std::rand();
  std::srand(4242);
  EXPECT_EQ(std::rand(), first);
  auto pad = makePad(ids);
  ScriptedUser u;
  u.expect(ids.tmpl, {click(kKeyIds[0]), click(ids.reenter), clickWrongRow(ids), click(ids.cancel)})
      .expectMessageBox(2503, {click(IDOK)});
  u.install();
  EXPECT_EQ(pad->DoModal(), IDCANCEL);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
  EXPECT_EQ(std::rand(), second);
}

TEST_P(PinPad, FailingRandomSourceRefuses) {
  const Ids ids = GetParam();
  FailingRandomSource failing;
  ScopedRandomSource scoped(&failing);
  auto pad = makePad(ids);
  ScriptedUser u;  // no dialog may show
  u.install();
  EXPECT_EQ(pad->DoModal(), GRDDLG::kRefused);
  EXPECT_EQ(pad->refusal, 99);
  EXPECT_TRUE(u.ok()) << testing::PrintToString(u.failures());
}
