// The CryptoAPI path with software keys in the user's store: envelopes as
// text and as files, checked by openssl cms as the relying party.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SigTestSupport.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "signlib/PKCS7MsgUtils.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

using namespace sigtest;

namespace {

// The control's two calls: the length, then a buffer of that length plus one.
struct Envelope {
  int lengthCode = -1, textCode = -1;
  int length1 = -1, length2 = -1;
  std::string text;
};
Envelope envelopeText(CPKCS7SignatureClient& c) {
  Envelope e;
  int length = 0;
  e.lengthCode = c.getSignedEnvelopeString(nullptr, &length);
  e.length1 = length;
  if (e.lengthCode != 0) return e;
  std::vector<char> buf(static_cast<size_t>(length) + 1, '#');
  e.textCode = c.getSignedEnvelopeString(buf.data(), &length);
  e.length2 = length;
  e.text.assign(buf.data(), std::strlen(buf.data()));
  return e;
}

std::string envelopeFile(CPKCS7SignatureClient& c, int* code) {
  std::string path = testsupport::freshDir("envelope") + "/env.p7";
  *code = c.writeSignedEnvelopeFile(path.c_str());
  return testsupport::readFile(path);
}

class CapiPath : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    importSoftware("user");
    importSoftware("ku_sig");
  }
};

TEST_F(CapiPath, EnvelopesFromTextAndFileVerify) {
  const std::string nulData("a\0b\0\0c\xff", 7);
  struct Case {
    const char* name;
    bool fromFile;
    std::string data;
  } cases[] = {
      {"short text", false, "hello, bank"},
      {"empty text", false, ""},
      {"Big5 bytes", false, "\xA4\xA4\xA4\xE5 \xB4\xFA\xB8\xD5"},
      {"text of 57 bytes: the Base64 text ends with its line", false, std::string(57, 'x')},
      {"file with NUL bytes", true, nulData},
      {"empty file", true, ""},
      {"file of 100 KB", true, std::string(100 * 1024, 'z')},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    CPKCS7SignatureClientUI client;
    if (k.fromFile) {
      std::string path = testsupport::freshDir("data") + "/data.bin";
      testsupport::writeFile(path, k.data);
      ASSERT_EQ(client.setDataContentByFile(path.c_str()), 0) << client.getErrorText();
    } else {
      ASSERT_EQ(client.setDataContentByString(k.data.c_str()), 0);
    }
    ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
    Envelope e = envelopeText(client);
    ASSERT_EQ(e.lengthCode, 0) << client.getErrorText();
    ASSERT_EQ(e.textCode, 0) << client.getErrorText();
    EXPECT_EQ(e.length1, e.length2);
    EXPECT_EQ(static_cast<int>(e.text.size()), e.length1);
    ASSERT_NE(client.getResultText(), nullptr);
    EXPECT_EQ(e.text, client.getResultText());
    // CR LF after every 76 characters.
    size_t pos = 0;
    while (pos < e.text.size()) {
      size_t eol = e.text.find("\r\n", pos);
      if (eol == std::string::npos) {
        EXPECT_LE(e.text.size() - pos, 76u);
        break;
      }
      EXPECT_EQ(eol - pos, 76u);
      pos = eol + 2;
    }
    std::string der = derOf(e.text);
    EXPECT_TRUE(verifies(der, k.data));
    int code = -1;
    std::string file = envelopeFile(client, &code);
    EXPECT_EQ(code, 0) << client.getErrorText();
    EXPECT_EQ(file, der);  // the same envelope: encoded once
  }
}

// Like openssl cms -sign -noattr -md sha1 -nodetach -binary with the same key:
// RSA PKCS#1 v1.5 signatures are deterministic, so the whole message prints
// the same but for the digest algorithm's parameters (CryptoAPI writes NULL).
TEST_F(CapiPath, SameMessageAsOpenSslWithoutAttributes) {
  const std::string data = "transfer 1000 to 12345";
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString(data.c_str()), 0);
  ASSERT_EQ(client.sign(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  Envelope e = envelopeText(client);
  ASSERT_EQ(e.textCode, 0) << client.getErrorText();
  std::string ours = printed(derOf(e.text));

  std::string dir = testsupport::freshDir("openssl");
  testsupport::writeFile(dir + "/data", data);
  const fixtures::Fixture& user = fixtures::get("user");
  ASSERT_EQ(testsupport::run("openssl cms -sign -noattr -md sha1 -nodetach -binary -outform DER -signer " +
                             quote(user.certPem) + " -inkey " + quote(user.keyPem) + " -in " + quote(dir + "/data") +
                             " -out " + quote(dir + "/m.der")),
            0);
  std::string theirs = printed(testsupport::readFile(dir + "/m.der"));
  ASSERT_FALSE(theirs.empty());
  EXPECT_EQ(count(ours, " signedAttrs:\n          <ABSENT>"), 1u);
  EXPECT_EQ(count(ours, "unsignedAttrs:\n          <ABSENT>"), 1u);
  EXPECT_EQ(count(ours, "algorithm: sha1 (1.3.14.3.2.26)"), 2u);  // digestAlgorithms and the SignerInfo
  EXPECT_EQ(count(ours, "algorithm: rsaEncryption"), 2u);         // the certificate's key and the signature
  // Normalise the one difference: sha1's parameters.
  auto normal = [](std::string t) {
    const std::string from = "algorithm: sha1 (1.3.14.3.2.26)\n";
    for (size_t p = t.find(from); p != std::string::npos; p = t.find(from, p + 1)) {
      size_t line = p + from.size();
      size_t end = t.find('\n', line);
      t.replace(line, end - line, "<params>");
    }
    return t;
  };
  EXPECT_EQ(normal(ours), normal(theirs));
}

TEST_F(CapiPath, TwoSignersGiveTwoSignerInfosInOrder) {
  const std::string data = "two signers";
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString(data.c_str()), 0);
  ASSERT_EQ(client.sign(b64("user").c_str(), "SHA1", "RSA"), 0);
  ASSERT_EQ(client.sign(b64("ku_sig").c_str(), "SHA1", "RSA"), 0);
  EXPECT_EQ(client.getSignerCount(), 2);
  Envelope e = envelopeText(client);
  ASSERT_EQ(e.textCode, 0) << client.getErrorText();
  std::string der = derOf(e.text);
  EXPECT_TRUE(verifies(der, data));  // openssl checks every SignerInfo
  std::string p = printed(der);
  EXPECT_EQ(count(p, "signatureAlgorithm:"), 2u);
  // Certificates and SignerInfos both in the order of the sign calls.
  auto serials = [](const std::string& text) {
    std::vector<std::string> out;
    for (size_t at = text.find("serialNumber: "); at != std::string::npos; at = text.find("serialNumber: ", at + 1))
      out.push_back(text.substr(at + 14, text.find('\n', at) - at - 14));
    return out;
  };
  auto serialOf = [](const std::string& fixture) {
    std::string out;
    testsupport::run("openssl x509 -noout -serial -in " + quote(fixtures::get(fixture).certPem), &out);
    return std::to_string(std::stoul(out.substr(out.find('=') + 1), nullptr, 16));
  };
  const std::vector<std::string> order{serialOf("user"), serialOf("ku_sig")};
  size_t infos = p.find("signerInfos:");
  ASSERT_NE(infos, std::string::npos);
  EXPECT_EQ(serials(p.substr(0, infos)), order);
  EXPECT_EQ(serials(p.substr(infos)), order);
}

TEST_F(CapiPath, ArgumentsAndSignerFailures) {
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("x"), 0);
  std::string notInStore = b64("ku_enc");  // a valid certificate that "MY" does not hold
  struct Case {
    const char* name;
    const char* cert;
    const char* digest;
    const char* method;
    int code;
    const char* text;
  } cases[] = {
      {"lower-case digest", nullptr, "sha1", "RSA", 1, "CPKCS7SignatureClient::sign -> parameter error"},
      {"SHA256", nullptr, "SHA256", "RSA", 1, "CPKCS7SignatureClient::sign -> parameter error"},
      {"DSA", nullptr, "SHA1", "DSA", 1, "CPKCS7SignatureClient::sign -> parameter error"},
      {"no certificate", "", "SHA1", "RSA", 23,
       "CPKCS7SignatureClient::loginSmartCard -> error 0x80093102 durning CertCreateCertificateContext"},
      {"not a certificate", "AAAA", "SHA1", "RSA", 23,
       "CPKCS7SignatureClient::loginSmartCard -> error 0x8009310b durning CertCreateCertificateContext"},
      {"not in MY", notInStore.c_str(), "SHA1", "RSA", 23,
       "CPKCS7SignatureClient::loginSmartCard -> error 0x80092004 durning CertFindCertificateInStore"},
  };
  std::string user = b64("user");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(client.signData(k.cert != nullptr ? k.cert : user.c_str(), k.digest, k.method), k.code);
    EXPECT_STREQ(client.getErrorText(), k.text);
  }
  EXPECT_EQ(client.sign(nullptr, "SHA1", "RSA"), 1);
  EXPECT_EQ(client.getSignerCount(), 0);
  int length = 7;
  EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 4);
  EXPECT_EQ(length, 0);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::getSignedEnvelopeByString -> Can't not find signing certificate");
  std::string path = testsupport::freshDir("nofile") + "/env.p7";
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 4);
  EXPECT_FALSE(std::ifstream(path).good());
}

// A signer certificate that has left the store by the time the envelope is
// asked for: the encoder's failure, and no file.
TEST_F(CapiPath, EncodingFailureWritesNoFile) {
  importSoftware("ku_sig_enc");
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("x"), 0);
  ASSERT_EQ(client.sign(b64("ku_sig_enc").c_str(), "SHA1", "RSA"), 0);
  std::string sha1;
  testsupport::run("openssl x509 -noout -fingerprint -sha1 -in " + quote(fixtures::get("ku_sig_enc").certPem) +
                       " | sed 's/.*=//; s/://g'",
                   &sha1);
  sha1.resize(40);
  certstore("delete --store MY --sha1 " + sha1);
  std::string path = testsupport::freshDir("fail") + "/env.p7";
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 23);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::startSignAndEncodeData -> 1. CPKCS7SignatureClient::base64ToPCCERT_CONTEXT -> "
               "error 0x80092004 durning CertFindCertificateInStore");
  EXPECT_FALSE(std::ifstream(path).good());
}

TEST_F(CapiPath, StringGetterCopiesOnlyWhatFits) {
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("fits?"), 0);
  ASSERT_EQ(client.sign(b64("user").c_str(), "SHA1", "RSA"), 0);
  int length = 0;
  ASSERT_EQ(client.getSignedEnvelopeString(nullptr, &length), 0);
  ASSERT_GT(length, 100);
  const int full = length;
  // A caller that passes less than the text's length gets 2 and nothing
  // written past what it passed.
  std::vector<char> small(static_cast<size_t>(full), '#');
  length = full - 10;
  EXPECT_EQ(client.getSignedEnvelopeString(small.data(), &length), 2);
  EXPECT_EQ(length, full);
  for (char ch : small) EXPECT_EQ(ch, '#');
  EXPECT_EQ(client.getSignedEnvelopeString(small.data(), nullptr), 1);
  // A larger buffer takes the text and its NUL, nothing more.
  std::vector<char> large(static_cast<size_t>(full) + 50, '#');
  length = full + 49;
  ASSERT_EQ(client.getSignedEnvelopeString(large.data(), &length), 0);
  EXPECT_EQ(length, full);
  EXPECT_EQ(large[static_cast<size_t>(full)], '\0');
  EXPECT_EQ(large[static_cast<size_t>(full) + 1], '#');
  EXPECT_EQ(std::string(large.data()), client.getResultText());
}

// Each client keeps its own envelope: one client's envelope neither leaks
// into another's nor blanks it, and destroying a client touches no other.
TEST_F(CapiPath, EnvelopeStatePerClient) {
  auto first = std::make_unique<CPKCS7SignatureClientUI>();
  CPKCS7SignatureClientUI second;
  ASSERT_EQ(first->setDataContentByString("first"), 0);
  ASSERT_EQ(first->sign(b64("user").c_str(), "SHA1", "RSA"), 0);
  Envelope a = envelopeText(*first);
  ASSERT_EQ(a.textCode, 0);
  EXPECT_TRUE(verifies(derOf(a.text), "first"));

  ASSERT_EQ(second.setDataContentByString("second"), 0);
  ASSERT_EQ(second.sign(b64("ku_sig").c_str(), "SHA1", "RSA"), 0);
  Envelope b = envelopeText(second);
  ASSERT_EQ(b.textCode, 0) << second.getErrorText();
  ASSERT_GT(b.length1, 0);
  EXPECT_TRUE(verifies(derOf(b.text), "second"));

  // New data for the first client does not blank the second's envelope.
  ASSERT_EQ(first->setDataContentByString("first again"), 0);
  first.reset();
  Envelope again = envelopeText(second);
  EXPECT_EQ(again.textCode, 0);
  EXPECT_EQ(again.text, b.text);
}

// New data drops the signers and the envelope; a sign after an envelope was
// taken reaches it only with new data.
TEST_F(CapiPath, DataContentStartsAnewEnvelope) {
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("one"), 0);
  ASSERT_EQ(client.sign(b64("user").c_str(), "SHA1", "RSA"), 0);
  Envelope one = envelopeText(client);
  ASSERT_EQ(one.textCode, 0);
  ASSERT_EQ(client.sign(b64("ku_sig").c_str(), "SHA1", "RSA"), 0);
  Envelope still = envelopeText(client);
  EXPECT_EQ(still.text, one.text);  // built already: the second signer waits for new data

  ASSERT_EQ(client.setDataContentByString("two"), 0);
  EXPECT_EQ(client.getSignerCount(), 0);
  int length = 0;
  EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 4);
  ASSERT_EQ(client.sign(b64("ku_sig").c_str(), "SHA1", "RSA"), 0);
  Envelope two = envelopeText(client);
  ASSERT_EQ(two.textCode, 0);
  EXPECT_TRUE(verifies(derOf(two.text), "two"));

  // A failed data change leaves no data and no signers.
  EXPECT_EQ(client.setDataContentByString(nullptr), 1);
  EXPECT_STREQ(client.getErrorText(), "CPKCS7SignatureClient::setDataContentByString -> parameter error");
  EXPECT_EQ(client.getSignerCount(), 1);  // a null text changes nothing
  EXPECT_EQ(client.setDataContentByFile("/no/such/file"), 20);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::setDataContentByFile -> error during _stat /no/such/file");
  EXPECT_EQ(client.getSignerCount(), 0);
  EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 4);
}

TEST_F(CapiPath, DataFilesInWindowsFormAndFailures) {
  // A drive path maps below the platform root.
  std::string drive = testsupport::platformRoot() + "/drives/c/data";
  std::filesystem::create_directories(drive);
  testsupport::writeFile(drive + "/in.txt", std::string("x\0y", 3));
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByFile("C:\\data\\in.txt"), 0) << client.getErrorText();
  ASSERT_EQ(client.sign(b64("user").c_str(), "SHA1", "RSA"), 0);
  ASSERT_EQ(client.writeSignedEnvelopeFile("C:\\data\\out.p7"), 0) << client.getErrorText();
  EXPECT_TRUE(verifies(testsupport::readFile(drive + "/out.p7"), std::string("x\0y", 3)));

  EXPECT_EQ(client.writeSignedEnvelopeFile("C:\\no\\such\\folder\\out.p7"), 20);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::getSignedEnvelopeByFile -> error during fopen C:\\no\\such\\folder\\out.p7");
  // A folder is no data file.
  EXPECT_EQ(client.setDataContentByFile(drive.c_str()), 3);
  EXPECT_EQ(std::string(client.getErrorText()).rfind("CPKCS7SignatureClient::setDataContentByFile -> error ", 0), 0u);
}

TEST(ProviderField, ModuleNames) {
  CPKCS7SignatureClientUI client;
  EXPECT_STREQ(client.getProvider(), "MicroSoftCAPI");
  const std::string longest(255, 'm');
  const std::string tooLong(256, 'm');
  EXPECT_EQ(client.setPKCS11LibName(longest.c_str()), 0);
  EXPECT_EQ(client.getProvider(), longest);
  EXPECT_EQ(client.setPKCS11LibName(tooLong.c_str()), 1);
  EXPECT_EQ(client.getProvider(), longest);  // left as it was
  EXPECT_EQ(client.setPKCS11LibName((tooLong + tooLong).c_str()), 1);
  EXPECT_EQ(client.getProvider(), longest);
  EXPECT_EQ(client.setPKCS11LibName("softtoken.dll"), 0);
  EXPECT_STREQ(client.getProvider(), "softtoken.dll");
  EXPECT_EQ(client.setPKCS11LibName(""), 1);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::setPKCS11LibName -> pchPKCS11LibName can't be null or empty string");
  EXPECT_STREQ(client.getProvider(), "");
  EXPECT_EQ(client.setPKCS11LibName(nullptr), 1);
  // An empty provider is not "MicroSoftCAPI": the token path answers.
  int length = 0;
  EXPECT_EQ(client.getSignedEnvelopeString(nullptr, &length), 3);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::getSignedEnvelopeStringByPKCS11 -> error during m_puchResultDER is null");
}

TEST(PinState, ClearUserPinWritesTheMarker) {
  CPKCS7SignatureClientUI client;
  EXPECT_STREQ(client.getPinState(), "\n\t\r\t\n");
  EXPECT_EQ(client.clearUserPIN(), 0);
  EXPECT_EQ(std::memcmp(client.getPinState(), "\n\t\r\t\n\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 24), 0);
}

}  // namespace
