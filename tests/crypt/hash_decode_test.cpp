// MD5 hashes signed by a software key, message decoding and name decoding,
// each against what openssl makes and reads of the same bytes.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "CertMaker.h"
#include "Fixtures.h"
#include "TestRoot.h"
#include "platform/crypt.h"
#include "platform/kernel.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string q(const std::string& s) { return "'" + s + "'"; }

std::string bytesOf(const std::vector<BYTE>& v) { return std::string(v.begin(), v.end()); }

// A software key container for a fixture, acquired through its certificate.
struct SoftKey {
  HCERTSTORE pfx = nullptr;
  PCCERT_CONTEXT cert = nullptr;
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  explicit SoftKey(const std::string& fixture) {
    std::string data = testsupport::readFile(fixtures::get(fixture).p12);
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
    pfx = PFXImportCertStore(&blob, u"test", 0);
    cert = CertEnumCertificatesInStore(pfx, nullptr);
    CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &callerFree);
  }
  ~SoftKey() {
    if (callerFree) CryptReleaseContext(prov, 0);
    CertFreeCertificateContext(cert);
    CertCloseStore(pfx, 0);
  }
};

// The signature as CryptSignHashA gives it, or empty with *error set.
std::vector<BYTE> md5Sign(HCRYPTPROV prov, DWORD spec, const std::string& data, DWORD* error) {
  *error = 0;
  HCRYPTHASH hash = 0;
  std::vector<BYTE> sig;
  DWORD n = 0;
  if (!CryptCreateHash(prov, CALG_MD5, 0, 0, &hash) ||
      !CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) ||
      !CryptSignHashA(hash, spec, nullptr, 0, nullptr, &n)) {
    *error = GetLastError();
  } else {
    sig.resize(n);
    if (!CryptSignHashA(hash, spec, nullptr, 0, sig.data(), &n)) {
      *error = GetLastError();
      sig.clear();
    }
  }
  if (hash != 0) CryptDestroyHash(hash);
  return sig;
}

TEST(Md5Signature, LeastSignificantFirstAndOpensslAgrees) {
  for (const char* fixture : {"rsa1024", "user"}) {
    SCOPED_TRACE(fixture);
    SoftKey key(fixture);
    ASSERT_NE(key.prov, 0u);
    const size_t bytes = fixtures::get(fixture).bits / 8;
    for (const std::string& data : {std::string(), std::string("pay 100 to account 42"), std::string("with\0nul", 8)}) {
      DWORD error = 0;
      std::vector<BYTE> sig = md5Sign(key.prov, key.spec, data, &error);
      ASSERT_EQ(error, 0u);
      ASSERT_EQ(sig.size(), bytes);
      std::string dir = testsupport::freshDir("md5");
      testsupport::writeFile(dir + "/data", data);
      std::string expected;
      ASSERT_EQ(testsupport::run("openssl dgst -md5 -sign " + q(fixtures::get(fixture).keyPem) + " " + q(dir + "/data"),
                                 &expected),
                0);
      std::vector<BYTE> reversed(sig.rbegin(), sig.rend());
      EXPECT_EQ(bytesOf(reversed), expected);
      // The value as given (least significant first) is not the PKCS#1 signature.
      testsupport::writeFile(dir + "/pub", "");
      testsupport::run("openssl x509 -pubkey -noout -in " + q(fixtures::get(fixture).certPem) + " > " +
                       q(dir + "/pub"));
      testsupport::writeFile(dir + "/sig", bytesOf(reversed));
      testsupport::writeFile(dir + "/raw", bytesOf(sig));
      std::string cmd = "openssl dgst -md5 -verify " + q(dir + "/pub") + " -signature ";
      EXPECT_EQ(testsupport::run(cmd + q(dir + "/sig") + " " + q(dir + "/data") + " >/dev/null 2>&1"), 0);
      EXPECT_NE(testsupport::run(cmd + q(dir + "/raw") + " " + q(dir + "/data") + " >/dev/null 2>&1"), 0);
    }
  }
}

TEST(Md5Signature, Contract) {
  SoftKey key("rsa1024");
  ASSERT_NE(key.prov, 0u);
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(key.prov, 0x8004 /* SHA-1 */, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
  EXPECT_FALSE(CryptCreateHash(12345, CALG_MD5, 0, 0, &hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
  ASSERT_TRUE(CryptCreateHash(key.prov, CALG_MD5, 0, 0, &hash));
  // Data in pieces is the same as data at once.
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("pay "), 4, 0));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("100"), 3, 0));
  DWORD n = 0;
  ASSERT_TRUE(CryptSignHashA(hash, key.spec, nullptr, 0, nullptr, &n));
  EXPECT_EQ(n, 128u);
  std::vector<BYTE> small(10);
  n = 10;
  EXPECT_FALSE(CryptSignHashA(hash, key.spec, nullptr, 0, small.data(), &n));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(n, 128u);
  // The hash can still take data: asking for the length signed nothing.
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(""), 0, 0));
  std::vector<BYTE> sig(128);
  ASSERT_TRUE(CryptSignHashA(hash, key.spec, nullptr, 0, sig.data(), &n));
  DWORD error = 0;
  EXPECT_EQ(md5Sign(key.prov, key.spec, "pay 100", &error), sig);
  // Signed: no more data; signing again gives the same value.
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
  std::vector<BYTE> again(128);
  ASSERT_TRUE(CryptSignHashA(hash, key.spec, nullptr, 0, again.data(), &n));
  EXPECT_EQ(again, sig);
  EXPECT_FALSE(CryptSignHashA(hash, 7, nullptr, 0, again.data(), &n));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  // The hash keeps its provider alive.
  if (key.callerFree) {
    ASSERT_TRUE(CryptReleaseContext(key.prov, 0));
  }
  key.callerFree = FALSE;
  EXPECT_TRUE(CryptSignHashA(hash, AT_KEYEXCHANGE, nullptr, 0, again.data(), &n));
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_FALSE(CryptDestroyHash(hash));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0));
}

TEST(Md5Signature, EcKeyCannotSign) {
  SoftKey key("ec");
  ASSERT_NE(key.prov, 0u);
  DWORD error = 0;
  EXPECT_TRUE(md5Sign(key.prov, key.spec, "x", &error).empty());
  EXPECT_EQ(error, NTE_BAD_ALGID);
}

// ---- decoding ----

struct Decoded {
  DWORD error = 0;
  DWORD type = 0;
  std::vector<BYTE> content;
  bool contentOk = false;
  std::vector<std::vector<BYTE>> certs;
  std::vector<std::vector<BYTE>> signers;  // CMSG_SIGNER_INFO buffers
};

Decoded decode(const std::string& der, DWORD flags = 0, size_t pieces = 1) {
  Decoded d;
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEnc, flags, 0, 0, nullptr, nullptr);
  if (msg == nullptr) {
    d.error = GetLastError();
    return d;
  }
  const BYTE* p = reinterpret_cast<const BYTE*>(der.data());
  size_t step = der.size() / pieces;
  bool ok = true;
  for (size_t i = 0; ok && i + 1 < pieces; ++i) ok = CryptMsgUpdate(msg, p + i * step, static_cast<DWORD>(step), FALSE);
  size_t done = step * (pieces - 1);
  ok = ok && CryptMsgUpdate(msg, p + done, static_cast<DWORD>(der.size() - done), TRUE);
  DWORD n = sizeof d.type;
  if (!ok || !CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, &d.type, &n)) {
    d.error = GetLastError();
    CryptMsgClose(msg);
    return d;
  }
  n = 0;
  if (CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &n)) {
    d.content.resize(n);
    d.contentOk = CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, d.content.data(), &n);
  }
  DWORD count = 0;
  n = sizeof count;
  if (CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n)) {
    for (DWORD i = 0; i < count; ++i) {
      n = 0;
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, nullptr, &n));
      d.certs.emplace_back(n);
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, i, d.certs.back().data(), &n));
    }
    n = 0;
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_CERT_PARAM, count, nullptr, &n));
    EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);
  }
  n = sizeof count;
  if (CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count, &n)) {
    for (DWORD i = 0; i < count; ++i) {
      n = 0;
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, i, nullptr, &n));
      d.signers.emplace_back(n);
      EXPECT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_INFO_PARAM, i, d.signers.back().data(), &n));
    }
  }
  CryptMsgClose(msg);
  return d;
}

const CMSG_SIGNER_INFO& info(const std::vector<BYTE>& buffer) {
  return *reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
}

std::vector<BYTE> blobBytes(const CRYPTOAPI_BLOB& b) { return std::vector<BYTE>(b.pbData, b.pbData + b.cbData); }

class Decoding : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::freshDir("decode");
    // Content with NUL bytes and high bytes: it must come back whole.
    content_ = std::string("first\0second\xff\x80 line\r\n", 21) + std::string(2000, 'x');
    testsupport::writeFile(dir_ + "/content", content_);
  }
  // Runs openssl with the arguments, reading the content and writing DER; the DER.
  std::string make(const std::string& args, const std::string& recipient = "") {
    std::string out;
    int status = testsupport::run(
        "openssl " + args + " -in " + q(dir_ + "/content") + " -out " + q(dir_ + "/m.der") + " " + recipient + " 2>&1",
        &out);
    EXPECT_EQ(status, 0) << out;
    return testsupport::readFile(dir_ + "/m.der");
  }
  std::string signer(const std::string& fixture) {
    return " -signer " + q(fixtures::get(fixture).certPem) + " -inkey " + q(fixtures::get(fixture).keyPem);
  }
  // Content and certificates compared with cmp, as files.
  void expectSame(const std::vector<BYTE>& got, const std::string& expectedPath) {
    testsupport::writeFile(dir_ + "/got", bytesOf(got));
    EXPECT_EQ(testsupport::run("cmp -s " + q(dir_ + "/got") + " " + q(expectedPath)), 0) << expectedPath;
  }
  std::string dir_, content_;
};

TEST_F(Decoding, SignedDataAsOpensslWroteIt) {
  struct Case {
    const char* name;
    std::string args;
    std::vector<std::string> certs;  // fixtures, in the message's order
    size_t signers;
  } cases[] = {
      {"cms", "cms -sign -nodetach -binary -outform DER" + signer("user"), {"user"}, 1},
      {"cms -certfile",
       "cms -sign -nodetach -binary -outform DER -certfile " + q(fixtures::get("ca").certPem) + signer("user"),
       {"user", "ca"},
       1},
      {"cms -nocerts", "cms -sign -nodetach -binary -nocerts -outform DER" + signer("user"), {}, 1},
      {"two signers",
       "cms -sign -nodetach -binary -outform DER" + signer("user") + signer("rsa1024"),
       {"user", "rsa1024"},
       2},
      {"smime", "smime -sign -nodetach -binary -outform DER" + signer("user"), {"user"}, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string der = make(k.args);
    for (size_t pieces : {size_t{1}, size_t{3}}) {
      Decoded d = decode(der, 0, pieces);
      ASSERT_EQ(d.error, 0u);
      EXPECT_EQ(d.type, CMSG_SIGNED);
      ASSERT_TRUE(d.contentOk);
      expectSame(d.content, dir_ + "/content");
      // Certificates: openssl's order may differ from the command line; compare as a set.
      ASSERT_EQ(d.certs.size(), k.certs.size());
      for (const std::string& f : k.certs) {
        bool found = false;
        for (const auto& c : d.certs) found = found || c == fixtures::get(f).der();
        EXPECT_TRUE(found) << f;
      }
      for (const auto& c : d.certs) {
        for (const std::string& f : k.certs)
          if (c == fixtures::get(f).der()) expectSame(c, fixtures::get(f).certDer);
      }
      ASSERT_EQ(d.signers.size(), k.signers);
    }
  }
}

TEST_F(Decoding, SignerInfoAsCryptoApiPresentsIt) {
  std::string der = make("cms -sign -nodetach -binary -outform DER" + signer("user"));
  Decoded d = decode(der);
  ASSERT_EQ(d.signers.size(), 1u);
  const CMSG_SIGNER_INFO& si = info(d.signers[0]);
  PCCERT_CONTEXT user = CertCreateCertificateContext(kEnc, fixtures::get("user").der().data(),
                                                     static_cast<DWORD>(fixtures::get("user").der().size()));
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(si.dwVersion, 1u);
  EXPECT_EQ(blobBytes(si.Issuer), blobBytes(user->pCertInfo->Issuer));
  EXPECT_EQ(blobBytes(si.SerialNumber), blobBytes(user->pCertInfo->SerialNumber));  // 01 10: 0x1001 reversed
  EXPECT_STREQ(si.HashAlgorithm.pszObjId, "2.16.840.1.101.3.4.2.1");
  EXPECT_STREQ(si.HashEncryptionAlgorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_EQ(si.EncryptedHash.cbData, 256u);
  // Signed attributes: content type, signing time, message digest, capabilities.
  bool digest = false;
  for (DWORD i = 0; i < si.AuthAttrs.cAttr; ++i) {
    const CRYPT_ATTRIBUTE& a = si.AuthAttrs.rgAttr[i];
    if (std::strcmp(a.pszObjId, "1.2.840.113549.1.9.4") == 0) {
      ASSERT_EQ(a.cValue, 1u);
      EXPECT_EQ(a.rgValue[0].cbData, 34u);  // OCTET STRING of 32 bytes
      EXPECT_EQ(a.rgValue[0].pbData[0], 0x04);
      digest = true;
    }
  }
  EXPECT_TRUE(digest);
  EXPECT_EQ(si.UnauthAttrs.cAttr, 0u);
  CertFreeCertificateContext(user);
}

TEST_F(Decoding, KeyIdentifierSigner) {
  std::string der = make("cms -sign -nodetach -binary -keyid -outform DER" + signer("user"));
  // OpenSSL's PKCS#7 parser refuses this message; the CMS one reads it.
  Decoded d = decode(der);
  ASSERT_EQ(d.error, 0u);
  ASSERT_EQ(d.signers.size(), 1u);
  const CMSG_SIGNER_INFO& si = info(d.signers[0]);
  EXPECT_EQ(si.dwVersion, 3u);
  EXPECT_EQ(si.SerialNumber.cbData, 0u);
  // The issuer is a name of one attribute: the key identifier.
  DWORD n = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, CRYPT_X509_NAME, si.Issuer.pbData, si.Issuer.cbData, 0, nullptr, &n));
  std::vector<BYTE> buf(n);
  ASSERT_TRUE(CryptDecodeObject(kEnc, CRYPT_X509_NAME, si.Issuer.pbData, si.Issuer.cbData, 0, buf.data(), &n));
  const auto* name = reinterpret_cast<const CERT_NAME_INFO*>(buf.data());
  ASSERT_EQ(name->cRDN, 1u);
  ASSERT_EQ(name->rgRDN[0].cRDNAttr, 1u);
  const CERT_RDN_ATTR& a = name->rgRDN[0].rgRDNAttr[0];
  EXPECT_STREQ(a.pszObjId, szOID_KEYID_RDN);
  EXPECT_EQ(a.dwValueType, CERT_RDN_OCTET_STRING);
  const std::vector<BYTE> certDer = fixtures::get("user").der();
  const unsigned char* p = certDer.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(certDer.size()));
  ASSERT_NE(x, nullptr);
  const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(x);
  ASSERT_NE(ski, nullptr);
  EXPECT_EQ(blobBytes(a.Value),
            std::vector<BYTE>(ASN1_STRING_get0_data(ski), ASN1_STRING_get0_data(ski) + ASN1_STRING_length(ski)));
  X509_free(x);
}

TEST_F(Decoding, OtherMessagesAndBadBytes) {
  // Detached: a signed message without content; its content is empty.
  Decoded detached = decode(make("cms -sign -binary -outform DER" + signer("user")));
  EXPECT_EQ(detached.error, 0u);
  EXPECT_EQ(detached.type, CMSG_SIGNED);
  EXPECT_TRUE(detached.contentOk);
  EXPECT_TRUE(detached.content.empty());
  EXPECT_EQ(detached.signers.size(), 1u);

  Decoded enveloped = decode(make("cms -encrypt -binary -outform DER", q(fixtures::get("user").certPem)));
  EXPECT_EQ(enveloped.error, 0u);
  EXPECT_EQ(enveloped.type, CMSG_ENVELOPED);
  EXPECT_FALSE(enveloped.contentOk);
  EXPECT_TRUE(enveloped.certs.empty());

  Decoded data = decode(make("cms -data_create -binary -outform DER"));
  EXPECT_EQ(data.type, CMSG_DATA);
  ASSERT_TRUE(data.contentOk);
  EXPECT_EQ(bytesOf(data.content), content_);

  for (const std::string& junk : {std::string("not a message"), std::string("\x30\x82\x10\x00\x06", 5)}) {
    Decoded bad = decode(junk);
    EXPECT_EQ(bad.error, CRYPT_E_ASN1_BADTAG);
  }
  // A wanted type that the message is not.
  std::string der = make("cms -data_create -binary -outform DER");
  HCRYPTMSG msg = CryptMsgOpenToDecode(kEnc, 0, CMSG_SIGNED, 0, nullptr, nullptr);
  ASSERT_NE(msg, nullptr);
  EXPECT_FALSE(CryptMsgUpdate(msg, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()), TRUE));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
  DWORD n = 0;
  EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_TYPE_PARAM, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
  CryptMsgClose(msg);
  EXPECT_EQ(CryptMsgOpenToDecode(kEnc, 0, 0, 1, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_NOTIMPL));
}

// ---- names ----

std::vector<BYTE> nameInfo(const std::vector<unsigned char>& certDer, DWORD* error) {
  PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, certDer.data(), static_cast<DWORD>(certDer.size()));
  std::vector<BYTE> out;
  DWORD n = 0;
  *error = 0;
  const CERT_NAME_BLOB& s = c->pCertInfo->Subject;
  if (!CryptDecodeObject(kEnc, CRYPT_X509_NAME, s.pbData, s.cbData, CRYPT_DECODE_NOCOPY_FLAG, nullptr, &n)) {
    *error = GetLastError();
  } else {
    out.resize(n);
    if (!CryptDecodeObject(kEnc, CRYPT_X509_NAME, s.pbData, s.cbData, CRYPT_DECODE_NOCOPY_FLAG, out.data(), &n))
      *error = GetLastError();
  }
  CertFreeCertificateContext(c);
  return out;
}

TEST(DecodeName, RdnsAttributesAndValueTypes) {
  using certmaker::Attr;
  const std::string bmp("\x73\x8B\x5C\x0F", 4);  // U+738B U+5C0F, big-endian
  std::vector<unsigned char> der = certmaker::selfSigned({
      {"C", "TW", V_ASN1_PRINTABLESTRING},
      {"O", "\xE8\x87\xBA\xE7\x81\xA3 Bank"},  // UTF8String
      {"CN", bmp, V_ASN1_BMPSTRING},
      {"UID", "42", MBSTRING_UTF8, /*multi=*/true},
      {"emailAddress", "a@b.tw", V_ASN1_IA5STRING},
  });
  DWORD error = 0;
  std::vector<BYTE> buf = nameInfo(der, &error);
  ASSERT_EQ(error, 0u);
  const auto* name = reinterpret_cast<const CERT_NAME_INFO*>(buf.data());
  ASSERT_EQ(name->cRDN, 4u);
  EXPECT_EQ(name->rgRDN[2].cRDNAttr, 2u);  // CN + UID
  struct Want {
    size_t rdn, attr;
    const char* oid;
    DWORD type;
    std::vector<BYTE> value;
  } wants[] = {
      {0, 0, szOID_COUNTRY_NAME, CERT_RDN_PRINTABLE_STRING, {'T', 'W'}},
      {1,
       0,
       szOID_ORGANIZATION_NAME,
       CERT_RDN_UTF8_STRING,
       {0xFA, 0x81, 0x63, 0x70, ' ', 0, 'B', 0, 'a', 0, 'n', 0, 'k', 0}},
      {2, 0, szOID_COMMON_NAME, CERT_RDN_BMP_STRING, {0x8B, 0x73, 0x0F, 0x5C}},
      {2, 1, "0.9.2342.19200300.100.1.1", CERT_RDN_UTF8_STRING, {'4', 0, '2', 0}},
      {3, 0, szOID_RSA_emailAddr, CERT_RDN_IA5_STRING, {'a', '@', 'b', '.', 't', 'w'}},
  };
  for (const Want& w : wants) {
    const CERT_RDN_ATTR& a = name->rgRDN[w.rdn].rgRDNAttr[w.attr];
    EXPECT_STREQ(a.pszObjId, w.oid);
    EXPECT_EQ(a.dwValueType, w.type) << w.oid;
    EXPECT_EQ(blobBytes(a.Value), w.value) << w.oid;
    // Each value is followed by a NUL character it does not count.
    EXPECT_EQ(a.Value.pbData[a.Value.cbData], 0);
  }
}

TEST(DecodeName, Contract) {
  std::vector<unsigned char> der = fixtures::get("user").der();
  PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
  const CERT_NAME_BLOB& s = c->pCertInfo->Subject;
  DWORD n = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, CRYPT_X509_NAME, s.pbData, s.cbData, 0, nullptr, &n));
  std::vector<BYTE> buf(n);
  DWORD small = n - 1;
  EXPECT_FALSE(CryptDecodeObject(kEnc, CRYPT_X509_NAME, s.pbData, s.cbData, 0, buf.data(), &small));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(small, n);
  EXPECT_FALSE(CryptDecodeObject(kEnc, CRYPT_X509_NAME, s.pbData, s.cbData - 1, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  EXPECT_FALSE(
      CryptDecodeObject(kEnc, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(8)), s.pbData, s.cbData, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  CertFreeCertificateContext(c);
}

}  // namespace
