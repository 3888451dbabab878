// getIP_MAC over an injected adapter table: the adapter line, the cut at
// 1023 bytes, the codes and HRESULTs, a table that changes between the reads,
// and the refused page.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "PellmarSupport.h"
#include "platform/iphlpapi.h"

using namespace pellmartest;

namespace {

PlatformInterface adapter(DWORD index, std::vector<BYTE> mac, std::vector<std::string> addresses) {
  PlatformInterface i;
  i.index = index;
  i.name = "eth" + std::to_string(index);
  i.up = true;
  i.hardwareAddress = std::move(mac);
  for (auto& a : addresses) i.ipv4.emplace_back(a, "255.255.255.0");
  return i;
}

// Tables handed out read by read: read n (0-based) gets tables[pattern(n)],
// or fails with `error` when the pattern says -1.
struct Source {
  std::vector<PlatformInterfaceTable> tables;
  std::function<int(int)> pattern = [](int) { return 0; };
  DWORD error = ERROR_NOT_SUPPORTED;
  std::atomic<int> reads{0};
};

DWORD serve(void* context, PlatformInterfaceTable* table) {
  auto* s = static_cast<Source*>(context);
  int which = s->pattern(s->reads++);
  if (which < 0) return s->error;
  *table = s->tables[static_cast<size_t>(which)];
  return ERROR_SUCCESS;
}

class FetchMACTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_EQ(regsvr("'" + pellmarPath() + "'", &out), 0) << out;
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    PlatformSetInterfaceSource(serve, &source);
  }
  void TearDown() override {
    PlatformSetInterfaceSource(nullptr, nullptr);
    CoUninitialize();
    regsvr("-u '" + pellmarPath() + "'");
  }
  void use(std::vector<PlatformInterface> interfaces) { source.tables = {{std::move(interfaces), {"192.0.2.53"}}}; }

  Source source;
};

const std::vector<BYTE> kMacA = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
const std::vector<BYTE> kMacB = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};

}  // namespace

TEST_F(FetchMACTest, AdapterLines) {
  PlatformInterface lo = adapter(1, {0, 0, 0, 0, 0, 0}, {"127.0.0.1"});
  lo.loopback = true;
  PlatformInterface down = adapter(3, kMacB, {"203.0.113.9"});
  down.up = false;
  std::vector<PlatformInterface> forty;
  std::string fortyLine;
  for (DWORD n = 0; n < 40; ++n) {
    std::vector<BYTE> mac = {0x02, 0x00, 0x00, 0x00, static_cast<BYTE>(n), 0x01};
    std::string a = "10." + std::to_string(n) + ".0.1", b = "10." + std::to_string(n) + ".0.2";
    forty.push_back(adapter(n + 2, mac, {a, b}));
    char hex[32];
    std::snprintf(hex, sizeof hex, "02-00-00-00-%02X-01", n);
    fortyLine += std::string(n ? "_" : "") + hex + ":" + a + "," + b;
  }
  ASSERT_GT(fortyLine.size(), 1023u);

  struct Case {
    const char* what;
    std::vector<PlatformInterface> table;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"two adapters with two and one addresses",
       {adapter(2, kMacA, {"192.0.2.5", "192.0.2.6"}), adapter(4, kMacB, {"198.51.100.7"})},
       "00-1A-2B-3C-4D-5E:192.0.2.5,192.0.2.6_00-1A-2B-3C-4D-5F:198.51.100.7"},
      {"three addresses, one adapter, index order, loopback and down left out",
       {adapter(9, kMacB, {"198.51.100.1"}), lo, down, adapter(5, kMacA, {"192.0.2.1", "192.0.2.2", "192.0.2.3"})},
       "00-1A-2B-3C-4D-5E:192.0.2.1,192.0.2.2,192.0.2.3_00-1A-2B-3C-4D-5F:198.51.100.1"},
      {"no hardware address, no IPv4", {adapter(2, {}, {})}, ":0.0.0.0"},
      {"a hardware address of eight bytes and more",
       {adapter(2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, {"192.0.2.1"})},
       "01-02-03-04-05-06-07-08:192.0.2.1"},
      {"only loopback: no adapters", {lo}, ""},
      {"forty adapters: cut at 1023 bytes", forty, fortyLine.substr(0, 1023)},
  };
  Control control;
  for (const Case& c : cases) {
    use(c.table);
    Control::Answer a = control.getIP_MAC();
    EXPECT_EQ(a.hr, S_OK) << c.what;
    EXPECT_FALSE(a.isNull) << c.what;
    EXPECT_EQ(a.line, c.line) << c.what;
    EXPECT_EQ(a.code, 0) << c.what;
  }
}

TEST_F(FetchMACTest, TableChangingBetweenReadsRerunsOnceThenFails) {
  PlatformInterfaceTable one{{adapter(2, kMacA, {"192.0.2.5"})}, {}};
  PlatformInterfaceTable two{{adapter(2, kMacA, {"192.0.2.5"}), adapter(3, kMacB, {"198.51.100.7"})}, {}};
  const std::string twoLine = "00-1A-2B-3C-4D-5E:192.0.2.5_00-1A-2B-3C-4D-5F:198.51.100.7";
  source.tables = {one, two};

  struct Case {
    const char* what;
    std::function<int(int)> pattern;
    HRESULT hr;
    std::string line;
    LONG code;
  };
  const std::vector<Case> cases = {
      // An adapter comes after the first sizing: the rerun sees two throughout.
      {"an adapter comes", [](int n) { return n < 2 ? 0 : 1; }, S_OK, twoLine, 0},
      // One goes: the second read finds fewer adapters than were sized.
      {"an adapter goes", [](int n) { return n < 2 ? 1 : 0; }, S_OK, "00-1A-2B-3C-4D-5E:192.0.2.5", 0},
      // The second read fails once.
      {"the second read fails once", [](int n) { return n == 2 ? -1 : 1; }, S_OK, twoLine, 0},
      // Sizes and reads disagree on every pass: no line, 70.
      {"the table keeps changing", [](int n) { return n % 2; }, S_FALSE, "", 70},
      {"adapters come and go between the two reads, twice", [](int n) { return (n / 2) % 2; }, S_FALSE, "", 70},
      // A failure of the very first query is a failure, not an empty line.
      {"the table cannot be read", [](int) { return -1; }, S_FALSE, "", 70},
  };
  Control control;
  for (const Case& c : cases) {
    source.pattern = c.pattern;
    source.reads = 0;
    Control::Answer a = control.getIP_MAC();
    EXPECT_EQ(a.hr, c.hr) << c.what;
    EXPECT_FALSE(a.isNull) << c.what;
    EXPECT_EQ(a.line, c.line) << c.what;
    EXPECT_EQ(a.code, c.code) << c.what;
  }
}

TEST_F(FetchMACTest, RefusedPageOutValuesAndProperties) {
  use({adapter(2, kMacA, {"192.0.2.5"})});
  {
    Control refused(u"http://attacker.example/");
    BSTR out = reinterpret_cast<BSTR>(static_cast<uintptr_t>(1));  // whatever the caller left there
    LONG code = -1;
    EXPECT_EQ(refused.get()->get_LastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 0);  // before any call
    EXPECT_EQ(refused.get()->getIP_MAC(&out), S_FALSE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(refused.get()->get_LastErrorCode(&code), S_OK);
    EXPECT_EQ(code, 61);
    // Through script: no string.
    Control::Answer a = refused.getIP_MAC();
    EXPECT_EQ(a.hr, S_FALSE);
    EXPECT_TRUE(a.isNull);
    EXPECT_EQ(a.code, 61);
  }
  Control control;
  EXPECT_EQ(control.get()->getIP_MAC(nullptr), E_POINTER);
  EXPECT_EQ(control.get()->get_LastErrorCode(nullptr), E_POINTER);
  EXPECT_EQ(control.get()->get_VERSION(nullptr), E_POINTER);
  BSTR version = nullptr;
  ASSERT_EQ(control.get()->get_VERSION(&version), S_OK);
  EXPECT_EQ(utf8(std::u16string(version, SysStringLen(version))), "1.0.0.1");
  SysFreeString(version);
  // A line that cannot be handed back: 99, no string.
  BSTR out = nullptr;
  PlatformSysAllocFailAfter(0);
  HRESULT hr = control.get()->getIP_MAC(&out);
  PlatformSysAllocFailAfter(-1);
  EXPECT_EQ(hr, S_FALSE);
  EXPECT_EQ(out, nullptr);
  LONG code = -1;
  EXPECT_EQ(control.get()->get_LastErrorCode(&code), S_OK);
  EXPECT_EQ(code, 99);
  // A success after a failure clears the code.
  source.pattern = [](int) { return -1; };
  EXPECT_EQ(control.getIP_MAC().code, 70);
  source.pattern = [](int) { return 0; };
  EXPECT_EQ(control.getIP_MAC().code, 0);
}

// A page calling the control with what no page should send: every
// identifier, each way of calling, with up to three arguments of odd types.
// Each call answers with a result or a dispatch failure; the refused page
// never gets the line.
TEST_F(FetchMACTest, OddCallsGetResultsOrDispatchFailures) {
  use({adapter(2, kMacA, {"192.0.2.5"})});
  BSTR shared = SysAllocString(u"x");
  std::vector<VARIANT> values(6);
  for (auto& v : values) VariantInit(&v);
  values[0].vt = VT_BSTR;
  values[0].bstrVal = shared;
  values[1].vt = VT_I4;
  values[1].lVal = INT32_MIN;
  values[2].vt = VT_NULL;
  values[3].vt = VT_DISPATCH;
  values[3].pdispVal = nullptr;
  values[4].vt = VT_BSTR | VT_BYREF;
  values[4].pbstrVal = &shared;
  values[5].vt = VT_ERROR;
  values[5].scode = DISP_E_PARAMNOTFOUND;
  for (const char16_t* url : {u"http://localhost/", u"http://attacker.example/"}) {
    const bool allowed = url[7] == u'l';
    Control control(url);
    for (DISPID id : {-4, -1, 0, 1, 2, 3, 4, 0x7fffffff}) {
      for (WORD flags : {WORD(DISPATCH_METHOD), WORD(DISPATCH_PROPERTYGET), WORD(DISPATCH_PROPERTYPUT),
                         WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)}) {
        for (UINT count = 0; count <= 3; ++count) {
          for (size_t first = 0; first < values.size(); ++first) {
            std::vector<VARIANT> args;
            for (UINT i = 0; i < count; ++i) args.push_back(values[(first + i) % values.size()]);
            DISPID put = DISPID_PROPERTYPUT;
            DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, count, 0};
            if (flags == DISPATCH_PROPERTYPUT) {
              params.rgdispidNamedArgs = &put;
              params.cNamedArgs = 1;
            }
            VARIANT result;
            VariantInit(&result);
            UINT argErr = 0;
            HRESULT hr = control.dispatch()->Invoke(id, IID_NULL, 0, flags, &params, &result, nullptr, &argErr);
            SCOPED_TRACE(std::to_string(id) + " " + std::to_string(flags) + " " + std::to_string(count));
            if (hr == S_OK || hr == S_FALSE) {
              EXPECT_TRUE(id == 1 || id == 2 || id == 3) << id;
              if (id == 1 && !allowed) {
                EXPECT_EQ(hr, S_FALSE);
                EXPECT_TRUE(result.vt == VT_BSTR && result.bstrVal == nullptr);
              }
            } else {
              // A dispatch failure, or E_INVALIDARG for a put without its value.
              EXPECT_TRUE(static_cast<unsigned>(hr) >> 16 == 0x8002u || hr == E_INVALIDARG) << std::hex << hr;
            }
            VariantClear(&result);
          }
        }
      }
    }
  }
  SysFreeString(shared);
}
