// CTeskelCtrl: the certificate control that bank pages create and script
// through ITeskelCtrl. A thin facade over the certificate and signing
// library: every member checks its arguments, calls the library, hands the
// result code back in its last argument and keeps the message of the last
// failure for LastErrorStr. The shell around each member (resources, codes,
// the catch-all, the error line) is the control kit's; the members live by
// group: TeskelCtrl.cpp (life, language, errors, host check),
// TeskelSelection.cpp, TeskelData.cpp, TeskelSigning.cpp, TeskelToken.cpp;
// the data, envelope, log and signing steps it shares with the signature
// control are the kit's signing piece (ctrlkit/SigningControl.h).
#pragma once

#include <string>

#include "ctrlkit/ControlServer.h"
#include "ctrlkit/SigningControl.h"
#include "platform/comserver.h"
#include "signlib/Log.h"
#include "signlib/ResultCode.h"
#include "signlib/ui/CertificateDBClientUI.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"
#include "teskel_h.h"

class CTeskelCtrl
    : public CComObjectRootEx<CComSingleThreadModel>,
      public IDispatchImpl<ITeskelCtrl, &IID_ITeskelCtrl, &LIBID_TeskelLib, 1, 0>,
      public IPersistStreamInitImpl<CTeskelCtrl>,
      public IOleControlImpl<CTeskelCtrl>,
      public IOleObjectImpl<CTeskelCtrl>,
      public IOleInPlaceActiveObjectImpl<CTeskelCtrl>,
      public IViewObjectExImpl<CTeskelCtrl>,
      public IOleInPlaceObjectWindowlessImpl<CTeskelCtrl>,
      public ISupportErrorInfoImpl<&IID_ITeskelCtrl>,
      public IPersistStorageImpl<CTeskelCtrl>,
      public ISpecifyPropertyPagesImpl<CTeskelCtrl>,
      public IQuickActivateImpl<CTeskelCtrl>,
      public IDataObjectImpl<CTeskelCtrl>,
      public IProvideClassInfo2Impl<&CLSID_TeskelCtrl, nullptr, &LIBID_TeskelLib>,
      public CComCoClass<CTeskelCtrl, &CLSID_TeskelCtrl>,
      public CComControlBase,
      public IObjectSafetyImpl<CTeskelCtrl, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA>,
      public ctrlkit::CSigningControl<CTeskelCtrl> {
 public:
  CTeskelCtrl();
  ~CTeskelCtrl();
  CTeskelCtrl(const CTeskelCtrl&) = delete;
  CTeskelCtrl& operator=(const CTeskelCtrl&) = delete;

  CTRLKIT_CONTROL_DECLARATIONS()

  BEGIN_COM_MAP(CTeskelCtrl)
  COM_INTERFACE_ENTRY(ITeskelCtrl)
  CTRLKIT_CONTROL_COM_ENTRIES()
  END_COM_MAP()

  // ---- ITeskelCtrl, in dispatch-identifier order ----
  HRESULT setLanguage(BSTR language, LONG* pVal) override;
  HRESULT checkCertificateExpired(BSTR certificate, LONG* pVal) override;
  HRESULT selectCertificate(LONG* pVal) override;
  HRESULT selectCertificateBySubject(BSTR subjectName, LONG* pVal) override;
  HRESULT selectCertificateBySubjectCN(BSTR subjectCN, LONG* pVal) override;
  HRESULT getCertificate(BSTR issuerName, BSTR serialNumber, LONG* pVal) override;
  HRESULT getCertificateInfo(BSTR certificate, LONG* pVal) override;
  HRESULT get_Issuer(BSTR* pVal) override;
  HRESULT get_Subject(BSTR* pVal) override;
  HRESULT get_SerialNumber(BSTR* pVal) override;
  HRESULT get_KeyUsage(BSTR* pVal) override;
  HRESULT get_StartDate(BSTR* pVal) override;
  HRESULT get_EndDate(BSTR* pVal) override;
  HRESULT selectCertificate_Ex(LONG KeyUsage, LONG* pVal) override;
  HRESULT selectCertificateBySubjectCN_Ex(BSTR subjectCN, LONG KeyUsage, LONG* pVal) override;
  HRESULT selectCertificateBySubject_Ex(BSTR subjectName, LONG KeyUsage, LONG* pVal) override;
  HRESULT selectCertificateBySerialNum(BSTR serialNum, LONG* pVal) override;
  HRESULT selectCertificateByMultipleIssuer(BSTR multimpleIssuer, LONG* pVal) override;
  HRESULT selectCertificateByMultipleIssuer_Ex(BSTR multimpleIssuer, LONG KeyUsage, LONG* pVal) override;
  HRESULT selectCertificateBySubject_Text(BSTR subjectname_text, LONG KeyUsage, LONG* pVal) override;
  HRESULT get_certificate(BSTR* pVal) override;
  HRESULT get_serialNumber(BSTR* pVal) override;
  HRESULT get_issuerName(BSTR* pVal) override;
  HRESULT get_subjectName(BSTR* pVal) override;
  HRESULT get_startDate(BSTR* pVal) override;
  HRESULT get_endDate(BSTR* pVal) override;
  HRESULT put_BlockExpiredCert(VARIANT newVal) override;
  HRESULT put_ShowExpiredCert(VARIANT newVal) override;
  HRESULT put_SelectLatestCert(VARIANT newVal) override;
  HRESULT setDataContentByFile(BSTR dataPath, LONG* pVal) override;
  HRESULT setDataContentByString(BSTR dataContent, LONG* pVal) override;
  HRESULT sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT signIO(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) override;
  HRESULT getSignedEnvelopByString(BSTR* pVal) override;
  HRESULT CheckP11TokenInOut(BSTR P11DLL, LONG* pVal) override;
  HRESULT get_result(BSTR* pVal) override;
  HRESULT put_PWDCatch(VARIANT_BOOL newVal) override;
  HRESULT put_EnableLoginAgency(VARIANT_BOOL newVal) override;
  HRESULT put_PINLenLimit(LONG newVal) override;
  HRESULT get_LastErrorCode(LONG* pVal) override;
  HRESULT get_LastErrorStr(BSTR* pVal) override;
  HRESULT put_PKCS11LibName(BSTR newVal) override;
  HRESULT setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) override;
  HRESULT get_VERSION(BSTR* pVal) override;
  HRESULT get_DetectedTokenPKCS11LibName(BSTR* pVal) override;
  HRESULT get_FullPath(BSTR* pVal) override;
  HRESULT GetTokenSN(BSTR P11DLL, BSTR* TokenSN) override;
  HRESULT TokenInitial(BSTR P11DLL, LONG* pVal) override;
  HRESULT TokenChangePIN(BSTR P11DLL, BSTR OldPIN, BSTR NewPIN, LONG* pVal) override;
  HRESULT eraseTokenExpiredCertKeyObj(BSTR P11DLL, BSTR expireDate, LONG* pVal) override;
  HRESULT SetPKCS11LibNames(BSTR PKCS11LibNames, LONG* pVal) override;
  HRESULT get_selectedCertLength(LONG* pVal) override;

  // Applies one language code ("ENU", "CHS", anything else Traditional
  // Chinese) to the calling thread's user interface. Always 0.
  int applyLanguage(const char* code);
  // getContainerURL and IsWebCtl (0, or 61 also left in LastErrorCode) come
  // from the kit.

  // The control's own window; none here (the control is never activated in
  // place), so message boxes have no owner.
  HWND m_hWnd = nullptr;

 private:
  // What a member of the selection group does with the store and the key usage.
  enum class SelectionKind {
    Test,           // a certificate from the page: no fresh store; the line quotes the certificate
    Select,         // a fresh store; the line quotes the criterion and the selected certificate
    SelectByUsage,  // the same after the key usage's test; the line also gives the usage
    SelectAnyUsage  // as Select, the key usage handed on untested (the store reads 0, 1, 2, else any)
  };

  void errorLine(int code) override;
  template <class Call>
  HRESULT selectByPageText(LONG* pVal, BSTR argument, LONG keyUsage, SelectionKind kind, const PageArgument& a,
                           Call call);
  HRESULT fieldText(BSTR* pVal, const char* (CCertificateDBClient::*field)() const);
  HRESULT selectByUsage(LONG* pVal, const char* member, LONG keyUsage, bool usageGiven);
  int signIOSteps(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod);
  // The token steps shared by signIO and CheckP11TokenInOut: noTokenText is
  // the message box's string; a probe failure is reported with probeFailure.
  int tokenSteps(BSTR P11DLL, UINT noTokenText, const char* probeFailure);

  CLog log;
  CCertificateDBClient* pCertDBClient = nullptr;
  CCertificateDBClientUI certDBClient;
  CPKCS7SignatureClientUI signatureClient;
  std::u16string language;
  std::u16string DetectedTokenPKCS11LibName;
};
