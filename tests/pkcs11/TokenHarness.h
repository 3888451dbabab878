// Tokens for the token-client tests: SoftHSM2 tokens made at test time, and the
// test modules (the fake token and the initialised-only forwarder) installed
// into the module search path of the test's platform root.
#pragma once

#include <string>
#include <vector>

namespace p11test {

constexpr const char* kSoftHsmLibrary = "/usr/lib/softhsm/libsofthsm2.so";
// File names the test modules are installed under ($PLATFORM_ROOT/modules).
constexpr const char* kForwarder = "softtoken.dll";
constexpr const char* kNoEntry = "notatoken.dll";

// Copies a built test module into $PLATFORM_ROOT/modules under the name (a
// copy, not a link, so each name is an image of its own). Returns the path.
std::string installModule(const std::string& builtPath, const std::string& name);
std::string fakeModulePath();       // the built fake token
std::string forwarderModulePath();  // the built initialised-only forwarder
std::string noEntryModulePath();    // the built library without C_GetFunctionList
void installForwarder();
void installNoEntry();

// A copy of the fake token module under one file name, with its settings
// folder emptied (one token, model "Fake Token", PIN "1234"). Making one
// also empties the shared call log, so "NAME#N" counts from there.
class FakeToken {
 public:
  explicit FakeToken(const std::string& moduleName);
  void set(const std::string& key, const std::string& value) const;
  void unset(const std::string& key) const;
  std::string get(const std::string& key) const;
  // Adds a fixture's certificate (cert<index>.der) and, unless certOnly, its
  // private key (key<index>.pem).
  void addIdentity(const std::string& fixture, int index, bool certOnly = false) const;
  // The calls this module recorded, in order ("C_Login user len=4", ...).
  std::vector<std::string> calls() const;
  // Only the call names.
  std::vector<std::string> callNames() const;
  const std::string& name() const { return m_name; }
  const std::string& dir() const { return m_dir; }

 private:
  std::string m_name;
  std::string m_dir;
};
// Empties the shared call log of all fake modules.
void clearCallLog();
// Every recorded call of every fake module, "<module> <call> ..." lines.
std::vector<std::string> allCalls();

// A SoftHSM2 instance of its own: a config and token folder under the test
// root, selected through SOFTHSM2_CONF for this process and the tools it runs.
class SoftHsm {
 public:
  explicit SoftHsm(const std::string& name);
  // Initialises a token in the free slot; returns its serial number as
  // pkcs11-tool -L prints it.
  std::string initToken(const std::string& label, const std::string& soPin, const std::string& pin) const;
  // Writes a fixture's private key and certificate onto the token (pkcs11-tool).
  void addIdentity(const std::string& label, const std::string& pin, const std::string& fixture, const std::string& id,
                   bool certOnly = false) const;
  // Writes only a private key, from a PEM file.
  void addKey(const std::string& label, const std::string& pin, const std::string& keyPem, const std::string& id) const;
  std::string serialOf(const std::string& label) const;
  // Runs pkcs11-tool against the SoftHSM library with the arguments; exit status.
  int tool(const std::string& args, std::string* out = nullptr) const;
  const std::string& dir() const { return m_dir; }

 private:
  std::string m_dir;
};

// A fixture's certificate as Base64 text, and its DER bytes.
std::string certificateBase64(const std::string& fixture);
// The Base64 text (CR LF lines) of a fixture bundle.
std::string bundleBase64(const std::string& bundle);

}  // namespace p11test
