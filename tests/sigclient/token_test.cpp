// Keys on a SoftHSM2 token, reached through the initialised-only test module:
// the CryptoAPI path through the token provider (PIN set by the login step,
// or asked by the provider's own prompt) and the token path of the token
// client. The token login dialog is the PIN hook of the UI client; here a
// test subclass answers in its place.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <stdio_ext.h>

#include <gtest/gtest.h>

#include "SigTestSupport.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/ui.h"
#include "platform/user.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

using namespace sigtest;
using namespace platform::user;

namespace {

constexpr const char* kCancel = "<cancel>";
constexpr const char* kSigner = "rsa3072";  // a key of its own, on the token

class ScriptedClient : public CPKCS7SignatureClientUI {
 public:
  std::deque<std::string> answers;  // one per dialog; kCancel cancels
  int dialogs = 0;
  int limitSeen = -1;
  std::string certificateSeen;

  void setErrorText(const char* text) { formatErrorText(m_szErrorText, "%s", text); }
  void addCancelCode(DWORD code) { add(&m_pdwCancelCodes, &m_iCancelCodeCount, code); }
  void addWrongPasswordCode(DWORD code) { add(&m_pdwWrongPasswordCodes, &m_iWrongPasswordCodeCount, code); }
  void setIllegalPins(const std::vector<std::string>& values) {
    m_ppchIllegalPIN = static_cast<char**>(std::calloc(values.size(), sizeof(char*)));
    for (const std::string& v : values) m_ppchIllegalPIN[m_iIllegalPINCount++] = strdup(v.c_str());
  }

 protected:
  INT_PTR runTokenLoginDialog(const char* certificate, char* pin) override {
    ++dialogs;
    limitSeen = PINLenLimit;
    certificateSeen = certificate;
    if (answers.empty() || answers.front() == kCancel) {
      if (!answers.empty()) answers.pop_front();
      return IDCANCEL;
    }
    std::strcpy(pin, answers.front().c_str());
    answers.pop_front();
    return IDOK;
  }

 private:
  static void add(DWORD** list, int* count, DWORD code) {
    *list = static_cast<DWORD*>(std::realloc(*list, sizeof(DWORD) * static_cast<size_t>(*count + 1)));
    (*list)[(*count)++] = code;
  }
};

// The envelope text by the control's two calls.
int envelope(CPKCS7SignatureClient& c, std::string* text) {
  int length = 0;
  int code = c.getSignedEnvelopeString(nullptr, &length);
  if (code != 0) return code;
  std::vector<char> buf(static_cast<size_t>(length) + 1);
  code = c.getSignedEnvelopeString(buf.data(), &length);
  text->assign(buf.data());
  return code;
}

std::string debugOutput() {
  SIZE_T n = PlatformDebugOutput(nullptr, 0, FALSE);
  std::string out(n + 1, '\0');
  PlatformDebugOutput(out.data(), out.size(), FALSE);
  return out;
}

// The provider's prompt, answered by the scripted user.
Entry typePin(const std::string& pin) {
  return Entry{PLATFORM_TOKEN_PIN_DLG,
               {type(PLATFORM_TOKEN_PIN_EDIT, std::u16string(pin.begin(), pin.end())), click(IDOK)}};
}
Entry cancelPrompt() { return Entry{PLATFORM_TOKEN_PIN_DLG, {click(IDCANCEL)}}; }

class TokenKeyInStore : public ::testing::Test {
 protected:
  void SetUp() override { token_ = std::make_unique<Token>(kSigner); }
  std::unique_ptr<Token> token_;
};

TEST_F(TokenKeyInStore, PinFromTheLoginStepSignsWithoutPrompt) {
  ScriptedClient client;
  client.EnableLoginAgency = 1;
  client.PINLenLimit = 6;
  client.answers = {kPin};
  ScriptedUser nobody;  // no dialog may open
  nobody.install();
  ASSERT_EQ(client.setDataContentByString("pay 10"), 0);
  ASSERT_EQ(client.signData(b64(kSigner).c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  EXPECT_EQ(client.dialogs, 1);
  EXPECT_EQ(client.limitSeen, 6);
  EXPECT_EQ(client.certificateSeen, b64(kSigner));
  std::string text;
  ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
  EXPECT_TRUE(verifies(derOf(text), "pay 10"));
  std::string p = printed(derOf(text));
  EXPECT_EQ(count(p, " signedAttrs:\n          <ABSENT>"), 1u);
  EXPECT_TRUE(nobody.ok()) << testing::PrintToString(nobody.failures());
  nobody.uninstall();
}

TEST_F(TokenKeyInStore, WrongPinAtTheLoginStep) {
  for (bool listed : {false, true}) {
    SCOPED_TRACE(listed ? "SCARD_W_WRONG_CHV listed as a wrong password" : "not listed");
    ScriptedClient client;
    client.EnableLoginAgency = 1;
    client.PWDCatch = 1;
    client.answers = {"0000"};
    if (listed) client.addWrongPasswordCode(SCARD_W_WRONG_CHV);
    ASSERT_EQ(client.setDataContentByString("x"), 0);
    client.setErrorText("before");
    int code = client.sign(b64(kSigner).c_str(), "SHA1", "RSA");
    if (listed) {
      EXPECT_EQ(code, 21);
      EXPECT_STREQ(client.getErrorText(), "before");  // left as it was
    } else {
      EXPECT_EQ(code, 23);
      EXPECT_STREQ(client.getErrorText(),
                   "CPKCS7SignatureClient::loginSmartCard -> error 0x8010006b during CryptSetProvParam");
    }
    EXPECT_EQ(client.getSignerCount(), 0);
    EXPECT_STREQ(client.getPinState(), CPKCS7SignatureClient::NO_LOGIN_MARKER);  // asks again next time
    // A cancelled login dialog gives 28.
    client.answers = {kCancel};
    EXPECT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 28);
  }
}

// With the login agency off the provider is given no PIN, so it asks with
// its own prompt when it signs: once for the control's two string requests.
TEST_F(TokenKeyInStore, ProviderPromptsWhenItSigns) {
  ScriptedClient client;
  ASSERT_EQ(client.setDataContentByString("prompted"), 0);
  ASSERT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  EXPECT_EQ(client.dialogs, 0);
  ScriptedUser user({typePin(kPin)});
  user.install();
  std::string text;
  ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
  EXPECT_TRUE(user.ok()) << testing::PrintToString(user.failures());
  ASSERT_EQ(user.seen().size(), 1u);
  const DialogView& v = user.seen()[0];
  EXPECT_EQ(v.caption, u"Token PIN");
  ASSERT_NE(v.control(PLATFORM_TOKEN_PIN_NAME), nullptr);
  EXPECT_NE(v.control(PLATFORM_TOKEN_PIN_NAME)->text.find(u"RSA 3072"), std::u16string::npos);
  EXPECT_NE(v.control(PLATFORM_TOKEN_PIN_NAME)->text.find(u"(sig)"), std::u16string::npos);
  EXPECT_EQ(v.focusId, PLATFORM_TOKEN_PIN_EDIT);
  user.uninstall();
  EXPECT_TRUE(verifies(derOf(text), "prompted"));
  // The file getter gives the same envelope without signing again.
  ScriptedUser nobody;
  nobody.install();
  std::string path = testsupport::freshDir("env") + "/env.p7";
  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0);
  EXPECT_EQ(testsupport::readFile(path), derOf(text));
  EXPECT_TRUE(nobody.ok());
  nobody.uninstall();
}

TEST_F(TokenKeyInStore, CancelledOrWrongPromptAtTheEncodingStep) {
  struct Case {
    const char* name;
    Entry answer;
    bool listCodes;
    int code;
    const char* text;
  } cases[] = {
      {"cancelled", cancelPrompt(), false, 3,
       "CPKCS7SignatureClient::startSignAndEncodeData -> 2. CPKCS7MsgUtils::encodeSignedData -> error 8010006e "
       "during CryptMsgUpdate"},
      {"cancelled, listed as cancel", cancelPrompt(), true, 28, nullptr},
      {"wrong PIN", typePin("9999"), false, 3,
       "CPKCS7SignatureClient::startSignAndEncodeData -> 2. CPKCS7MsgUtils::encodeSignedData -> error 8010006b "
       "during CryptMsgUpdate"},
      {"wrong PIN, listed as wrong password", typePin("9999"), true, 21, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedClient client;
    if (k.listCodes) {
      client.addCancelCode(SCARD_W_CANCELLED_BY_USER);
      client.addWrongPasswordCode(SCARD_W_WRONG_CHV);
    }
    ASSERT_EQ(client.setDataContentByString("x"), 0);
    ASSERT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 0);
    ScriptedUser user({k.answer});
    user.install();
    std::string path = testsupport::freshDir("env") + "/env.p7";
    EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), k.code);
    if (k.text != nullptr) {
      EXPECT_STREQ(client.getErrorText(), k.text);
    }
    EXPECT_FALSE(std::ifstream(path).good());
    EXPECT_TRUE(user.ok()) << testing::PrintToString(user.failures());
    user.uninstall();
  }
}

// "Datakey RSA CSP" is handed the no-login marker, which the token provider
// takes as no PIN: it asks when it signs. With PWDCatch on the login is made
// once; the PIN the user typed stands for the following signatures until
// clearUserPIN.
TEST(DatakeyProvider, MarkerAndKeptLogin) {
  Token token(kSigner, "Datakey RSA CSP");
  ScriptedClient client;
  client.PWDCatch = 1;
  ASSERT_EQ(client.setDataContentByString("first"), 0);
  ASSERT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  EXPECT_STREQ(client.getPinState(), "Logined");
  std::string text;
  {
    ScriptedUser user({typePin(kPin)});
    user.install();
    ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
    EXPECT_TRUE(user.ok()) << testing::PrintToString(user.failures());
    user.uninstall();
  }
  EXPECT_TRUE(verifies(derOf(text), "first"));
  {
    ScriptedUser nobody;
    nobody.install();
    ASSERT_EQ(client.setDataContentByString("second"), 0);
    ASSERT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 0);
    ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
    EXPECT_TRUE(nobody.ok()) << testing::PrintToString(nobody.failures());
    nobody.uninstall();
  }
  EXPECT_TRUE(verifies(derOf(text), "second"));
  EXPECT_EQ(client.dialogs, 0);  // the login dialog is never asked with the agency off
  client.clearUserPIN();
  {
    ScriptedUser user({typePin(kPin)});
    user.install();
    ASSERT_EQ(client.setDataContentByString("third"), 0);
    ASSERT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 0);
    ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
    EXPECT_TRUE(user.ok()) << testing::PrintToString(user.failures());
    user.uninstall();
  }
}

TEST_F(TokenKeyInStore, IllegalPinIsRefusedAndNotKept) {
  ScriptedClient client;
  client.EnableLoginAgency = 1;
  client.setIllegalPins({"1111", kPin});
  client.answers = {kPin};
  ASSERT_EQ(client.setDataContentByString("x"), 0);
  EXPECT_EQ(client.sign(b64(kSigner).c_str(), "SHA1", "RSA"), 51);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClient::loginSmartCard -> can't sign by IllegalPIN");
  EXPECT_EQ(client.getSignerCount(), 0);
  EXPECT_TRUE(client.isIllegalPIN("1111"));
  EXPECT_FALSE(client.isIllegalPIN("111"));

  // The provider keeps no PIN from the refused login: a silent signature
  // of the key cannot go ahead.
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  std::string der = derOf(b64(kSigner));
  PCCERT_CONTEXT given = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                      reinterpret_cast<const BYTE*>(der.data()), der.size());
  PCCERT_CONTEXT c = CertFindCertificateInStore(my, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, given, nullptr);
  ASSERT_NE(c, nullptr);
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &spec, &callerFree));
  CMSG_SIGNER_ENCODE_INFO si{};
  si.cbSize = sizeof si;
  si.pCertInfo = c->pCertInfo;
  si.hCryptProv = prov;
  si.dwKeySpec = spec;
  si.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &si;
  HCRYPTMSG msg =
      CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CMSG_SIGNED, &info, nullptr, nullptr);
  ASSERT_NE(msg, nullptr);
  EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>("x"), 1, TRUE));
  EXPECT_EQ(GetLastError(), NTE_SILENT_CONTEXT);
  CryptMsgClose(msg);
  if (callerFree) CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(c);
  CertFreeCertificateContext(given);
  CertCloseStore(my, 0);
}

// Token path: the token client signs at once and keeps the message.
class TokenPath : public ::testing::Test {
 protected:
  void SetUp() override {
    hsm_.initToken("sig", kSoPin, kPin);
    hsm_.addIdentity("sig", kPin, "user", "a1");
    p11test::installForwarder();
  }
  p11test::SoftHsm hsm_{"path"};
};

TEST_F(TokenPath, SignsTextAndFileBytes) {
  const std::string withNul("head\0tail\0", 10);
  std::string file = testsupport::freshDir("data") + "/data.bin";
  testsupport::writeFile(file, withNul);
  struct Case {
    const char* name;
    bool fromFile;
    std::string data;
  } cases[] = {{"text", false, "token text"}, {"empty text", false, ""}, {"file with NUL bytes", true, withNul}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedClient client;
    client.PINLenLimit = 8;
    ASSERT_EQ(client.setPKCS11LibName(p11test::kForwarder), 0);
    int length = 0;
    EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 3);
    std::string none = testsupport::freshDir("none") + "/env.p7";
    EXPECT_EQ(client.writeSignedEnvelopeFile(none.c_str()), 3);
    EXPECT_FALSE(std::ifstream(none).good());
    if (k.fromFile)
      ASSERT_EQ(client.setDataContentByFile(file.c_str()), 0);
    else
      ASSERT_EQ(client.setDataContentByString(k.data.c_str()), 0);
    client.answers = {kPin};
    // The method texts are not checked on the token path.
    ASSERT_EQ(client.signData(b64("user").c_str(), "sha1", "rsa"), 0) << client.getErrorText();
    EXPECT_EQ(client.dialogs, 1);
    EXPECT_EQ(client.limitSeen, 8);
    std::string text;
    ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
    EXPECT_TRUE(verifies(derOf(text), k.data));
    std::string path = testsupport::freshDir("env") + "/env.p7";
    ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0);
    EXPECT_EQ(testsupport::readFile(path), derOf(text));
  }
}

TEST_F(TokenPath, Failures) {
  ScriptedClient client;
  ASSERT_EQ(client.setPKCS11LibName(p11test::kForwarder), 0);
  ASSERT_EQ(client.setDataContentByString("x"), 0);
  client.answers = {"000000"};
  EXPECT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 50);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::signByPKCS11 -> CPKCS11TokenUtil::Login -> error 0xA0 during C_Login");
  client.answers = {kCancel};
  EXPECT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 28);
  int length = 0;
  EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 3);  // nothing kept from the failures
  EXPECT_EQ(client.setUILoginSmartCard(nullptr, std::vector<char>(128).data()), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchCertificate is NULL");
  EXPECT_EQ(client.setUILoginSmartCard("x", nullptr), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClientUI::setUILoginSmartCard -> pchPwd is NULL");

  ASSERT_EQ(client.setPKCS11LibName("nosuchmodule.dll"), 0);
  client.answers = {kPin};
  int code = client.signData(b64("user").c_str(), "SHA1", "RSA");
  EXPECT_NE(code, 0);
  EXPECT_EQ(std::string(client.getErrorText()).rfind("CPKCS7SignatureClient::signByPKCS11 -> CPKCS11TokenUtil::", 0),
            0u)
      << client.getErrorText();
  EXPECT_EQ(client.dialogs, 2);  // the missing module fails before any PIN is asked
}

// No PIN reaches an error text or the debugger output, whichever way a
// login goes.
TEST_F(TokenKeyInStore, NoPinInTextsOrDebugOutput) {
  const std::string secret = "73915";
  PlatformDebugOutput(nullptr, 0, TRUE);
  std::vector<std::string> texts;
  ScriptedClient agency;
  agency.EnableLoginAgency = 1;
  agency.setIllegalPins({secret});
  agency.answers = {secret};
  agency.setDataContentByString("x");
  agency.sign(b64(kSigner).c_str(), "SHA1", "RSA");  // wrong PIN for the token
  texts.push_back(agency.getErrorText());
  ScriptedClient prompted;
  prompted.setDataContentByString("x");
  prompted.sign(b64(kSigner).c_str(), "SHA1", "RSA");
  ScriptedUser user({typePin(secret)});
  user.install();
  int length = 0;
  prompted.getSignedEnvelopeString(nullptr, &length);
  user.uninstall();
  texts.push_back(prompted.getErrorText());
  ScriptedClient tokenPath;
  tokenPath.setPKCS11LibName(p11test::kForwarder);
  tokenPath.setDataContentByString("x");
  tokenPath.answers = {secret};
  tokenPath.signData(b64(kSigner).c_str(), "SHA1", "RSA");
  texts.push_back(tokenPath.getErrorText());
  for (const std::string& t : texts) {
    EXPECT_FALSE(t.empty());
    EXPECT_EQ(t.find(secret), std::string::npos) << t;
  }
  EXPECT_EQ(debugOutput().find(secret), std::string::npos);
}

// The base client's console prompt reads one word of at most 127 bytes.
// A PIN longer than the 128-byte buffer holds is refused, not cut; one that
// fits is read whole. Nothing is written past the buffer either way.
TEST(ConsolePrompt, ReadsAtMost127BytesAndRefusesLonger) {
  class Console : public CPKCS7SignatureClient {
   public:
    using CPKCS7SignatureClient::setUILoginSmartCard;
  } client;
  struct Case {
    size_t length;
    int code;
  } cases[] = {{200, 1}, {128, 1}, {127, 0}, {4, 0}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.length);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string input = std::string(k.length, 'p') + " next\n";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    close(fds[1]);
    int saved = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
    __fpurge(stdin);  // nothing left over from the case before
    clearerr(stdin);
    char pin[CPKCS7SignatureClient::PIN_SIZE + 16];
    std::memset(pin, '#', sizeof pin);
    int code = client.setUILoginSmartCard(nullptr, pin);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    EXPECT_EQ(code, k.code);
    if (k.code == 0)
      EXPECT_EQ(std::string(pin), std::string(k.length, 'p'));
    else
      EXPECT_EQ(pin[0], '\0') << client.getErrorText();
    EXPECT_EQ(pin[128], '#');  // nothing written past the 128-byte buffer
  }
}

}  // namespace
