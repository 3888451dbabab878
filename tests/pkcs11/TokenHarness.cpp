#include "TokenHarness.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "Fixtures.h"
#include "TestRoot.h"
#include "platform/kernel.h"

namespace fs = std::filesystem;

namespace p11test {
namespace {
using testsupport::quote;

void mustRun(const std::string& command, std::string* out = nullptr) {
  std::string text;
  int status = testsupport::run(command + " 2>&1", &text);
  if (out != nullptr) *out = text;
  if (status != 0)
    throw std::runtime_error("command failed (" + std::to_string(status) + "): " + command + "\n" + text);
}

std::string fakeRoot() { return std::string(PlatformRoot()) + "/fakep11"; }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}
}  // namespace

std::string fakeModulePath() { return TEST_FAKE_MODULE; }
std::string forwarderModulePath() { return TEST_FORWARDER_MODULE; }
std::string noEntryModulePath() { return TEST_NOENTRY_MODULE; }

std::string installModule(const std::string& builtPath, const std::string& name) {
  fs::path dir = fs::path(PlatformRoot()) / "modules";
  fs::create_directories(dir);
  fs::path target = dir / name;
  // A loaded image must never be rewritten in place: install an unchanged
  // module once, and replace a changed one by renaming a new file over it.
  if (fs::exists(target) && testsupport::readFile(target.string()) == testsupport::readFile(builtPath)) {
    return target.string();
  }
  fs::path temp = dir / ("." + name + ".new");
  fs::copy_file(builtPath, temp, fs::copy_options::overwrite_existing);
  fs::rename(temp, target);
  return target.string();
}

void installForwarder() { installModule(forwarderModulePath(), kForwarder); }
void installNoEntry() { installModule(noEntryModulePath(), kNoEntry); }

FakeToken::FakeToken(const std::string& moduleName) : m_name(moduleName) {
  installModule(fakeModulePath(), moduleName);
  m_dir = fakeRoot() + "/" + moduleName;
  std::error_code ec;
  fs::remove_all(m_dir, ec);
  fs::create_directories(m_dir);
  clearCallLog();
}

void FakeToken::set(const std::string& key, const std::string& value) const {
  testsupport::writeFile(m_dir + "/" + key, value);
}

void FakeToken::unset(const std::string& key) const {
  std::error_code ec;
  fs::remove(m_dir + "/" + key, ec);
}

std::string FakeToken::get(const std::string& key) const { return testsupport::readFile(m_dir + "/" + key); }

void FakeToken::addIdentity(const std::string& fixture, int index, bool certOnly) const {
  const fixtures::Fixture& f = fixtures::get(fixture);
  std::vector<unsigned char> der = f.der();
  set("cert" + std::to_string(index) + ".der", std::string(der.begin(), der.end()));
  if (!certOnly) set("key" + std::to_string(index) + ".pem", testsupport::readFile(f.keyPem));
}

std::vector<std::string> FakeToken::calls() const {
  std::vector<std::string> out;
  std::string prefix = m_name + " ";
  for (const std::string& line : allCalls()) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

std::vector<std::string> FakeToken::callNames() const {
  std::vector<std::string> out;
  for (const std::string& c : calls()) out.push_back(c.substr(0, c.find(' ')));
  return out;
}

void clearCallLog() {
  std::error_code ec;
  fs::remove(fakeRoot() + "/calls.log", ec);
}

std::vector<std::string> allCalls() { return lines(testsupport::readFile(fakeRoot() + "/calls.log")); }

SoftHsm::SoftHsm(const std::string& name) {
  m_dir = testsupport::freshDir("softhsm-" + name);
  fs::create_directories(m_dir + "/tokens");
  std::string conf = m_dir + "/softhsm2.conf";
  testsupport::writeFile(conf, "directories.tokendir = " + m_dir +
                                   "/tokens\n"
                                   "objectstore.backend = file\n"
                                   "log.level = ERROR\n"
                                   "slots.removable = false\n");
  setenv("SOFTHSM2_CONF", conf.c_str(), 1);
}

std::string SoftHsm::initToken(const std::string& label, const std::string& soPin, const std::string& pin) const {
  mustRun("softhsm2-util --init-token --free --label " + quote(label) + " --so-pin " + quote(soPin) + " --pin " +
          quote(pin));
  return serialOf(label);
}

void SoftHsm::addIdentity(const std::string& label, const std::string& pin, const std::string& fixture,
                          const std::string& id, bool certOnly) const {
  const fixtures::Fixture& f = fixtures::get(fixture);
  std::string base = "pkcs11-tool --module " + std::string(kSoftHsmLibrary) + " --token-label " + quote(label) +
                     " --login --pin " + quote(pin);
  if (!certOnly) {
    mustRun(base + " --write-object " + quote(f.keyPem) + " --type privkey --id " + id + " --label " + quote(fixture));
  }
  mustRun(base + " --write-object " + quote(f.certDer) + " --type cert --id " + id + " --label " + quote(fixture));
}

void SoftHsm::addKey(const std::string& label, const std::string& pin, const std::string& keyPem,
                     const std::string& id) const {
  mustRun("pkcs11-tool --module " + std::string(kSoftHsmLibrary) + " --token-label " + quote(label) +
          " --login --pin " + quote(pin) + " --write-object " + quote(keyPem) + " --type privkey --id " + id);
}

std::string SoftHsm::serialOf(const std::string& label) const {
  std::string out;
  mustRun("pkcs11-tool --module " + std::string(kSoftHsmLibrary) + " -L", &out);
  bool inToken = false;
  for (const std::string& line : lines(out)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    while (!key.empty() && key.back() == ' ') key.pop_back();
    while (!key.empty() && key.front() == ' ') key.erase(0, 1);
    if (key == "token label") inToken = value == label;
    if (inToken && key == "serial num") return value;
  }
  throw std::runtime_error("no token labelled " + label + " in:\n" + out);
}

int SoftHsm::tool(const std::string& args, std::string* out) const {
  return testsupport::run("pkcs11-tool --module " + std::string(kSoftHsmLibrary) + " " + args + " 2>&1", out);
}

std::string certificateBase64(const std::string& fixture) { return fixtures::get(fixture).base64(); }

std::string bundleBase64(const std::string& bundle) { return testsupport::readFile(fixtures::bundle(bundle)); }

}  // namespace p11test
