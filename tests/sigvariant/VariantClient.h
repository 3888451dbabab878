// A signature client of the signature control's variant whose PIN hook
// answers from a script instead of a dialog.
#pragma once

#include <cstring>
#include <deque>
#include <string>

#include "signlib/PKCS7SignatureClient.h"

namespace varianttest {

constexpr const char* kCancel = "<cancel>";

class ScriptedClient : public CPKCS7SignatureClient {
 public:
  ScriptedClient() : CPKCS7SignatureClient(SignVariant::signatureControl()) {}
  std::deque<std::string> answers;  // one per PIN request; kCancel cancels
  int asked = 0;

  int setUILoginSmartCard(const char*, char* pin) override {
    ++asked;
    if (answers.empty() || answers.front() == kCancel) {
      if (!answers.empty()) answers.pop_front();
      return rc::USER_CANCEL;
    }
    std::strcpy(pin, answers.front().c_str());
    answers.pop_front();
    return rc::OK;
  }
  const char* dataContent() const { return m_pchDataContent; }
};

}  // namespace varianttest
