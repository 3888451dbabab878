// What the store-client tests share: the user's "MY" store of the test root,
// certificates made on the spot with OpenSSL (issued by the fixture CA),
// the names and facts OpenSSL reports for them, and a store client whose
// choice hook records the candidates it is shown.
#pragma once

#include <string>
#include <vector>

#include "LangScope.h"
#include "platform/crypt.h"
#include "signlib/CertificateDBClient.h"

namespace storetest {

// ---- the store ----
void clearMy();
// Adds the certificate alone (no key) to "MY".
void addToMy(const std::vector<unsigned char>& der);
void addFixtureToMy(const std::string& fixture);
// Imports the fixture's PKCS#12 (certificate and key) with the certstore tool.
void importFixtureWithTool(const std::string& fixture);
// The DER of every certificate of "MY", in the store's own order.
std::vector<std::vector<unsigned char>> myInOrder();

// ---- certificates made on the spot ----
struct CertSpec {
  std::vector<std::pair<std::string, std::string>> subject = {{"C", "TW"}, {"O", "Test Bank"}, {"CN", "Made"}};
  std::vector<unsigned char> serial = {0x20, 0x01};  // most significant first
  long notBeforeDays = -30;                          // relative to now
  long notAfterDays = 365;
  std::string notAfter;       // "YYYYMMDDHHMMSSZ", instead of notAfterDays when set
  std::string keyUsage;       // OpenSSL form ("digitalSignature,keyEncipherment"); empty: none
  std::string issuer = "ca";  // the issuing fixture ("ca" or "ca2")
};
std::vector<unsigned char> makeCertificate(const CertSpec& spec);
// PEM file of a DER certificate, under the test root.
std::string writePem(const std::vector<unsigned char>& der, const std::string& name);

// ---- what OpenSSL says ----
// The subject or issuer ("subject"/"issuer") as CryptoAPI writes it, from
// openssl's one-RDN-a-line print: keys mapped, values quoted, RDNs joined by
// sep. Multi-valued RDNs are joined by a blank (no plus signs).
std::string nameFromOpenSsl(const std::string& pem, const std::string& which, const std::string& sep);
// The key-usage names openssl -ext keyUsage prints ("Digital Signature", ...).
std::vector<std::string> keyUsageFromOpenSsl(const std::string& pem);
// openssl verify against the fixture CA: its error number (0 when it verifies).
int verifyErrorFromOpenSsl(const std::string& pem);

// ---- text ----
std::string base64(const std::vector<unsigned char>& der);
std::string str(const char* text);  // "(null)" for null
// The text converted from UTF-8 to the charset with iconv.
std::string fromUtf8(const std::string& text, const char* charset);

// Sets LANG for the scope (and the locale family reads it again).
using testsupport::LangScope;

// A store client whose choice hook records what it is shown and answers
// with `answer` (an index, or -1) and `answerCode`.
class RecordingClient : public CCertificateDBClient {
 public:
  RecordingClient() : CCertificateDBClient("MY") {}
  int getSelectCertByUI(PCCERT_CONTEXT* candidates, int count, int* chosenIndex) override;

  int answer = -1;
  int answerCode = 0;
  int hookCalls = 0;
  std::vector<std::vector<unsigned char>> shown;  // DER of each candidate, in list order

  // Lets a test narrow what the system leaves wide open.
  void requireTokenKind(int kind) { m_iRequiredTokenKind = kind; }
  void allowProviders(const std::vector<std::string>& names);
  void readKeyProvider(bool on) { m_bReadKeyProvider = on ? 1 : 0; }
};

// DER of a context.
std::vector<unsigned char> derOf(PCCERT_CONTEXT context);

}  // namespace storetest
