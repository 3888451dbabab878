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

#include "SigTestSupport.h"
#include "StoreKeys.h"
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

}  // namespace

// A key file replaced by another key: the sign itself fails, before the page
// could tell its customer "signed", and the failed sign adds no signer.
TEST(EnvelopeCheck, KeyOfAnotherCertificateFailsTheSignOnTheCapiPath) {
  // A store whose only key is the one imported here.
  testsupport::FreshRoot root("otherkey");
  importSoftware("user");
  testsupport::replaceStoreKeyOf("user", fixtures::get("rsa3072").keyPem);
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
  importSoftware("user");
  testsupport::replaceStoreKeyOf("ku_sig", fixtures::get("rsa3072").keyPem);
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
  testsupport::writeDamagedKey("user", damaged);
  testsupport::replaceStoreKeyOf("user", damaged);
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
  testsupport::writeDamagedKey("user", damaged);
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
