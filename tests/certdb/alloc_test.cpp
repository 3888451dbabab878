// Allocation failures in the store client. This binary is linked with malloc,
// calloc, realloc and free wrapped: a test arms a countdown that makes one
// allocation of the code linked into the binary (the library and the test)
// fail, and every block allocated meanwhile is tracked, so the test sees what
// the failed operation left behind. The platform libraries and OpenSSL are
// shared libraries and allocate as usual.
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "signlib/CertificateDBClient.h"

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* block, std::size_t size);
void __real_free(void* block);
}

namespace {
long gCountdown = 0;  // 0: off; n: the n-th allocation from now fails
long gFailures = 0;   // allocations made to fail
bool gTracking = false;
std::unordered_set<void*>& live() {
  static auto* set = new std::unordered_set<void*>();  // operator new: not wrapped
  return *set;
}
bool failNow() {
  if (gCountdown <= 0) return false;
  if (--gCountdown != 0) return false;
  ++gFailures;
  return true;
}
void track(void* block) {
  if (gTracking && block != nullptr) live().insert(block);
}
void untrack(void* block) {
  if (block != nullptr) live().erase(block);
}
}  // namespace

extern "C" {
void* __wrap_malloc(std::size_t size) {
  if (failNow()) return nullptr;
  void* block = __real_malloc(size);
  track(block);
  return block;
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (failNow()) return nullptr;
  void* block = __real_calloc(count, size);
  track(block);
  return block;
}
void* __wrap_realloc(void* block, std::size_t size) {
  if (failNow()) return nullptr;  // the old block stays the caller's
  void* grown = __real_realloc(block, size);
  if (grown != nullptr) {
    bool wasTracked = live().count(block) != 0;
    untrack(block);
    if (wasTracked || gTracking) live().insert(grown);
  }
  return grown;
}
void __wrap_free(void* block) {
  untrack(block);
  __real_free(block);
}
}

using storetest::RecordingClient;
using storetest::str;

namespace {
const char* const kCaIssuer = "C=TW,O=Test Bank,CN=Test Root CA";

struct Fields {
  std::string certificate, serial, issuer, subject, keyUsage, start, end;
  int length;
  explicit Fields(const CCertificateDBClient& c)
      : certificate(str(c.getCertificateText())),
        serial(str(c.getSerialNumber())),
        issuer(str(c.getIssuer())),
        subject(str(c.getSubject())),
        keyUsage(str(c.getKeyUsage())),
        start(str(c.getStartDate())),
        end(str(c.getEndDate())),
        length(c.getSelectedCertLength()) {}
  bool operator==(const Fields& o) const {
    return certificate == o.certificate && serial == o.serial && issuer == o.issuer && subject == o.subject &&
           keyUsage == o.keyUsage && start == o.start && end == o.end && length == o.length;
  }
};

// The blocks of the selected fields, which a successful operation keeps.
std::set<const void*> fieldBlocks(const CCertificateDBClient& c) {
  return {c.getCertificateText(), c.getSerialNumber(), c.getIssuer(), c.getSubject(),
          c.getKeyUsage(),        c.getStartDate(),    c.getEndDate()};
}

::testing::AssertionResult noContextsHeld() {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (CertCloseStore(my, CERT_CLOSE_STORE_CHECK_FLAG)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "contexts of MY are still held";
}

class AllocationFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    storetest::clearMy();
    for (const char* name : {"user", "ku_enc", "ku_sig", "multi_ou", "expired", "notyet", "ku_none"})
      storetest::addFixtureToMy(name);
  }

  // Runs the operation once for every allocation it makes, that allocation
  // failing, and then once without a failure, which must give `success`.
  // After each failed run the previous selection is whole, nothing allocated
  // during the run is left, and no store context is held. Returns the error
  // texts the failed runs wrote.
  // With mayAbsorb a failure may also be passed over (the latest rule skips a
  // candidate it cannot read).
  std::set<std::string> sweep(RecordingClient& client, const std::function<int()>& operation, int success,
                              bool mayAbsorb = false) {
    std::set<std::string> texts;
    for (long n = 1; n < 100000; ++n) {
      const Fields before(client);
      live().clear();
      const long failuresBefore = gFailures;
      gTracking = true;
      gCountdown = n;
      int code = operation();
      gCountdown = 0;
      gTracking = false;
      const bool failed = gFailures != failuresBefore;
      std::set<const void*> kept = fieldBlocks(client);
      std::vector<void*> left;
      for (void* block : live())
        if (kept.count(block) == 0) left.push_back(block);
      EXPECT_TRUE(left.empty()) << "allocation " << n << ": " << left.size() << " blocks left, code " << code;
      EXPECT_TRUE(noContextsHeld()) << "allocation " << n;
      if (!failed) {
        EXPECT_EQ(code, success) << client.getErrorMessage();
        return texts;
      }
      EXPECT_TRUE(code == 2 || code == 3 || (mayAbsorb && code == success))
          << "allocation " << n << ": code " << code << " " << client.getErrorMessage();
      if (code != success) {
        EXPECT_TRUE(Fields(client) == before) << "allocation " << n << " changed the selection";
      }
      texts.insert(client.getErrorMessage());
    }
    ADD_FAILURE() << "the operation never ran without a failure";
    return texts;
  }
};

TEST_F(AllocationFailure, SelectionsLeaveNothingBehind) {
  RecordingClient client;
  client.answer = 2;
  ASSERT_EQ(client.getCertificateInfo(fixtures::get("ku_enc").base64().c_str()), 0);
  ASSERT_EQ(client.openCertStore(), 0);

  std::set<std::string> texts = sweep(
      client, [&] { return client.selectCertificate(0); }, 0);
  EXPECT_EQ(
      texts.count("CCertificateDBClient::selectCertificate -> Array of CERT_CONTEXT buffer memory allocation failed"),
      1u);
  for (const char* field : {"certificate", "serial number", "Issuer", "Subject", "StartDate", "EndDate", "KeyUsage"})
    EXPECT_EQ(texts.count(std::string("CCertificateDBClient::getCertificateInfo -> ") + field +
                          " buffer memory allocation failed"),
              1u)
        << field;

  texts = sweep(
      client, [&] { return client.selectCertificateBySubjectCN("Test User", 0); }, 0);
  EXPECT_EQ(
      texts.count("CCertificateDBClient::selectCertificateBySubjectCN -> Subject_CN buffer memory allocation failed"),
      1u);
  EXPECT_EQ(texts.count("CCertificateDBClient::selectCertificateBySubjectCN -> Array of CERT_CONTEXT buffer memory "
                        "allocation failed"),
            1u);
  EXPECT_EQ(str(client.getSerialNumber()), "1001");

  texts = sweep(
      client, [&] { return client.selectCertificateBySubject("OU=Retail", 0); }, 0);
  EXPECT_EQ(texts.count("CCertificateDBClient::compareSubjectString -> Subject(X.500) buffer memory allocation failed"),
            1u);
  EXPECT_EQ(texts.count("CCertificateDBClient::compareSubjectString -> Subject buffer memory allocation failed"), 1u);

  const std::string issuers = std::string("{C=US,O=Other Org,CN=Other Root CA}{") + kCaIssuer + "}";
  texts = sweep(
      client, [&] { return client.selectCertificateBySubject(MultipleCriteria{issuers.c_str()}, 1); }, 0);
  EXPECT_EQ(
      texts.count("CCertificateDBClient::parsingMultipleCriteria -> SingleCriteria buffer memory allocation failed"),
      1u);
  EXPECT_EQ(texts.count("CCertificateDBClient::compareIssuerString -> pchIssuer buffer memory allocation failed"), 1u);

  sweep(
      client, [&] { return client.selectCertificateBySubject_Text(",OU=Retail", 0); }, 0);
  sweep(
      client, [&] { return client.selectCertificateBySerialNum(kCaIssuer, "1004"); }, 0);
  EXPECT_EQ(str(client.getSerialNumber()), "1004");
  client.SelectLatestCert = 1;
  sweep(
      client, [&] { return client.selectCertificate(1); }, 0, true);
  sweep(
      client, [&] { return client.getCertificateInfo(fixtures::get("user").base64().c_str()); }, 0);
  EXPECT_EQ(str(client.getSerialNumber()), "1001");
}

TEST_F(AllocationFailure, ParsingHandsOutNothingOnFailure) {
  CCertificateDBClient client("MY");
  for (long n = 1;; ++n) {
    char** entries = reinterpret_cast<char**>(0x1);
    int count = 0;
    live().clear();
    long failuresBefore = gFailures;
    gTracking = true;
    gCountdown = n;
    int code = client.parsingMultipleCriteria("{a}{bb}{ccc}", &entries, &count);
    gCountdown = 0;
    gTracking = false;
    if (gFailures == failuresBefore) {
      ASSERT_EQ(code, 0);
      ASSERT_EQ(count, 3);
      EXPECT_STREQ(entries[0], "ccc");
      EXPECT_STREQ(entries[2], "a");
      client.freeMultipleCriteriaArray(entries, count);
      EXPECT_TRUE(live().empty());
      break;
    }
    SCOPED_TRACE(n);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(entries, nullptr);
    EXPECT_TRUE(live().empty()) << live().size() << " blocks left";
  }
}

TEST_F(AllocationFailure, ModuleNameFailureKeepsTheModeAndName) {
  CCertificateDBClient client("MY");
  gCountdown = 1;
  EXPECT_EQ(client.setPKCS11LibName("first.dll"), 2);
  gCountdown = 0;
  EXPECT_FALSE(client.isTokenMode());
  EXPECT_EQ(client.getPKCS11LibName(), nullptr);
  ASSERT_EQ(client.setPKCS11LibName("first.dll"), 0);
  gCountdown = 1;
  EXPECT_EQ(client.setPKCS11LibName("second.dll"), 2);
  gCountdown = 0;
  EXPECT_TRUE(client.isTokenMode());
  EXPECT_STREQ(client.getPKCS11LibName(), "first.dll");
  EXPECT_STREQ(client.getErrorMessage(),
               "CCertificateDBClient::setPKCS11LibName -> module name buffer memory allocation failed");
}

}  // namespace
