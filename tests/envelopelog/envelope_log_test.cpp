// The envelope getter writes the envelope into the log as a block of text
// when the log takes information lines. A block that cannot be allocated is
// a line the log goes without (an error line says so), never a failure of
// the getter: the page still gets the envelope.
//
// This binary is linked with calloc wrapped: the test names the size of the
// one calloc to refuse; every other allocation goes through as usual.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "Fixtures.h"
#include "TestRoot.h"
#include "haldrin_h.h"
#include "platform/com.h"
#include "platform/kernel.h"
#include "platform/locale.h"

PLATFORM_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

extern "C" void* __real_calloc(std::size_t count, std::size_t size);

namespace {
std::atomic<std::size_t> gRefuseSize{0};  // 0: refuse nothing
std::atomic<int> gRefused{0};
}  // namespace

// Seen by the linker from the shared libraries too (it checks their calloc
// references against the wrapper), so not hidden.
extern "C" __attribute__((visibility("default"))) void* __wrap_calloc(std::size_t count, std::size_t size) {
  std::size_t refuse = gRefuseSize.load();
  if (refuse != 0 && count * size == refuse && gRefuseSize.compare_exchange_strong(refuse, 0)) {
    ++gRefused;
    return nullptr;
  }
  return __real_calloc(count, size);
}

namespace {

std::u16string wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct Bstr {
  BSTR b;
  explicit Bstr(const std::string& ascii) : b(SysAllocString(wide(ascii).c_str())) {}
  ~Bstr() { SysFreeString(b); }
};

std::u16string take(BSTR b) {
  std::u16string out = b != nullptr ? std::u16string(b, SysStringLen(b)) : u"";
  SysFreeString(b);
  return out;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(EnvelopeLog, ABlockThatCannotBeAllocatedIsLeftOutAndTheEnvelopeHandedOut) {
  testsupport::FreshRoot root("envelopelog");
  unsetenv("LC_ALL");
  setenv("LANG", "C.UTF-8", 1);
  PlatformResetLocale();
  const char* build = std::getenv("BUILD_DIR");
  ASSERT_EQ(testsupport::run(std::string(build) + "/bin/certstore import --store MY --pfx " +
                             testsupport::quote(fixtures::get("user").p12) + " --password " + fixtures::kP12Password),
            0);
  const std::string logs = root.path() + "/drives/c/logs";
  ASSERT_EQ(testsupport::run("mkdir -p " + testsupport::quote(logs)), 0);

  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(DllGetClassObject(CLSID_HaldrinCtrl, IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  IHaldrinCtrl* ctl = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_IHaldrinCtrl, reinterpret_cast<void**>(&ctl)), S_OK);
  cf->Release();
  IOleClientSite* site = nullptr;
  ASSERT_EQ(PlatformCreateClientSite(u"http://localhost/", 0, &site), S_OK);
  IOleObject* ole = nullptr;
  ASSERT_EQ(ctl->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)), S_OK);
  ASSERT_EQ(ole->SetClientSite(site), S_OK);

  LONG code = -1;
  ASSERT_EQ(ctl->setLogFile(Bstr("C:\\logs").b, Bstr("envelope").b, &code), S_OK);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(ctl->setDataContentByString(Bstr("pay 100 to 42").b, &code), S_OK);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(ctl->sign(Bstr(fixtures::get("user").base64()).b, Bstr("SHA1").b, Bstr("RSA").b, &code), S_OK);
  ASSERT_EQ(code, 0) << "sign";

  BSTR out = nullptr;
  ASSERT_EQ(ctl->getSignedEnvelopByString(&out), S_OK);
  const std::u16string envelope = take(out);
  ASSERT_FALSE(envelope.empty());
  // The block holds the envelope's text and the line around it.
  const std::size_t blockSize = envelope.size() + 128;

  gRefused = 0;
  gRefuseSize = blockSize;
  out = nullptr;
  HRESULT hr = ctl->getSignedEnvelopByString(&out);
  gRefuseSize = 0;
  EXPECT_EQ(gRefused.load(), 1);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(take(out), envelope);
  ASSERT_EQ(ctl->get_LastErrorCode(&code), S_OK);
  EXPECT_EQ(code, 0);

  std::string all;
  testsupport::run("cat " + testsupport::quote(logs) + "/*", &all);
  EXPECT_EQ(count(all, "getSignedEnvelopByString success! String:{"), 1u) << all;
  EXPECT_EQ(count(all, "CHaldrinCtrl::getSignedEnvelopByString -> error during malloc log message string(" +
                           std::to_string(blockSize) + ")!"),
            1u)
      << all;
  EXPECT_EQ(count(all, "getSignedEnvelopByString success! Envelop string: len["), 2u) << all;

  ole->SetClientSite(nullptr);
  ole->Release();
  site->Release();
  ctl->Release();
  CoUninitialize();
}
