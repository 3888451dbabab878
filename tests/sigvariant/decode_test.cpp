// The decoding side: SignedData made by openssl taken apart again, the name
// dump, a context from Base64, and the serial text against asn1parse.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "CertMaker.h"
#include "SigTestSupport.h"
#include "signlib/MyCertContext.h"
#include "signlib/PKCS7MsgUtils.h"

using namespace sigtest;

namespace {

class Decode : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::freshDir("decode");
    content_ = std::string("one\0two\xfe", 8) + std::string(300, 'z');
    testsupport::writeFile(dir_ + "/content", content_);
  }
  std::string make(const std::string& args, const std::string& tail = "") {
    std::string out;
    EXPECT_EQ(testsupport::run("openssl " + args + " -binary -outform DER -in " + quote(dir_ + "/content") + " -out " +
                                   quote(dir_ + "/m.der") + " " + tail + " 2>&1",
                               &out),
              0)
        << out;
    return testsupport::readFile(dir_ + "/m.der");
  }
  std::string signer(const std::string& f) {
    return " -signer " + quote(fixtures::get(f).certPem) + " -inkey " + quote(fixtures::get(f).keyPem);
  }
  int decode(CPKCS7MsgUtils& m, const std::string& der) {
    return m.decodeSignedData(reinterpret_cast<const unsigned char*>(der.data()), der.size());
  }
  bool sameFile(const std::string& bytes, const std::string& path) {
    testsupport::writeFile(dir_ + "/got", bytes);
    return testsupport::run("cmp -s " + quote(dir_ + "/got") + " " + quote(path)) == 0;
  }
  std::string dir_, content_;
};

TEST_F(Decode, WhatOpensslSigned) {
  struct Case {
    const char* name;
    std::string args;
    std::vector<std::string> certs;
    int signers;
  } cases[] = {
      {"cms", "cms -sign -nodetach" + signer("user"), {"user"}, 1},
      {"-certfile",
       "cms -sign -nodetach -certfile " + quote(fixtures::get("ca").certPem) + signer("user"),
       {"user", "ca"},
       1},
      {"-nocerts", "cms -sign -nodetach -nocerts" + signer("user"), {}, 1},
      {"two signers", "cms -sign -nodetach" + signer("user") + signer("rsa1024"), {"user", "rsa1024"}, 2},
      {"-keyid", "cms -sign -nodetach -keyid" + signer("user"), {"user"}, 1},
      {"smime", "smime -sign -nodetach" + signer("rsa1024"), {"rsa1024"}, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    CPKCS7MsgUtils m;
    ASSERT_EQ(decode(m, make(k.args)), 0) << m.getErrorText();
    // The content keeps its length: NUL bytes and all.
    ASSERT_EQ(m.getDataContentLength(), content_.size());
    EXPECT_TRUE(sameFile(std::string(m.getDataContent(), m.getDataContentLength()), dir_ + "/content"));
    ASSERT_EQ(m.getSignerCertCount(), static_cast<int>(k.certs.size()));
    for (int i = 0; i < m.getSignerCertCount(); ++i) {
      DWORD n = 0;
      const BYTE* der = m.getSignerCert(i, &n);
      std::string bytes(reinterpret_cast<const char*>(der), n);
      bool matched = false;
      for (const std::string& f : k.certs) matched = matched || sameFile(bytes, fixtures::get(f).certDer);
      EXPECT_TRUE(matched) << i;
    }
    ASSERT_EQ(m.getSignerInfoCount(), k.signers);
    const CMSG_SIGNER_INFO* si = m.getSignerInfo(0);
    ASSERT_NE(si, nullptr);
    if (std::string(k.name) == "-keyid") {
      EXPECT_EQ(si->SerialNumber.cbData, 0u);  // named by key identifier
      EXPECT_EQ(si->dwVersion, 3u);
    } else {
      EXPECT_GT(si->SerialNumber.cbData, 0u);
    }
  }
}

TEST_F(Decode, OtherMessagesAndASecondDecode) {
  CPKCS7MsgUtils m;
  ASSERT_EQ(decode(m, make("cms -sign -nodetach" + signer("user"))), 0);
  // Not SignedData: 99, and what the first decode held is released.
  EXPECT_EQ(decode(m, make("cms -encrypt", quote(fixtures::get("user").certPem))), 99);
  EXPECT_STREQ(m.getErrorText(), "CPKCS7MsgUtils::decodeSignedData ->The message type isn't Signed-Data");
  EXPECT_EQ(m.getSignerCertCount(), 0);
  EXPECT_EQ(m.getDataContent(), nullptr);
  EXPECT_EQ(decode(m, make("cms -data_create")), 99);
  EXPECT_EQ(decode(m, "not a message"), 3);
  EXPECT_NE(std::string(m.getErrorText()).find("during CryptMsgUpdate"), std::string::npos);
  // Detached: a SignedData without content decodes with an empty content.
  ASSERT_EQ(decode(m, make("cms -sign" + signer("user"))), 0);
  EXPECT_EQ(m.getDataContentLength(), 0u);
  EXPECT_STREQ(m.getDataContent(), "");
  EXPECT_EQ(m.getSignerInfoCount(), 1);
}

TEST(NameDump, ValuesWithTheirLengthAndType) {
  using certmaker::Attr;
  const std::string bmp("\x73\x8B\x5C\x0F", 4);  // 王小 as BMPString
  std::vector<unsigned char> der = certmaker::selfSigned({
      {"C", "TW", V_ASN1_PRINTABLESTRING},
      {"O", "\xE8\x87\xBA\xE7\x81\xA3"},  // 臺灣, UTF8String
      {"OU", "Retail"},
      {"CN", bmp, V_ASN1_BMPSTRING},
      {"L", "Taipei"},
  });
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  ASSERT_NE(c, nullptr);
  std::string dir = testsupport::freshDir("dump");
  CMyCertContext ctx;
  setenv("LANG", "zh_TW.UTF-8", 1);  // the ANSI code page the values are written in
  ASSERT_EQ(ctx.extractCertNameBlob(&c->pCertInfo->Subject, (dir + "/names.txt").c_str()), 0);
  std::string text = testsupport::readFile(dir + "/names.txt");
  EXPECT_NE(text.find("Value Type = 4 \nC = TW\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Value Type = 13 \nO = "), std::string::npos) << text;
  EXPECT_NE(text.find("OU = Retail\n"), std::string::npos);
  EXPECT_NE(text.find("Value Type = 12 \nCN = "), std::string::npos);
  EXPECT_NE(text.find("OID.2.5.4.7 = Taipei\n"), std::string::npos);
  EXPECT_EQ(text.rfind("==================================\n", 0), 0u);
  // Converted from UTF-16, whatever the code page: never the raw UTF-16 bytes.
  EXPECT_EQ(text.find(std::string("\x8B\x73", 2)), std::string::npos);
  EXPECT_EQ(text.find(std::string("\x00", 1)), std::string::npos);
  // An unwritable path: -1 and nothing written anywhere.
  EXPECT_EQ(ctx.extractCertNameBlob(&c->pCertInfo->Subject, (dir + "/no/such/dir/x.txt").c_str()), -1);
  CERT_NAME_BLOB junk{3, reinterpret_cast<BYTE*>(const_cast<char*>("abc"))};
  EXPECT_EQ(ctx.extractCertNameBlob(&junk, (dir + "/junk.txt").c_str()), 23);
  EXPECT_NE(testsupport::readFile(dir + "/junk.txt").find("durning CryptDecodeObject1"), std::string::npos);
  CertFreeCertificateContext(c);
}

TEST(Base64Context, MadeForTheCaller) {
  CMyCertContext ctx;
  PCCERT_CONTEXT made = nullptr;
  ASSERT_EQ(ctx.b64Cert_2_CertContext(b64("user").c_str(), &made), 0);
  ASSERT_NE(made, nullptr);
  const std::vector<unsigned char> der = fixtures::get("user").der();
  EXPECT_EQ(std::vector<unsigned char>(made->pbCertEncoded, made->pbCertEncoded + made->cbCertEncoded), der);
  EXPECT_EQ(ctx.b64Cert_2_CertContext(b64("user").c_str(), &made), 1);  // must hold null
  EXPECT_STREQ(ctx.getErrorText(),
               "CMyCertContext::b64Cert_2_CertContext -> parameter error(pCertContext should be null)");
  CertFreeCertificateContext(made);
  made = nullptr;
  EXPECT_EQ(ctx.b64Cert_2_CertContext(nullptr, &made), 1);
  EXPECT_EQ(ctx.b64Cert_2_CertContext("QUJD", &made), 3);
  EXPECT_EQ(made, nullptr);
}

// The serial text is the serial INTEGER's content octets, found where
// openssl asn1parse says they lie.
TEST(SerialText, ContentOctetsAsAsn1parseFindsThem) {
  std::string dir = testsupport::freshDir("serial");
  struct Case {
    std::string serial;  // openssl -set_serial
    std::string expected;
  } cases[] = {{"255", "00FF"},
               {"1", "01"},
               {"0x7F0102030405060708090A0B0C0D0E0F10111213", ""},
               {"0xA5" + std::string(60, '1'), ""}};  // 31 bytes and a sign byte: longer than X.509 allows
  for (const Case& k : cases) {
    SCOPED_TRACE(k.serial);
    std::string out;
    ASSERT_EQ(testsupport::run("openssl req -x509 -newkey rsa:1024 -nodes -keyout " + quote(dir + "/k.pem") +
                                   " -subj /CN=serial -days 2 -set_serial " + k.serial + " -outform DER -out " +
                                   quote(dir + "/c.der") + " 2>&1",
                               &out),
              0)
        << out;
    std::string der = testsupport::readFile(dir + "/c.der");
    // "    4:d=2  hl=2 l=   2 prim: INTEGER  :FF": the first INTEGER at depth 2.
    std::string parsed;
    testsupport::run(
        "openssl asn1parse -inform DER -in " + quote(dir + "/c.der") + " | grep 'd=2' | grep INTEGER | head -1",
        &parsed);
    size_t offset = std::stoul(parsed.substr(0, parsed.find(':')));
    size_t hl = std::stoul(parsed.substr(parsed.find("hl=") + 3));
    size_t l = std::stoul(parsed.substr(parsed.find(" l=") + 3));
    std::string hex;
    for (size_t i = offset + hl; i < offset + hl + l; ++i) {
      char b[3];
      std::snprintf(b, sizeof b, "%02X", static_cast<unsigned char>(der[i]));
      hex += b;
    }
    if (!k.expected.empty()) {
      EXPECT_EQ(hex, k.expected);
    }
    char* text = base64Encode(reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
    CMyCertContext ctx;
    ASSERT_EQ(ctx.setCertContext(text, false, false), 0) << ctx.getErrorText();
    std::free(text);
    EXPECT_EQ(std::string(ctx.getSerialNumber()), hex);
  }
}

}  // namespace
