// Script text in and out of a control in each code page: the text the library
// gets and the script string it gives back are the code page's conversion,
// whether the text is ASCII alone or not, and a code page the platform
// cannot convert fails for both.
#include <string>

#include <gtest/gtest.h>

#include "ctrlkit/ScriptText.h"
#include "platform/com.h"
#include "platform/locale.h"

namespace {

std::string viaConversion(const std::u16string& text, UINT codePage) {
  int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

TEST(ScriptText, BothWaysAreTheCodePagesConversion) {
  const std::u16string texts[] = {u"MIIBxjCCAS+gAwIBAgIJ/=\r\n", u"transfer 1: NT$1,000 to 0123-456-789;",
                                  u"\u8f49\u5e33 NT$1,000", u"caf\u00e9"};
  for (UINT codePage : {CP_ACP, CP_THREAD_ACP, CP_UTF8, 950u, 936u, 1252u}) {
    for (const std::u16string& text : texts) {
      SCOPED_TRACE(std::to_string(codePage) + " " + std::string(text.begin(), text.end()));
      const std::string expected = viaConversion(text, codePage);
      ASSERT_FALSE(expected.empty());
      BSTR in = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
      ctrlkit::CAnsiText narrowed(in, codePage);
      EXPECT_EQ(std::string(narrowed.text()), expected);
      SysFreeString(in);

      BSTR back = nullptr;
      ASSERT_EQ(ctrlkit::textResult(expected.c_str(), &back, codePage), S_OK);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(std::u16string(back, SysStringLen(back)), ctrlkit::widen(expected.c_str(), codePage));
      SysFreeString(back);
    }
  }
}

TEST(ScriptText, ACodePageWithoutConversionFailsEvenForAscii) {
  const UINT unknown = 1251;
  BSTR in = SysAllocString(u"ascii only");
  EXPECT_ANY_THROW(ctrlkit::CAnsiText(in, unknown));
  SysFreeString(in);
  BSTR back = nullptr;
  EXPECT_EQ(ctrlkit::textResult("ascii only", &back, unknown), E_OUTOFMEMORY);
  EXPECT_EQ(back, nullptr);
}

}  // namespace
