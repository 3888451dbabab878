// What the certificate control's tests share: Teskel registered in the
// test's platform root with regsvr, controls created through the registry
// and placed on a page (a client site whose container moniker is the page
// address), calls through IDispatch::Invoke as a page's script makes them,
// and the relying party's check of an envelope with openssl cms -verify.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ClassesTree.h"
#include "platform/com.h"
#include "platform/user.h"
#include "teskel_h.h"

namespace teskeltest {

std::string teskelPath();  // the built deliverable, resolved
int regsvr(const std::string& args, std::string* out = nullptr);
// A control test's set-up: UTF-8 texts, the control at `path` registered and
// COM initialised; and its tear-down, the other way round.
void enterControlTest(const std::string& path);
void leaveControlTest(const std::string& path);
// Registers the control's library (control.path) beside another server's
// keys: exactly the control's keys are added and none removed; unregistered,
// what was there before is back, of its own keys at most the bare TypeLib and
// Interface parents left. parentsMayBeThere: those two parents may already
// be there before (left by an earlier test in the process).
void expectRegistrationRoundTrip(const testsupport::ControlRegistration& control, bool parentsMayBeThere);

// A script value for Invoke. Texts become BSTRs (nullText: a null BSTR).
struct Value {
  VARIANT v;
  Value();
  Value(const Value& o);
  Value& operator=(const Value& o);
  ~Value();
};
Value text(const std::u16string& s);
Value text(const std::string& utf8);
Value text(const char* utf8);
Value nullText();
Value i4(LONG n);
Value r8(double d);
Value boolean(bool b);
Value empty();
Value null();

struct Result {
  HRESULT hr = E_FAIL;
  VARIANT value;  // the [out, retval] value
  EXCEPINFO excep{};
  Result();
  Result(const Result& o);
  Result& operator=(const Result& o);
  ~Result();
  LONG asLong() const;            // VT_I4
  std::u16string asWide() const;  // VT_BSTR; "<null>" for a null BSTR
  std::string asText() const;     // UTF-8 of asWide (the ANSI code page is UTF-8 in the tests)
  bool isNullText() const;
};

// How the control is placed.
enum class Site { Page, NoMoniker, None };

// A control on a page: created by program identifier through the registry,
// with a client site for `url`.
class Control {
 public:
  explicit Control(const std::u16string& url = u"http://localhost/", Site site = Site::Page,
                   const char16_t* progId = u"Teskel.TeskelCtrl");
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  Result call(const char16_t* name, std::vector<Value> args = {});
  Result get(const char16_t* name);
  Result put(const char16_t* name, Value value);
  // Shorthands that expect S_OK.
  LONG callLong(const char16_t* name, std::vector<Value> args = {});
  std::string callText(const char16_t* name, std::vector<Value> args = {});
  std::string lastError();
  LONG lastCode();

  IDispatch* dispatch() const { return m_dispatch; }

 private:
  IDispatch* m_dispatch = nullptr;
  IOleClientSite* m_site = nullptr;
};

// Registers Teskel for the test and initialises COM on the thread.
class TeskelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// ---- certificates and envelopes ----
// Imports the fixture's PKCS#12 into MY with the certstore tool.
void importFixture(const std::string& fixture);
void clearMy();
// The fixture's certificate as one-line Base64.
std::string certificateText(const std::string& fixture);

struct Verified {
  int status = -1;        // openssl cms -verify exit status
  std::string output;     // its stdout and stderr
  std::string content;    // the signed content
  std::string signerPem;  // the signer certificate it reports
};
// Checks a Base64 envelope (CR LF lines allowed) against the fixture CA.
Verified verifyEnvelopeText(const std::string& base64);
Verified verifyEnvelopeFile(const std::string& derPath);
// The certificate PEM of a fixture, normalised (for comparing signers).
std::string pemOf(const std::string& fixture);

// ---- the user ----
std::string failuresOf(const platform::user::ScriptedUser& user);

// With the data set and a store key that is not the certificate's own: sign,
// signUI (the user confirming in template `confirmTemplate`) and signIO (after
// `tokenOutAndIn` played the token's removal and return through `module`) each
// fail with 23 and the key comparison's text, and leave no envelope (4).
// `keepsCode`: the sign members keep their code in LastErrorCode.
void expectEverySigningMemberRefusesTheKey(Control& c, const std::string& cert, int confirmTemplate,
                                           const std::string& module,
                                           const std::function<void(platform::user::ScriptedUser&)>& tokenOutAndIn,
                                           bool keepsCode);

// With an envelope signed on `c`: a page path (drive C:, folder "readonly")
// to a read-only envelope file (no write permission for its owner, refused
// even to root) gives the open failure 20, answered with `failureHr`, under
// the control's class name `ctrl`, and the file and a leftover of an earlier
// writer beside it stay as they were; made writable again, the file is
// replaced and the leftover goes.
void expectReadOnlyEnvelopeFileStays(Control& c, const std::string& ctrl, HRESULT failureHr);

// UTF-8 <-> UTF-16 for the test's own texts.
std::u16string wide(const std::string& utf8);
std::string utf8(const std::u16string& text);

}  // namespace teskeltest
