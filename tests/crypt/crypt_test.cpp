// The crypt family against OpenSSL's own reading of the same certificates.
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <iconv.h>
#include <openssl/objects.h>

#include "CertMaker.h"
#include "Fixtures.h"
#include "LangScope.h"
#include "OpenSslNames.h"
#include "TestRoot.h"
#include "platform/crypt.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kComma = CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG | CERT_NAME_STR_NO_PLUS_FLAG;  // 0x24000003
constexpr DWORD kSemicolon = CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG | CERT_NAME_STR_NO_PLUS_FLAG;

struct Ctx {
  PCCERT_CONTEXT p = nullptr;
  explicit Ctx(PCCERT_CONTEXT c) : p(c) {}
  Ctx(const Ctx&) = delete;
  ~Ctx() {
    if (p != nullptr) CertFreeCertificateContext(p);
  }
  PCCERT_CONTEXT operator->() const { return p; }
};

PCCERT_CONTEXT create(const std::vector<unsigned char>& der) {
  return CertCreateCertificateContext(kEnc, der.data(), static_cast<DWORD>(der.size()));
}

PCCERT_CONTEXT createFixture(const std::string& name) { return create(fixtures::get(name).der()); }

std::string nameToStr(CERT_NAME_BLOB* blob, DWORD type) {
  DWORD n = CertNameToStrA(kEnc, blob, type, nullptr, 0);
  std::string out(n, '\0');
  DWORD written = CertNameToStrA(kEnc, blob, type, out.data(), n);
  EXPECT_EQ(written, n);
  EXPECT_EQ(out.back(), '\0');
  out.pop_back();
  return out;
}

std::string simpleName(PCCERT_CONTEXT c, DWORD flags) {
  DWORD n = CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
  std::string out(n, '\0');
  CertGetNameStringA(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, out.data(), n);
  out.pop_back();
  return out;
}

std::string shellQuote(const std::string& s) { return "'" + s + "'"; }

using testsupport::LangScope;

std::string iconvFromUtf8(const std::string& text, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  std::string in = text, out(text.size() * 4 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  EXPECT_NE(r, static_cast<size_t>(-1)) << "text not representable in " << charset;
  out.resize(out.size() - ol);
  return out;
}

// The subject as openssl prints it, in the CryptoAPI form (RDNs joined by
// sep, the values of a multi-valued RDN by plus).
std::string expectedFromOpenSsl(const std::string& pem, const std::string& sep, const std::string& plus) {
  return testsupport::nameFromOpenSsl(pem, "subject", sep, plus);
}

TEST(CertNameToStr, MatchesOpenSslInEncodedOrder) {
  for (const char* name : {"ca", "user", "separators", "multi_ou", "v1", "serial_high"}) {
    SCOPED_TRACE(name);
    Ctx c(createFixture(name));
    ASSERT_NE(c.p, nullptr);
    std::string pem = fixtures::get(name).certPem;
    EXPECT_EQ(nameToStr(&c->pCertInfo->Subject, kComma), expectedFromOpenSsl(pem, ", ", " "));
    EXPECT_EQ(nameToStr(&c->pCertInfo->Subject, kSemicolon), expectedFromOpenSsl(pem, "; ", " "));
    EXPECT_EQ(nameToStr(&c->pCertInfo->Subject, CERT_X500_NAME_STR), expectedFromOpenSsl(pem, ", ", " + "));
  }
}

TEST(CertNameToStr, KnownTexts) {
  struct Case {
    const char* fixture;
    bool issuer;
    DWORD type;
    const char* expected;
  } cases[] = {
      {"user", false, kComma, "C=TW, O=Test Bank, OU=Retail, CN=Test User"},
      {"user", true, kComma, "C=TW, O=Test Bank, CN=Test Root CA"},
      {"user", false, kComma | CERT_NAME_STR_REVERSE_FLAG, "CN=Test User, OU=Retail, O=Test Bank, C=TW"},
      {"user", false, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG, "C=TW\r\nO=Test Bank\r\nOU=Retail\r\nCN=Test User"},
      {"user", false, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_COMMA_FLAG, "TW, Test Bank, Retail, Test User"},
      {"user", false, CERT_OID_NAME_STR, "2.5.4.6=TW, 2.5.4.10=Test Bank, 2.5.4.11=Retail, 2.5.4.3=Test User"},
      {"separators", false, kComma,
       "E=ann@example.com, L=Xinyi, S=Taipei, OU=\"Trailing \", O=\"A=B+C\", CN=\"Lee, Ann; Jr.\""},
      {"separators", false, kSemicolon,
       "E=ann@example.com; L=Xinyi; S=Taipei; OU=\"Trailing \"; O=\"A=B+C\"; CN=\"Lee, Ann; Jr.\""},
      {"separators", false, kComma | CERT_NAME_STR_NO_QUOTING_FLAG,
       "E=ann@example.com, L=Xinyi, S=Taipei, OU=Trailing , O=A=B+C, CN=Lee, Ann; Jr."},
      {"multi_ou", false, kComma, "C=TW, O=Test Bank, OU=Retail, OU=Cards, CN=Multi 0.9.2342.19200300.100.1.1=42"},
      {"multi_ou", false, CERT_X500_NAME_STR,
       "C=TW, O=Test Bank, OU=Retail, OU=Cards, CN=Multi + 0.9.2342.19200300.100.1.1=42"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.fixture) + " " + std::to_string(k.type));
    Ctx c(createFixture(k.fixture));
    ASSERT_NE(c.p, nullptr);
    EXPECT_EQ(nameToStr(k.issuer ? &c->pCertInfo->Issuer : &c->pCertInfo->Subject, k.type), k.expected);
  }
}

TEST(CertNameToStr, QuotingAndStringTypes) {
  using certmaker::Attr;
  struct Case {
    std::vector<Attr> subject;
    const char* expected;
  } cases[] = {
      {{{"CN", "say \"hi\""}}, "CN=\"say \"\"hi\"\"\""},
      {{{"CN", "a<b>c"}}, "CN=\"a<b>c\""},
      {{{"CN", "#1"}}, "CN=\"#1\""},
      {{{"CN", " lead"}}, "CN=\" lead\""},
      {{{"CN", "two\nlines"}}, "CN=\"two\nlines\""},
      {{{"CN", "plain-text_ok.(1)"}}, "CN=plain-text_ok.(1)"},
      {{{"title", "Dr"}, {"GN", "Ann"}, {"SN", "Lee"}, {"street", "Main 1"}, {"DC", "example"}, {"serialNumber", "A1"}},
       "T=Dr, G=Ann, SN=Lee, STREET=Main 1, DC=example, SERIALNUMBER=A1"},
      {{{"1.2.3.4", "x"}}, "1.2.3.4=x"},
      // BMPString "AB" and a T61String holding UTF-8 (decoded as UTF-8) and one that is not UTF-8 (Latin-1).
      {{{"CN", std::string("\0A\0B", 4), V_ASN1_BMPSTRING}}, "CN=AB"},
      {{{"CN", "caf\xC3\xA9", V_ASN1_T61STRING}}, "CN=caf\xC3\xA9"},
      {{{"CN", "caf\xE9", V_ASN1_T61STRING}}, "CN=caf\xC3\xA9"},
  };
  LangScope utf8("en_US.UTF-8");
  for (const Case& k : cases) {
    SCOPED_TRACE(k.expected);
    Ctx c(create(certmaker::selfSigned(k.subject)));
    ASSERT_NE(c.p, nullptr);
    EXPECT_EQ(nameToStr(&c->pCertInfo->Subject, kComma), k.expected);
  }
}

TEST(CertNameToStr, ChineseNamesInTheAnsiCodePage) {
  struct Case {
    const char* fixture;
    const char* lang;
    const char* charset;
    const char* cnBytes;  // the common name in that code page
  } cases[] = {
      {"zh_tw", "zh_TW.BIG5", "CP950", "\xA4\xFD\xA4\x70\xA9\xFA"},
      {"zh_cn", "zh_CN.GBK", "CP936", "\xD5\xC5\xD0\xA1\xC3\xF7"},
      {"zh_tw", "zh_TW.UTF-8", "UTF-8", "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.lang);
    LangScope lang(k.lang);
    Ctx c(createFixture(k.fixture));
    ASSERT_NE(c.p, nullptr);
    std::string expected = iconvFromUtf8(expectedFromOpenSsl(fixtures::get(k.fixture).certPem, ", ", " "), k.charset);
    std::string text = nameToStr(&c->pCertInfo->Subject, kComma);
    EXPECT_EQ(text, expected);
    EXPECT_NE(text.find(std::string("CN=") + k.cnBytes), std::string::npos);
    EXPECT_EQ(simpleName(c.p, 0), k.cnBytes);
  }
}

TEST(CertNameToStr, SizeContractAndShortBuffers) {
  LangScope lang("zh_TW.BIG5");
  Ctx c(createFixture("zh_tw"));
  ASSERT_NE(c.p, nullptr);
  CERT_NAME_BLOB* subject = &c->pCertInfo->Subject;
  std::string full = nameToStr(subject, kComma);
  DWORD need = CertNameToStrA(kEnc, subject, kComma, nullptr, 0);
  EXPECT_EQ(need, full.size() + 1);
  char big[256];
  EXPECT_EQ(CertNameToStrA(kEnc, subject, kComma, big, 0), need);  // size 0 asks for the size
  // The places where a cut falls between two characters.
  std::string utf8 = expectedFromOpenSsl(fixtures::get("zh_tw").certPem, ", ", " ");
  std::vector<size_t> cuts{0};
  for (size_t i = 0; i < utf8.size();) {
    unsigned char ch = static_cast<unsigned char>(utf8[i]);
    i += ch < 0x80 ? 1 : ch < 0xE0 ? 2 : ch < 0xF0 ? 3 : 4;
    cuts.push_back(iconvFromUtf8(utf8.substr(0, i), "CP950").size());
  }
  for (DWORD size = 1; size < need; ++size) {
    std::memset(big, 'x', sizeof big);
    DWORD got = CertNameToStrA(kEnc, subject, kComma, big, size);
    ASSERT_GE(got, 1u);
    ASSERT_LE(got, size);
    ASSERT_EQ(big[got - 1], '\0');
    ASSERT_EQ(std::string(big, got - 1), full.substr(0, got - 1));
    size_t best = 0;
    for (size_t cut : cuts)
      if (cut <= size - 1) best = cut;
    EXPECT_EQ(got - 1, best) << "buffer of " << size;
    EXPECT_EQ(big[size], 'x');  // nothing written beyond the buffer
  }
  // A blob that is no name gives the empty string.
  BYTE junk[] = {0x04, 0x01, 0x00};
  CERT_NAME_BLOB bad{sizeof junk, junk};
  char out[8] = "zzz";
  EXPECT_EQ(CertNameToStrA(kEnc, &bad, kComma, out, sizeof out), 1u);
  EXPECT_STREQ(out, "");
}

TEST(CertGetNameString, SimpleDisplayFallsBackCnOuOEmail) {
  using certmaker::Attr;
  struct Case {
    std::vector<Attr> subject;
    std::string email;  // subject alternative name (the issuer has none)
    const char* expected;
    const char* expectedIssuer;
  } cases[] = {
      {{{"C", "TW"}, {"O", "Org"}, {"OU", "Unit"}, {"CN", "Common"}}, "", "Common", "Common"},
      {{{"C", "TW"}, {"O", "Org"}, {"OU", "Unit"}}, "", "Unit", "Unit"},
      {{{"C", "TW"}, {"O", "Org"}}, "", "Org", "Org"},
      {{{"C", "TW"}, {"emailAddress", "rdn@example.com"}}, "alt@example.com", "rdn@example.com", "rdn@example.com"},
      {{{"C", "TW"}}, "alt@example.com", "alt@example.com", ""},
      {{{"C", "TW"}}, "", "", ""},
      {{{"CN", "First"}, {"CN", "Second"}}, "", "First", "First"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.expected);
    Ctx c(create(certmaker::selfSigned(k.subject, k.email)));
    ASSERT_NE(c.p, nullptr);
    EXPECT_EQ(simpleName(c.p, 0), k.expected);
    EXPECT_EQ(simpleName(c.p, CERT_NAME_ISSUER_FLAG), k.expectedIssuer);
  }
  Ctx user(createFixture("user"));
  EXPECT_EQ(simpleName(user.p, 0), "Test User");
  EXPECT_EQ(simpleName(user.p, CERT_NAME_ISSUER_FLAG), "Test Root CA");
  char one[1] = {'x'};
  EXPECT_EQ(CertGetNameStringA(user.p, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, one, 1), 1u);
  EXPECT_EQ(one[0], '\0');
  char attr[64];
  CertGetNameStringA(user.p, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATIONAL_UNIT_NAME), attr,
                     sizeof attr);
  EXPECT_STREQ(attr, "Retail");
}

// The serial INTEGER's content octets, read from the DER where openssl
// asn1parse says the serial is (the first INTEGER at depth 2).
std::vector<unsigned char> serialOctets(const fixtures::Fixture& f) {
  std::string out;
  EXPECT_EQ(testsupport::run("openssl asn1parse -inform DER -in " + shellQuote(f.certDer), &out), 0);
  std::istringstream lines(out);
  std::string line;
  std::vector<unsigned char> der = f.der();
  while (std::getline(lines, line)) {
    if (line.find("d=2") == std::string::npos || line.find("prim: INTEGER") == std::string::npos) continue;
    size_t offset = std::stoul(line.substr(0, line.find(':')));
    size_t hl = std::stoul(line.substr(line.find("hl=") + 3));
    size_t len = std::stoul(line.substr(line.find(" l=") + 3));
    return std::vector<unsigned char>(der.begin() + static_cast<long>(offset + hl),
                                      der.begin() + static_cast<long>(offset + hl + len));
  }
  ADD_FAILURE() << "no serial in asn1parse output";
  return {};
}

TEST(CertInfo, SerialBlobIsContentOctetsLeastSignificantFirst) {
  for (const char* name : {"user", "serial20", "serial_high", "serial_high20", "serial_01a2", "v1"}) {
    SCOPED_TRACE(name);
    Ctx c(createFixture(name));
    ASSERT_NE(c.p, nullptr);
    std::vector<unsigned char> octets = serialOctets(fixtures::get(name));
    std::vector<unsigned char> blob(c->pCertInfo->SerialNumber.pbData,
                                    c->pCertInfo->SerialNumber.pbData + c->pCertInfo->SerialNumber.cbData);
    EXPECT_EQ(blob, std::vector<unsigned char>(octets.rbegin(), octets.rend()));
  }
  Ctx high(createFixture("serial_high"));
  ASSERT_EQ(high->pCertInfo->SerialNumber.cbData, 2u);
  EXPECT_EQ(high->pCertInfo->SerialNumber.pbData[0], 0x80);
  EXPECT_EQ(high->pCertInfo->SerialNumber.pbData[1], 0x00);
  Ctx high20(createFixture("serial_high20"));
  EXPECT_EQ(high20->pCertInfo->SerialNumber.cbData, 21u);
}

TEST(CertInfo, FieldsOfTheContext) {
  Ctx c(createFixture("utc_1600"));
  ASSERT_NE(c.p, nullptr);
  std::vector<unsigned char> der = fixtures::get("utc_1600").der();
  EXPECT_EQ(c->dwCertEncodingType, kEnc);
  ASSERT_EQ(c->cbCertEncoded, der.size());
  EXPECT_EQ(std::memcmp(c->pbCertEncoded, der.data(), der.size()), 0);
  EXPECT_EQ(c->pCertInfo->dwVersion, CERT_V3);
  SYSTEMTIME st{2024, 3, 0, 1, 16, 0, 0, 0};
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &expected));
  EXPECT_EQ(c->pCertInfo->NotBefore.dwLowDateTime, expected.dwLowDateTime);
  EXPECT_EQ(c->pCertInfo->NotBefore.dwHighDateTime, expected.dwHighDateTime);
  EXPECT_STREQ(c->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId, szOID_RSA_RSA);
  EXPECT_STREQ(c->pCertInfo->SignatureAlgorithm.pszObjId, szOID_RSA_SHA256RSA);
  EXPECT_GT(c->pCertInfo->cExtension, 0u);
  Ctx v1(createFixture("v1"));
  EXPECT_EQ(v1->pCertInfo->dwVersion, CERT_V1);
  EXPECT_EQ(v1->pCertInfo->cExtension, 0u);

  BYTE sha1[20];
  DWORD n = 0;
  EXPECT_TRUE(CertGetCertificateContextProperty(c.p, CERT_SHA1_HASH_PROP_ID, nullptr, &n));
  EXPECT_EQ(n, 20u);
  n = 10;
  EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_SHA1_HASH_PROP_ID, sha1, &n));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(n, 20u);
  ASSERT_TRUE(CertGetCertificateContextProperty(c.p, CERT_SHA1_HASH_PROP_ID, sha1, &n));
  std::string out;
  testsupport::run("openssl x509 -noout -fingerprint -sha1 -in " + shellQuote(fixtures::get("utc_1600").certPem), &out);
  std::string hex;
  for (BYTE b : sha1) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X:", b);
    hex += buf;
  }
  hex.pop_back();
  EXPECT_NE(out.find(hex), std::string::npos) << out;
  EXPECT_FALSE(CertGetCertificateContextProperty(c.p, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
}

// Contexts made again for the same certificate (the signing paths make
// several per signature) are copies of the first parse: every field the same,
// none pointing into another context.
TEST(CertInfo, ContextsMadeAgainAreWholeAndIndependent) {
  auto blob = [](const CRYPTOAPI_BLOB& b) { return std::string(reinterpret_cast<const char*>(b.pbData), b.cbData); };
  auto fields = [&](PCCERT_CONTEXT c) {
    const CERT_INFO* i = c->pCertInfo;
    std::string out = std::to_string(i->dwVersion) + "|" + blob(i->SerialNumber) + "|" +
                      i->SignatureAlgorithm.pszObjId + "|" + blob(i->SignatureAlgorithm.Parameters) + "|" +
                      blob(i->Issuer) + "|" + blob(i->Subject) + "|" + std::to_string(i->NotBefore.dwLowDateTime) +
                      std::to_string(i->NotAfter.dwHighDateTime) + "|" + i->SubjectPublicKeyInfo.Algorithm.pszObjId +
                      "|" + blob(i->SubjectPublicKeyInfo.Algorithm.Parameters) + "|" +
                      std::string(reinterpret_cast<const char*>(i->SubjectPublicKeyInfo.PublicKey.pbData),
                                  i->SubjectPublicKeyInfo.PublicKey.cbData) +
                      "|" + std::to_string(i->cExtension);
    for (DWORD k = 0; k < i->cExtension; ++k)
      out += std::string("|") + i->rgExtension[k].pszObjId + (i->rgExtension[k].fCritical ? "!" : "") +
             blob(i->rgExtension[k].Value);
    return out + "|" + std::string(reinterpret_cast<const char*>(c->pbCertEncoded), c->cbCertEncoded);
  };
  for (const char* name : {"user", "separators", "v1", "ec", "serial_high20"}) {
    SCOPED_TRACE(name);
    std::vector<unsigned char> der = fixtures::get(name).der();
    PCCERT_CONTEXT first = create(der);
    ASSERT_NE(first, nullptr);
    const std::string expected = fields(first);
    const DWORD bits = CertGetPublicKeyLength(kEnc, &first->pCertInfo->SubjectPublicKeyInfo);
    PCCERT_CONTEXT again = create(der);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, first);
    CertFreeCertificateContext(first);
    EXPECT_EQ(fields(again), expected);
    EXPECT_EQ(CertGetPublicKeyLength(kEnc, &again->pCertInfo->SubjectPublicKeyInfo), bits);
    EXPECT_EQ(simpleName(again, 0), simpleName(again, 0));
    CertFreeCertificateContext(again);
  }
}

// The family keeps the certificates it parsed last; what it keeps is given
// back when the family goes (at exit, as it stays loaded), so a host that
// checks its heap at the end finds nothing of them left.
TEST(CertInfo, ParsedCertificatesKeptByTheFamilyAreFreedWhenItGoes) {
  std::string out;
  ASSERT_EQ(testsupport::run(std::string(PARSE_CACHE_EXIT_PATH) + " 2>&1", &out), 0) << out;
  long long held = -1, left = -1;
  ASSERT_EQ(std::sscanf(out.c_str(), "held=%lld left=%lld", &held, &left), 2) << out;
  // 32 certificates of some 8 KB each were kept once their contexts were
  // freed (else this would show nothing) ...
  EXPECT_GT(held, 32LL * 8000) << out;
  // ... and are gone at exit; the rest is the allocator's and OpenSSL's own.
  EXPECT_LT(left, held / 8) << out;
}

TEST(CertCreateCertificateContext, RejectsWhatIsNoCertificate) {
  std::vector<unsigned char> der = fixtures::get("user").der();
  struct Case {
    std::vector<unsigned char> bytes;
    DWORD error;
  } cases[] = {
      {{0x04, 0x03, 'a', 'b', 'c'}, CRYPT_E_ASN1_BADTAG},
      {std::vector<unsigned char>(der.begin(), der.begin() + 100), CRYPT_E_ASN1_EOD},
      {{0x30, 0x03, 0x02, 0x01, 0x01}, CRYPT_E_ASN1_BADTAG},
  };
  for (const Case& k : cases) {
    SetLastError(0);
    EXPECT_EQ(create(k.bytes), nullptr);
    EXPECT_EQ(GetLastError(), k.error);
  }
  EXPECT_EQ(CertCreateCertificateContext(kEnc, nullptr, 10), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(KeyUsage, FirstByteOfTheBitString) {
  struct Case {
    const char* fixture;
    BOOL present;
    BYTE first;
  } cases[] = {
      {"ku_none", FALSE, 0x00},
      {"ku_sig", TRUE, 0x80},
      {"ku_enc", TRUE, 0x20},
      {"ku_sig_enc", TRUE, 0xA0},
      {"ku_enc_data", TRUE, 0x30},
      {"ku_sig_enc_data", TRUE, 0xB0},
      {"ku_sig_enc_agree", TRUE, 0xA8},
      {"ku_nonrep", TRUE, 0x40},
      {"user", TRUE, 0xC0},
      {"ca", TRUE, 0x06},
      {"v1", FALSE, 0x00},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fixture);
    Ctx c(createFixture(k.fixture));
    ASSERT_NE(c.p, nullptr);
    BYTE usage[2] = {0xFF, 0xFF};
    SetLastError(12345);
    EXPECT_EQ(CertGetIntendedKeyUsage(kEnc, c->pCertInfo, usage, sizeof usage), k.present);
    if (!k.present) {
      EXPECT_EQ(GetLastError(), 0u);
    }
    EXPECT_EQ(usage[0], k.first);
    EXPECT_EQ(usage[1], 0x00);
  }
}

TEST(KeyLength, BitsOfTheKey) {
  struct Case {
    const char* fixture;
    DWORD bits;
  } cases[] = {{"rsa1024", 1024}, {"user", 2048}, {"rsa3072", 3072}, {"rsa4096", 4096}, {"ec", 256}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.fixture);
    Ctx c(createFixture(k.fixture));
    ASSERT_NE(c.p, nullptr);
    EXPECT_EQ(CertGetPublicKeyLength(kEnc, &c->pCertInfo->SubjectPublicKeyInfo), k.bits);
  }
  Ctx c(createFixture("user"));
  CERT_PUBLIC_KEY_INFO broken = c->pCertInfo->SubjectPublicKeyInfo;
  BYTE junk[] = {1, 2, 3};
  broken.PublicKey.pbData = junk;
  broken.PublicKey.cbData = sizeof junk;
  EXPECT_EQ(CertGetPublicKeyLength(kEnc, &broken), 0u);
}

TEST(CertVerifyTimeValidity, BeforeInsideAfter) {
  Ctx c(createFixture("utc_0030"));
  FILETIME nb = c->pCertInfo->NotBefore, na = c->pCertInfo->NotAfter;
  auto shifted = [](FILETIME ft, long long delta) {
    ULONGLONG v =
        ((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) + static_cast<ULONGLONG>(delta);
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
  };
  FILETIME t = shifted(nb, -1);
  EXPECT_EQ(CertVerifyTimeValidity(&t, c->pCertInfo), -1);
  EXPECT_EQ(CertVerifyTimeValidity(&nb, c->pCertInfo), 0);
  EXPECT_EQ(CertVerifyTimeValidity(&na, c->pCertInfo), 0);
  t = shifted(na, 1);
  EXPECT_EQ(CertVerifyTimeValidity(&t, c->pCertInfo), 1);
  Ctx expired(createFixture("expired")), notyet(createFixture("notyet")), user(createFixture("user"));
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, expired->pCertInfo), 1);
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, notyet->pCertInfo), -1);
  EXPECT_EQ(CertVerifyTimeValidity(nullptr, user->pCertInfo), 0);
}

TEST(Stores, MemoryStoreReferenceCounting) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  ASSERT_NE(store, nullptr);
  std::vector<unsigned char> a = fixtures::get("user").der(), b = fixtures::get("ca").der();
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, a.data(), static_cast<DWORD>(a.size()), CERT_STORE_ADD_NEW,
                                               &added));
  EXPECT_EQ(added->hCertStore, store);
  EXPECT_FALSE(CertAddEncodedCertificateToStore(store, kEnc, a.data(), static_cast<DWORD>(a.size()), CERT_STORE_ADD_NEW,
                                                nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_EXISTS);
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, b.data(), static_cast<DWORD>(b.size()),
                                               CERT_STORE_ADD_USE_EXISTING, nullptr));
  // Duplicating gives the same context; enumeration walks both, in the order added.
  EXPECT_EQ(CertDuplicateCertificateContext(added), added);
  CertFreeCertificateContext(added);
  std::vector<PCCERT_CONTEXT> seen;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(store, c)) != nullptr) seen.push_back(c);
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], added);
  // A context keeps its store alive after the last handle is closed.
  SetLastError(0);
  EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), CRYPT_E_PENDING_CLOSE);
  EXPECT_EQ(added->cbCertEncoded, a.size());
  EXPECT_EQ(simpleName(added, 0), "Test User");
  CertFreeCertificateContext(added);
}

TEST(Stores, FindAndDelete) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  for (const char* name : {"ku_sig", "ku_enc", "ku_none"}) {
    std::vector<unsigned char> d = fixtures::get(name).der();
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, d.data(), static_cast<DWORD>(d.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  }
  Ctx probe(createFixture("ku_enc"));
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_EXISTING, probe.p, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_NE(found, probe.p);
  EXPECT_EQ(found->hCertStore, store);
  EXPECT_EQ(simpleName(found, 0), "KU Enc");
  // Searching on from the match finds no second one and frees the previous context.
  EXPECT_EQ(
      CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_EXISTING, probe.p, CertDuplicateCertificateContext(found)),
      nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
  BYTE sha1[20];
  DWORD n = sizeof sha1;
  ASSERT_TRUE(CertGetCertificateContextProperty(probe.p, CERT_SHA1_HASH_PROP_ID, sha1, &n));
  CRYPT_HASH_BLOB hash{20, sha1};
  PCCERT_CONTEXT bySha = CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_SHA1_HASH, &hash, nullptr);
  EXPECT_EQ(bySha, found);
  CertFreeCertificateContext(bySha);
  // Deleting frees the context passed; other references stay valid.
  PCCERT_CONTEXT keep = CertDuplicateCertificateContext(found);
  EXPECT_TRUE(CertDeleteCertificateFromStore(found));
  EXPECT_EQ(CertFindCertificateInStore(store, kEnc, 0, CERT_FIND_EXISTING, probe.p, nullptr), nullptr);
  EXPECT_EQ(simpleName(keep, 0), "KU Enc");
  EXPECT_FALSE(CertDeleteCertificateFromStore(CertDuplicateCertificateContext(keep)));
  CertFreeCertificateContext(keep);
  int count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    ++count;
  EXPECT_EQ(count, 2);
  EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
}

std::string certstoreTool() {
  const char* build = std::getenv("BUILD_DIR");
  if (build != nullptr && *build != '\0') return std::string(build) + "/bin/certstore";
  return fs::read_symlink("/proc/self/exe").parent_path().string() + "/certstore";
}

std::string storeDir(const std::string& name) { return std::string(PlatformRoot()) + "/stores/" + name; }

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Stores, SystemStoreIsFileBacked) {
  testsupport::FreshRoot fresh("filetest");  // no store there yet
  EXPECT_FALSE(fs::exists(storeDir("FILETEST")));
  HCERTSTORE store = CertOpenSystemStoreA(0, "FileTest");  // names are case-insensitive
  ASSERT_NE(store, nullptr);
  EXPECT_TRUE(fs::is_directory(storeDir("FILETEST")));
  EXPECT_TRUE(filesIn(storeDir("FILETEST")).empty());
  EXPECT_EQ(CertOpenSystemStoreA(0, "../x"), nullptr);
  EXPECT_EQ(CertOpenSystemStoreA(0, ""), nullptr);

  std::vector<unsigned char> d = fixtures::get("user").der();
  PCCERT_CONTEXT added = nullptr;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, d.data(), static_cast<DWORD>(d.size()), CERT_STORE_ADD_NEW,
                                               &added));
  BYTE sha1[20];
  DWORD n = sizeof sha1;
  ASSERT_TRUE(CertGetCertificateContextProperty(added, CERT_SHA1_HASH_PROP_ID, sha1, &n));
  std::string hex;
  for (BYTE b : sha1) {
    char buf[3];
    std::snprintf(buf, sizeof buf, "%02X", b);
    hex += buf;
  }
  EXPECT_EQ(filesIn(storeDir("FILETEST")), std::vector<std::string>{hex + ".cert"});

  // A key-container property is written to the file and read back by a fresh index.
  std::u16string container = u"{TEST-CONTAINER}", provider = u"Some Token CSP";
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = container.data();
  info.pwszProvName = provider.data();
  info.dwProvType = PROV_RSA_FULL;
  info.dwKeySpec = AT_KEYEXCHANGE;
  ASSERT_TRUE(CertSetCertificateContextProperty(added, CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
  std::string file = testsupport::readFile(storeDir("FILETEST") + "/" + hex + ".cert");
  EXPECT_NE(file.find("key.provider=Some Token CSP\n"), std::string::npos) << file;
  CertFreeCertificateContext(added);
  CertCloseStore(store, 0);

  // Another process's view of the folder.
  std::string out;
  ASSERT_EQ(testsupport::run(certstoreTool() + " list --store FILETEST", &out), 0);
  EXPECT_EQ(out, hex + "\tSome Token CSP\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n");

  // Debris of a crashed writer and foreign files are ignored; a file whose
  // content is not the certificate its name says is ignored too.
  testsupport::writeFile(storeDir("FILETEST") + "/" + hex + ".cert.tmp.Ab12Cd", "certif");
  testsupport::writeFile(storeDir("FILETEST") + "/README", "x");
  std::string other = fixtures::get("ca").base64();
  testsupport::writeFile(storeDir("FILETEST") + "/0000000000000000000000000000000000000000.cert",
                         "certificate=" + other + "\n");
  store = CertOpenSystemStoreA(0, "FILETEST");
  int count = 0;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c)) {
    ++count;
    DWORD size = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size));
    std::vector<BYTE> buf(size);
    ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size));
    auto* k = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
    EXPECT_EQ(std::u16string(k->pwszContainerName), container);
    EXPECT_EQ(std::u16string(k->pwszProvName), provider);
    EXPECT_EQ(k->dwKeySpec, AT_KEYEXCHANGE);
  }
  EXPECT_EQ(count, 1);

  // A change made by another process shows at the next open.
  ASSERT_EQ(testsupport::run(certstoreTool() + " delete --store FILETEST --sha1 " + hex), 0);
  HCERTSTORE again = CertOpenSystemStoreA(0, "FILETEST");
  EXPECT_EQ(CertEnumCertificatesInStore(again, nullptr), nullptr);
  CertCloseStore(again, 0);
  CertCloseStore(store, 0);
}

TEST(Stores, ReplaceKeepsOnePlaceAndOneFile) {
  HCERTSTORE store = CertOpenSystemStoreA(0, "REPLACETEST");
  ASSERT_NE(store, nullptr);
  for (const char* name : {"ku_sig", "ku_enc", "ku_sig"}) {
    std::vector<unsigned char> d = fixtures::get(name).der();
    ASSERT_TRUE(CertAddEncodedCertificateToStore(store, kEnc, d.data(), static_cast<DWORD>(d.size()),
                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
  }
  std::vector<std::string> order;
  for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
       c = CertEnumCertificatesInStore(store, c))
    order.push_back(simpleName(c, 0));
  EXPECT_EQ(order, (std::vector<std::string>{"KU Sig", "KU Enc"}));
  EXPECT_EQ(filesIn(storeDir("REPLACETEST")).size(), 2u);
  CertCloseStore(store, 0);
}

// The key container that PFXImportCertStore made for the certificate.
std::vector<BYTE> keyProvInfo(PCCERT_CONTEXT c) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n)) return {};
  std::vector<BYTE> buf(n);
  CertGetCertificateContextProperty(c, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n);
  return buf;
}

std::string utf8(const char16_t* w) {
  std::string out;
  for (; *w != 0; ++w) out.push_back(static_cast<char>(*w));
  return out;
}

HCERTSTORE importPfx(const std::string& fixture, const char16_t* password) {
  std::string data = testsupport::readFile(fixtures::get(fixture).p12);
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(data.size()), reinterpret_cast<BYTE*>(data.data())};
  return PFXImportCertStore(&blob, password, CRYPT_EXPORTABLE | CRYPT_USER_KEYSET);
}

TEST(Keys, PfxImportMakesASoftwareContainer) {
  HCERTSTORE pfx = importPfx("user", u"test");
  ASSERT_NE(pfx, nullptr);
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(pfx, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(simpleName(c, 0), "Test User");
  std::vector<BYTE> buf = keyProvInfo(c);
  ASSERT_FALSE(buf.empty());
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  std::string container = utf8(info->pwszContainerName);
  EXPECT_EQ(utf8(info->pwszProvName), MS_ENHANCED_PROV_A);
  EXPECT_EQ(info->dwProvType, PROV_RSA_FULL);
  EXPECT_EQ(info->dwKeySpec, AT_KEYEXCHANGE);

  std::string keyFile = testsupport::platformRoot() + "/keys/" + container + ".key";
  struct stat st {};
  ASSERT_EQ(stat(keyFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((testsupport::platformRoot() + "/keys").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // The key in the container is the certificate's own: openssl agrees on the modulus.
  std::string a, b;
  testsupport::run("openssl pkey -in " + shellQuote(keyFile) + " -pubout", &a);
  testsupport::run("openssl x509 -noout -pubkey -in " + shellQuote(fixtures::get("user").certPem), &b);
  EXPECT_EQ(a, b);

  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD keySpec = 0;
  BOOL callerFree = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr,
                                                &prov, &keySpec, &callerFree));
  EXPECT_EQ(keySpec, AT_KEYEXCHANGE);
  EXPECT_TRUE(callerFree);
  DWORD len = 0;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, nullptr, &len, 0));
  EXPECT_EQ(len, std::strlen(MS_ENHANCED_PROV_A) + 1);
  char name[128];
  len = 5;
  EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_STREQ(name, MS_ENHANCED_PROV_A);
  len = sizeof name;
  ASSERT_TRUE(CryptGetProvParam(prov, PP_CONTAINER, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_EQ(std::string(name), container);
  len = sizeof name;
  EXPECT_FALSE(CryptGetProvParam(prov, 9999, reinterpret_cast<BYTE*>(name), &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  EXPECT_FALSE(CryptGetProvParam(prov, PP_NAME, nullptr, &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);

  // Cached: the same handle each time, owned by the context.
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE p1 = 0, p2 = 0;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &p1, &keySpec, &callerFree));
  EXPECT_FALSE(callerFree);
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &p2, &keySpec, &callerFree));
  EXPECT_EQ(p1, p2);
  CertFreeCertificateContext(c);
  CertCloseStore(pfx, 0);
  EXPECT_FALSE(CryptGetProvParam(p1, PP_NAME, nullptr, &len, 0));  // released with its context
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);

  // The container can be opened by name, and deleted.
  std::u16string wc(info->pwszContainerName);
  HCRYPTPROV byName = 0;
  ASSERT_TRUE(CryptAcquireContextW(&byName, wc.c_str(), nullptr, PROV_RSA_FULL, 0));
  CryptReleaseContext(byName, 0);
  EXPECT_TRUE(CryptAcquireContextW(&byName, wc.c_str(), nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET));
  EXPECT_FALSE(fs::exists(keyFile));
  EXPECT_FALSE(CryptAcquireContextW(&byName, wc.c_str(), nullptr, PROV_RSA_FULL, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

TEST(Keys, PfxImportFailures) {
  size_t before = filesIn(testsupport::platformRoot() + "/keys").size();
  EXPECT_EQ(importPfx("user", u"wrong"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PASSWORD);
  std::string junk = "not a pkcs12";
  CRYPT_DATA_BLOB blob{static_cast<DWORD>(junk.size()), reinterpret_cast<BYTE*>(junk.data())};
  EXPECT_EQ(PFXImportCertStore(&blob, u"test", 0), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE);
  EXPECT_EQ(filesIn(testsupport::platformRoot() + "/keys").size(), before);
}

TEST(Keys, AcquireFailures) {
  // No key property at all.
  Ctx bare(createFixture("ku_sig"));
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL free = FALSE;
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(bare.p, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &prov, &spec, &free));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_KEY_PROPERTY);

  HCERTSTORE pfx = importPfx("ku_enc", u"test");
  ASSERT_NE(pfx, nullptr);
  PCCERT_CONTEXT withKey = CertEnumCertificatesInStore(pfx, nullptr);
  std::vector<BYTE> buf = keyProvInfo(withKey);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());

  struct Case {
    std::u16string container;
    DWORD flags;
    DWORD error;
  } cases[] = {
      // Another certificate's container: refused when the key is compared.
      {info->pwszContainerName, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, NTE_BAD_PUBLIC_KEY},
      {u"{NO-SUCH-CONTAINER}", 0, NTE_BAD_KEYSET},
      // Container names never reach outside the key folder.
      {u"../stores/x", 0, NTE_BAD_KEYSET},
      {u"", 0, NTE_BAD_KEYSET},
  };
  for (const Case& k : cases) {
    std::u16string container = k.container;
    CRYPT_KEY_PROV_INFO other = *info;
    other.pwszContainerName = container.data();
    ASSERT_TRUE(CertSetCertificateContextProperty(bare.p, CERT_KEY_PROV_INFO_PROP_ID, 0, &other));
    SetLastError(0);
    EXPECT_FALSE(CryptAcquireCertificatePrivateKey(bare.p, k.flags, nullptr, &prov, &spec, &free));
    EXPECT_EQ(GetLastError(), k.error);
  }
  // A container whose file holds no key.
  std::string keyFile = testsupport::platformRoot() + "/keys/" + utf8(info->pwszContainerName) + ".key";
  // Armour around no key at all: an unreadable key file, not a key.
  const std::string armour = std::string("PRIVATE") + " KEY-----\n";
  testsupport::writeFile(keyFile, "-----BEGIN " + armour + "AAAA\n-----END " + armour);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(withKey, 0, nullptr, &prov, &spec, &free));
  EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
  CryptAcquireContextW(&prov, info->pwszContainerName, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  CertFreeCertificateContext(withKey);
  CertCloseStore(pfx, 0);
}

// ---- low-level messages ----

struct Signer {
  HCERTSTORE pfx = nullptr;
  PCCERT_CONTEXT cert = nullptr;
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  CMSG_SIGNER_ENCODE_INFO si{};
  CERT_BLOB blob{};
  CMSG_SIGNED_ENCODE_INFO info{};
  explicit Signer(const std::string& fixture) {
    pfx = importPfx(fixture, u"test");
    cert = CertEnumCertificatesInStore(pfx, nullptr);
    CryptAcquireCertificatePrivateKey(cert, 0, nullptr, &prov, &spec, &callerFree);
    si.cbSize = sizeof si;
    si.pCertInfo = cert->pCertInfo;
    si.hCryptProv = prov;
    si.dwKeySpec = spec;
    si.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_OIWSEC_sha1);
    blob = CERT_BLOB{cert->cbCertEncoded, cert->pbCertEncoded};
    info.cbSize = sizeof info;
    info.cSigners = 1;
    info.rgSigners = &si;
    info.cCertEncoded = 1;
    info.rgCertEncoded = &blob;
  }
  ~Signer() {
    if (callerFree) CryptReleaseContext(prov, 0);
    std::vector<BYTE> buf = keyProvInfo(cert);
    if (!buf.empty())
      CryptAcquireContextW(&prov, reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data())->pwszContainerName, nullptr,
                           PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    CertFreeCertificateContext(cert);
    CertCloseStore(pfx, 0);
  }
};

std::vector<BYTE> contentOf(HCRYPTMSG msg) {
  DWORD n = 0;
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &n)) return {};
  std::vector<BYTE> out(n);
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, out.data(), &n)) return {};
  out.resize(n);
  return out;
}

TEST(Messages, SignedDataContract) {
  Signer s("user");
  ASSERT_NE(s.prov, 0u);
  const std::string data = std::string("several\0updates", 15) + std::string(3000, 'u');
  const BYTE* bytes = reinterpret_cast<const BYTE*>(data.data());
  DWORD length =
      CryptMsgCalculateEncodedLength(kEnc, 0, CMSG_SIGNED, &s.info, nullptr, static_cast<DWORD>(data.size()));
  ASSERT_GT(length, data.size());

  // One final update, and the same content in three updates.
  HCRYPTMSG whole = CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &s.info, nullptr, nullptr);
  ASSERT_NE(whole, nullptr);
  DWORD n = 0;
  EXPECT_FALSE(CryptMsgGetParam(whole, CMSG_CONTENT_PARAM, 0, nullptr, &n));  // nothing encoded yet
  EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
  ASSERT_TRUE(CryptMsgUpdate(whole, bytes, static_cast<DWORD>(data.size()), TRUE));
  EXPECT_FALSE(CryptMsgUpdate(whole, bytes, 1, TRUE));
  EXPECT_EQ(GetLastError(), CRYPT_E_MSG_ERROR);
  std::vector<BYTE> one = contentOf(whole);
  EXPECT_EQ(one.size(), length);  // the length was exact

  HCRYPTMSG parts = CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &s.info, const_cast<LPSTR>(szOID_RSA_data), nullptr);
  ASSERT_TRUE(CryptMsgUpdate(parts, bytes, 10, FALSE));
  ASSERT_TRUE(CryptMsgUpdate(parts, bytes + 10, 0, FALSE));
  ASSERT_TRUE(CryptMsgUpdate(parts, bytes + 10, static_cast<DWORD>(data.size() - 10), TRUE));
  EXPECT_EQ(contentOf(parts), one);

  // Size contract.
  std::vector<BYTE> small(10);
  n = static_cast<DWORD>(small.size());
  EXPECT_FALSE(CryptMsgGetParam(whole, CMSG_CONTENT_PARAM, 0, small.data(), &n));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(n, length);
  EXPECT_FALSE(CryptMsgGetParam(whole, 1, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
  EXPECT_TRUE(CryptMsgClose(whole));
  EXPECT_TRUE(CryptMsgClose(parts));
  EXPECT_TRUE(CryptMsgClose(nullptr));
  EXPECT_FALSE(CryptMsgUpdate(whole, bytes, 1, TRUE));  // closed: no longer a message
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));

  // OpenSSL, as the relying party, finds the signature good and the content whole.
  std::string dir = testsupport::freshDir("msg");
  testsupport::writeFile(dir + "/m.der", std::string(one.begin(), one.end()));
  std::string out;
  ASSERT_EQ(testsupport::run("openssl cms -verify -inform DER -binary -in " + shellQuote(dir + "/m.der") + " -CAfile " +
                                 shellQuote(fixtures::get("ca").certPem) + " -out " + shellQuote(dir + "/c") + " 2>&1",
                             &out),
            0)
      << out;
  EXPECT_EQ(testsupport::readFile(dir + "/c"), data);

  // The message keeps its own reference on the provider.
  HCRYPTMSG held = CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &s.info, nullptr, nullptr);
  ASSERT_TRUE(CryptReleaseContext(s.prov, 0));
  s.callerFree = FALSE;
  EXPECT_TRUE(CryptMsgUpdate(held, bytes, 5, TRUE));
  EXPECT_EQ(contentOf(held).empty(), false);
  CryptMsgClose(held);
}

TEST(Messages, RefusesWhatIsNotOffered) {
  Signer s("user");
  Signer ec("ec");
  ASSERT_NE(s.prov, 0u);
  ASSERT_NE(ec.prov, 0u);
  CRYPT_ATTRIBUTE attr{const_cast<LPSTR>("1.2.840.113549.1.9.3"), 0, nullptr};
  CRL_BLOB crl{1, reinterpret_cast<BYTE*>(const_cast<char*>("x"))};
  struct Case {
    const char* name;
    std::function<void(CMSG_SIGNED_ENCODE_INFO&, CMSG_SIGNER_ENCODE_INFO&)> change;
    DWORD type, flags;
    const char* inner;
    DWORD error;
  } cases[] = {
      {"MD5", [](auto&, auto& si) { si.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5); }, CMSG_SIGNED, 0,
       nullptr, CRYPT_E_UNKNOWN_ALGO},
      {"signed attributes",
       [&](auto&, auto& si) {
         si.cAuthAttr = 1;
         si.rgAuthAttr = &attr;
       },
       CMSG_SIGNED, 0, nullptr, static_cast<DWORD>(E_NOTIMPL)},
      {"unsigned attributes",
       [&](auto&, auto& si) {
         si.cUnauthAttr = 1;
         si.rgUnauthAttr = &attr;
       },
       CMSG_SIGNED, 0, nullptr, static_cast<DWORD>(E_NOTIMPL)},
      {"CRLs",
       [&](auto& i, auto&) {
         i.cCrlEncoded = 1;
         i.rgCrlEncoded = &crl;
       },
       CMSG_SIGNED, 0, nullptr, static_cast<DWORD>(E_NOTIMPL)},
      {"data message", [](auto&, auto&) {}, CMSG_DATA, 0, nullptr, CRYPT_E_INVALID_MSG_TYPE},
      {"detached", [](auto&, auto&) {}, CMSG_SIGNED, 0x4, nullptr, static_cast<DWORD>(E_INVALIDARG)},
      {"other inner content", [](auto&, auto&) {}, CMSG_SIGNED, 0, "1.2.840.113549.1.7.2",
       static_cast<DWORD>(E_NOTIMPL)},
      {"short signer size", [](auto&, auto& si) { si.cbSize = 40; }, CMSG_SIGNED, 0, nullptr,
       static_cast<DWORD>(E_INVALIDARG)},
      {"short info size", [](auto& i, auto&) { i.cbSize = 20; }, CMSG_SIGNED, 0, nullptr,
       static_cast<DWORD>(E_INVALIDARG)},
      {"no provider", [](auto&, auto& si) { si.hCryptProv = 12345; }, CMSG_SIGNED, 0, nullptr, NTE_BAD_UID},
      {"EC key", [&](auto&, auto& si) { si.hCryptProv = ec.prov; }, CMSG_SIGNED, 0, nullptr, NTE_BAD_ALGID},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    CMSG_SIGNED_ENCODE_INFO info = s.info;
    CMSG_SIGNER_ENCODE_INFO si = s.si;
    info.rgSigners = &si;
    k.change(info, si);
    SetLastError(0);
    EXPECT_EQ(CryptMsgCalculateEncodedLength(kEnc, k.flags, k.type, &info, const_cast<LPSTR>(k.inner), 5), 0u);
    EXPECT_EQ(GetLastError(), k.error);
    SetLastError(0);
    EXPECT_EQ(CryptMsgOpenToEncode(kEnc, k.flags, k.type, &info, const_cast<LPSTR>(k.inner), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), k.error);
  }
  int streamInfo = 0;
  EXPECT_EQ(
      CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &s.info, nullptr, reinterpret_cast<PCMSG_STREAM_INFO>(&streamInfo)),
      nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_NOTIMPL));
}

// Acquiring a software key again costs a look at its file, not a new load:
// a file changed in place without its time or size changing still gives the
// key loaded first; a file that changed is read again.
TEST(Keys, SoftwareKeysStayLoaded) {
  HCERTSTORE pfx = importPfx("ku_sig", u"test");
  ASSERT_NE(pfx, nullptr);
  PCCERT_CONTEXT c = CertEnumCertificatesInStore(pfx, nullptr);
  std::vector<BYTE> buf = keyProvInfo(c);
  auto* info = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data());
  std::string keyFile = testsupport::platformRoot() + "/keys/" + utf8(info->pwszContainerName) + ".key";
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov = 0;
  DWORD spec = 0;
  BOOL callerFree = FALSE;
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFree));
  CryptReleaseContext(prov, 0);

  struct stat before {};
  ASSERT_EQ(stat(keyFile.c_str(), &before), 0);
  std::string junk(static_cast<size_t>(before.st_size), 'J');
  {
    FILE* f = std::fopen(keyFile.c_str(), "r+b");  // same file, same inode
    ASSERT_NE(f, nullptr);
    std::fwrite(junk.data(), 1, junk.size(), f);
    std::fclose(f);
  }
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, keyFile.c_str(), times, 0), 0);
  ASSERT_TRUE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFree));
  char name[128];
  DWORD len = sizeof name;
  EXPECT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &len, 0));
  CryptReleaseContext(prov, 0);

  // A new time: read again, and the junk is no key.
  struct timespec later[2] = {before.st_atim, {before.st_mtim.tv_sec + 5, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, keyFile.c_str(), later, 0), 0);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFree));
  EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
  CryptAcquireContextW(&prov, info->pwszContainerName, nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(c, 0, nullptr, &prov, &spec, &callerFree));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  CertFreeCertificateContext(c);
  CertCloseStore(pfx, 0);
}

TEST(Keys, SoftwareProviderTakesAnyPin) {
  Signer s("ku_sig");
  ASSERT_NE(s.prov, 0u);
  const BYTE* pin = reinterpret_cast<const BYTE*>("1234");
  EXPECT_TRUE(CryptSetProvParam(s.prov, PP_KEYEXCHANGE_PIN, pin, 0));
  EXPECT_TRUE(CryptSetProvParam(s.prov, PP_SIGNATURE_PIN, nullptr, 0));
  EXPECT_FALSE(CryptSetProvParam(s.prov, PP_NAME, pin, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
  EXPECT_FALSE(CryptSetProvParam(s.prov, PP_KEYEXCHANGE_PIN, pin, 1));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_FALSE(CryptSetProvParam(777, PP_KEYEXCHANGE_PIN, pin, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_UID);
}

}  // namespace
