// pagehost's --user file, read into the scripted user's entries.
#include "host/UserScript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using host::parseUserJson;
using namespace platform::user;

TEST(UserJson, ParsesPagehostActions) {
  std::vector<Entry> entries;
  std::string error;
  const char* json = R"([
    {"expect": 105, "actions": [["type", 310, "12\u4e2d"], ["paste", 310, "x"], ["key", "VK_TAB", "shift"],
                               ["click", 1], ["select", 211, [0, 2]], ["capslock", true], ["wait", 1000],
                               ["exec", "true"], ["close"]]},
    {"expect": "messagebox", "actions": [["click", 1]]}
  ])";
  ASSERT_TRUE(parseUserJson(json, &entries, &error)) << error;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].expect, 105);
  EXPECT_EQ(entries[1].expect, kMessageBox);
  const auto& a = entries[0].actions;
  ASSERT_EQ(a.size(), 9u);
  EXPECT_EQ(a[0].kind, Action::Kind::Type);
  EXPECT_EQ(a[0].text, u"12中");
  EXPECT_EQ(a[2].vk, VK_TAB);
  EXPECT_EQ(a[2].modifiers, kShift);
  EXPECT_EQ(a[4].rows, (std::vector<int>{0, 2}));
  EXPECT_TRUE(a[5].on);
  EXPECT_EQ(a[6].ms, 1000u);
  EXPECT_EQ(a[7].command, "true");
  EXPECT_EQ(a[8].kind, Action::Kind::Close);

  const char* bad[] = {
      "{}",
      "[{\"actions\": []}]",
      "[{\"expect\": 1, \"actions\": [[\"fly\"]]}]",
      "[{\"expect\": 1, \"actions\": [[\"key\", \"VK_NOPE\"]]}]",
      "[{\"expect\": 1, \"actions\": [[\"click\", 1.5]]}]",
      "[{\"expect\": 1, \"actions\": [[\"select\", 1, [-1]]]}]",
      "[{\"expect\": 1, \"actions\": [[\"key\", \"VK_TAB\", \"meta\"]]}]",
      "[{\"expect\": 1, \"actions\": [[\"type\", 1, \"unterminated]]}]",
      "[{\"expect\": 1}] trailing",
      // A number too large for a double is a refusal, not an exception out of the reader.
      "[{\"expect\": 1, \"actions\": [[\"wait\", 1e999]]}]",
  };
  for (const char* b : bad) {
    SCOPED_TRACE(b);
    EXPECT_FALSE(parseUserJson(b, &entries, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(UserJson, ClickShownAndMessageBoxText) {
  std::vector<Entry> entries;
  std::string error;
  ASSERT_TRUE(parseUserJson(R"([{"expect": 107, "actions": [["clickshown", "7"]]},
                                {"expect": "messagebox", "text": 3002, "actions": [["click", 1]]}])",
                            &entries, &error))
      << error;
  ASSERT_EQ(entries.size(), 2u);
  ASSERT_EQ(entries[0].actions.size(), 1u);
  EXPECT_EQ(entries[0].actions[0].kind, Action::Kind::ClickShown);
  EXPECT_EQ(entries[0].actions[0].text, u"7");
  EXPECT_EQ(entries[1].textId, 3002u);
  for (const char* bad :
       {R"([{"expect": 107, "text": 3002, "actions": []}])",
        R"([{"expect": "messagebox", "text": "x", "actions": []}])",
        R"([{"expect": 107, "actions": [["clickshown"]]}])", R"([{"expect": 107, "actions": [["clickshown", ""]]}])"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parseUserJson(bad, &entries, &error));
  }
}

// A window that opens in one of several layouts: any of the ids may open.
TEST(UserJson, ExpectOneOfSeveralTemplates) {
  std::vector<Entry> entries;
  std::string error;
  ASSERT_TRUE(parseUserJson(R"([{"expect": [201, 202], "actions": [["click", 2]]},
                                {"expect": [107], "actions": []},
                                {"expect": 108, "actions": []}])",
                            &entries, &error))
      << error;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].expect, 201);
  EXPECT_EQ(entries[0].orTemplates, (std::vector<int>{202}));
  EXPECT_EQ(entries[1].expect, 107);
  EXPECT_TRUE(entries[1].orTemplates.empty());
  EXPECT_TRUE(entries[2].orTemplates.empty());
  for (const char* bad : {R"([{"expect": [], "actions": []}])", R"([{"expect": [201, "messagebox"], "actions": []}])",
                          R"([{"expect": [201, 0], "actions": []}])", R"([{"expect": [201, 2.5], "actions": []}])",
                          R"([{"expect": [[201]], "actions": []}])", R"([{"expect": "dialog", "actions": []}])",
                          R"([{"expect": [201, 202], "text": 3002, "actions": []}])"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parseUserJson(bad, &entries, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
