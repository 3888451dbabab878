#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "signlib/ResultCode.h"

TEST(ErrorText, FormattingIsBoundedAndMayQuoteItself) {
  char text[ERROR_TEXT_SIZE];
  std::memset(text, 'Z', sizeof text);
  std::string longName(2000, 'm');
  formatErrorText(text, "CPKCS7SignatureClient::setPKCS11LibName -> can't load %s", longName.c_str());
  EXPECT_EQ(std::strlen(text), 511u);
  EXPECT_EQ(text[511], '\0');

  formatErrorText(text, "callee failed");
  formatErrorText(text, "CCaller::method -> %s", text);  // wraps its own earlier text
  EXPECT_STREQ(text, "CCaller::method -> callee failed");

  char small[8];
  formatBounded(small, sizeof small, "%s", "0123456789");
  EXPECT_STREQ(small, "0123456");
}

TEST(ErrorText, CodesMapToTheirStringIds) {
  struct Case {
    int code;
    unsigned short lang;
    int id;
  } cases[] = {{0, 1033, 500},  {1, 1028, 501},  {28, 2052, 528}, {50, 1033, 529}, {51, 1028, 530}, {51, 2052, 530},
               {51, 1033, 531}, {52, 1033, 532}, {55, 1033, 543}, {61, 1033, 533}, {62, 1033, 534}, {63, 1033, 535},
               {64, 1033, 536}, {65, 1033, 537}, {70, 1033, 538}, {99, 1033, 540}, {999, 1033, -1}, {-5, 1033, -1}};
  for (const auto& c : cases) EXPECT_EQ(rc::textIdForCode(c.code, c.lang), c.id) << c.code << "/" << c.lang;
}
