#include "HaldrinSupport.h"

#include <filesystem>
#include <string>

#include "Fixtures.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "platform/locale.h"

namespace fs = std::filesystem;

namespace haldrintest {

std::string haldrinPath() { return fs::canonical(HALDRIN_PATH).string(); }

void HaldrinTest::SetUp() { enterControlTest(haldrinPath()); }

void HaldrinTest::TearDown() { leaveControlTest(haldrinPath()); }

std::string md5RsaByOpenssl(const std::string& fixture, const std::string& data) {
  std::string dir = testsupport::freshDir("md5sign");
  testsupport::writeFile(dir + "/data", data);
  std::string hex;
  testsupport::run("openssl dgst -md5 -sign " + quote(fixtures::get(fixture).keyPem) + " " + quote(dir + "/data") +
                       " | od -An -tx1 | tr -d ' \\n' | tr a-f A-F",
                   &hex);
  return hex;
}

bool md5RsaVerifies(const std::string& fixture, const std::string& data, const std::string& hexSignature) {
  std::string dir = testsupport::freshDir("md5verify");
  testsupport::writeFile(dir + "/data", data);
  std::string bytes;
  for (size_t i = 0; i + 1 < hexSignature.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hexSignature.substr(i, 2), nullptr, 16)));
  testsupport::writeFile(dir + "/sig.bin", bytes);
  if (testsupport::run("openssl x509 -in " + quote(fixtures::get(fixture).certPem) + " -pubkey -noout > " +
                       quote(dir + "/pub.pem")) != 0)
    return false;
  std::string out;
  return testsupport::run("openssl dgst -md5 -verify " + quote(dir + "/pub.pem") + " -signature " +
                              quote(dir + "/sig.bin") + " " + quote(dir + "/data") + " 2>&1",
                          &out) == 0;
}

}  // namespace haldrintest
