#include "SigningPage.h"

#include <benchmark/benchmark.h>
#include <openssl/pkcs7.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ControlPage.h"
#include "Fixtures.h"
#include "Interleaved.h"

namespace bench {
namespace {

struct Page {
  std::string root;
  Identity identity;
  std::u16string certificateBase64;
  std::u16string data;
  std::string dataBytes;
  ControlPage control;
  DISPID setData = 0, sign = 0, envelope = 0;
};
Page gPage;

std::string lowered(const char* name) {
  std::string out = name;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool setUp(const SigningControl& control) {
  gPage.root = makeRoot(lowered(control.name) + "-bench");
  if (gPage.root.empty()) return false;
  std::string bin = programFolder();

  std::string p12 = gPage.root + "/bench.p12";
  if (!gPage.identity.make("Bench User", 0x5151) || !gPage.identity.writePkcs12(p12)) return false;
  gPage.certificateBase64 = widen(gPage.identity.certificateBase64());
  if (std::system(
          (quote(bin + "/certstore") + " import --store MY --pfx " + quote(p12) + " --password bench").c_str()) != 0)
    return false;

  // A transfer order of about a kilobyte, as pages sign them.
  for (int i = 0; gPage.dataBytes.size() < 1024; ++i)
    gPage.dataBytes += "transfer " + std::to_string(i) + ": NT$1,000 to 0123-456-789;";
  gPage.data = widen(gPage.dataBytes);

  return gPage.control.open(std::string(control.name) + ".so", control.progId) &&
         gPage.control.ids({{u"setDataContentByString", &gPage.setData},
                            {u"sign", &gPage.sign},
                            {u"getSignedEnvelopByString", &gPage.envelope}});
}

void tearDown() {
  gPage.control.close();
  removeRoot(gPage.root);
}

bool controlOnce(std::string* error) {
  VARIANT r;
  VariantInit(&r);
  if (gPage.control.invoke(gPage.setData, {bstr(gPage.data)}, &r) != S_OK || r.lVal != 0) {
    *error = "setDataContentByString failed";
    return false;
  }
  VariantClear(&r);
  if (gPage.control.invoke(gPage.sign, {bstr(gPage.certificateBase64), bstr(u"SHA1"), bstr(u"RSA")}, &r) != S_OK ||
      r.lVal != 0) {
    *error = "sign failed: " + std::to_string(r.lVal);
    return false;
  }
  VariantClear(&r);
  if (gPage.control.invoke(gPage.envelope, {}, &r) != S_OK || r.vt != VT_BSTR || r.bstrVal == nullptr) {
    *error = "getSignedEnvelopByString failed";
    return false;
  }
  benchmark::DoNotOptimize(SysStringLen(r.bstrVal));
  VariantClear(&r);
  return true;
}

bool opensslOnce() {
  // PKCS7_NOATTR: the reference would otherwise also build, digest and sign
  // signed attributes, work the control's envelope does not have.
  return pkcs7SignOnce(gPage.identity, gPage.dataBytes, PKCS7_PARTIAL | PKCS7_BINARY | PKCS7_NOATTR,
                       PKCS7_BINARY | PKCS7_NOATTR, PKCS7_BINARY | PKCS7_NOATTR);
}

}  // namespace

int runSigningPage(int argc, char** argv, const SigningControl& control) {
  if (!setUp(control)) {
    std::fprintf(stderr, "could not set up the signing page (certstore, regsvr and %s.so are needed)\n", control.name);
    tearDown();
    return 1;
  }
  const Side ours{lowered(control.name) + "_ms", controlOnce};
  const Side reference = plainSide("openssl_ms", opensslOnce, "PKCS7_sign failed");
  benchmark::RegisterBenchmark(("BM_" + std::string(control.name)).c_str(),
                               [ours](benchmark::State& state) { repeat(state, ours); })
      ->Unit(benchmark::kMillisecond)
      ->MinTime(1.0);
  benchmark::RegisterBenchmark("BM_OpenSSL", [reference](benchmark::State& state) { repeat(state, reference); })
      ->Unit(benchmark::kMillisecond)
      ->MinTime(1.0);
  benchmark::RegisterBenchmark("BM_Interleaved",
                               [ours, reference](benchmark::State& state) { interleave(state, ours, reference); })
      ->Unit(benchmark::kMillisecond)
      ->MinTime(2.0)
      ->Repetitions(3)
      ->ReportAggregatesOnly(true);

  const double goal = control.goal;
  runWithRatio(&argc, argv, [goal](double ratio) {
    std::printf("ratio: %.2f (control over PKCS7_sign, CPU time, median; goal: at most %g)\n", ratio, goal);
  });
  tearDown();
  return 0;
}

}  // namespace bench
