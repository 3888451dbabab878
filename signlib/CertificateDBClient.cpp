// CCertificateDBClient: the certificate source, its filters and the selections.
#include "signlib/CertificateDBClient.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/kernel.h"

namespace {
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::size_t kKeyUsageTextSize = 13;

// A heap copy of the text (the empty text for null), or null when memory runs out.
char* copyText(const char* text) {
  if (text == nullptr) text = "";
  std::size_t n = std::strlen(text);
  char* out = static_cast<char*>(std::malloc(n + 1));
  if (out != nullptr) std::memcpy(out, text, n + 1);
  return out;
}

void freeText(char*& text) {
  std::free(text);
  text = nullptr;
}

// Serial numbers compare without their leading zeros and without letter case:
// "00ab12" equals "AB12", and an all-zero serial equals the empty text.
bool serialNumbersEqual(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  while (*a == '0') ++a;
  while (*b == '0') ++b;
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == '\0' && *b == '\0';
}

// Every non-overlapping occurrence of the separator, left to right: the text
// before the first one is always a part (even when empty); the texts between
// and after them are parts unless empty. An empty text or separator gives none.
void splitString(const std::string& text, const std::string& separator, std::vector<std::string>* parts) {
  parts->clear();
  if (text.empty() || separator.empty()) return;
  std::size_t start = 0;
  std::size_t hit = text.find(separator);
  parts->push_back(text.substr(0, hit));
  while (hit != std::string::npos) {
    start = hit + separator.size();
    hit = text.find(separator, start);
    std::string part = text.substr(start, hit == std::string::npos ? std::string::npos : hit - start);
    if (!part.empty()) parts->push_back(part);
  }
}

const char* keyUsageText(int keyUsage) {
  switch (keyUsage) {
    case 1: return "Sign";
    case 2: return "Encrypt";
    case 3: return "Sign_Encrypt";
    default: return "UnDefined";
  }
}

bool keyUsageAccepted(int requested, int value) {
  if (requested == 1) return value == 1 || value == 3;
  if (requested == 2) return value == 2 || value == 3;
  return true;
}
}  // namespace

// The messages a selection writes for its own failures.
struct CCertificateDBClient::RunText {
  const char* grow;       // the candidate list cannot grow (2)
  const char* read;       // the chosen certificate cannot be read (3), "%s": the context's message
  const char* unknown;    // exception (99)
  const char* parameter;  // a text the page had to give is missing (1)
};

#define RUN_TEXT(op)                                                                           \
  {                                                                                            \
    "CCertificateDBClient::" op " -> Array of CERT_CONTEXT buffer memory allocation failed",   \
        "CCertificateDBClient::" op " -> %s", "CCertificateDBClient::" op " -> unknown error", \
        "CCertificateDBClient::" op " -> parameter error"                                      \
  }

// The candidates of one run: duplicates owned by the run, freed with it.
struct CCertificateDBClient::CandidateList {
  PCCERT_CONTEXT* items = nullptr;
  int count = 0;
  int capacity = 0;

  CandidateList() = default;
  CandidateList(const CandidateList&) = delete;
  CandidateList& operator=(const CandidateList&) = delete;
  ~CandidateList() {
    for (int i = 0; i < count; ++i) CertFreeCertificateContext(items[i]);
    std::free(items);
  }
  // False when the list cannot grow; the list keeps what it held.
  bool append(PCCERT_CONTEXT certificate) {
    if (count == capacity) {
      int wanted = capacity == 0 ? 4 : capacity * 2;
      auto* grown = static_cast<PCCERT_CONTEXT*>(std::realloc(items, sizeof(PCCERT_CONTEXT) * wanted));
      if (grown == nullptr) return false;
      items = grown;
      capacity = wanted;
    }
    items[count++] = CertDuplicateCertificateContext(certificate);
    return true;
  }
};

// One pass over the open source, in the mode it was opened in. Each step fills
// the candidate context from the next certificate.
class CCertificateDBClient::Walk {
 public:
  explicit Walk(CCertificateDBClient& owner) : m_owner(owner), m_mode(owner.m_openedAs) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk() {
    if (m_previous != nullptr) CertFreeCertificateContext(m_previous);
  }

  // True with the candidate filled; false at the end of the source, or with
  // *code set when the candidate could not be filled.
  bool next(CMyCertContext& candidate, int* code) {
    *code = rc::OK;
    int filled;
    if (m_mode == Source::Token) {
      CPKCS11TokenUtil& token = m_owner.m_tokenUtil;
      if (m_first) token.setCertificateReadPosition(0);
      m_first = false;
      unsigned int position = token.certificateReadPosition();
      if (position >= token.tokenCertificateCount()) {
        token.setCertificateReadPosition(0);
        return false;
      }
      const char* text = token.tokenCertificate(position);
      token.setCertificateReadPosition(position + 1);
      if (text == nullptr) return false;
      filled = candidate.setCertContext(text, false, false);
    } else if (m_mode == Source::System) {
      m_previous = CertEnumCertificatesInStore(m_owner.m_hStore, m_previous);
      if (m_previous == nullptr) return false;
      filled = candidate.setCertContext(m_previous, m_owner.m_bReadKeyProvider != 0, true);
    } else {
      return false;
    }
    if (filled != rc::OK) {
      m_owner.setError("CCertificateDBClient::selectCertificate -> %s", candidate.getErrorText());
      *code = rc::OPERATION_ERROR;
      return false;
    }
    return true;
  }

 private:
  CCertificateDBClient& m_owner;
  Source m_mode;
  PCCERT_CONTEXT m_previous = nullptr;
  bool m_first = true;
};

// ---------------------------------------------------------------------------
// Construction and the source

CCertificateDBClient::CCertificateDBClient(const char* storeName)
    : BlockExpiredCert(1),
      ShowExpiredCert(1),
      SelectLatestCert(0),
      m_iRequiredTokenKind(0),
      m_iAllowedProviderCount(0),
      m_ppchAllowedProviders(nullptr),
      m_bReadKeyProvider(0),
      m_hStore(nullptr),
      m_pchStoreName(nullptr),
      m_bTokenMode(0),
      m_pchModuleName(nullptr),
      m_szErrorText{},
      m_pchCertificate(nullptr),
      m_pchSerialNumber(nullptr),
      m_pchIssuer(nullptr),
      m_pchSubject(nullptr),
      m_iKeyLength(0),
      m_pchKeyUsage(nullptr),
      m_pchStartDate(nullptr),
      m_pchEndDate(nullptr),
      m_openedAs(Source::Closed) {
  setCertStore(storeName);
}

CCertificateDBClient::~CCertificateDBClient() {
  if (m_hStore != nullptr) closeCertStore();
  // A store that would not close is released all the same.
  if (m_openedAs == Source::System && m_hStore != nullptr) CertCloseStore(m_hStore, 0);
  freeSelectedFields();
  freeText(m_pchStoreName);
  freeText(m_pchModuleName);
  for (int i = 0; i < m_iAllowedProviderCount; ++i) std::free(m_ppchAllowedProviders[i]);
  std::free(m_ppchAllowedProviders);
}

void CCertificateDBClient::setError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vformatErrorText(m_szErrorText, format, args);
  va_end(args);
}

void CCertificateDBClient::freeSelectedFields() {
  freeText(m_pchCertificate);
  freeText(m_pchSerialNumber);
  freeText(m_pchIssuer);
  freeText(m_pchSubject);
  freeText(m_pchKeyUsage);
  freeText(m_pchStartDate);
  freeText(m_pchEndDate);
}

int CCertificateDBClient::setCertStore(const char* storeName) {
  // Without a copy the name stays unset and the store "MY" is opened.
  char* copy = storeName != nullptr ? copyText(storeName) : nullptr;
  std::free(m_pchStoreName);
  m_pchStoreName = copy;
  return rc::OK;
}

int CCertificateDBClient::setPKCS11LibName(const char* moduleName) {
  try {
    if (moduleName == nullptr || *moduleName == '\0') {
      freeText(m_pchModuleName);
      m_bTokenMode = 0;
      return rc::OK;
    }
    char* copy = copyText(moduleName);
    if (copy == nullptr) {
      setError("CCertificateDBClient::setPKCS11LibName -> module name buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    std::free(m_pchModuleName);
    m_pchModuleName = copy;
    m_bTokenMode = 1;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::setPKCS11LibName -> unknown error");
    return rc::OK;
  }
}

int CCertificateDBClient::openCertStore() {
  try {
    // An open source is closed first, in its own mode: a store handle is never
    // overwritten, and the token list never outlives a switch to the store.
    if (m_hStore != nullptr) {
      if (int code = closeCertStore()) return code;
    }
    if (m_bTokenMode) {
      // The token client keeps its module loaded between opens; a module of
      // another name is unloaded first, so the named module is the one read.
      // (A failed init may also have left a module loaded under the old name.)
      if (m_tokenModuleUsed != m_pchModuleName) {
        m_tokenUtil.teardown();
        m_tokenModuleUsed = m_pchModuleName;
      }
      int code = m_tokenUtil.init(m_pchModuleName);
      if (code != rc::OK) {
        setError("CRSASignatureClient::setPKCS11LibName -> %s", m_tokenUtil.getErrorText());
        return code;
      }
      code = m_tokenUtil.openCertStore();
      if (code != rc::OK) {
        setError("CCertificateDBClient::openCertStore -> error %d during PKCS# 11 openCertStore,errMsg:%s", code,
                 m_tokenUtil.getErrorText());
        m_tokenUtil.freeTokenCertificates();
        return code;
      }
      m_tokenUtil.setCertificateReadPosition(0);
      m_hStore = kTokenListHandle;
      m_openedAs = Source::Token;
      return rc::OK;
    }
    HCERTSTORE store = CertOpenSystemStoreA(0, m_pchStoreName != nullptr ? m_pchStoreName : "MY");
    if (store == nullptr) {
      setError("CCertificateDBClient::openCertStore -> error %d during CertOpenSystemStore",
               static_cast<int>(GetLastError()));
      return rc::UNKNOWN_ERROR;
    }
    m_hStore = store;
    m_openedAs = Source::System;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::openCertStore -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::closeCertStore() {
  try {
    if (m_hStore == nullptr) return rc::OK;
    if (m_openedAs == Source::Token) {
      m_tokenUtil.freeTokenCertificates();
      m_hStore = nullptr;
      m_openedAs = Source::Closed;
      return rc::OK;
    }
    if (!CertCloseStore(m_hStore, 0)) {
      setError("CCertificateDBClient::closeCertStore -> error %d during CertCloseStore",
               static_cast<int>(GetLastError()));
      return rc::UNKNOWN_ERROR;
    }
    m_hStore = nullptr;
    m_openedAs = Source::Closed;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::closeCertStore -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Shared steps

int CCertificateDBClient::getSelectCertByUI(PCCERT_CONTEXT*, int, int* chosenIndex) {
  if (chosenIndex != nullptr) *chosenIndex = -1;
  return rc::OK;
}

bool CCertificateDBClient::isMatchedProvider(const char* providerName) {
  try {
    if (m_iAllowedProviderCount <= 0 || m_ppchAllowedProviders == nullptr) return true;
    if (providerName == nullptr) return false;
    for (int i = 0; i < m_iAllowedProviderCount; ++i) {
      const char* allowed = m_ppchAllowedProviders[i];
      if (allowed != nullptr && std::strcmp(allowed, providerName) == 0) return true;
    }
    return false;
  } catch (...) {
    setError("CCertificateDBClient::isMatchedProvider -> unknown error");
    return false;
  }
}

int CCertificateDBClient::compareIssuerString(PCCERT_CONTEXT certificate, const char* issuer, BYTE* matched) {
  return compareName(certificate, issuer, matched, true);
}

int CCertificateDBClient::compareSubjectString(PCCERT_CONTEXT certificate, const char* subject, BYTE* matched) {
  return compareName(certificate, subject, matched, false);
}

int CCertificateDBClient::criterionToX500(const char* criterion, bool issuer, std::string* x500, DWORD* strType) {
  const char* method = issuer ? "compareIssuerString" : "compareSubjectString";
  // The criterion in the X.500 form CryptoAPI writes, and the name-string
  // type of its separator.
  CMyCertContext converter;
  const int criterionLength = static_cast<int>(std::strlen(criterion));
  int length = 0;
  *strType = CMyCertContext::kNameStrComma;
  if (int code = converter.covMyNameTypeToX500(criterion, criterionLength, nullptr, &length, strType)) {
    setError("CCertificateDBClient::%s -> 1.%s", method, converter.getErrorText());
    return code;
  }
  char* buffer = static_cast<char*>(std::calloc(static_cast<std::size_t>(length) + 1, 1));
  if (buffer == nullptr) {
    setError(issuer ? "CCertificateDBClient::compareIssuerString -> Issuer(X.500) buffer memory allocation failed"
                    : "CCertificateDBClient::compareSubjectString -> Subject(X.500) buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  int capacity = length + 1;
  int code = converter.covMyNameTypeToX500(criterion, criterionLength, buffer, &capacity, strType);
  if (code != 0) {
    setError("CCertificateDBClient::%s -> 2.%s", method, converter.getErrorText());
  } else {
    x500->assign(buffer);
  }
  std::free(buffer);
  return code;
}

int CCertificateDBClient::renderName(PCCERT_CONTEXT certificate, bool issuer, DWORD strType, std::string* out) {
  // The certificate's whole name in that form.
  CERT_NAME_BLOB* name = issuer ? &certificate->pCertInfo->Issuer : &certificate->pCertInfo->Subject;
  DWORD needed = CertNameToStrA(kEncoding, name, strType, nullptr, 0);
  char* rendered = static_cast<char*>(std::calloc(static_cast<std::size_t>(needed) + 1, 1));
  if (rendered == nullptr) {
    setError(issuer ? "CCertificateDBClient::compareIssuerString -> pchIssuer buffer memory allocation failed"
                    : "CCertificateDBClient::compareSubjectString -> Subject buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  if (needed > 0) CertNameToStrA(kEncoding, name, strType, rendered, needed);
  out->assign(rendered);
  std::free(rendered);
  return rc::OK;
}

int CCertificateDBClient::compareName(PCCERT_CONTEXT certificate, const char* criterion, BYTE* matched, bool issuer) {
  const char* method = issuer ? "compareIssuerString" : "compareSubjectString";
  try {
    if (matched != nullptr) *matched = 0;
    if (certificate == nullptr || certificate->pCertInfo == nullptr || criterion == nullptr || matched == nullptr) {
      setError("CCertificateDBClient::%s -> parameter error", method);
      return rc::WRONG_PARAMETER;
    }
    std::string x500, rendered;
    DWORD strType = 0;
    if (int code = criterionToX500(criterion, issuer, &x500, &strType)) return code;
    if (int code = renderName(certificate, issuer, strType, &rendered)) return code;
    if (rendered.empty()) return rc::OK;
    // An issuer is the whole name; a subject criterion may be any part of it.
    if (issuer ? rendered == x500 : rendered.find(x500) != std::string::npos) *matched = 1;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::%s -> unknown error", method);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::parsingMultipleCriteria(const char* text, char*** criteria, int* count) {
  char* work = nullptr;
  char** entries = nullptr;
  int groups = 0;
  auto fail = [&](int code) {
    if (entries != nullptr) {
      for (int i = 0; i < groups; ++i) std::free(entries[i]);
      std::free(entries);
    }
    std::free(work);
    return code;
  };
  try {
    if (criteria == nullptr || count == nullptr) {
      setError("CCertificateDBClient::parsingMultipleCriteria -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    *criteria = nullptr;
    if (text == nullptr) text = "";
    // A bare text is one criterion.
    const std::size_t textLength = std::strlen(text);
    const bool braced = text[0] == '{';
    work = static_cast<char*>(std::malloc(textLength + (braced ? 1 : 3)));
    if (work == nullptr) {
      setError("CCertificateDBClient::parsingMultipleCriteria -> pchMultipleCriteria buffer memory allocation failed");
      return rc::OUT_OF_MEMORY;
    }
    if (braced) {
      std::memcpy(work, text, textLength + 1);
    } else {
      work[0] = '{';
      std::memcpy(work + 1, text, textLength);
      work[textLength + 1] = '}';
      work[textLength + 2] = '\0';
    }
    const std::size_t length = std::strlen(work);

    // Groups are "{...}" without nesting and not empty; text between groups
    // is ignored.
    bool wellFormed = length >= 2 && work[0] == '{' && work[length - 1] == '}';
    int depth = 0;
    for (std::size_t i = 0; wellFormed && i < length; ++i) {
      if (work[i] == '{') {
        if (++depth == 2) wellFormed = false;
      } else if (work[i] == '}') {
        if (--depth < 0 || (i > 0 && work[i - 1] == '{'))
          wellFormed = false;
        else
          ++groups;
      }
    }
    if (!wellFormed || depth != 0) {
      groups = 0;
      setError("CCertificateDBClient::parsingMultipleCriteria -> MultipleCriteria setting format error");
      return fail(rc::WRONG_PARAMETER);
    }

    entries = static_cast<char**>(std::calloc(static_cast<std::size_t>(groups), sizeof(char*)));
    if (entries == nullptr) {
      setError("CCertificateDBClient::parsingMultipleCriteria -> MultipleCriteria buffer memory allocation failed");
      return fail(rc::OUT_OF_MEMORY);
    }
    // The first group of the text goes to the last slot.
    int slot = groups - 1;
    const char* open = nullptr;
    for (std::size_t i = 0; i < length; ++i) {
      if (work[i] == '{') {
        open = work + i + 1;
      } else if (work[i] == '}' && open != nullptr) {
        std::size_t n = static_cast<std::size_t>(work + i - open);
        char* value = static_cast<char*>(std::malloc(n + 1));
        if (value == nullptr) {
          setError("CCertificateDBClient::parsingMultipleCriteria -> SingleCriteria buffer memory allocation failed");
          return fail(rc::OUT_OF_MEMORY);
        }
        std::memcpy(value, open, n);
        value[n] = '\0';
        entries[slot--] = value;
        open = nullptr;
      }
    }
    std::free(work);
    *criteria = entries;
    *count = groups;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::parsingMultipleCriteria -> unknown error");
    return fail(rc::UNKNOWN_ERROR);
  }
}

int CCertificateDBClient::freeMultipleCriteriaArray(char** criteria, int count) {
  try {
    if (criteria == nullptr) return rc::OK;
    for (int i = 0; i < count; ++i) std::free(criteria[i]);
    std::free(criteria);
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::freeMultipleCriteriaArray -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::fillChosen(CMyCertContext& context, PCCERT_CONTEXT certificate, Source mode) {
  if (mode == Source::Token) return context.setCertContext(certificate, false, false);
  return context.setCertContext(certificate, m_bReadKeyProvider != 0, true);
}

int CCertificateDBClient::getLatestCert(PCCERT_CONTEXT* candidates, int count, int* chosenIndex) {
  try {
    if (chosenIndex == nullptr) {
      setError("CCertificateDBClient::getLatestCert -> parameter error");
      return rc::WRONG_PARAMETER;
    }
    *chosenIndex = -1;
    if (candidates == nullptr) return rc::OK;
    const Source mode = m_openedAs != Source::Closed ? m_openedAs : (m_bTokenMode ? Source::Token : Source::System);
    FILETIME latest{};
    for (int i = 0; i < count; ++i) {
      CMyCertContext context;
      int filled = mode == Source::Token ? context.setCertContext(candidates[i], false, false)
                                         : context.setCertContext(candidates[i], false, true);
      if (filled != rc::OK) continue;  // an unreadable candidate is passed over
      // Of equal ends the earlier candidate stays.
      if (*chosenIndex < 0 || CompareFileTime(&context.getNotAfterLocal(), &latest) > 0) {
        latest = context.getNotAfterLocal();
        *chosenIndex = i;
      }
    }
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClient::getLatestCert -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::setAllField(CMyCertContext& chosen) {
  // Every new text is made before any old one is let go, so a failure leaves
  // the previous selection whole.
  struct Field {
    const char* value;
    const char* failure;
    char* copy;
  } fields[] = {
      {chosen.getCertificateText(),
       "CCertificateDBClient::getCertificateInfo -> certificate buffer memory allocation failed", nullptr},
      {chosen.getSerialNumber(),
       "CCertificateDBClient::getCertificateInfo -> serial number buffer memory allocation failed", nullptr},
      {chosen.getIssuer(), "CCertificateDBClient::getCertificateInfo -> Issuer buffer memory allocation failed",
       nullptr},
      {chosen.getSubject(), "CCertificateDBClient::getCertificateInfo -> Subject buffer memory allocation failed",
       nullptr},
      {chosen.getNotBefore(), "CCertificateDBClient::getCertificateInfo -> StartDate buffer memory allocation failed",
       nullptr},
      {chosen.getNotAfter(), "CCertificateDBClient::getCertificateInfo -> EndDate buffer memory allocation failed",
       nullptr},
  };
  char* keyUsage = nullptr;
  auto dropCopies = [&] {
    for (Field& f : fields) freeText(f.copy);
    freeText(keyUsage);
  };
  try {
    for (Field& f : fields) {
      f.copy = copyText(f.value);
      if (f.copy == nullptr) {
        setError("%s", f.failure);
        dropCopies();
        return rc::OUT_OF_MEMORY;
      }
    }
    keyUsage = static_cast<char*>(std::calloc(kKeyUsageTextSize, 1));
    if (keyUsage == nullptr) {
      setError("CCertificateDBClient::getCertificateInfo -> KeyUsage buffer memory allocation failed");
      dropCopies();
      return rc::OUT_OF_MEMORY;
    }
    const char* usage = keyUsageText(chosen.getKeyUsage());
    std::memcpy(keyUsage, usage, std::min(std::strlen(usage), kKeyUsageTextSize - 1));  // the buffer ends in NUL

    freeSelectedFields();
    m_pchCertificate = fields[0].copy;
    m_pchSerialNumber = fields[1].copy;
    m_pchIssuer = fields[2].copy;
    m_pchSubject = fields[3].copy;
    m_pchStartDate = fields[4].copy;
    m_pchEndDate = fields[5].copy;
    m_pchKeyUsage = keyUsage;
    m_iKeyLength = chosen.getPublicKeyLength();
    return rc::OK;
  } catch (...) {
    dropCopies();
    setError("CCertificateDBClient::setAllField -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Selections

int CCertificateDBClient::finishRun(const RunText& text, CandidateList& list, bool mayChoose) {
  if (list.count == 0) return rc::CERT_NOT_FOUND;
  int index = 0;
  if (list.count > 1 && mayChoose) {
    index = -1;
    int code = SelectLatestCert ? getLatestCert(list.items, list.count, &index)
                                : getSelectCertByUI(list.items, list.count, &index);
    if (code != rc::OK) return code;
  }
  // No choice, or an index that names no candidate, is a cancel.
  if (index < 0 || index >= list.count) return rc::USER_CANCEL;

  CMyCertContext chosen;
  if (fillChosen(chosen, list.items[index], m_openedAs) != rc::OK) {
    setError(text.read, chosen.getErrorText());
    return rc::OPERATION_ERROR;
  }
  // A sole candidate outside its validity period is refused while blocked; a
  // choice among several was the user's (or the latest rule's).
  if (list.count == 1 && BlockExpiredCert && chosen.IsCertExpired() == rc::CERT_EXPIRED) {
    setError("Certificate is Expired!");
    return rc::CERT_EXPIRED;
  }
  return setAllField(chosen);
}

int CCertificateDBClient::runOverAll(const RunText& text, int keyUsage, bool fullFilter, Criterion criterion,
                                     const void* argument) {
  if (m_hStore == nullptr) {
    if (int code = openCertStore()) return code;
  }
  CandidateList list;
  CMyCertContext candidate;
  int code = rc::OK;
  {
    Walk walk(*this);
    while (walk.next(candidate, &code)) {
      if (!ShowExpiredCert && candidate.IsCertExpired() == rc::CERT_EXPIRED) continue;
      if (!keyUsageAccepted(keyUsage, candidate.getKeyUsage())) continue;
      if (fullFilter) {
        if (m_iRequiredTokenKind != 0 && m_iRequiredTokenKind != candidate.getTokenType()) continue;
        if (!isMatchedProvider(candidate.getProviderName())) continue;
      }
      if (criterion != nullptr) {
        bool keep = false;
        if (int failed = (this->*criterion)(candidate, argument, &keep)) return failed;
        if (!keep) continue;
      }
      if (!list.append(candidate.getCertContext())) {
        setError("%s", text.grow);
        return rc::OUT_OF_MEMORY;
      }
    }
  }
  if (code != rc::OK) return code;
  return finishRun(text, list, true);
}

int CCertificateDBClient::selectCertificate(int keyUsage) {
  static const RunText kText = RUN_TEXT("selectCertificate");
  try {
    return runOverAll(kText, keyUsage, true, nullptr, nullptr);
  } catch (...) {
    setError("%s", kText.unknown);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::subjectCriterion(CMyCertContext& candidate, const void* argument, bool* keep) {
  BYTE matched = 0;
  int code = compareSubjectString(candidate.getCertContext(), static_cast<const char*>(argument), &matched);
  *keep = matched != 0;
  return code;
}

int CCertificateDBClient::selectByText(const RunText& text, const char* argument, int keyUsage, Criterion criterion) {
  try {
    if (argument == nullptr) {
      setError("%s", text.parameter);
      return rc::WRONG_PARAMETER;
    }
    return runOverAll(text, keyUsage, true, criterion, argument);
  } catch (...) {
    setError("%s", text.unknown);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::selectCertificateBySubject(const char* subject, int keyUsage) {
  static const RunText kText = RUN_TEXT("selectCertificateBySubject");
  return selectByText(kText, subject, keyUsage, &CCertificateDBClient::subjectCriterion);
}

// The parsed issuer list and, built at the first candidate, its criteria as
// whole names by name form. An issuer criterion is a whole name, so a
// candidate's issuer is rendered once per form and looked up: the run costs
// certificates plus criteria, not their product.
struct CCertificateDBClient::IssuerSet {
  char** entries = nullptr;
  int count = 0;
  bool built = false;
  // name form -> whole name -> the first criterion (array order) giving it
  std::vector<std::pair<DWORD, std::unordered_map<std::string, int>>> byForm;
  // The first criterion that cannot be converted: what comparing one by one
  // would report once no earlier criterion matched.
  int failedIndex = INT_MAX;
  int failedCode = 0;
  char failedText[ERROR_TEXT_SIZE] = {};
};

int CCertificateDBClient::buildIssuerSet(IssuerSet& set) {
  set.built = true;
  char kept[ERROR_TEXT_SIZE];
  std::memcpy(kept, m_szErrorText, sizeof kept);
  for (int i = 0; i < set.count; ++i) {
    std::string x500;
    DWORD form = 0;
    if (int code = criterionToX500(set.entries[i], true, &x500, &form)) {
      // Short of memory the selection fails now, whichever criterion it hit.
      if (code == rc::OUT_OF_MEMORY || code == rc::UNKNOWN_ERROR) return code;
      set.failedIndex = i;
      set.failedCode = code;
      std::memcpy(set.failedText, m_szErrorText, sizeof set.failedText);
      break;  // later criteria could only matter after this one failed
    }
    auto it = std::find_if(set.byForm.begin(), set.byForm.end(), [&](const auto& f) { return f.first == form; });
    if (it == set.byForm.end()) {
      set.byForm.emplace_back(form, std::unordered_map<std::string, int>());
      it = set.byForm.end() - 1;
    }
    it->second.emplace(std::move(x500), i);  // keeps the first index
  }
  std::memcpy(m_szErrorText, kept, sizeof kept);
  return rc::OK;
}

int CCertificateDBClient::issuerListCriterion(CMyCertContext& candidate, const void* argument, bool* keep) {
  auto* set = const_cast<IssuerSet*>(static_cast<const IssuerSet*>(argument));
  *keep = false;
  PCCERT_CONTEXT certificate = candidate.getCertContext();
  if (certificate == nullptr || certificate->pCertInfo == nullptr) {
    setError("CCertificateDBClient::compareIssuerString -> parameter error");
    return rc::WRONG_PARAMETER;
  }
  if (!set->built) {
    if (int code = buildIssuerSet(*set)) return code;
  }
  // The first matching criterion in array order (the text's last first).
  int first = INT_MAX;
  std::string rendered;
  for (const auto& [form, names] : set->byForm) {
    if (int code = renderName(certificate, true, form, &rendered)) return code;
    if (rendered.empty()) continue;
    auto it = names.find(rendered);
    if (it != names.end()) first = std::min(first, it->second);
  }
  if (first < set->failedIndex) {
    *keep = true;
    return rc::OK;
  }
  if (set->failedIndex != INT_MAX) {
    std::memcpy(m_szErrorText, set->failedText, sizeof m_szErrorText);
    return set->failedCode;
  }
  return rc::OK;
}

int CCertificateDBClient::selectCertificateBySubject(MultipleCriteria issuers, int keyUsage) {
  static const RunText kText = RUN_TEXT("selectCertificateBySubject");
  IssuerSet parsed;
  try {
    if (m_hStore == nullptr) {
      if (int code = openCertStore()) return code;
    }
    // A text of the wrong form ends the selection before any certificate is read.
    if (int code = parsingMultipleCriteria(issuers.text, &parsed.entries, &parsed.count)) return code;
    int code = runOverAll(kText, keyUsage, true, &CCertificateDBClient::issuerListCriterion, &parsed);
    freeMultipleCriteriaArray(parsed.entries, parsed.count);
    return code;
  } catch (...) {
    freeMultipleCriteriaArray(parsed.entries, parsed.count);
    setError("%s", kText.unknown);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::commonNameCriterion(CMyCertContext& candidate, const void* argument, bool* keep) {
  *keep = false;
  PCCERT_CONTEXT certificate = candidate.getCertContext();
  DWORD needed = CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  char* name = static_cast<char*>(std::calloc(static_cast<std::size_t>(needed) + 1, 1));
  if (name == nullptr) {
    setError("CCertificateDBClient::selectCertificateBySubjectCN -> Subject_CN buffer memory allocation failed");
    return rc::OUT_OF_MEMORY;
  }
  if (needed > 0) CertGetNameStringA(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, needed);
  *keep = std::strcmp(name, static_cast<const char*>(argument)) == 0;
  std::free(name);
  return rc::OK;
}

int CCertificateDBClient::selectCertificateBySubjectCN(const char* commonName, int keyUsage) {
  static const RunText kText = RUN_TEXT("selectCertificateBySubjectCN");
  return selectByText(kText, commonName, keyUsage, &CCertificateDBClient::commonNameCriterion);
}

int CCertificateDBClient::subjectTextCriterion(CMyCertContext& candidate, const void* argument, bool* keep) {
  const auto& parts = *static_cast<const std::vector<std::string>*>(argument);
  *keep = false;
  if (parts.size() < 2) return rc::OK;  // a display-name part alone selects nothing
  const char* displayName = candidate.getSubjectCN();
  const char* subject = candidate.getSubject();
  if (displayName == nullptr || subject == nullptr) return rc::OK;
  if (std::strstr(displayName, parts[0].c_str()) == nullptr) return rc::OK;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (std::strstr(subject, parts[i].c_str()) != nullptr) {
      *keep = true;
      break;
    }
  }
  return rc::OK;
}

int CCertificateDBClient::selectCertificateBySubject_Text(const char* subjectText, int keyUsage) {
  static const RunText kText = RUN_TEXT("selectCertificateBySubject_Text");
  try {
    if (subjectText == nullptr) {
      setError("%s", kText.parameter);
      return rc::WRONG_PARAMETER;
    }
    std::vector<std::string> parts;
    splitString(subjectText, ",", &parts);
    // Validity and key usage only: the token-kind and provider steps are not
    // part of this selection.
    return runOverAll(kText, keyUsage, false, &CCertificateDBClient::subjectTextCriterion, &parts);
  } catch (...) {
    setError("%s", kText.unknown);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::runFirstMatch(const RunText& kText, const char* issuer, const char* serialNumber) {
  if (m_hStore == nullptr) {
    if (int code = openCertStore()) return code;
  }
  CandidateList list;
  CMyCertContext candidate;
  int code = rc::OK;
  {
    Walk walk(*this);
    while (walk.next(candidate, &code)) {
      if (!serialNumbersEqual(candidate.getSerialNumber(), serialNumber)) continue;
      if (issuer != nullptr) {
        BYTE matched = 0;
        if (int failed = compareIssuerString(candidate.getCertContext(), issuer, &matched)) return failed;
        if (!matched) continue;
      }
      // The first match decides: outside its validity period (and not shown)
      // it ends the search with nothing found.
      if (!ShowExpiredCert && candidate.IsCertExpired() == rc::CERT_EXPIRED) break;
      if (m_iRequiredTokenKind != 0 && m_iRequiredTokenKind != candidate.getTokenType()) continue;
      if (!isMatchedProvider(candidate.getProviderName())) continue;
      if (!list.append(candidate.getCertContext())) {
        setError("%s", kText.grow);
        return rc::OUT_OF_MEMORY;
      }
      break;
    }
  }
  if (code != rc::OK) return code;
  return finishRun(kText, list, false);
}

int CCertificateDBClient::selectBySerialNum(const char* issuer, const char* serialNumber, bool issuerGiven) {
  static const RunText kText = RUN_TEXT("selectCertificateBySerialNum");
  try {
    if ((issuerGiven && issuer == nullptr) || serialNumber == nullptr) {
      setError("%s", kText.parameter);
      return rc::WRONG_PARAMETER;
    }
    return runFirstMatch(kText, issuer, serialNumber);
  } catch (...) {
    setError("%s", kText.unknown);
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::selectCertificateBySerialNum(const char* serialNumber) {
  return selectBySerialNum(nullptr, serialNumber, false);
}

int CCertificateDBClient::selectCertificateBySerialNum(const char* issuer, const char* serialNumber) {
  return selectBySerialNum(issuer, serialNumber, true);
}

// ---------------------------------------------------------------------------
// Certificates from the page

int CCertificateDBClient::fillFromText(CMyCertContext& context, const char* certificate) {
  // A token's certificate is not in the store; a store certificate must be.
  if (m_bTokenMode) return context.setCertContext(certificate, false, false);
  return context.setCertContext(certificate, m_bReadKeyProvider != 0, true);
}

int CCertificateDBClient::checkCertificateExpired(const char* certificate) {
  try {
    CMyCertContext context;
    if (int code = fillFromText(context, certificate)) {
      setError("CCertificateDBClient::checkCertificateExpired -> %s", context.getErrorText());
      return code;
    }
    int code = context.IsCertExpired();
    if (code != rc::OK && code != rc::CERT_EXPIRED)
      setError("CCertificateDBClient::checkCertificateExpired -> %s", context.getErrorText());
    return code;
  } catch (...) {
    setError("CCertificateDBClient::checkCertificateExpired -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}

int CCertificateDBClient::getCertificateInfo(const char* certificate) {
  try {
    CMyCertContext context;
    if (int code = fillFromText(context, certificate)) {
      setError("CCertificateDBClient::getCertificateInfo -> %s", context.getErrorText());
      return code;
    }
    return setAllField(context);
  } catch (...) {
    setError("CCertificateDBClient::getCertificateInfo -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
