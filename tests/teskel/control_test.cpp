// The control object: its interfaces, object safety, type library, the
// state of a fresh control, the language members, the flag setters and the
// members that report on the module itself.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "TeskelSupport.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/resources.h"

using namespace teskeltest;

TEST_F(TeskelTest, InterfaceMapObjectSafetyAndClassInfo) {
  Control c;
  IDispatch* d = c.dispatch();
  const IID* interfaces[] = {&IID_ITeskelCtrl,       &IID_IDispatch,         &IID_IViewObjectEx,
                             &IID_IViewObject2,      &IID_IViewObject,       &IID_IOleInPlaceObjectWindowless,
                             &IID_IOleInPlaceObject, &IID_IOleWindow,        &IID_IOleInPlaceActiveObject,
                             &IID_IOleControl,       &IID_IOleObject,        &IID_IPersistStreamInit,
                             &IID_IPersist,          &IID_ISupportErrorInfo, &IID_ISpecifyPropertyPages,
                             &IID_IQuickActivate,    &IID_IPersistStorage,   &IID_IObjectSafety,
                             &IID_IDataObject,       &IID_IProvideClassInfo, &IID_IProvideClassInfo2};
  IUnknown* identity = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  for (const IID* iid : interfaces) {
    IUnknown* p = nullptr;
    ASSERT_EQ(d->QueryInterface(*iid, reinterpret_cast<void**>(&p)), S_OK);
    IUnknown* back = nullptr;
    ASSERT_EQ(p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, identity);
    back->Release();
    p->Release();
  }
  identity->Release();

  IObjectSafety* safety = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
  DWORD supported = 9, enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IClassFactory, 3, 3), E_NOINTERFACE);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_ITeskelCtrl, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 3u);
  EXPECT_EQ(enabled, 3u);  // one set of options for every interface
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), S_OK);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 2u);
  safety->Release();

  IOleObject* ole = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  DWORD misc = 0;
  EXPECT_EQ(ole->GetMiscStatus(DVASPECT_CONTENT, &misc), S_OK);
  EXPECT_EQ(misc, 0x20191u);
  SIZEL extent{};
  EXPECT_EQ(ole->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, 5080);
  EXPECT_EQ(extent.cy, 5080);
  ole->Release();

  ISupportErrorInfo* errorInfo = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errorInfo)), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_ITeskelCtrl), S_OK);
  EXPECT_EQ(errorInfo->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
  errorInfo->Release();

  IProvideClassInfo2* classInfo = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&classInfo)), S_OK);
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(classInfo->GetClassInfo(&coclass), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(coclass->GetTypeAttr(&attr), S_OK);
  EXPECT_TRUE(attr->guid == CLSID_TeskelCtrl);
  EXPECT_EQ(attr->typekind, TKIND_COCLASS);
  coclass->ReleaseTypeAttr(attr);
  coclass->Release();
  classInfo->Release();
}

// The 55 members, by name (any letter case) to their dispatch identifiers.
TEST_F(TeskelTest, EveryMemberHasItsDispatchIdentifier) {
  const char16_t* names[] = {u"setLanguage",
                             u"checkCertificateExpired",
                             u"selectCertificate",
                             u"selectCertificateBySubject",
                             u"selectCertificateBySubjectCN",
                             u"getCertificate",
                             u"getCertificateInfo",
                             u"get_Issuer",
                             u"get_Subject",
                             u"get_SerialNumber",
                             u"get_KeyUsage",
                             u"get_StartDate",
                             u"get_EndDate",
                             u"selectCertificate_Ex",
                             u"selectCertificateBySubjectCN_Ex",
                             u"selectCertificateBySubject_Ex",
                             u"selectCertificateBySerialNum",
                             u"selectCertificateByMultipleIssuer",
                             u"selectCertificateByMultipleIssuer_Ex",
                             u"selectCertificateBySubject_Text",
                             u"certificate",
                             u"serialNumber",
                             u"issuerName",
                             u"subjectName",
                             u"KeyUsage",
                             u"startDate",
                             u"endDate",
                             u"BlockExpiredCert",
                             u"ShowExpiredCert",
                             u"SelectLatestCert",
                             u"setDataContentByFile",
                             u"setDataContentByString",
                             u"sign",
                             u"signUI",
                             u"signIO",
                             u"getSignedEnvelopByFile",
                             u"getSignedEnvelopByString",
                             u"CheckP11TokenInOut",
                             u"result",
                             u"PWDCatch",
                             u"EnableLoginAgency",
                             u"PINLenLimit",
                             u"LastErrorCode",
                             u"LastErrorStr",
                             u"PKCS11LibName",
                             u"setLogFile",
                             u"VERSION",
                             u"DetectedTokenPKCS11LibName",
                             u"FullPath",
                             u"GetTokenSN",
                             u"TokenInitial",
                             u"TokenChangePIN",
                             u"eraseTokenExpiredCertKeyObj",
                             u"SetPKCS11LibNames",
                             u"selectedCertLength"};
  static_assert(sizeof names / sizeof names[0] == 55);
  Control c;
  for (DISPID expected = 1; expected <= 55; ++expected) {
    std::u16string upper;
    for (char16_t ch : std::u16string(names[expected - 1])) upper.push_back(ch >= u'a' && ch <= u'z' ? ch - 32 : ch);
    for (const std::u16string& name : {std::u16string(names[expected - 1]), upper}) {
      LPOLESTR n = const_cast<LPOLESTR>(name.c_str());
      DISPID id = 0;
      EXPECT_EQ(c.dispatch()->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << utf8(name);
      EXPECT_EQ(id, expected) << utf8(name);
    }
  }
  // The type library's own view: 55 members, the help string of 25 as written.
  ITypeInfo* ti = nullptr;
  ASSERT_EQ(c.dispatch()->GetTypeInfo(0, 0, &ti), S_OK);
  BSTR doc = nullptr;
  ASSERT_EQ(ti->GetDocumentation(25, nullptr, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(std::u16string(doc), u"property keyUsage");
  SysFreeString(doc);
  ti->Release();
}

TEST_F(TeskelTest, AFreshControl) {
  Control c;
  EXPECT_EQ(c.lastCode(), 0);
  Result err = c.get(u"LastErrorStr");
  EXPECT_EQ(err.hr, S_OK);
  EXPECT_FALSE(err.isNullText());
  EXPECT_EQ(err.asWide(), u"");
  // Nothing selected: null texts, S_OK.
  for (const char16_t* field : {u"get_Issuer", u"get_Subject", u"get_SerialNumber", u"get_KeyUsage", u"get_StartDate",
                                u"get_EndDate", u"certificate", u"serialNumber", u"issuerName", u"subjectName",
                                u"KeyUsage", u"startDate", u"endDate", u"result"}) {
    Result r = c.call(field);
    EXPECT_EQ(r.hr, S_OK) << utf8(field);
    EXPECT_TRUE(r.isNullText()) << utf8(field);
  }
  EXPECT_EQ(c.callLong(u"selectedCertLength"), 0);
  Result detected = c.get(u"DetectedTokenPKCS11LibName");
  EXPECT_EQ(detected.hr, S_OK);
  EXPECT_FALSE(detected.isNullText());
  EXPECT_EQ(detected.asWide(), u"");
}

TEST_F(TeskelTest, VersionPathAndTheEmptyMember) {
  Control c;
  EXPECT_EQ(c.get(u"VERSION").asText(), "1.0.0.1");
  std::string path = teskelPath();
  std::string folder = path.substr(0, path.find_last_of('/') + 1);
  Result full = c.get(u"FullPath");
  EXPECT_EQ(full.hr, S_OK);
  EXPECT_EQ(full.asText(), folder);
  EXPECT_EQ(c.lastCode(), 0);

  c.callLong(u"setDataContentByString", {text("")});  // leaves code 1
  ASSERT_EQ(c.lastCode(), 1);
  const std::string before = c.lastError();
  for (auto args : {std::vector<Value>{text("softtoken.dll"), text("20240101")},
                    std::vector<Value>{nullText(), empty()}, std::vector<Value>{i4(5), empty()}}) {
    Result r = c.call(u"eraseTokenExpiredCertKeyObj", args);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), 0);
  }
  EXPECT_EQ(c.lastCode(), 1);
  EXPECT_EQ(c.lastError(), before);
}

TEST_F(TeskelTest, LanguagesSetTheThreadsInterfaceLanguage) {
  struct Case {
    Value code;
    LANGID language;
  } cases[] = {
      {text("ENU"), 1033}, {text("CHS"), 2052},  {text("CHT"), 1028}, {text("ENU"), 1033}, {text("enu"), 1028},
      {text("EN"), 1028},  {text("ENU "), 1028}, {text("CHS"), 2052}, {text("JPN"), 1028},
  };
  Control c;
  for (auto& t : cases) {
    Result r = c.call(u"setLanguage", {t.code});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.asLong(), 0);
    EXPECT_EQ(GetThreadUILanguage(), t.language) << utf8(std::u16string(t.code.v.bstrVal));
  }
  // Empty or null: nothing is applied.
  c.callLong(u"setLanguage", {text("ENU")});
  EXPECT_EQ(c.callLong(u"setLanguage", {text("")}), 0);
  EXPECT_EQ(GetThreadUILanguage(), 1033);
  EXPECT_EQ(c.callLong(u"setLanguage", {nullText()}), 0);
  EXPECT_EQ(GetThreadUILanguage(), 1033);
  // A failure before it stays in LastErrorStr; the code is 0 again.
  c.callLong(u"setDataContentByString", {text("")});
  EXPECT_EQ(c.callLong(u"setLanguage", {text("CHS")}), 0);
  EXPECT_EQ(c.lastCode(), 0);
  EXPECT_NE(c.lastError(), "");
  // The choice outlives the control: a new one on the thread starts with it.
  Control next;
  EXPECT_EQ(GetThreadUILanguage(), 2052);
}

// The flag setters read booleans and whole numbers by their low 16 bits and
// never read another kind of value as a flag. Whether the flag took is seen
// through the store client: with BlockExpiredCert on, a sole expired
// certificate is refused with 8; off, it is selected.
TEST_F(TeskelTest, FlagSettersReadOnlyBooleansAndWholeNumbers) {
  clearMy();
  importFixture("expired");
  struct Case {
    const char* what;
    Value value;
    bool on;
  } cases[] = {
      {"VARIANT_TRUE", boolean(true), true},
      {"VARIANT_FALSE", boolean(false), false},
      {"long -1", i4(-1), true},
      {"long 1", i4(1), false},
      {"long 0x1FFFF", i4(0x1FFFF), true},
      {"long 0", i4(0), false},
      {"double -1", r8(-1.0), false},
      {"text \"true\"", text("true"), false},
      {"text \"-1\"", text("-1"), false},
      {"empty", empty(), false},
      {"null", null(), false},
  };
  Control c;
  for (auto& t : cases) {
    SCOPED_TRACE(t.what);
    // A flag already on must be switched off by a value that is not on.
    ASSERT_EQ(c.put(u"BlockExpiredCert", boolean(!t.on)).hr, S_OK);
    ASSERT_EQ(c.put(u"BlockExpiredCert", t.value).hr, S_OK);
    EXPECT_EQ(c.callLong(u"selectCertificate"), t.on ? 8 : 0);
  }
  // A string whose pointer happens to end in 0xFFFF must not switch a flag on:
  // build such a value by hand (the tag says BSTR, the low bits are ones).
  Value fake;
  fake.v.vt = VT_BSTR;
  fake.v.bstrVal = nullptr;
  fake.v.lVal = -1;  // bits of an "address"
  ASSERT_EQ(c.put(u"BlockExpiredCert", boolean(true)).hr, S_OK);
  VARIANT arg = fake.v;
  IDispatch* d = c.dispatch();
  // Straight to the member (the dispatcher would hand a VARIANT over as it is).
  ITeskelCtrl* ctrl = nullptr;
  ASSERT_EQ(d->QueryInterface(IID_ITeskelCtrl, reinterpret_cast<void**>(&ctrl)), S_OK);
  EXPECT_EQ(ctrl->put_BlockExpiredCert(arg), S_OK);
  ctrl->Release();
  fake.v.vt = VT_EMPTY;
  EXPECT_EQ(c.callLong(u"selectCertificate"), 0);

  // ShowExpiredCert off hides the expired one; SelectLatestCert is a flag like them.
  ASSERT_EQ(c.put(u"ShowExpiredCert", i4(0)).hr, S_OK);
  EXPECT_EQ(c.callLong(u"selectCertificate"), 4);
  ASSERT_EQ(c.put(u"ShowExpiredCert", i4(-1)).hr, S_OK);
  EXPECT_EQ(c.callLong(u"selectCertificate"), 0);
}

// A failure text longer than the field holds is cut at 511 characters.
TEST_F(TeskelTest, LongFailureTextsAreCutAt511Characters) {
  Control c;
  std::string path = "C:\\" + std::string(700, 'a') + "\\data.txt";
  EXPECT_EQ(c.callLong(u"setDataContentByFile", {text(path)}), 20);
  std::string err = c.lastError();
  EXPECT_EQ(err.size(), 511u);
  EXPECT_EQ(err.rfind("CTeskelCtrl::setDataContentByFile -> CPKCS7SignatureClient::setDataContentByFile -> ", 0), 0u)
      << err;
  EXPECT_EQ(c.lastCode(), 20);
}
