#include "signlib/ui/CertificateDBClientUI.h"

#include "signlib/ResultCode.h"
#include "signlib/ui/CertificateDBClientCOMDlg.h"

CCertificateDBClientUI::CCertificateDBClientUI() : CCertificateDBClient("MY") {}

CCertificateDBClientUI::~CCertificateDBClientUI() = default;

int CCertificateDBClientUI::getSelectCertByUI(PCCERT_CONTEXT* candidates, int count, int* chosenIndex) {
  return setUISelectCert(candidates, count, chosenIndex);
}

int CCertificateDBClientUI::setUISelectCert(PCCERT_CONTEXT* candidates, int count, int* index) {
  try {
    if (index == nullptr) return rc::WRONG_PARAMETER;
    *index = -1;
    if (count <= 0) return rc::OK;
    CCertificateDBClientCOMDlg dlg;
    dlg.candidates = candidates;
    dlg.candidateCount = count;
    dlg.chosenIndex = -1;
    dlg.blockExpired = BlockExpiredCert;
    if (dlg.DoModal(::GetActiveWindow()) == IDOK) *index = dlg.chosenIndex;
    return rc::OK;
  } catch (...) {
    setError("CCertificateDBClientUI::setUISelectCert -> unknown error");
    return rc::UNKNOWN_ERROR;
  }
}
