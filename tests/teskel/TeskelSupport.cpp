#include "TeskelSupport.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <stdexcept>

#include "Fixtures.h"
#include "StoreSupport.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"
#include "platform/utf.h"

namespace fs = std::filesystem;

namespace teskeltest {

std::u16string wide(const std::string& s) { return platform::utf::toUtf16(s); }

std::string utf8(const std::u16string& s) { return platform::utf::toUtf8(s); }

using testsupport::quote;

std::string teskelPath() { return fs::canonical(TESKEL_PATH).string(); }

int regsvr(const std::string& args, std::string* out) {
  return testsupport::run(std::string(REGSVR_PATH) + " " + args + " 2>&1", out);
}

// ---------------------------------------------------------------- values
Value::Value() { VariantInit(&v); }
Value::Value(const Value& o) {
  VariantInit(&v);
  VariantCopy(&v, &o.v);
}
Value& Value::operator=(const Value& o) {
  if (this != &o) {
    VariantClear(&v);
    VariantCopy(&v, &o.v);
  }
  return *this;
}
Value::~Value() { VariantClear(&v); }

Value text(const std::u16string& s) {
  Value x;
  x.v.vt = VT_BSTR;
  x.v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return x;
}
Value text(const std::string& s) { return text(wide(s)); }
Value text(const char* s) { return text(wide(s)); }
Value nullText() {
  Value x;
  x.v.vt = VT_BSTR;
  x.v.bstrVal = nullptr;
  return x;
}
Value i4(LONG n) {
  Value x;
  x.v.vt = VT_I4;
  x.v.lVal = n;
  return x;
}
Value r8(double d) {
  Value x;
  x.v.vt = VT_R8;
  x.v.dblVal = d;
  return x;
}
Value boolean(bool b) {
  Value x;
  x.v.vt = VT_BOOL;
  x.v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return x;
}
Value empty() { return Value(); }
Value null() {
  Value x;
  x.v.vt = VT_NULL;
  return x;
}

Result::Result() { VariantInit(&value); }
Result::Result(const Result& o) : hr(o.hr), excep(o.excep) {
  VariantInit(&value);
  VariantCopy(&value, &o.value);
}
Result& Result::operator=(const Result& o) {
  if (this != &o) {
    hr = o.hr;
    excep = o.excep;
    VariantClear(&value);
    VariantCopy(&value, &o.value);
  }
  return *this;
}
Result::~Result() { VariantClear(&value); }
LONG Result::asLong() const {
  EXPECT_EQ(value.vt, VT_I4);
  return value.vt == VT_I4 ? value.lVal : -12345;
}
bool Result::isNullText() const { return value.vt == VT_BSTR && value.bstrVal == nullptr; }
std::u16string Result::asWide() const {
  EXPECT_EQ(value.vt, VT_BSTR);
  if (value.vt != VT_BSTR || value.bstrVal == nullptr) return u"<null>";
  return std::u16string(value.bstrVal, SysStringLen(value.bstrVal));
}
std::string Result::asText() const { return utf8(asWide()); }

// ---------------------------------------------------------------- controls
Control::Control(const std::u16string& url, Site site, const char16_t* progId) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK);
  HRESULT hr =
      CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&m_dispatch));
  EXPECT_EQ(hr, S_OK);
  if (m_dispatch == nullptr) throw std::runtime_error("the control was not created");
  if (site == Site::None) return;
  EXPECT_EQ(PlatformCreateClientSite(url.c_str(), site == Site::NoMoniker ? PLATFORM_SITE_NO_MONIKER : 0, &m_site),
            S_OK);
  IOleObject* ole = nullptr;
  EXPECT_EQ(m_dispatch->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  if (ole != nullptr) {
    EXPECT_EQ(ole->SetClientSite(m_site), S_OK);
    ole->Release();
  }
}

Control::~Control() {
  IOleObject* ole = nullptr;
  if (m_site != nullptr && m_dispatch->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)) == S_OK) {
    ole->SetClientSite(nullptr);
    ole->Release();
  }
  if (m_site != nullptr) m_site->Release();
  m_dispatch->Release();
}

namespace {
DISPID idOf(IDispatch* d, const char16_t* name) {
  LPOLESTR n = const_cast<LPOLESTR>(name);
  DISPID id = DISPID_UNKNOWN;
  EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &n, 1, 0, &id), S_OK) << utf8(name);
  return id;
}

Result invoke(IDispatch* d, const char16_t* name, WORD flags, std::vector<Value> args) {
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->v);
  DISPID put = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &put;
    params.cNamedArgs = 1;
  }
  Result r;
  UINT argErr = 0;
  r.hr = d->Invoke(idOf(d, name), IID_NULL, 0, flags, &params, &r.value, &r.excep, &argErr);
  return r;
}
}  // namespace

Result Control::call(const char16_t* name, std::vector<Value> args) {
  return invoke(m_dispatch, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, std::move(args));
}
Result Control::get(const char16_t* name) { return invoke(m_dispatch, name, DISPATCH_PROPERTYGET, {}); }
Result Control::put(const char16_t* name, Value value) {
  return invoke(m_dispatch, name, DISPATCH_PROPERTYPUT, {std::move(value)});
}
LONG Control::callLong(const char16_t* name, std::vector<Value> args) {
  Result r = call(name, std::move(args));
  EXPECT_EQ(r.hr, S_OK) << utf8(name);
  return r.asLong();
}
std::string Control::callText(const char16_t* name, std::vector<Value> args) {
  Result r = call(name, std::move(args));
  EXPECT_EQ(r.hr, S_OK) << utf8(name);
  return r.asText();
}
std::string Control::lastError() { return get(u"LastErrorStr").asText(); }
LONG Control::lastCode() { return get(u"LastErrorCode").asLong(); }

void enterControlTest(const std::string& path) {
  // The tests' 8-bit texts are UTF-8, whatever the machine's locale says.
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  setenv("LANG", "C.UTF-8", 1);
  PlatformResetLocale();
  std::string out;
  ASSERT_EQ(regsvr(quote(path), &out), 0) << out;
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
}

void leaveControlTest(const std::string& path) {
  CoUninitialize();
  regsvr("-u " + quote(path));
  SetThreadUILanguage(0);
}

void expectRegistrationRoundTrip(const testsupport::ControlRegistration& control, bool parentsMayBeThere) {
  testsupport::createClassesKey(u"AppID\\Other.DLL");
  testsupport::createClassesKey(u"CLSID\\{00000000-0000-0000-0000-0000000000AA}\\InprocServer32");
  const std::set<std::string> before = testsupport::classesTree();

  std::string out;
  ASSERT_EQ(regsvr(quote(control.path), &out), 0) << out;
  const std::set<std::string> after = testsupport::classesTree();
  const std::set<std::string> expected = testsupport::controlKeys(control);
  const std::set<std::string> added = testsupport::addedKeys(before, after);
  std::set<std::string> removed;
  for (const auto& k : before)
    if (!after.count(k)) removed.insert(k);
  EXPECT_TRUE(removed.empty());
  auto parent = [](const std::string& k) { return k == "TypeLib" || k == "Interface"; };
  for (const auto& k : expected)
    EXPECT_TRUE(added.count(k) || (parentsMayBeThere && parent(k) && before.count(k))) << "missing: " << k;
  for (const auto& k : added) EXPECT_TRUE(expected.count(k)) << "not expected: " << k;

  ASSERT_EQ(regsvr("-u " + quote(control.path), &out), 0) << out;
  const std::set<std::string> unregistered = testsupport::classesTree();
  for (const auto& k : before) EXPECT_TRUE(unregistered.count(k)) << "lost: " << k;
  for (const auto& k : unregistered) EXPECT_TRUE(before.count(k) || parent(k)) << "left behind: " << k;
}

void TeskelTest::SetUp() { enterControlTest(teskelPath()); }

void TeskelTest::TearDown() { leaveControlTest(teskelPath()); }

// ---------------------------------------------------------------- certificates
void importFixture(const std::string& fixture) { storetest::importFixtureWithTool(fixture); }
void clearMy() { storetest::clearMy(); }
std::string certificateText(const std::string& fixture) { return fixtures::get(fixture).base64(); }

std::string pemOf(const std::string& fixture) {
  std::string out;
  testsupport::run("openssl x509 -in " + quote(fixtures::get(fixture).certPem), &out);
  return out;
}

namespace {
Verified verify(const std::string& args, const std::string& dir) {
  Verified v;
  std::string content = dir + "/content.bin";
  std::string signer = dir + "/signer.pem";
  v.status = testsupport::run("openssl cms -verify " + args + " -CAfile " + quote(fixtures::get("ca").certPem) +
                                  " -out " + quote(content) + " -signer " + quote(signer) + " 2>&1",
                              &v.output);
  v.content = testsupport::readFile(content);
  std::string pem;
  if (v.status == 0) testsupport::run("openssl x509 -in " + quote(signer), &pem);
  v.signerPem = pem;
  return v;
}
}  // namespace

Verified verifyEnvelopeText(const std::string& base64) {
  std::string dir = testsupport::freshDir("verify");
  std::string body;
  for (char c : base64)
    if (c != '\r' && c != '\n') body.push_back(c);
  std::string pem = "-----BEGIN CMS-----\n";
  for (size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
  pem += "-----END CMS-----\n";
  testsupport::writeFile(dir + "/envelope.pem", pem);
  return verify("-inform PEM -in " + quote(dir + "/envelope.pem"), dir);
}

Verified verifyEnvelopeFile(const std::string& derPath) {
  std::string dir = testsupport::freshDir("verify");
  return verify("-inform DER -in " + quote(derPath), dir);
}

std::string failuresOf(const platform::user::ScriptedUser& user) {
  std::string out;
  for (const auto& f : user.failures()) out += f + "\n";
  return out;
}

void expectEverySigningMemberRefusesTheKey(Control& c, const std::string& cert, int confirmTemplate,
                                           const std::string& module,
                                           const std::function<void(platform::user::ScriptedUser&)>& tokenOutAndIn,
                                           bool keepsCode) {
  using platform::user::ScriptedUser;
  struct Case {
    const char16_t* member;
    std::function<void(ScriptedUser&)> user;
    std::vector<Value> args;
  } cases[] = {
      {u"sign", [](ScriptedUser&) {}, {text(cert), text("SHA1"), text("RSA")}},
      {u"signUI",
       [&](ScriptedUser& u) { u.expect(confirmTemplate, {platform::user::click(IDOK)}); },
       {text("pay 100 to 42"), text(cert), text("SHA1"), text("RSA")}},
      {u"signIO", tokenOutAndIn, {text(module), text(cert), text("SHA1"), text("RSA")}},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(utf8(t.member));
    ScriptedUser u;
    t.user(u);
    u.install();
    Result r = c.call(t.member, t.args);
    EXPECT_EQ(r.asLong(), 23) << c.lastError();
    if (keepsCode) {
      EXPECT_EQ(c.lastCode(), 23);
    }
    EXPECT_NE(c.lastError().find(
                  "CPKCS7SignatureClient::loginSmartCard -> error 0x80090015 during CryptAcquireCertificatePrivateKey"),
              std::string::npos)
        << c.lastError();
    EXPECT_TRUE(u.ok()) << failuresOf(u);
    u.uninstall();
    EXPECT_TRUE(c.call(u"getSignedEnvelopByString").isNullText());
    EXPECT_EQ(c.lastCode(), 4);
  }
}

void expectReadOnlyEnvelopeFileStays(Control& c, const std::string& ctrl, HRESULT failureHr) {
  const std::string dir = testsupport::platformRoot() + "/drives/c/readonly";
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/env.p7b";
  const std::string leftover = file + ".tmp.Lft0v1";
  testsupport::writeFile(file, "the old envelope");
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  testsupport::writeFile(leftover, "left over");
  Result r = c.call(u"getSignedEnvelopByFile", {text("C:\\readonly\\env.p7b")});
  EXPECT_EQ(r.hr, failureHr);
  EXPECT_EQ(r.asLong(), 20);
  EXPECT_EQ(c.lastCode(), 20);
  EXPECT_EQ(c.lastError(), ctrl +
                               "::getSignedEnvelopByFile -> CPKCS7SignatureClient::getSignedEnvelopeByFile -> error "
                               "during fopen C:\\readonly\\env.p7b");
  EXPECT_TRUE(testsupport::readFile(file) == "the old envelope") << "the file was written";
  EXPECT_EQ(testsupport::readFile(leftover), "left over");
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(c.callLong(u"getSignedEnvelopByFile", {text("C:\\readonly\\env.p7b")}), 0) << c.lastError();
  EXPECT_EQ(verifyEnvelopeFile(file).status, 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(leftover)));
}

}  // namespace teskeltest
