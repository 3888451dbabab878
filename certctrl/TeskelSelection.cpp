// Selection and field members: the page picks a certificate from the user's
// store by a criterion and reads the selected certificate's fields.
#include "TeskelCtrl.h"

#include <string>

#include "ctrlkit/ScriptFlag.h"
#include "ctrlkit/ScriptText.h"

using namespace ctrlkit;

namespace {
bool validKeyUsage(LONG keyUsage) { return keyUsage == 0 || keyUsage == 1 || keyUsage == 2; }
}  // namespace

// The steps of a member that takes one text from the page: the argument's
// test (and the key usage's), a fresh store for a selection, the text as
// 8-bit text to the store's call, then the failure text or the success line.
// Its texts follow from its name: "<name> -> Unknown error", "<name> ->
// error during invalid parameter(<argument>)!", "<name> -> error invalid
// parameter(KeyUsage)!", "<name> -> %s" with the store's text.
template <class Call>
HRESULT CTeskelCtrl::selectByPageText(LONG* pVal, BSTR argument, LONG keyUsage, SelectionKind kind,
                                      const PageArgument& a, Call call) {
  // Every selection reads the user's certificates (a certificate from the
  // page too: it is looked up in the user's store), so only pages of an
  // allowed host may run one.
  const std::string unknownError = std::string(a.member) + " -> Unknown error";
  return runMember(pVal, {.unknownError = unknownError.c_str(), .hostGate = a.member}, [&] {
    if (isEmpty(argument)) return fail(rc::WRONG_PARAMETER, "%s -> %s(%s)!", a.member, a.emptyWording, a.argument);
    if (kind == SelectionKind::SelectByUsage && !validKeyUsage(keyUsage))
      return fail(rc::WRONG_PARAMETER, "%s -> error invalid parameter(KeyUsage)!", a.member);
    if (kind != SelectionKind::Test) pCertDBClient->closeCertStore();
    CAnsiText text(argument);
    int code = call(text.get());
    if (code != 0) return fail(code, "%s -> %s", a.member, pCertDBClient->getErrorMessage());
    const char* selected = orEmpty(pCertDBClient->getCertificateText());
    if (kind == SelectionKind::Test)
      log.log(CLog::LEVEL_INFO, 0, "%s success! [%s]", a.member, text.text());
    else if (kind == SelectionKind::SelectByUsage)
      log.log(CLog::LEVEL_INFO, 0, "%s[%s][%d] success! [%s]", a.member, text.text(), static_cast<int>(keyUsage),
              selected);
    else
      log.log(CLog::LEVEL_INFO, 0, "%s[%s] success! [%s]", a.member, text.text(), selected);
    return 0;
  });
}

HRESULT CTeskelCtrl::checkCertificateExpired(BSTR certificate, LONG* pVal) {
  return selectByPageText(pVal, certificate, 0, SelectionKind::Test,
                          {"checkCertificateExpired", "certificate", "error invalid parameter"},
                          [&](const char* cert) { return pCertDBClient->checkCertificateExpired(cert); });
}

HRESULT CTeskelCtrl::getCertificateInfo(BSTR certificate, LONG* pVal) {
  return selectByPageText(pVal, certificate, 0, SelectionKind::Test, {"getCertificateInfo", "certificate"},
                          [&](const char* cert) { return pCertDBClient->getCertificateInfo(cert); });
}

HRESULT CTeskelCtrl::selectCertificateBySubject(BSTR subjectName, LONG* pVal) {
  return selectByPageText(pVal, subjectName, 0, SelectionKind::Select, {"selectCertificateBySubject", "subjectName"},
                          [&](const char* subject) { return pCertDBClient->selectCertificateBySubject(subject, 0); });
}

HRESULT CTeskelCtrl::selectCertificateBySubjectCN(BSTR subjectCN, LONG* pVal) {
  return selectByPageText(pVal, subjectCN, 0, SelectionKind::Select, {"selectCertificateBySubjectCN", "subjectCN"},
                          [&](const char* cn) { return pCertDBClient->selectCertificateBySubjectCN(cn, 0); });
}

HRESULT CTeskelCtrl::selectCertificateBySerialNum(BSTR serialNum, LONG* pVal) {
  return selectByPageText(pVal, serialNum, 0, SelectionKind::Select, {"selectCertificateBySerialNum", "serialNum"},
                          [&](const char* serial) { return pCertDBClient->selectCertificateBySerialNum(serial); });
}

HRESULT CTeskelCtrl::selectCertificateByMultipleIssuer(BSTR multimpleIssuer, LONG* pVal) {
  return selectByPageText(
      pVal, multimpleIssuer, 0, SelectionKind::Select, {"selectCertificateByMultipleIssuer", "multimpleIssuer"},
      [&](const char* issuers) { return pCertDBClient->selectCertificateBySubject(MultipleCriteria{issuers}, 0); });
}

HRESULT CTeskelCtrl::selectCertificateBySubjectCN_Ex(BSTR subjectCN, LONG KeyUsage, LONG* pVal) {
  return selectByPageText(pVal, subjectCN, KeyUsage, SelectionKind::SelectByUsage,
                          {"selectCertificateBySubjectCN_Ex", "subjectCN"},
                          [&](const char* cn) { return pCertDBClient->selectCertificateBySubjectCN(cn, KeyUsage); });
}

HRESULT CTeskelCtrl::selectCertificateBySubject_Ex(BSTR subjectName, LONG KeyUsage, LONG* pVal) {
  return selectByPageText(
      pVal, subjectName, KeyUsage, SelectionKind::SelectByUsage, {"selectCertificateBySubject_Ex", "subjectName"},
      [&](const char* subject) { return pCertDBClient->selectCertificateBySubject(subject, KeyUsage); });
}

HRESULT CTeskelCtrl::selectCertificateByMultipleIssuer_Ex(BSTR multimpleIssuer, LONG KeyUsage, LONG* pVal) {
  return selectByPageText(pVal, multimpleIssuer, KeyUsage, SelectionKind::SelectByUsage,
                          {"selectCertificateByMultipleIssuer_Ex", "multimpleIssuer"}, [&](const char* issuers) {
                            return pCertDBClient->selectCertificateBySubject(MultipleCriteria{issuers}, KeyUsage);
                          });
}

HRESULT CTeskelCtrl::selectCertificateBySubject_Text(BSTR subjectname_text, LONG KeyUsage, LONG* pVal) {
  return selectByPageText(pVal, subjectname_text, KeyUsage, SelectionKind::SelectAnyUsage,
                          {"selectCertificateBySubject_Text", "subject text"}, [&](const char* text) {
                            return pCertDBClient->selectCertificateBySubject_Text(text, KeyUsage);
                          });
}

// Any certificate of the store (selectCertificate), or any with a key usage
// (selectCertificate_Ex, which tests it first and names it in its line).
HRESULT CTeskelCtrl::selectByUsage(LONG* pVal, const char* member, LONG keyUsage, bool usageGiven) {
  const std::string unknownError = std::string(member) + " ->Unknown error";
  return runMember(pVal, {.unknownError = unknownError.c_str(), .hostGate = member}, [&] {
    if (usageGiven && !validKeyUsage(keyUsage))
      return fail(rc::WRONG_PARAMETER, "%s -> error invalid parameter(KeyUsage)!", member);
    pCertDBClient->closeCertStore();
    int code = pCertDBClient->selectCertificate(keyUsage);
    if (code != 0) return fail(code, "%s ->%s", member, pCertDBClient->getErrorMessage());
    const char* selected = orEmpty(pCertDBClient->getCertificateText());
    if (usageGiven)
      log.log(CLog::LEVEL_INFO, 0, "%s[%d] success! [%s]", member, static_cast<int>(keyUsage), selected);
    else
      log.log(CLog::LEVEL_INFO, 0, "%s success! [%s]", member, selected);
    return 0;
  });
}

HRESULT CTeskelCtrl::selectCertificate(LONG* pVal) { return selectByUsage(pVal, "selectCertificate", 0, false); }

HRESULT CTeskelCtrl::selectCertificate_Ex(LONG KeyUsage, LONG* pVal) {
  return selectByUsage(pVal, "selectCertificate_Ex", KeyUsage, true);
}

HRESULT CTeskelCtrl::getCertificate(BSTR issuerName, BSTR serialNumber, LONG* pVal) {
  return runMember(pVal, {.unknownError = "getCertificate -> Unknown error", .hostGate = "getCertificate"}, [&] {
    if (isEmpty(issuerName))
      return fail(rc::WRONG_PARAMETER, "getCertificate -> error during invalid parameter(issuerName)!");
    if (isEmpty(serialNumber))
      return fail(rc::WRONG_PARAMETER, "getCertificate -> error during invalid parameter(serialNumber)!");
    CAnsiText issuer(issuerName), serial(serialNumber);
    int code = pCertDBClient->selectCertificateBySerialNum(issuer.get(), serial.get());
    if (code != 0) return fail(code, "getCertificate ->%s", pCertDBClient->getErrorMessage());
    log.log(CLog::LEVEL_INFO, 0, "getCertificate issuer[%s] serialNumber[%s] success! [%s]", issuer.text(),
            serial.text(), orEmpty(pCertDBClient->getCertificateText()));
    return 0;
  });
}

// ------------------------------------------------------------------ fields of the selected certificate
// Each field of the selected certificate as the store client keeps it; a
// null text (nothing selected) gives a null string.
HRESULT CTeskelCtrl::fieldText(BSTR* pVal, const char* (CCertificateDBClient::*field)() const) {
  return textProperty(pVal, [&] { return (pCertDBClient->*field)(); });
}

HRESULT CTeskelCtrl::get_Issuer(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getIssuer); }
HRESULT CTeskelCtrl::get_Subject(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getSubject); }
HRESULT CTeskelCtrl::get_SerialNumber(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getSerialNumber); }
HRESULT CTeskelCtrl::get_KeyUsage(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getKeyUsage); }
HRESULT CTeskelCtrl::get_StartDate(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getStartDate); }
HRESULT CTeskelCtrl::get_EndDate(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getEndDate); }
HRESULT CTeskelCtrl::get_certificate(BSTR* pVal) { return fieldText(pVal, &CCertificateDBClient::getCertificateText); }
HRESULT CTeskelCtrl::get_serialNumber(BSTR* pVal) { return get_SerialNumber(pVal); }
HRESULT CTeskelCtrl::get_issuerName(BSTR* pVal) { return get_Issuer(pVal); }
HRESULT CTeskelCtrl::get_subjectName(BSTR* pVal) { return get_Subject(pVal); }
HRESULT CTeskelCtrl::get_startDate(BSTR* pVal) { return get_StartDate(pVal); }
HRESULT CTeskelCtrl::get_endDate(BSTR* pVal) { return get_EndDate(pVal); }

HRESULT CTeskelCtrl::put_BlockExpiredCert(VARIANT newVal) {
  pCertDBClient->BlockExpiredCert = flagOf(newVal);
  return S_OK;
}
HRESULT CTeskelCtrl::put_ShowExpiredCert(VARIANT newVal) {
  pCertDBClient->ShowExpiredCert = flagOf(newVal);
  return S_OK;
}
HRESULT CTeskelCtrl::put_SelectLatestCert(VARIANT newVal) {
  pCertDBClient->SelectLatestCert = flagOf(newVal);
  return S_OK;
}

HRESULT CTeskelCtrl::get_selectedCertLength(LONG* pVal) {
  if (pVal == nullptr) return E_POINTER;
  *pVal = pCertDBClient->getSelectedCertLength();
  return S_OK;
}
