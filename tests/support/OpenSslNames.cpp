#include "OpenSslNames.h"

#include <sstream>
#include <utility>

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include "TestRoot.h"

namespace testsupport {
namespace {

// The API's key for an OpenSSL short name, or the dotted OID.
std::string cryptoKey(const std::string& sn) {
  static const std::pair<const char*, const char*> kMap[] = {
      {"C", "C"},
      {"ST", "S"},
      {"L", "L"},
      {"O", "O"},
      {"OU", "OU"},
      {"CN", "CN"},
      {"emailAddress", "E"},
      {"title", "T"},
      {"GN", "G"},
      {"SN", "SN"},
      {"street", "STREET"},
      {"DC", "DC"},
      {"serialNumber", "SERIALNUMBER"},
  };
  for (const auto& [o, c] : kMap)
    if (sn == o) return c;
  char buf[128];
  OBJ_obj2txt(buf, sizeof buf, OBJ_nid2obj(OBJ_sn2nid(sn.c_str())), 1);
  return buf;
}

std::string quoteIfNeeded(const std::string& v) {
  bool need =
      !v.empty() && (v.front() == ' ' || v.back() == ' ' || v.find_first_of(",;\"=+<>#\r\n") != std::string::npos);
  if (!need) return v;
  std::string out = "\"";
  for (char ch : v) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}

}  // namespace

std::string nameFromOpenSsl(const std::string& pem, const std::string& which, const std::string& sep,
                            const std::string& plus) {
  std::string out;
  int status = run("openssl x509 -noout -" + which + " -nameopt sep_multiline,utf8,sname -in " + quote(pem), &out);
  EXPECT_EQ(status, 0);
  std::istringstream lines(out);
  std::string line, result;
  bool first = true;
  while (std::getline(lines, line)) {
    if (line.rfind(which + "=", 0) == 0) continue;
    line = line.substr(line.find_first_not_of(' '));
    std::string rdn;
    std::size_t pos = 0;
    bool firstAttr = true;
    for (;;) {
      std::size_t next = line.find(" + ", pos);
      std::string attr = line.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
      std::size_t eq = attr.find('=');
      if (!firstAttr) rdn += plus;
      rdn += cryptoKey(attr.substr(0, eq)) + "=" + quoteIfNeeded(attr.substr(eq + 1));
      firstAttr = false;
      if (next == std::string::npos) break;
      pos = next + 3;
    }
    if (!first) result += sep;
    result += rdn;
    first = false;
  }
  return result;
}

}  // namespace testsupport
