// CCertificateDBClient: the library's certificate source and selection engine.
//
// The source is a system certificate store named at construction ("MY" in this
// system) or, once a PKCS#11 module has been named, the certificates read from
// the token. A selection walks the source once, keeps the certificates that
// pass the filters (validity, key usage, token kind, provider) and its own
// criterion, settles on one of them (the only one, the latest one, the first
// match, or the one the choice hook returns) and copies it into the selected
// fields, which then describe it until the next successful selection.
//
// Every operation returns a ResultCode and lets no exception out; failures
// write the error text "CCertificateDBClient::<method> -> <message>".
#pragma once

#include <string>

#include "platform/crypt.h"
#include "signlib/MyCertContext.h"
#include "signlib/PKCS11TokenUtil.h"
#include "signlib/ResultCode.h"

// A MultipleCriteria text: several values, each in braces ("{a}{b}"); a text
// that does not begin with "{" is one value. Marks the issuer-list overload of
// selectCertificateBySubject apart from the subject overload.
struct MultipleCriteria {
  const char* text;
};

class CCertificateDBClient {
 public:
  // In token mode the store handle holds this value once the token's
  // certificate list has been read.
  static inline const HCERTSTORE kTokenListHandle = reinterpret_cast<HCERTSTORE>(static_cast<ULONG_PTR>(9999));

  explicit CCertificateDBClient(const char* storeName);
  CCertificateDBClient(const CCertificateDBClient&) = delete;
  CCertificateDBClient& operator=(const CCertificateDBClient&) = delete;

  // The choice hook: asked when several candidates qualify and the latest one
  // was not asked for. Writes the chosen index, or -1 for none. The base
  // chooses none; the user-interface subclass shows the chooser dialog.
  virtual int getSelectCertByUI(PCCERT_CONTEXT* candidates, int count, int* chosenIndex);
  virtual ~CCertificateDBClient();

  // ---- the source ----
  // Keeps a copy of the system store's name (0; without a copy "MY" is used).
  int setCertStore(const char* storeName);
  // Opens the token's certificate list (token mode) or the system store. A
  // source that is already open is closed first, in the mode it was opened in.
  int openCertStore();
  // Closes the source in the mode it was opened in; a closed source gives 0.
  int closeCertStore();
  // A non-empty name selects token mode with that module; null or empty
  // selects the system store. Takes effect at the next openCertStore.
  int setPKCS11LibName(const char* moduleName);

  // ---- selections (key usage: 1 signature, 2 encryption, other: any) ----
  int selectCertificate(int keyUsage);
  // The subject criterion (MyNameType) occurs in the certificate's subject.
  int selectCertificateBySubject(const char* subject, int keyUsage);
  // The certificate's issuer equals one of the MyNameType criteria.
  int selectCertificateBySubject(MultipleCriteria issuers, int keyUsage);
  // The certificate's simple display name equals the text.
  int selectCertificateBySubjectCN(const char* commonName, int keyUsage);
  // "<display-name part>,<subject part>[,<subject part>...]".
  int selectCertificateBySubject_Text(const char* subjectText, int keyUsage);
  // The first certificate with this serial number (hexadecimal; leading zeros
  // and letter case do not matter), and also with this issuer.
  int selectCertificateBySerialNum(const char* serialNumber);
  int selectCertificateBySerialNum(const char* issuer, const char* serialNumber);

  // 0 inside the validity period, 8 outside, or the context's failure code.
  int checkCertificateExpired(const char* certificate);
  // The given certificate (Base64 text) becomes the selected one.
  int getCertificateInfo(const char* certificate);

  // ---- shared steps ----
  int setAllField(CMyCertContext& chosen);
  int getLatestCert(PCCERT_CONTEXT* candidates, int count, int* chosenIndex);
  bool isMatchedProvider(const char* providerName);
  int compareIssuerString(PCCERT_CONTEXT certificate, const char* issuer, BYTE* matched);
  int compareSubjectString(PCCERT_CONTEXT certificate, const char* subject, BYTE* matched);
  // Parses a MultipleCriteria text; the first value of the text is the last
  // entry. Free the array with freeMultipleCriteriaArray. On a failure no
  // array is handed out.
  int parsingMultipleCriteria(const char* text, char*** criteria, int* count);
  int freeMultipleCriteriaArray(char** criteria, int count);

  // ---- the selected certificate (null before the first selection) ----
  const char* getCertificateText() const { return m_pchCertificate; }
  const char* getIssuer() const { return m_pchIssuer; }
  const char* getSubject() const { return m_pchSubject; }
  const char* getSerialNumber() const { return m_pchSerialNumber; }
  const char* getKeyUsage() const { return m_pchKeyUsage; }
  const char* getStartDate() const { return m_pchStartDate; }
  const char* getEndDate() const { return m_pchEndDate; }
  int getSelectedCertLength() const { return m_iKeyLength; }
  const char* getErrorMessage() const { return m_szErrorText; }

  // ---- state, for the owner ----
  HCERTSTORE getStoreHandle() const { return m_hStore; }
  const char* getStoreName() const { return m_pchStoreName; }
  const char* getPKCS11LibName() const { return m_pchModuleName; }
  bool isTokenMode() const { return m_bTokenMode != 0; }
  CPKCS11TokenUtil& tokenClient() { return m_tokenUtil; }

  // The page's switches (1 or 0).
  BYTE BlockExpiredCert;
  BYTE ShowExpiredCert;
  BYTE SelectLatestCert;

 protected:
  // Writes the error text (printf-style, cut at 511 characters), for a
  // subclass's own failures.
  void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Left at their initial values by this system, which lets every candidate
  // through; a subclass may narrow them.
  int m_iRequiredTokenKind;       // 0 accepts any
  int m_iAllowedProviderCount;    // 0 accepts any
  char** m_ppchAllowedProviders;  // owned texts
  BYTE m_bReadKeyProvider;        // candidates read their key's provider

 private:
  enum class Source { Closed, System, Token };
  class Walk;
  struct RunText;
  struct CandidateList;

  using Criterion = int (CCertificateDBClient::*)(CMyCertContext& candidate, const void* argument, bool* keep);
  int runOverAll(const RunText& text, int keyUsage, bool fullFilter, Criterion criterion, const void* argument);
  int runFirstMatch(const RunText& text, const char* issuer, const char* serialNumber);
  // The selections by one text from the page: a missing text is refused.
  int selectByText(const RunText& text, const char* argument, int keyUsage, Criterion criterion);
  // issuerGiven: the page's form with an issuer, which must then be present.
  int selectBySerialNum(const char* issuer, const char* serialNumber, bool issuerGiven);
  int finishRun(const RunText& text, CandidateList& list, bool mayChoose);
  int fillChosen(CMyCertContext& context, PCCERT_CONTEXT certificate, Source mode);
  int fillFromText(CMyCertContext& context, const char* certificate);
  int compareName(PCCERT_CONTEXT certificate, const char* criterion, BYTE* matched, bool issuer);
  int criterionToX500(const char* criterion, bool issuer, std::string* x500, DWORD* strType);
  int renderName(PCCERT_CONTEXT certificate, bool issuer, DWORD strType, std::string* out);
  struct IssuerSet;
  int buildIssuerSet(IssuerSet& set);

  int subjectCriterion(CMyCertContext& candidate, const void* argument, bool* keep);
  int issuerListCriterion(CMyCertContext& candidate, const void* argument, bool* keep);
  int commonNameCriterion(CMyCertContext& candidate, const void* argument, bool* keep);
  int subjectTextCriterion(CMyCertContext& candidate, const void* argument, bool* keep);

  void freeSelectedFields();

  HCERTSTORE m_hStore;
  char* m_pchStoreName;
  CPKCS11TokenUtil m_tokenUtil;
  BYTE m_bTokenMode;
  char* m_pchModuleName;
  char m_szErrorText[ERROR_TEXT_SIZE];
  char* m_pchCertificate;
  char* m_pchSerialNumber;
  char* m_pchIssuer;
  char* m_pchSubject;
  int m_iKeyLength;
  char* m_pchKeyUsage;
  char* m_pchStartDate;
  char* m_pchEndDate;
  Source m_openedAs;              // how the open source was opened
  std::string m_tokenModuleUsed;  // the module name the token client was last initialised with
};
