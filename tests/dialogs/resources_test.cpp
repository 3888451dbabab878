// The dialogs' resources as a deliverable embeds them: every template and
// every string of the dialogs in each of the three languages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DialogsTestSupport.h"
#include "platform/resources.h"

namespace {

const UINT kStringIds[] = {201, 202, 203, 204, 205, 206, 207, 210, 212, 213, 214, 215, 216, 217, 218, 219, 220, 301,
                           302, 303, 304, 305, 306, 307, 308, 309, 402, 453, 454, 455, 456, 460, 461, 462, 463, 464};

struct Size {
  int cx, cy;
};

// cx and cy of a DLGTEMPLATEEX.
bool templateSize(WORD id, LANGID language, Size* size) {
  HRSRC r = FindResourceExW(nullptr, RT_DIALOG, MAKEINTRESOURCEW(id), language);
  if (r == nullptr) return false;
  auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(nullptr, r)));
  if (data == nullptr || SizeofResource(nullptr, r) < 26) return false;
  WORD version, signature;
  std::memcpy(&version, data, 2);
  std::memcpy(&signature, data + 2, 2);
  if (version != 1 || signature != 0xFFFF) return false;
  short cx, cy;
  std::memcpy(&cx, data + 22, 2);
  std::memcpy(&cy, data + 24, 2);
  *size = {cx, cy};
  return true;
}

}  // namespace

TEST(DialogResources, EveryStringInEveryLanguage) {
  for (const dlgtest::Language& l : dlgtest::kLanguages) {
    for (UINT id : kStringIds) {
      WCHAR text[512] = {};
      EXPECT_GT(PlatformLoadStringLang(nullptr, id, l.id, text, 512), 0) << "string " << id << " in " << l.tag;
    }
  }
  // The countdown prefix ends in a blank in Chinese only.
  WCHAR prefix[64] = {};
  ASSERT_GT(PlatformLoadStringLang(nullptr, 304, 1033, prefix, 64), 0);
  EXPECT_EQ(std::u16string(prefix), u"Time remain:");
  ASSERT_GT(PlatformLoadStringLang(nullptr, 304, 2052, prefix, 64), 0);
  EXPECT_EQ(std::u16string(prefix), u"剩余秒数: ");
}

TEST(DialogResources, TemplatesInEveryLanguage) {
  struct Case {
    WORD id;
    Size sizes[3];  // 1028, 1033, 2052
  };
  const Case cases[] = {
      {104, {{306, 120}, {306, 120}, {306, 120}}}, {105, {{257, 95}, {294, 91}, {263, 87}}},
      {106, {{187, 142}, {187, 142}, {187, 142}}}, {107, {{187, 42}, {187, 42}, {187, 42}}},
      {113, {{179, 81}, {179, 81}, {179, 81}}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 3; ++i) {
      const dlgtest::Language& l = dlgtest::kLanguages[i];
      Size size{};
      ASSERT_TRUE(templateSize(c.id, l.id, &size)) << "dialog " << c.id << " in " << l.tag;
      EXPECT_EQ(size.cx, c.sizes[i].cx) << "dialog " << c.id << " in " << l.tag;
      EXPECT_EQ(size.cy, c.sizes[i].cy) << "dialog " << c.id << " in " << l.tag;
    }
  }
}
