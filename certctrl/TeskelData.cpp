// Data, envelope, settings and log members: the data to sign, the signed
// envelope as text or file, the signing settings and the control's log. The
// steps are the signing controls' shared ones, with the thread's ANSI code
// page for the envelope and no result line without a result.
#include "TeskelCtrl.h"

HRESULT CTeskelCtrl::setDataContentByFile(BSTR dataPath, LONG* pVal) { return dataContentByFile(dataPath, pVal); }

HRESULT CTeskelCtrl::setDataContentByString(BSTR dataContent, LONG* pVal) {
  return dataContentByString(dataContent, pVal);
}

HRESULT CTeskelCtrl::getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) {
  return signedEnvelopeByFile(envelopPath, pVal);
}

HRESULT CTeskelCtrl::getSignedEnvelopByString(BSTR* pVal) { return signedEnvelopeByString(pVal); }

HRESULT CTeskelCtrl::get_result(BSTR* pVal) { return resultText(pVal); }

HRESULT CTeskelCtrl::put_PWDCatch(VARIANT_BOOL newVal) {
  setPWDCatch(newVal);
  return S_OK;
}

HRESULT CTeskelCtrl::put_EnableLoginAgency(VARIANT_BOOL newVal) {
  setEnableLoginAgency(newVal);
  return S_OK;
}

HRESULT CTeskelCtrl::put_PINLenLimit(LONG newVal) {
  setPINLenLimit(newVal);
  return S_OK;
}

HRESULT CTeskelCtrl::setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) {
  return logFile(logPath, logFileName, pVal);
}
