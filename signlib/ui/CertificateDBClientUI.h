// CCertificateDBClientUI: the store client on the user's "MY" store whose
// choice hook lets the user pick among several qualifying certificates in
// the certificate chooser (CCertificateDBClientCOMDlg).
#pragma once

#include "signlib/CertificateDBClient.h"

class CCertificateDBClientUI : public CCertificateDBClient {
 public:
  CCertificateDBClientUI();

  // Writes -1 to *index first. No candidates: no dialog, 0. Otherwise the
  // chooser runs, owned by the active window; Confirm writes the chosen
  // candidate's index, any other end leaves -1. 0 either way; 99 after an
  // unexpected failure.
  int setUISelectCert(PCCERT_CONTEXT* candidates, int count, int* index);
  int getSelectCertByUI(PCCERT_CONTEXT* candidates, int count, int* chosenIndex) override;
  ~CCertificateDBClientUI() override;
};
