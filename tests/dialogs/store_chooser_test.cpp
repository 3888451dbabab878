// The store client with the chooser as its choice hook: a selection over the
// user's "MY" store with several qualifying certificates asks the user, and
// what the user picks (or cancels) is what the selection reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "StoreSupport.h"
#include "signlib/ui/CertificateDBClientUI.h"

using namespace platform::user;
using dlgtest::UiLanguage;

TEST(StoreChooser, NoCandidatesNoDialog) {
  CCertificateDBClientUI client;
  ScriptedUser u;
  u.install();
  int index = 7;
  EXPECT_EQ(client.setUISelectCert(nullptr, 0, &index), 0);
  EXPECT_EQ(index, -1);
  EXPECT_TRUE(u.seen().empty());
  EXPECT_EQ(std::string(client.getStoreName()), "MY");
}

TEST(StoreChooser, TheUsersPickIsTheSelection) {
  storetest::clearMy();
  storetest::addFixtureToMy("user");
  storetest::addFixtureToMy("ku_sig");
  storetest::addFixtureToMy("ku_enc");
  for (int pick = 0; pick < 3; ++pick) {
    SCOPED_TRACE(pick);
    UiLanguage language(1028);
    CCertificateDBClientUI client;
    std::vector<std::vector<std::u16string>> rows;
    ScriptedUser u;
    u.expect(104,
             {inspect([&](const DialogView& v) { rows = v.control(211)->rows; }), select(211, {pick}), click(IDOK)});
    u.install();
    EXPECT_EQ(client.selectCertificate(0), 0) << client.getErrorMessage();
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    ASSERT_EQ(rows.size(), 3u);
    std::u16string picked = rows[pick][0];
    std::string subject = storetest::str(client.getSubject());
    EXPECT_NE(subject.find("CN=" + std::string(picked.begin(), picked.end())), std::string::npos) << subject;
  }
}

TEST(StoreChooser, CancelAndTheExpiryBlock) {
  storetest::clearMy();
  storetest::addFixtureToMy("user");
  storetest::addFixtureToMy("expired");
  struct Case {
    const char* name;
    BYTE blockExpired;
    bool chooseExpired;
    bool cancel;
    int result;
  };
  const Case cases[] = {
      {"cancel after picking a row", 1, false, true, 28},
      {"an expired pick refused, then cancelled", 1, true, true, 28},
      {"an expired pick taken when not blocked", 0, true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    CCertificateDBClientUI client;
    client.BlockExpiredCert = c.blockExpired;
    int expiredRow = -1;
    ScriptedUser u;
    std::vector<Action> actions{inspect([&](const DialogView& v) {
      const auto& rows = v.control(211)->rows;
      for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i][0] == u"Expired User(Expired)") expiredRow = static_cast<int>(i);
    })};
    // The store lists its certificates in the order they were added (checked
    // below), so the expired one is row 1.
    actions.push_back(select(211, {c.chooseExpired ? 1 : 0}));
    if (c.chooseExpired && c.blockExpired) actions.push_back(click(IDOK));
    actions.push_back(c.cancel ? click(IDCANCEL) : click(IDOK));
    u.expect(104, actions);
    if (c.chooseExpired && c.blockExpired) u.expectMessageBox({key(VK_RETURN)});
    u.install();
    EXPECT_EQ(client.selectCertificate(0), c.result) << client.getErrorMessage();
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(expiredRow, 1);
    if (c.result == 0) {
      EXPECT_NE(storetest::str(client.getSubject()).find("CN=Expired User"), std::string::npos);
    }
  }
}
