// CHaldrinCtrl: the signature control that bank pages create and script
// through IHaldrinCtrl. It signs the page's data through its own signature
// client (the signature control's variant, with the card login dialog), and
// puts the protected-input dialogs in front of the user: a PIN pad, a keypad
// whose result is kept for the whole process, and the text-as-picture
// confirmation. The shell around each member (resources, codes, the
// catch-all, the error line, S_FALSE for a failure) is the control kit's;
// the members live by group: HaldrinCtrl.cpp (life, language, errors,
// version), HaldrinData.cpp (data, envelope, settings, log, PIN lists),
// HaldrinSigning.cpp (signing and the token window), HaldrinInput.cpp
// (protected input); the data, envelope, log and signing steps it shares
// with the certificate control are the kit's signing piece
// (ctrlkit/SigningControl.h).
#pragma once

#include <string>

#include "ctrlkit/ControlServer.h"
#include "ctrlkit/SigningControl.h"
#include "haldrin_h.h"
#include "platform/comserver.h"
#include "signlib/Log.h"
#include "signlib/ResultCode.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

// The interface's table of operations: the members the type library lists,
// then one operation it does not list (it does nothing).
struct IHaldrinCtrlTable : public IHaldrinCtrl {
  virtual HRESULT unlistedOperation() = 0;
};
template <>
struct PlatformDispatchTable<IHaldrinCtrlTable> : PlatformDispatchTable<IHaldrinCtrl> {};

// The keypad's last confirmed result, shared by every control of the process
// (defined with the module objects; built at load, gone at unload).
extern std::u16string protectionPlainData;
extern std::u16string protectionCipherData;

class CHaldrinCtrl
    : public CComObjectRootEx<CComSingleThreadModel>,
      public IDispatchImpl<IHaldrinCtrlTable, &IID_IHaldrinCtrl, &LIBID_HaldrinLib, 1, 0>,
      public IPersistStreamInitImpl<CHaldrinCtrl>,
      public IOleControlImpl<CHaldrinCtrl>,
      public IOleObjectImpl<CHaldrinCtrl>,
      public IOleInPlaceActiveObjectImpl<CHaldrinCtrl>,
      public IViewObjectExImpl<CHaldrinCtrl>,
      public IOleInPlaceObjectWindowlessImpl<CHaldrinCtrl>,
      public ISupportErrorInfoImpl<&IID_IHaldrinCtrl>,
      public IPersistStorageImpl<CHaldrinCtrl>,
      public ISpecifyPropertyPagesImpl<CHaldrinCtrl>,
      public IQuickActivateImpl<CHaldrinCtrl>,
      public IDataObjectImpl<CHaldrinCtrl>,
      public IProvideClassInfo2Impl<&CLSID_HaldrinCtrl, nullptr, &LIBID_HaldrinLib>,
      public CComCoClass<CHaldrinCtrl, &CLSID_HaldrinCtrl>,
      public CComControlBase,
      public IObjectSafetyImpl<CHaldrinCtrl, INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA>,
      public ctrlkit::CSigningControl<CHaldrinCtrl> {
 public:
  CHaldrinCtrl();
  ~CHaldrinCtrl();
  CHaldrinCtrl(const CHaldrinCtrl&) = delete;
  CHaldrinCtrl& operator=(const CHaldrinCtrl&) = delete;

  CTRLKIT_CONTROL_DECLARATIONS()

  BEGIN_COM_MAP(CHaldrinCtrl)
  COM_INTERFACE_ENTRY_IID(IID_IHaldrinCtrl, IHaldrinCtrlTable)
  CTRLKIT_CONTROL_COM_ENTRIES()
  END_COM_MAP()

  // ---- IHaldrinCtrl, in dispatch-identifier order ----
  HRESULT setDataContentByFile(BSTR dataPath, LONG* pVal) override;
  HRESULT setDataContentByString(BSTR dataContent, LONG* pVal) override;
  HRESULT sign(BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT getSignedEnvelopByFile(BSTR envelopPath, LONG* pVal) override;
  HRESULT getSignedEnvelopByString(BSTR* pVal) override;
  HRESULT get_result(BSTR* pVal) override;
  HRESULT get_LastErrorStr(BSTR* pVal) override;
  HRESULT setLogFile(BSTR logPath, BSTR logFileName, LONG* pVal) override;
  HRESULT put_PWDCatch(LONG newVal) override;
  HRESULT MD5RSASignValue(BSTR signerCert, LONG* pVal) override;
  HRESULT put_EnableLoginAgency(LONG newVal) override;
  HRESULT setIllegalPIN(BSTR multipleIllegalPIN, LONG* pVal) override;
  HRESULT put_PINLenLimit(LONG newVal) override;
  HRESULT put_PKCS11LibName(BSTR newVal) override;
  HRESULT get_LastErrorCode(LONG* pVal) override;
  HRESULT signUI(BSTR dataContent, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT signIO(BSTR P11DLL, BSTR signerCert, BSTR digestMethod, BSTR signatureMethod, LONG* pVal) override;
  HRESULT CheckP11TokenInOut(BSTR P11DLL, LONG* pVal) override;
  HRESULT CallGRD(BSTR TitleName, LONG MaxLen, BSTR* pVal) override;
  HRESULT setCancelPINCode(ULONG code, LONG* pVal) override;
  HRESULT setIncorrectPINCode(ULONG code, LONG* pVal) override;
  HRESULT inquireProtectionData(BSTR title, BSTR keyValue, LONG bShowDot, LONG* pVal) override;
  HRESULT getProtectionDataPlain(BSTR* plainData) override;
  HRESULT getProtectionDataCipher(BSTR* cipherData) override;
  HRESULT convertTextToImage(BSTR inputText, BSTR keyValue, BSTR title, BSTR* pVal) override;
  HRESULT setLanguage(BSTR language, LONG* pVal) override;
  HRESULT get_VERSION(BSTR* pVal) override;
  // The operation behind the listed ones.
  HRESULT unlistedOperation() override;

  // Applies the stored language to the calling thread before a
  // protected-input dialog.
  void ApplyLanguage();
  // GetHostPageURL and IsWebCtl (0, or 61 also left in LastErrorCode) come
  // from the kit, with the server-certificate step for HTTPS pages.

  // The control's own window; none here (the control is never activated in
  // place), so message boxes have no owner.
  HWND m_hWnd = nullptr;

 private:
  void errorLine(int code) override;
  // A keypad getter: the host check, then a copy of the value (its whole
  // length); a refused page gets a null string, 61 and the member's text.
  HRESULT readKeypad(const char* member, const std::u16string& value, BSTR* pVal);

  CPKCS7SignatureClientUI signClient;
  CLog log;
  std::u16string language;
};
