// What the signature client must refuse rather than do: an envelope signed by
// a key that is not the certificate's, a data "file" that would block or is
// too big, and an envelope file that could not be written whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include "SigTestSupport.h"
#include "platform/kernel.h"
#include "signlib/PKCS7SignatureClient.h"
#include "signlib/SignatureCheck.h"
#include "signlib/ui/PKCS7SignatureClientUI.h"

using namespace sigtest;

namespace {

int envelope(CPKCS7SignatureClient& c, std::string* text) {
  int length = 0;
  int code = c.getSignedEnvelopeString(nullptr, &length);
  if (code != 0) return code;
  std::vector<char> buf(static_cast<size_t>(length) + 1);
  code = c.getSignedEnvelopeString(buf.data(), &length);
  text->assign(buf.data());
  return code;
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

class AnsweringClient : public CPKCS7SignatureClientUI {
 protected:
  INT_PTR runTokenLoginDialog(const char*, char* pin) override {
    std::strcpy(pin, kPin);
    return 1;  // IDOK
  }
};

// The one key file of the store's only software key, replaced by the key in
// `keyPem`.
void replaceStoreKey(const std::string& keyPem) {
  std::string keys = std::string(PlatformRoot()) + "/keys";
  int replaced = 0;
  for (const auto& e : std::filesystem::directory_iterator(keys)) {
    if (e.path().extension() != ".key") continue;
    std::string pem;
    ASSERT_EQ(testsupport::run("openssl pkcs8 -topk8 -nocrypt -in " + quote(keyPem), &pem), 0);
    testsupport::writeFile(e.path().string(), pem);
    ++replaced;
  }
  ASSERT_EQ(replaced, 1);
}

// A damaged copy of the fixture's key: its public half (modulus and
// exponent) is the certificate's, but its private exponents are off, so every
// signature it makes is wrong. Written as PEM to `path`.
void writeDamagedKey(const std::string& fixture, const std::string& path) {
  BIO* in = BIO_new_file(fixtures::get(fixture).keyPem.c_str(), "r");
  EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
  BIO_free(in);
  ASSERT_NE(key, nullptr);
  const char* names[] = {
      "n", "e", "d", "rsa-factor1", "rsa-factor2", "rsa-exponent1", "rsa-exponent2", "rsa-coefficient1"};
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  std::vector<BIGNUM*> values;
  for (const char* name : names) {
    BIGNUM* v = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key, name, &v), 1) << name;
    if (std::string(name) == "rsa-exponent1" || std::string(name) == "d") BN_add_word(v, 2);
    OSSL_PARAM_BLD_push_BN(bld, name, v);
    values.push_back(v);
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* bad = nullptr;
  ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_fromdata(ctx, &bad, EVP_PKEY_KEYPAIR, params), 1);
  BIO* out = BIO_new_file(path.c_str(), "w");
  ASSERT_EQ(PEM_write_bio_PrivateKey(out, bad, nullptr, nullptr, 0, nullptr, nullptr), 1);
  BIO_free(out);
  EVP_PKEY_free(bad);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* v : values) BN_free(v);
  EVP_PKEY_free(key);
}

}  // namespace

// A key file replaced by another key: the sign itself fails, before the page
// could tell its customer "signed", and the failed sign adds no signer.
TEST(EnvelopeCheck, KeyOfAnotherCertificateFailsTheSignOnTheCapiPath) {
  // A store whose only key is the one imported here.
  testsupport::FreshRoot root("otherkey");
  importSoftware("user");
  replaceStoreKey(fixtures::get("rsa3072").keyPem);
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("pay 100"), 0);
  EXPECT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 23);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::loginSmartCard -> error 0x80090015 during CryptAcquireCertificatePrivateKey");
  std::string text;
  EXPECT_EQ(envelope(client, &text), 4);  // no signer to sign with
  EXPECT_EQ(client.getResultText(), nullptr);
  EXPECT_EQ(client.getResultDER(), nullptr);
  std::string path = testsupport::freshDir("mismatch") + "/env.p7";
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 4);
  EXPECT_FALSE(exists(path));
}

// A good signer, then a signer whose key file was replaced: the second sign
// fails and the envelope holds the first signer alone, and verifies.
TEST(EnvelopeCheck, AFailedSignAddsNoSignerNextToEarlierOnes) {
  testsupport::FreshRoot root("twosigners");
  importSoftware("ku_sig");
  replaceStoreKey(fixtures::get("rsa3072").keyPem);  // ku_sig's, the only key yet
  importSoftware("user");
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("pay 100"), 0);
  ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  EXPECT_EQ(client.signData(b64("ku_sig").c_str(), "SHA1", "RSA"), 23);
  EXPECT_EQ(client.getSignerCount(), 1);
  std::string text;
  ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
  std::string der = derOf(text);
  EXPECT_TRUE(verifies(der, "pay 100"));
  EXPECT_EQ(count(printed(der), "signatureAlgorithm:"), 1u);
}

// A key file whose public half is the certificate's and private half is not
// passes the key comparison; the check before the envelope leaves refuses it.
TEST(EnvelopeCheck, DamagedKeyFileGivesNoEnvelopeOnTheCapiPath) {
  testsupport::FreshRoot root("damagedfile");
  importSoftware("user");
  std::string damaged = testsupport::freshDir("damagedfile") + "/damaged.pem";
  writeDamagedKey("user", damaged);
  replaceStoreKey(damaged);
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("pay 100"), 0);
  ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  std::string text;
  EXPECT_EQ(envelope(client, &text), 23);
  EXPECT_NE(std::string(client.getErrorText()).find("does not verify"), std::string::npos) << client.getErrorText();
  EXPECT_EQ(client.getResultText(), nullptr);
  EXPECT_EQ(client.getResultDER(), nullptr);
  std::string path = testsupport::freshDir("damagedfile") + "/env.p7";
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 23);
  EXPECT_FALSE(exists(path));
}

// A damaged token key: the certificate's modulus (so the token client finds
// it as the certificate's key) but its private exponents off. The sign
// fails, and the envelope of an earlier good sign is gone with it.
TEST(EnvelopeCheck, DamagedTokenKeyFailsTheSignOnTheTokenPath) {
  std::string dir = testsupport::freshDir("damaged");
  std::string damaged = dir + "/damaged.pem";
  writeDamagedKey("user", damaged);
  p11test::SoftHsm hsm("damaged");
  hsm.initToken("sig", kSoPin, kPin);
  hsm.addIdentity("sig", kPin, "rsa1024", "b1");
  hsm.addIdentity("sig", kPin, "user", "a1", /*certOnly=*/true);
  hsm.addKey("sig", kPin, damaged, "a1");
  p11test::installForwarder();
  AnsweringClient client;
  ASSERT_EQ(client.setPKCS11LibName(p11test::kForwarder), 0);
  ASSERT_EQ(client.setDataContentByString("pay 100"), 0);
  ASSERT_EQ(client.signData(b64("rsa1024").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  EXPECT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 23);
  EXPECT_STREQ(client.getErrorText(),
               "CPKCS7SignatureClient::signByPKCS11 -> the signature does not verify with the signer certificate");
  std::string text;
  EXPECT_EQ(envelope(client, &text), 3);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(client.getResultText(), nullptr);
  std::string path = dir + "/env.p7";
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 3);
  EXPECT_FALSE(exists(path));
}

TEST(EnvelopeCheck, TheSharedChecksAcceptGoodAndRefuseForeignSignatures) {
  const fixtures::Fixture& user = fixtures::get("user");
  std::string dir = testsupport::freshDir("shared");
  testsupport::writeFile(dir + "/data", "md5 value");
  for (const char* md : {"md5", "sha1"}) {
    SCOPED_TRACE(md);
    for (const char* keyOf : {"user", "rsa3072"}) {
      ASSERT_EQ(testsupport::run(std::string("openssl dgst -") + md + " -sign " + quote(fixtures::get(keyOf).keyPem) +
                                 " -out " + quote(dir + "/sig") + " " + quote(dir + "/data")),
                0);
      std::string sig = testsupport::readFile(dir + "/sig");
      std::vector<unsigned char> cert = user.der();
      std::string why;
      bool ok =
          sigcheck::signatureVerifies(cert.data(), cert.size(), md, reinterpret_cast<const unsigned char*>("md5 value"),
                                      9, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(), &why);
      EXPECT_EQ(ok, std::string(keyOf) == "user") << why;
    }
  }
  std::string garbage = "not a message";
  EXPECT_FALSE(
      sigcheck::signedDataVerifies(reinterpret_cast<const unsigned char*>(garbage.data()), garbage.size(), nullptr));
}

TEST(DataFile, FifoAndDevicesReturnAtOnceAndBigFilesAreRefusedUnread) {
  std::string dir = testsupport::freshDir("fifo");
  std::string fifo = dir + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir}) {
    SCOPED_TRACE(path);
    auto done = std::async(std::launch::async, [&] {
      CPKCS7SignatureClientUI client;
      return client.setDataContentByFile(path.c_str());
    });
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      // Unblock the reader so the test can end, then fail.
      int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      done.wait();
      FAIL() << "setDataContentByFile blocked";
    }
    EXPECT_EQ(done.get(), 3);
  }
  // A sparse file one byte over the limit: refused by its size, not read.
  std::string big = dir + "/big";
  {
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(CPKCS7SignatureClient::MAX_DATA_CONTENT + 1)), 0);
    close(fd);
  }
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString("old"), 0);
  EXPECT_EQ(client.setDataContentByFile(big.c_str()), 2);
  // A failed read leaves no data: signing has nothing to sign.
  std::string small = dir + "/small";
  testsupport::writeFile(small, "ok");
  EXPECT_EQ(client.setDataContentByFile(small.c_str()), 0);
}

// The write fails part-way (the file-size limit stands in for a full disk):
// no truncated envelope is left and the text names the real error.
TEST(EnvelopeFile, FailedWriteRemovesTheFileAndReportsTheError) {
  importSoftware("user");
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString(std::string(4000, 'd').c_str()), 0);
  ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  std::string path = testsupport::freshDir("full") + "/env.p7";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      512, 512
    };
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = client.writeSignedEnvelopeFile(path.c_str());
    std::string text = client.getErrorText();
    bool ok = code == 3 && !exists(path) && text.find("error 27 during fwrite") != std::string::npos;
    if (!ok) std::fprintf(stderr, "code %d, file %d, text %s\n", code, exists(path) ? 1 : 0, text.c_str());
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Unlimited, the same client writes the whole envelope.
  EXPECT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  EXPECT_TRUE(verifies(testsupport::readFile(path), std::string(4000, 'd')));
}
