// The certstore tool, run as a user would, against a throwaway platform root.
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fixtures.h"
#include "TestRoot.h"
#include "TokenHarness.h"
#include "platform/kernel.h"

namespace fs = std::filesystem;

namespace {

std::string tool() {
  const char* build = std::getenv("BUILD_DIR");
  if (build != nullptr && *build != '\0') return std::string(build) + "/bin/certstore";
  return fs::read_symlink("/proc/self/exe").parent_path().string() + "/certstore";
}

std::string q(const std::string& s) { return "'" + s + "'"; }

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result certstore(const std::string& args, const std::string& env = "") {
  std::string errFile = testsupport::platformRoot() + "/certstore.err";
  Result r;
  r.status = testsupport::run(env + " " + tool() + " " + args + " 2>" + q(errFile), &r.out);
  r.err = testsupport::readFile(errFile);
  return r;
}

std::string sha1Of(const std::string& fixture) {
  std::string out;
  testsupport::run("openssl x509 -noout -fingerprint -sha1 -in " + q(fixtures::get(fixture).certPem), &out);
  std::string hex;
  for (char ch : out.substr(out.find('=') + 1))
    if (std::isxdigit(static_cast<unsigned char>(ch))) hex.push_back(static_cast<char>(std::toupper(ch)));
  return hex;
}

std::vector<std::string> files(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

std::string root() { return PlatformRoot(); }
std::string keysDir() { return root() + "/keys"; }

// The key container named in a store file.
std::string containerIn(const std::string& entryFile) {
  std::istringstream in(testsupport::readFile(entryFile));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("key.container=", 0) == 0) return line.substr(14);
  return "";
}

TEST(Certstore, ImportListDeleteRoundTrip) {
  testsupport::FreshRoot fresh("roundtrip");  // no store and no key there yet
  const std::string store = "ROUNDTRIP";
  ASSERT_FALSE(fs::exists(root() + "/stores/" + store));
  const std::string sha1 = sha1Of("user");

  Result r = certstore("import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --password test");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "imported " + sha1 + "\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n");

  // The store folder was made; one file per certificate, named by its SHA-1,
  // and no temporary file left behind.
  const std::string dir = root() + "/stores/" + store;
  EXPECT_EQ(files(dir), std::vector<std::string>{sha1 + ".cert"});
  const std::string container = containerIn(dir + "/" + sha1 + ".cert");
  ASSERT_FALSE(container.empty());
  struct stat st {};
  ASSERT_EQ(stat((keysDir() + "/" + container + ".key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  r = certstore("list --store " + store);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            sha1 + "\tMicrosoft Enhanced Cryptographic Provider v1.0\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n");

  r = certstore("delete --store " + store + " --sha1 " + sha1);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(files(dir).empty());
  EXPECT_FALSE(fs::exists(keysDir() + "/" + container + ".key"));  // the key goes with it
  r = certstore("list --store " + store);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");

  r = certstore("delete --store " + store + " --sha1 " + sha1);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("0x80092004"), std::string::npos) << r.err;
}

TEST(Certstore, ProviderNameAndReimport) {
  const std::string store = "PROVIDERS";
  const std::string dir = root() + "/stores/" + store;
  const std::string sha1 = sha1Of("ku_sig");
  const std::string pfx = q(fixtures::get("ku_sig").p12);
  ASSERT_EQ(certstore("import --store " + store + " --pfx " + pfx + " --password test").status, 0);
  const std::string entry = dir + "/" + sha1 + ".cert";
  struct stat first {};
  ASSERT_EQ(stat(entry.c_str(), &first), 0);
  std::string oldContainer = containerIn(entry);

  // Importing again replaces the entry whole (a new file renamed into place)
  // and the earlier key container goes away.
  Result r = certstore("import --store " + store + " --pfx " + pfx + " --password test --provider 'Some Token CSP'");
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat second {};
  ASSERT_EQ(stat(entry.c_str(), &second), 0);
  EXPECT_NE(first.st_ino, second.st_ino);
  EXPECT_EQ(files(dir), std::vector<std::string>{sha1 + ".cert"});
  EXPECT_FALSE(fs::exists(keysDir() + "/" + oldContainer + ".key"));
  EXPECT_TRUE(fs::exists(keysDir() + "/" + containerIn(entry) + ".key"));

  r = certstore("list --store " + store);
  EXPECT_EQ(r.out, sha1 + "\tSome Token CSP\tC=TW, O=Test Bank, OU=Retail, CN=KU Sig\n");
}

TEST(Certstore, FailuresLeaveNoKeysBehind) {
  const std::string store = "FAILURES";
  std::vector<std::string> keysBefore = files(keysDir());
  struct Case {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --password wrong", 1, "wrong password"},
      {"import --store " + store + " --pfx " + q(fixtures::get("user").certPem) + " --password test", 1,
       "cannot read the PKCS#12"},
      {"import --store " + store + " --pfx /nonexistent.p12", 1, "cannot read"},
      {"import --store " + store + " --token nosuchmodule.dll --pin 1234", 1, "cannot use the token module"},
      {"import --store " + store + " --token x.dll --pfx " + q(fixtures::get("user").p12), 2, "--token does not go"},
      {"import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --pin 1234", 2, "--pin goes with"},
      {"import --store " + store, 2, "--pfx"},
      {"list", 2, "--store"},
      {"list --store " + store + " --bogus x", 2, "unknown argument"},
      {"delete --store " + store + " --sha1 1234", 2, "40 hexadecimal"},
      {"frobnicate --store " + store, 2, "unknown command"},
      {"import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --provider ''", 2, "--provider"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.args);
    Result r = certstore(k.args);
    EXPECT_EQ(r.status, k.status);
    EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(files(keysDir()), keysBefore);
  EXPECT_TRUE(files(root() + "/stores/" + store).empty());
}

TEST(Certstore, ListIgnoresDebrisAndWritesTheAnsiCodePage) {
  const std::string store = "CHINESE";
  const std::string dir = root() + "/stores/" + store;
  ASSERT_EQ(
      certstore("import --store " + store + " --pfx " + q(fixtures::get("zh_tw").p12) + " --password test").status, 0);
  // A crashed writer's temporary file and a foreign file are not certificates of the store.
  testsupport::writeFile(dir + "/" + sha1Of("zh_tw") + ".cert.tmp.X1y2Z3", "certificate=MII");
  testsupport::writeFile(dir + "/notes.txt", "hello");
  Result r = certstore("list --store " + store, "LC_ALL= LC_CTYPE= LANG=zh_TW.BIG5");
  ASSERT_EQ(r.status, 0) << r.err;
  // C=TW, O=臺灣測試銀行, CN=王小明 in code page 950.
  EXPECT_EQ(r.out, sha1Of("zh_tw") +
                       "\tMicrosoft Enhanced Cryptographic Provider v1.0\tC=TW, "
                       "O=\xBB\x4F\xC6\x57\xB4\xFA\xB8\xD5\xBB\xC8\xA6\xE6, CN=\xA4\xFD\xA4\x70\xA9\xFA\n");
  r = certstore("list --store " + store, "LC_ALL= LC_CTYPE= LANG=C.UTF-8");
  EXPECT_NE(r.out.find("CN=\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E\n"), std::string::npos);
}

// The token's certificates go into the store bound to the token provider;
// the PIN serves the import only and is written nowhere.
TEST(Certstore, ImportFromAToken) {
  testsupport::FreshRoot fresh("token");  // no store there yet
  const std::string pin = "pin-8203";
  p11test::SoftHsm hsm("certstore");
  const std::string serial = hsm.initToken("bank", "87654321", pin);
  hsm.addIdentity("bank", pin, "user", "01");
  hsm.addIdentity("bank", pin, "ku_sig", "02", /*certOnly=*/true);
  p11test::installForwarder();
  const std::string store = "TOKEN";
  const std::string dir = root() + "/stores/" + store;
  const std::string sha1 = sha1Of("user");
  std::vector<std::string> keysBefore = files(keysDir());

  Result r = certstore("import --store " + store + " --token 'C:\\Program Files\\Bank\\" + p11test::kForwarder +
                       "' --pin " + pin);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "imported " + sha1 + "\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n");  // ku_sig has no key there
  EXPECT_EQ(files(dir), std::vector<std::string>{sha1 + ".cert"});
  std::string entry = testsupport::readFile(dir + "/" + sha1 + ".cert");
  for (const std::string& line :
       {std::string("key.storage=pkcs11"), "key.module=" + std::string(p11test::kForwarder),
        "key.token.serial=" + serial, std::string("key.token.label=bank"), std::string("key.id=01")})
    EXPECT_NE(entry.find(line + "\n"), std::string::npos) << line << "\n" << entry;
  EXPECT_EQ(files(keysDir()), keysBefore);  // nothing of the key leaves the token
  std::string found;
  testsupport::run("grep -rl " + q(pin) + " " + q(root() + "/stores") + " " + q(root() + "/keys") + " 2>/dev/null",
                   &found);
  EXPECT_EQ(found, "");

  r = certstore("list --store " + store);
  EXPECT_EQ(r.out, sha1 + "\tPlatform PKCS#11 Token Provider\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n");

  // Named as another provider; without a PIN every certificate with a key id comes in.
  r = certstore("import --store " + store + " --token " + p11test::kForwarder + " --provider 'Datakey RSA CSP'");
  ASSERT_EQ(r.status, 0) << r.err;
  r = certstore("list --store " + store);
  EXPECT_NE(r.out.find(sha1 + "\tDatakey RSA CSP\tC=TW, O=Test Bank, OU=Retail, CN=Test User\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(sha1Of("ku_sig") + "\tDatakey RSA CSP\t"), std::string::npos) << r.out;

  r = certstore("import --store " + store + " --token " + p11test::kForwarder + " --pin 0000");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("wrong PIN"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("0x8010006B"), std::string::npos) << r.err;

  // Deleting the entry leaves the key on the token.
  ASSERT_EQ(certstore("delete --store " + store + " --sha1 " + sha1).status, 0);
  std::string objects;
  hsm.tool("--token-label bank --login --pin " + pin + " --list-objects --type privkey", &objects);
  EXPECT_NE(objects.find("ID:         01"), std::string::npos) << objects;
}

}  // namespace

// An import killed mid-way leaves, depending on when: a key's temporary file
// (a whole private key), an entry's temporary file, or a key file whose
// certificate never reached the store. The next import removes them, once
// they are old enough not to belong to a writer still at work; a young one
// and the keys that certificates name stay.
TEST(Certstore, NextImportRemovesWhatAKilledOneLeft) {
  const std::string store = "KILLED";
  const std::string dir = root() + "/stores/" + store;
  ASSERT_EQ(
      certstore("import --store " + store + " --pfx " + q(fixtures::get("ku_sig").p12) + " --password test").status, 0);
  const std::string kept = containerIn(dir + "/" + sha1Of("ku_sig") + ".cert") + ".key";
  std::string pem = testsupport::readFile(fixtures::get("user").keyPem);
  const std::vector<std::string> leftovers = {
      keysDir() + "/{11111111-2222-3333-4444-555555555555}.key.tmp.Ab12Cd",
      keysDir() + "/{66666666-2222-3333-4444-555555555555}.key",
      dir + "/" + sha1Of("user") + ".cert.tmp.Zz98Yy",
  };
  for (const std::string& f : leftovers) {
    testsupport::writeFile(f, pem);
    ASSERT_EQ(testsupport::run("touch -d '-1 hour' " + q(f)), 0);
  }
  const std::string young = keysDir() + "/{77777777-2222-3333-4444-555555555555}.key";
  testsupport::writeFile(young, pem);

  // A new process writing to a store tidies up.
  Result r = certstore("import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --password test");
  ASSERT_EQ(r.status, 0) << r.err;
  for (const std::string& f : leftovers) EXPECT_FALSE(fs::exists(f)) << f;
  EXPECT_TRUE(fs::exists(young));
  EXPECT_TRUE(fs::exists(keysDir() + "/" + kept));
  const std::string userKey = containerIn(dir + "/" + sha1Of("user") + ".cert") + ".key";
  EXPECT_TRUE(fs::exists(keysDir() + "/" + userKey));
  // Every key file is the owner's alone.
  for (const std::string& name : files(keysDir())) {
    struct stat st {};
    ASSERT_EQ(stat((keysDir() + "/" + name).c_str(), &st), 0);
    if (name != fs::path(young).filename().string()) {
      EXPECT_EQ(st.st_mode & 0077, 0u) << name;
    }
  }
}

// When the key cannot be written, the message names that step, not the
// reading of the PKCS#12.
TEST(Certstore, KeyWriteFailureIsNamed) {
  fs::remove_all(keysDir());
  testsupport::writeFile(keysDir(), "not a folder");
  Result r = certstore("import --store KEYLESS --pfx " + q(fixtures::get("user").p12) + " --password test");
  fs::remove(keysDir());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write the private key of"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("cannot read the PKCS#12"), std::string::npos) << r.err;
}

// A damaged line in an entry (found by fuzzing: a key parameter that is not
// hexadecimal) is passed over; the store still opens and lists the entry.
TEST(Certstore, DamagedKeyParameterLineIsPassedOver) {
  const std::string store = "DAMAGED";
  ASSERT_EQ(certstore("import --store " + store + " --pfx " + q(fixtures::get("user").p12) + " --password test").status,
            0);
  const std::string entry = root() + "/stores/" + store + "/" + sha1Of("user") + ".cert";
  testsupport::writeFile(entry, testsupport::readFile(entry) + "key.param=1,0,zz\nkey.param=2,0,abc\n");
  Result r = certstore("list --store " + store);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(sha1Of("user")), std::string::npos);
}
