// Type libraries: what midl accepts and writes, type information read back,
// dispatch tables checked against it, and registration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ComTestSupport.h"
#include "TestRoot.h"
#include "platform/com.h"
#include "platform/dispatch.h"
#include "platform/winreg.h"
#include "testserver_h.h"

using namespace comtest;  // the com tests' shared helpers

namespace {

ITypeLib* loadTestLib() {
  ITypeLib* tl = nullptr;
  EXPECT_EQ(LoadTypeLib(wide(TEST_SERVER_TLB).c_str(), &tl), S_OK);
  return tl;
}

ITypeInfo* infoOf(ITypeLib* tl, REFGUID g) {
  ITypeInfo* ti = nullptr;
  EXPECT_EQ(tl->GetTypeInfoOfGuid(g, &ti), S_OK);
  return ti;
}

const char* const kIdlHead =
    "[object, uuid(11111111-2222-3333-4444-555555555555), dual]\n"
    "interface IBad : IDispatch {\n";
const char* const kIdlTail =
    "};\n"
    "[uuid(11111111-2222-3333-4444-666666666666), version(1.0)]\n"
    "library BadLib {\n"
    "  [uuid(11111111-2222-3333-4444-777777777777)] coclass Bad { [default] interface IBad; };\n"
    "};\n";

int runMidl(const std::string& idl, std::string* errors, const std::string& tlb = "") {
  std::string dir = testsupport::freshDir("midl");
  testsupport::writeFile(dir + "/in.idl", idl);
  std::string out = tlb.empty() ? dir + "/out.tlb" : tlb;
  return testsupport::run(
      std::string(MIDL_PATH) + " --tlb " + out + " --header " + dir + "/out_h.h " + dir + "/in.idl 2>&1", errors);
}
}  // namespace

TEST(Midl, RefusesWhatTheTypeLibraryCannotHold) {
  struct Case {
    const char* what;
    std::string idl;
    const char* message;
  } cases[] = {
      {"accepted", std::string(kIdlHead) + "[id(1)] HRESULT M([in] BSTR a, [out, retval] long* r);\n" + kIdlTail, ""},
      {"no HRESULT", std::string(kIdlHead) + "[id(1)] long M([in] BSTR a);\n" + kIdlTail, "members return HRESULT"},
      {"retval not last", std::string(kIdlHead) + "[id(1)] HRESULT M([out, retval] long* r, [in] BSTR a);\n" + kIdlTail,
       "must be the last"},
      {"propget without retval", std::string(kIdlHead) + "[propget, id(1)] HRESULT P([in] long a);\n" + kIdlTail,
       "needs an [out, retval]"},
      {"setter without value", std::string(kIdlHead) + "[propput, id(1)] HRESULT P();\n" + kIdlTail,
       "needs an [in] value"},
      {"unsupported type", std::string(kIdlHead) + "[id(1)] HRESULT M([in] SAFEARRAY a);\n" + kIdlTail,
       "type SAFEARRAY is not supported"},
      {"unknown attribute", std::string(kIdlHead) + "[id(1), vararg] HRESULT M();\n" + kIdlTail,
       "attribute 'vararg' is not supported"},
      {"repeated id", std::string(kIdlHead) + "[id(1)] HRESULT A();\n[id(1)] HRESULT B();\n" + kIdlTail,
       "repeats the id and kind"},
      {"out by value", std::string(kIdlHead) + "[id(1)] HRESULT M([out] long a);\n" + kIdlTail, "must be a pointer"},
      {"two pointer levels", std::string(kIdlHead) + "[id(1)] HRESULT M([out] BSTR** a);\n" + kIdlTail,
       "more than one level"},
      {"bad uuid", "[object, uuid(1111-2222), dual] interface IBad : IDispatch {\n" + std::string(kIdlTail),
       "is not a uuid"},
      {"not dual",
       "[object, uuid(11111111-2222-3333-4444-555555555555)] interface IBad : IDispatch {\n" + std::string(kIdlTail),
       "must be dual or oleautomation"},
      {"undefined interface",
       "[uuid(11111111-2222-3333-4444-666666666666), version(1.0)] library L { "
       "[uuid(11111111-2222-3333-4444-777777777777)] coclass C { interface IMissing; }; };",
       "referenced but not defined"},
      {"no library", std::string(kIdlHead) + "};\n", "no library block"},
      {"open comment", std::string(kIdlHead) + "/* never closed\n", "a comment has no end"},
  };
  for (const auto& c : cases) {
    std::string errors;
    int rc = runMidl(c.idl, &errors);
    if (c.message[0] == 0) {
      EXPECT_EQ(rc, 0) << c.what << ": " << errors;
    } else {
      EXPECT_EQ(rc, 1) << c.what;
      EXPECT_NE(errors.find(c.message), std::string::npos) << c.what << ": " << errors;
      EXPECT_NE(errors.find("in.idl:"), std::string::npos) << c.what << ": " << errors;
    }
  }
}

TEST(TypeLib, TheCompiledLibraryDescribesTheInterfaces) {
  ITypeLib* tl = loadTestLib();
  ASSERT_NE(tl, nullptr);
  TLIBATTR* la = nullptr;
  ASSERT_EQ(tl->GetLibAttr(&la), S_OK);
  EXPECT_TRUE(la->guid == LIBID_ComTestLib);
  EXPECT_EQ(la->wMajorVerNum, 1);
  EXPECT_EQ(la->wMinorVerNum, 0);
  EXPECT_EQ(la->syskind, SYS_WIN64);
  tl->ReleaseTLibAttr(la);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(tl->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(str(name), u"ComTestLib");
  EXPECT_EQ(str(doc), u"ComTest 1.0 Type Library");
  SysFreeString(name);
  SysFreeString(doc);
  EXPECT_EQ(tl->GetTypeInfoCount(), 4u);

  ITypeInfo* itf = infoOf(tl, IID_ITestCtrl);
  TYPEATTR* ta = nullptr;
  ASSERT_EQ(itf->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_DISPATCH);
  EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FNONEXTENSIBLE);
  EXPECT_EQ(ta->cFuncs, 19);
  itf->ReleaseTypeAttr(ta);

  // Concat(first, second, [out, retval] BSTR*)
  FUNCDESC* fd = nullptr;
  ASSERT_EQ(itf->GetFuncDesc(0, &fd), S_OK);
  EXPECT_EQ(fd->memid, 1);
  EXPECT_EQ(fd->invkind, INVOKE_FUNC);
  ASSERT_EQ(fd->cParams, 3);
  EXPECT_EQ(fd->lprgelemdescParam[0].tdesc.vt, VT_BSTR);
  EXPECT_EQ(fd->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
  EXPECT_EQ(fd->lprgelemdescParam[2].tdesc.vt, VT_PTR);
  EXPECT_EQ(fd->lprgelemdescParam[2].tdesc.lptdesc->vt, VT_BSTR);
  EXPECT_EQ(fd->lprgelemdescParam[2].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  EXPECT_EQ(fd->elemdescFunc.tdesc.vt, VT_HRESULT);
  itf->ReleaseFuncDesc(fd);

  BSTR names[4] = {};
  UINT count = 0;
  ASSERT_EQ(itf->GetNames(1, names, 4, &count), S_OK);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(str(names[0]), u"Concat");
  EXPECT_EQ(str(names[1]), u"first");
  EXPECT_EQ(str(names[3]), u"pVal");
  for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
  // A property setter's value has no name in the library.
  FUNCDESC* put = nullptr;
  ASSERT_EQ(itf->GetFuncDesc(3, &put), S_OK);
  EXPECT_EQ(put->invkind, INVOKE_PROPERTYPUT);
  itf->ReleaseFuncDesc(put);
  ASSERT_EQ(itf->GetNames(4, names, 4, &count), S_OK);  // Flag: a setter only
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(str(names[0]), u"Flag");
  SysFreeString(names[0]);

  // Names are found without regard to case; parameters by their position.
  LPOLESTR query[] = {const_cast<LPOLESTR>(u"cONCAT"), const_cast<LPOLESTR>(u"SECOND"), const_cast<LPOLESTR>(u"nope")};
  DISPID ids[3];
  EXPECT_EQ(itf->GetIDsOfNames(query, 2, ids), S_OK);
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(itf->GetIDsOfNames(query, 3, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"NoSuchMember")};
  EXPECT_EQ(itf->GetIDsOfNames(unknown, 1, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);

  BSTR help = nullptr;
  ASSERT_EQ(itf->GetDocumentation(17, nullptr, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(str(help), u"\u65b9\u6cd5 Wide");
  SysFreeString(help);

  // The coclass names its interface.
  ITypeInfo* cls = infoOf(tl, CLSID_TestCtrl);
  ASSERT_EQ(cls->GetTypeAttr(&ta), S_OK);
  EXPECT_EQ(ta->typekind, TKIND_COCLASS);
  EXPECT_EQ(ta->wTypeFlags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  EXPECT_EQ(ta->cImplTypes, 1);
  cls->ReleaseTypeAttr(ta);
  HREFTYPE ref = 0;
  INT implFlags = 0;
  ASSERT_EQ(cls->GetRefTypeOfImplType(0, &ref), S_OK);
  ASSERT_EQ(cls->GetImplTypeFlags(0, &implFlags), S_OK);
  EXPECT_EQ(implFlags, IMPLTYPEFLAG_FDEFAULT);
  ITypeInfo* viaRef = nullptr;
  ASSERT_EQ(cls->GetRefTypeInfo(ref, &viaRef), S_OK);
  ASSERT_EQ(viaRef->GetTypeAttr(&ta), S_OK);
  EXPECT_TRUE(ta->guid == IID_ITestCtrl);
  viaRef->ReleaseTypeAttr(ta);
  viaRef->Release();
  cls->Release();
  itf->Release();
  EXPECT_EQ(tl->GetTypeInfoOfGuid(IID_NULL, &itf), TYPE_E_ELEMENTNOTFOUND);
  tl->Release();
}

TEST(TypeLib, DispatchTablesAreCheckedAgainstTheLibrary) {
  ITypeLib* tl = loadTestLib();
  ASSERT_NE(tl, nullptr);
  ITypeInfo* ti = infoOf(tl, IID_ITestCtrl);
  using Table = PlatformDispatchTable<ITestCtrl>;
  char why[256];
  EXPECT_EQ(PlatformDispCheckTable(ti, Table::entries, Table::count, why, sizeof why), S_OK) << why;

  std::vector<PLATFORM_DISPENTRY> base(Table::entries, Table::entries + Table::count);
  struct Case {
    const char* what;
    std::vector<PLATFORM_DISPENTRY> table;
    const char* message;
  };
  std::vector<Case> cases;
  {
    auto t = base;
    t[0].name = "concat";
    cases.push_back({"a differently spelt name", t, "is Concat in the type library but concat"});
  }
  {
    auto t = base;
    t[1].paramTypes = t[0].paramTypes;  // Add given Concat's function (three BSTR kinds)
    cases.push_back({"parameters of the wrong kinds", t, "member Add parameter 1"});
  }
  {
    auto t = base;
    t[1].cParams = 2;
    cases.push_back({"a parameter too few", t, "member Add has 3 parameters"});
  }
  {
    auto t = base;
    t.pop_back();
    cases.push_back({"a member without entry", t, "member Wide (17) has no entry"});
  }
  {
    auto t = base;
    t.push_back(t[0]);
    t.back().dispid = 99;
    cases.push_back({"an entry without member", t, "names no member"});
  }
  {
    auto t = base;
    t.push_back(t[0]);
    cases.push_back({"an entry twice", t, "bound twice"});
  }
  {
    auto t = base;
    t[2].invkind = INVOKE_PROPERTYPUTREF;  // Count's getter bound as a setter by reference
    cases.push_back({"a wrong kind", t, "has no entry"});
  }
  for (const auto& c : cases) {
    EXPECT_EQ(PlatformDispCheckTable(ti, c.table.data(), static_cast<UINT>(c.table.size()), why, sizeof why),
              TYPE_E_TYPEMISMATCH)
        << c.what;
    EXPECT_NE(std::string(why).find(c.message), std::string::npos) << c.what << ": " << why;
  }
  ti->Release();
  tl->Release();
}

TEST(TypeLib, LoadingFromFilesModulesAndMemory) {
  ITypeLib* tl = nullptr;
  std::u16string module = wide(TEST_SERVER_PATH);
  ASSERT_EQ(LoadTypeLib(module.c_str(), &tl), S_OK);  // resource TYPELIB 1
  {
    TLIBATTR* la = nullptr;
    ASSERT_EQ(tl->GetLibAttr(&la), S_OK);
    EXPECT_TRUE(la->guid == LIBID_ComTestLib);
    tl->ReleaseTLibAttr(la);
    tl->Release();
  }
  ASSERT_EQ(LoadTypeLib((module + u"\\1").c_str(), &tl), S_OK);
  tl->Release();
  EXPECT_EQ(LoadTypeLib((module + u"/2").c_str(), &tl), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(tl, nullptr);
  EXPECT_EQ(LoadTypeLib(u"/no/such/library.tlb", &tl), TYPE_E_CANTLOADLIBRARY);
  std::string dir = testsupport::freshDir("tlb");
  testsupport::writeFile(dir + "/junk.tlb", "not a type library");
  EXPECT_EQ(LoadTypeLib(wide(dir + "/junk.tlb").c_str(), &tl), TYPE_E_UNSUPFORMAT);

  struct Case {
    const char* what;
    const char* text;
    HRESULT hr;
  } cases[] = {
      {"minimal", "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\n", S_OK},
      {"no header", "library {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\n", TYPE_E_UNSUPFORMAT},
      {"no library", "PLATFORM-TYPELIB 1\n", TYPE_E_UNSUPFORMAT},
      {"member before interface",
       "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\nfunc 1 1 M 0 \"\"\n",
       TYPE_E_UNSUPFORMAT},
      {"bad kind",
       "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\n"
       "interface {8B5B6620-FAE8-4CFF-B02D-FF77903B1DB1} I dispatch 64 IDispatch \"\"\nfunc 1 3 M 0 \"\"\n",
       TYPE_E_UNSUPFORMAT},
      {"parameter after retval",
       "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\n"
       "interface {8B5B6620-FAE8-4CFF-B02D-FF77903B1DB1} I dispatch 64 IDispatch \"\"\nfunc 1 1 M 0 \"\"\n"
       "param r 16387 10\nparam a 8 1\n",
       TYPE_E_UNSUPFORMAT},
      {"coclass of a missing interface",
       "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"\"\n"
       "coclass {0C2B72B9-059E-42E3-8858-E9F829880D0D} C 2 \"\"\nimpl IMissing 1\n",
       TYPE_E_UNSUPFORMAT},
      {"unclosed string", "PLATFORM-TYPELIB 1\nlibrary {9279B792-554E-4D89-9078-4E05780BC0F6} L 1 0 0 0 \"x\n",
       TYPE_E_UNSUPFORMAT},
  };
  for (const auto& c : cases) {
    ITypeLib* m = nullptr;
    EXPECT_EQ(PlatformLoadTypeLibFromMemory(c.text, std::strlen(c.text), &m), c.hr) << c.what;
    if (m != nullptr) m->Release();
  }
}

TEST(TypeLib, RegistrationWritesAndRemovesItsKeys) {
  std::string dir = testsupport::freshDir("tlbreg");
  std::string tlb = dir + "/lib.tlb";
  std::string errors;
  // Versions are registered in hexadecimal.
  std::string idl = std::string(kIdlHead) + "[id(1)] HRESULT M();\n};\n" +
                    "[uuid(11111111-2222-3333-4444-666666666666), version(10.2), helpstring(\"Bad 10.2\")]\n"
                    "library BadLib {\n"
                    "  [uuid(11111111-2222-3333-4444-777777777777)] coclass Bad { [default] interface IBad; };\n"
                    "};\n";
  ASSERT_EQ(runMidl(idl, &errors, tlb), 0) << errors;
  ITypeLib* tl = nullptr;
  ASSERT_EQ(LoadTypeLib(wide(tlb).c_str(), &tl), S_OK);
  const GUID libid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66}};
  const GUID iid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  std::u16string base = u"TypeLib\\" + guidText(libid) + u"\\a.2";
  std::u16string itf = u"Interface\\" + guidText(iid);
  // An interface of some other library, which must survive.
  HKEY other = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"Interface\\{00000000-1111-2222-3333-444444444444}\\TypeLib", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &other, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(other);

  ASSERT_EQ(RegisterTypeLib(tl, wide(tlb).c_str(), nullptr), S_OK);
  std::u16string v;
  ASSERT_TRUE(regValue(base, nullptr, &v));
  EXPECT_EQ(v, u"Bad 10.2");
  ASSERT_TRUE(regValue(base + u"\\0\\win64", nullptr, &v));
  EXPECT_EQ(narrow(v), tlb);
  ASSERT_TRUE(regValue(base + u"\\FLAGS", nullptr, &v));
  EXPECT_EQ(v, u"0");
  ASSERT_TRUE(regValue(base + u"\\HELPDIR", nullptr, &v));
  EXPECT_EQ(narrow(v), dir);
  ASSERT_TRUE(regValue(itf, nullptr, &v));
  EXPECT_EQ(v, u"IBad");
  ASSERT_TRUE(regValue(itf + u"\\ProxyStubClsid32", nullptr, &v));
  EXPECT_EQ(v, u"{00020424-0000-0000-C000-000000000046}");
  ASSERT_TRUE(regValue(itf + u"\\TypeLib", nullptr, &v));
  EXPECT_EQ(v, guidText(libid));
  ASSERT_TRUE(regValue(itf + u"\\TypeLib", u"Version", &v));
  EXPECT_EQ(v, u"a.2");

  // The registered library is found by identifier and version.
  ITypeLib* reg = nullptr;
  EXPECT_EQ(LoadRegTypeLib(libid, 10, 2, 0, &reg), S_OK);
  if (reg != nullptr) reg->Release();
  EXPECT_EQ(LoadRegTypeLib(libid, 10, 0, 0x409, &reg), S_OK);  // a later minor version, the neutral locale
  if (reg != nullptr) reg->Release();
  EXPECT_EQ(LoadRegTypeLib(libid, 10, 3, 0, &reg), TYPE_E_LIBNOTREGISTERED);
  EXPECT_EQ(LoadRegTypeLib(libid, 1, 0, 0, &reg), TYPE_E_LIBNOTREGISTERED);
  BSTR path = nullptr;
  ASSERT_EQ(QueryPathOfRegTypeLib(libid, 10, 2, 0, &path), S_OK);
  EXPECT_EQ(narrow(str(path)), tlb);
  SysFreeString(path);

  ASSERT_EQ(UnRegisterTypeLib(libid, 10, 2, 0, SYS_WIN64), S_OK);
  EXPECT_FALSE(regKey(u"TypeLib\\" + guidText(libid)));
  EXPECT_FALSE(regKey(itf));
  EXPECT_TRUE(regKey(u"Interface\\{00000000-1111-2222-3333-444444444444}"));
  EXPECT_EQ(UnRegisterTypeLib(libid, 10, 2, 0, SYS_WIN64), TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(LoadRegTypeLib(libid, 10, 2, 0, &reg), TYPE_E_LIBNOTREGISTERED);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, u"Interface\\{00000000-1111-2222-3333-444444444444}");
  tl->Release();
}
