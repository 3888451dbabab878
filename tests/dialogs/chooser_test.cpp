// The certificate chooser: one row per candidate in order, its columns in
// each language, the refusals of Confirm, the expiry block, a candidate that
// cannot be read, a list that cannot be filled, and the ways to cancel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "DialogsTestSupport.h"
#include "signlib/ui/CertificateDBClientCOMDlg.h"

using namespace platform::user;
using dlgtest::Certificate;
using dlgtest::UiLanguage;

namespace {

using Row = std::vector<std::u16string>;

// Local time is the fixtures' UTC plus eight hours while a test runs.
class TaipeiTime {
 public:
  TaipeiTime() {
    if (const char* tz = std::getenv("TZ")) m_previous = tz, m_had = true;
    setenv("TZ", "CST-8", 1);
  }
  ~TaipeiTime() {
    if (m_had)
      setenv("TZ", m_previous.c_str(), 1);
    else
      unsetenv("TZ");
  }

 private:
  std::string m_previous;
  bool m_had = false;
};

class Candidates {
 public:
  explicit Candidates(const std::vector<const char*>& names) {
    for (const char* n : names) {
      if (n == nullptr) {
        m_contexts.push_back(nullptr);
        continue;
      }
      m_certs.push_back(std::make_unique<Certificate>(n));
      m_contexts.push_back(m_certs.back()->get());
    }
  }
  PCCERT_CONTEXT* list() { return m_contexts.data(); }
  int count() const { return static_cast<int>(m_contexts.size()); }

 private:
  std::vector<std::unique_ptr<Certificate>> m_certs;
  std::vector<PCCERT_CONTEXT> m_contexts;
};

std::u16string columnHeading(HWND dialog, int column) {
  WCHAR text[64] = {};
  LVCOLUMNW info{};
  info.mask = LVCF_TEXT;
  info.pszText = text;
  info.cchTextMax = 64;
  SendDlgItemMessageW(dialog, 211, LVM_GETCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&info));
  return text;
}

bool endsWith(const std::u16string& s, const std::u16string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(Chooser, RowsInEachLanguage) {
  struct Texts {
    LANGID language;
    const char16_t* title;
    const char16_t* headings[6];
    const char16_t* usage[3];  // 0, 1, 2
    const char16_t* expired;
    const char16_t* confirm;
    const char16_t* blocked;
  };
  const Texts texts[] = {
      {1028,
       u"選擇憑證",
       {u"發給", u"發行者", u"憑證序號", u"憑證金鑰使用方式", u"有效起始", u"有效到"},
       {u"未定義", u"簽章金鑰", u"加密金鑰"},
       u"(已過期)",
       u"確定",
       u"不可選擇過期憑證！"},
      {1033,
       u"Choose a Certificate",
       {u"Subject", u"Issuer", u"Serial Number", u"Key Usage", u"Not Before", u"Not After"},
       {u"Undefined", u"Signature", u"Encryption"},
       u"(Expired)",
       u"Confirm",
       u"The expired Certificate can not be selected!"},
      {2052,
       u"选择证书",
       {u"发给", u"发行者", u"证书序号", u"证书金钥使用方式", u"有效起始", u"有效到"},
       {u"未定义", u"签章金钥", u"加密金钥"},
       u"(已过期)",
       u"确定",
       u"不可选择过期证书！"},
  };
  TaipeiTime time;
  Candidates candidates({"user", "ku_enc", "expired", "notyet", "ku_none", "zh_tw"});
  for (const Texts& t : texts) {
    SCOPED_TRACE(t.language);
    UiLanguage language(t.language);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates.list();
    dlg.candidateCount = candidates.count();
    DialogView seen;
    std::vector<std::u16string> headings;
    std::vector<int> widths;
    ScriptedUser u;
    u.expect(104, {inspect([&](const DialogView& v) {
                     seen = v;
                     for (int c = 0; c < 6; ++c) {
                       headings.push_back(columnHeading(v.hwnd, c));
                       widths.push_back(static_cast<int>(SendDlgItemMessageW(v.hwnd, 211, LVM_GETCOLUMNWIDTH, c, 0)));
                     }
                   }),
                   select(211, {2}), click(IDOK), select(211, {5}),
                   shot(dlgtest::shotPath("chooser-" + std::to_string(t.language))), key(VK_RETURN)});
    DialogView box;
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }),
                        shot(dlgtest::shotPath("chooser-expired-" + std::to_string(t.language))), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(dlg.chosenIndex, 5);

    EXPECT_EQ(seen.caption, t.title);
    EXPECT_EQ(seen.control(IDOK)->text, t.confirm);
    EXPECT_EQ(box.text, t.blocked);
    EXPECT_EQ(headings, (std::vector<std::u16string>(t.headings, t.headings + 6)));
    EXPECT_EQ(widths, (std::vector<int>{140, 140, 150, 130, 100, 100}));
    const std::vector<Row>& rows = seen.control(211)->rows;
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], (Row{u"Test User", u"Test Root CA", u"1001", t.usage[1], u"20240101080000", u"20500101075959"}));
    EXPECT_EQ(rows[1][0], u"KU Enc");
    EXPECT_EQ(rows[1][3], t.usage[2]);
    EXPECT_EQ(rows[2][0], std::u16string(u"Expired User") + t.expired);  // appended without a blank
    EXPECT_EQ(rows[3][0], std::u16string(u"NotYet User") + t.expired);   // not yet valid counts too
    EXPECT_EQ(rows[4][3], t.usage[0]);
    EXPECT_EQ(rows[5][0], u"王小明");
    EXPECT_FALSE(endsWith(rows[5][0], t.expired));
  }
}

TEST(Chooser, ConfirmRefusalsAndTheExpiryBlock) {
  struct Case {
    const char* name;
    BYTE blockExpired;
    std::vector<int> rows;    // selected before Confirm; empty: none
    const char16_t* message;  // null: no message, the dialog ends
    std::vector<int> leftSelected;
    INT_PTR result;
    int index;
  };
  const Case cases[] = {
      {"nothing selected", 1, {}, u"Select a Certificate", {}, IDCANCEL, -1},
      {"two rows selected, selection cleared", 1, {0, 1}, u"Please select a Certificate", {}, IDCANCEL, -1},
      {"an expired certificate while blocked",
       1,
       {2},
       u"The expired Certificate can not be selected!",
       {2},
       IDCANCEL,
       2},
      {"a certificate not yet valid while blocked",
       1,
       {3},
       u"The expired Certificate can not be selected!",
       {3},
       IDCANCEL,
       3},
      {"an expired certificate when not blocked", 0, {2}, nullptr, {}, IDOK, 2},
      {"a valid certificate", 1, {1}, nullptr, {}, IDOK, 1},
  };
  Candidates candidates({"user", "ku_enc", "expired", "notyet"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UiLanguage language(1033);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates.list();
    dlg.candidateCount = candidates.count();
    dlg.blockExpired = c.blockExpired;
    DialogView box, after;
    std::vector<Action> actions;
    if (!c.rows.empty()) actions.push_back(select(211, c.rows));
    actions.push_back(click(IDOK));
    ScriptedUser u;
    if (c.message != nullptr) {
      actions.push_back(inspect([&](const DialogView& v) { after = v; }));
      actions.push_back(key(VK_ESCAPE));
      u.expect(104, actions);
      u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }), key(VK_RETURN)});
    } else {
      u.expect(104, actions);
    }
    u.install();
    EXPECT_EQ(dlg.DoModal(), c.result);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(dlg.chosenIndex, c.index);
    if (c.message != nullptr) {
      EXPECT_EQ(box.text, c.message);
      EXPECT_EQ(box.caption, u"Information");
      EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONINFORMATION);
      EXPECT_EQ(after.control(211)->selectedRows, c.leftSelected);
    }
  }
}

TEST(Chooser, RowsStayTheCandidatesWhenOneCannotBeRead) {
  Candidates candidates({"user", nullptr, "ku_enc"});
  {
    UiLanguage language(1033);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates.list();
    dlg.candidateCount = candidates.count();
    std::vector<Row> rows;
    ScriptedUser u;
    u.expect(104, {inspect([&](const DialogView& v) { rows = v.control(211)->rows; }), select(211, {2}), click(IDOK)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], u"Test User");
    EXPECT_EQ(rows[1], Row(6));  // a row of its own, empty
    EXPECT_EQ(rows[2][0], u"KU Enc");
    EXPECT_EQ(dlg.chosenIndex, 2);  // the row the user picked is the candidate returned
  }
  {
    // The empty row is nothing to choose, even with the expiry block off.
    UiLanguage language(1033);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates.list();
    dlg.candidateCount = candidates.count();
    dlg.blockExpired = 0;
    std::u16string message;
    ScriptedUser u;
    u.expect(104, {select(211, {1}), click(IDOK), key(VK_ESCAPE)});
    u.expectMessageBox({inspect([&](const DialogView& v) { message = v.text; }), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(message, u"Select a Certificate");
  }
}

TEST(Chooser, ListThatCannotBeFilledEndsAsCancelled) {
  for (const dlgtest::Language& l : dlgtest::kLanguages) {
    SCOPED_TRACE(l.tag);
    UiLanguage language(l.id);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = nullptr;  // a count without a list
    dlg.candidateCount = 2;
    DialogView box;
    ScriptedUser u;
    u.expectMessageBox({inspect([&](const DialogView& v) { box = v; }),
                        shot(dlgtest::shotPath(std::string("chooser-fill-failure-") + l.tag)), key(VK_RETURN)});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(u.seen().size(), 1u);  // the user never sees the list
    EXPECT_EQ(box.text, u"CCertificateDBClientCOMDlg::init_CertInfo2ListCtrl -> Unknown error");
    const char16_t* caption = l.id == 1028 ? u"錯誤訊息" : l.id == 1033 ? u"Error Message" : u"错误讯息";
    EXPECT_EQ(box.caption, caption);
    EXPECT_EQ(box.messageBoxType & MB_ICONMASK, MB_ICONERROR);
    EXPECT_EQ(dlg.chosenIndex, -1);
  }
}

TEST(Chooser, CancelPaths) {
  const std::pair<const char*, Action> ways[] = {
      {"Cancel button", click(IDCANCEL)}, {"Escape", key(VK_ESCAPE)}, {"close box", close()}};
  Candidates candidates({"user", "ku_enc"});
  for (const auto& [name, action] : ways) {
    SCOPED_TRACE(name);
    UiLanguage language(2052);
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates.list();
    dlg.candidateCount = candidates.count();
    ScriptedUser u;
    u.expect(104, {select(211, {1}), action});
    u.install();
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(u.ok()) << dlgtest::failuresOf(u);
    EXPECT_EQ(dlg.chosenIndex, -1);
  }
}
