// What the signature client must refuse rather than do: an envelope signed by
// a key that is not the certificate's, a data "file" that would block or is
// too big, and an envelope file that could not be written whole.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

namespace {
struct Temporary {
  std::string name;
  mode_t mode;
};
// What lies beside `target` under its temporaries' names.
std::vector<Temporary> temporariesOf(const std::string& target) {
  std::filesystem::path t(target);
  const std::string prefix = t.filename().string() + ".tmp.";
  std::vector<Temporary> out;
  for (const auto& e : std::filesystem::directory_iterator(t.parent_path())) {
    std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) != 0) continue;
    struct stat st {};
    if (lstat(e.path().c_str(), &st) == 0) out.push_back({name, st.st_mode});
  }
  return out;
}

// A writer of `path` killed by the file-size limit partway through its
// temporary, which it leaves behind.
void killedByTheFileSizeLimit(CPKCS7SignatureClientUI& client, const std::string& path) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit {};
    limit.rlim_cur = limit.rlim_max = 4096;
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_DFL);
    client.writeSignedEnvelopeFile(path.c_str());
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
}

}  // namespace

// Writers of one envelope file killed with SIGKILL while they write, several
// times into one folder: every temporary any of them left is the user's
// alone at every moment (the target is readable by others), the target is
// always whole, and the next write removes the leftovers. What is not a
// leftover stays: a live writer's temporary, one of another user, a FIFO and
// a link that happen to bear such a name.
TEST(EnvelopeFile, KilledWritersLeaveOwnerOnlyTemporariesThatTheNextWriteRemoves) {
  importSoftware("user");
  const std::string data(2 << 20, 'd');
  CPKCS7SignatureClientUI client;
  ASSERT_EQ(client.setDataContentByString(data.c_str()), 0);
  ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  const std::string dir = testsupport::freshDir("killed");
  const std::string path = dir + "/env.p7";
  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const std::string whole = testsupport::readFile(path);

  int leftovers = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < 100000; ++i) client.writeSignedEnvelopeFile(path.c_str());
      _exit(0);
    }
    usleep(static_cast<useconds_t>(3000 + round * 1700));
    // Frozen wherever it was, then looked at, then killed there.
    kill(child, SIGSTOP);
    waitpid(child, nullptr, WUNTRACED);
    for (const Temporary& t : temporariesOf(path)) {
      EXPECT_TRUE(S_ISREG(t.mode)) << t.name;
      EXPECT_EQ(t.mode & 077, 0u) << t.name << " is readable by others";
    }
    EXPECT_EQ(testsupport::readFile(path), whole);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    leftovers += static_cast<int>(temporariesOf(path).size());
  }
  // Killed by the file-size limit partway through its temporary, so that at
  // least one leftover is there whatever the timing above did.
  ASSERT_NO_FATAL_FAILURE(killedByTheFileSizeLimit(client, path));
  ASSERT_GE(temporariesOf(path).size(), 1u);
  for (const Temporary& t : temporariesOf(path)) EXPECT_EQ(t.mode & 077, 0u) << t.name;
  EXPECT_EQ(testsupport::readFile(path), whole);

  // Names that are no leftover of a dead writer.
  const std::string live = path + ".tmp.live01";
  int liveFd = open(live.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
  ASSERT_GE(liveFd, 0);
  ASSERT_EQ(flock(liveFd, LOCK_EX), 0);
  ASSERT_EQ(mkfifo((path + ".tmp.fifo01").c_str(), 0600), 0);
  testsupport::writeFile(dir + "/elsewhere", "not an envelope");
  ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), (path + ".tmp.link01").c_str()), 0);
  const bool root = geteuid() == 0;
  if (root) {
    testsupport::writeFile(path + ".tmp.other1", "another user's");
    ASSERT_EQ(chown((path + ".tmp.other1").c_str(), 4242, 4242), 0);
  }

  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  EXPECT_TRUE(verifies(testsupport::readFile(path), data));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  std::vector<std::string> left;
  for (const Temporary& t : temporariesOf(path)) left.push_back(t.name);
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = {"env.p7.tmp.fifo01", "env.p7.tmp.link01", "env.p7.tmp.live01"};
  if (root) expected.push_back("env.p7.tmp.other1");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected) << leftovers << " temporaries were left by the killed writers";
  EXPECT_EQ(testsupport::readFile(dir + "/elsewhere"), "not an envelope");

  // The writer gone, its temporary is a leftover like the others.
  close(liveFd);
  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  EXPECT_FALSE(std::filesystem::exists(live));
}

namespace {
// A client holding a checked envelope of `data`, so that a write needs
// nothing of the store any more (a child that dropped its rights can write).
void signAndBuild(CPKCS7SignatureClientUI& client, const std::string& data) {
  importSoftware("user");
  ASSERT_EQ(client.setDataContentByString(data.c_str()), 0);
  ASSERT_EQ(client.signData(b64("user").c_str(), "SHA1", "RSA"), 0) << client.getErrorText();
  std::string text;
  ASSERT_EQ(envelope(client, &text), 0) << client.getErrorText();
}

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

constexpr uid_t kNobody = 65534;

// A folder outside the test root (which is its owner's alone), that any user
// may pass through.
struct PassableFolder {
  std::string path;
  PassableFolder() {
    path = (std::filesystem::temp_directory_path() / "envfile-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr || chmod(path.c_str(), 0711) != 0) path.clear();
  }
  ~PassableFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

struct Written {
  int code = -1;
  std::string text;
  bool hung = false;
};

// writeSignedEnvelopeFile in a child, as an unprivileged user when
// `unprivileged`; a child that has not answered in 10 s is stopped.
Written writeInChild(CPKCS7SignatureClient& client, const std::string& path, bool unprivileged) {
  Written w;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return w;
  pid_t child = fork();
  if (child == 0) {
    close(pipeFds[0]);
    if (unprivileged && (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
                         setresuid(kNobody, kNobody, kNobody) != 0))
      _exit(2);
    alarm(10);
    const std::string answer =
        std::to_string(client.writeSignedEnvelopeFile(path.c_str())) + "\n" + client.getErrorText();
    ssize_t n = write(pipeFds[1], answer.data(), answer.size());
    _exit(n == static_cast<ssize_t>(answer.size()) ? 0 : 1);
  }
  close(pipeFds[1]);
  std::string answer;
  char buf[1024];
  for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return w;
  w.hung = WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM;
  const std::string::size_type newline = answer.find('\n');
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && newline != std::string::npos) {
    w.code = std::stoi(answer.substr(0, newline));
    w.text = answer.substr(newline + 1);
  }
  return w;
}
}  // namespace

// The next write removes leftovers of the writer's own form alone: the target's
// name, ".tmp." and six letters or digits, as mkostemp makes them (a file of
// that form is taken for a leftover). The user's own files that merely start
// like one stay, whole.
TEST(EnvelopeFile, TheNextWriteRemovesOnlyNamesOfTheWritersOwnForm) {
  const std::string data(20000, 'd');
  CPKCS7SignatureClientUI client;
  signAndBuild(client, data);
  const std::string dir = testsupport::freshDir("ownform");
  const std::string path = dir + "/env.p7";
  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  // A real leftover: a writer killed by the file-size limit partway through.
  ASSERT_NO_FATAL_FAILURE(killedByTheFileSizeLimit(client, path));
  const std::vector<Temporary> killed = temporariesOf(path);
  ASSERT_EQ(killed.size(), 1u);

  struct Row {
    const char* suffix;
    bool leftover;
  } rows[] = {
      {"keep", false},          // the user's own copy
      {"1", false},             // an envelope the page wrote under this name
      {"abcde", false},         // five
      {"abcdefg", false},       // seven
      {"abc-ef", false},        // six, one not a letter or digit
      {"abc.ef", false},        // six, with a dot
      {"abcd\xc3\xa9", false},  // six bytes, two of them a letter outside ASCII
      {"Ab3xY9.keep", false},   // the form, then more
      {"ABCDEF", true},         // the form, whoever made it
      {"a1b2c3", true},
      {"zZ09aQ", true},
  };
  for (const Row& r : rows) testsupport::writeFile(path + ".tmp." + r.suffix, std::string("mine: ") + r.suffix);

  ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
  EXPECT_TRUE(verifies(testsupport::readFile(path), data));
  EXPECT_FALSE(exists(dir + "/" + killed[0].name)) << killed[0].name;
  std::vector<std::string> expected;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.suffix);
    const std::string name = path + ".tmp." + r.suffix;
    EXPECT_EQ(exists(name), !r.leftover);
    if (!r.leftover) {
      EXPECT_EQ(testsupport::readFile(name), std::string("mine: ") + r.suffix);
      expected.push_back(std::string("env.p7.tmp.") + r.suffix);
    }
  }
  std::vector<std::string> left;
  for (const Temporary& t : temporariesOf(path)) left.push_back(t.name);
  std::sort(left.begin(), left.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

// An existing target the user could not write in place, as fopen "wb" would
// open it, is refused (20, the open failure) and nothing is touched: the
// target keeps its bytes, owner and permissions, and the leftover beside it
// stays. A file without its owner's write permission stands for a read-only
// file and is refused to root as well. What is no regular file is written in
// place as before: a link is followed, a FIFO nobody reads refuses at once.
TEST(EnvelopeFile, ATargetTheUserCouldNotWriteIsRefusedAndLeftAsItWas) {
  const bool root = geteuid() == 0;
  const std::string data = "pay 100";
  CPKCS7SignatureClientUI client;
  signAndBuild(client, data);
  PassableFolder top;
  ASSERT_FALSE(top.path.empty());
  enum Kind { kFile, kNone, kLinkToFile, kFifo, kFolder };
  struct Row {
    const char* what;
    bool unprivileged;  // written by a child that dropped to another user
    Kind kind;
    bool ownedByWriter;  // else by root
    mode_t mode;
    int code;
  } rows[] = {
      {"own read-only file, root", false, kFile, true, 0444, 20},
      {"own read-only file", true, kFile, true, 0444, 20},
      {"another user's file in the user's folder", true, kFile, false, 0644, 20},
      {"own writable file", true, kFile, true, 0644, 0},
      {"no file", true, kNone, true, 0, 0},
      {"link to a read-only file, root", false, kLinkToFile, true, 0444, 20},
      {"link to a writable file, root", false, kLinkToFile, true, 0644, 0},
      {"link to another user's file", true, kLinkToFile, false, 0644, 20},
      {"FIFO nobody reads, root", false, kFifo, true, 0600, 20},
      {"folder, root", false, kFolder, true, 0755, 20},
  };
  int n = 0;
  for (const Row& t : rows) {
    SCOPED_TRACE(t.what);
    if (t.unprivileged && !root) continue;  // no other user to become
    const uid_t writer = t.unprivileged ? kNobody : geteuid();
    const uid_t owner = t.ownedByWriter ? writer : 0;
    const std::string dir = top.path + "/" + std::to_string(++n);
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(dir.c_str(), writer, writer), 0);
    const std::string target = dir + "/env.p7";
    const std::string reached = t.kind == kLinkToFile ? dir + "/real.p7" : target;
    if (t.kind == kFile || t.kind == kLinkToFile) {
      testsupport::writeFile(reached, "the old bytes");
      ASSERT_EQ(chown(reached.c_str(), owner, owner), 0);
      ASSERT_EQ(chmod(reached.c_str(), t.mode), 0);
    }
    if (t.kind == kLinkToFile) {
      ASSERT_EQ(symlink(reached.c_str(), target.c_str()), 0);
    }
    if (t.kind == kFifo) {
      ASSERT_EQ(mkfifo(target.c_str(), t.mode), 0);
    }
    if (t.kind == kFolder) {
      ASSERT_EQ(mkdir(target.c_str(), t.mode), 0);
    }
    // A leftover of an earlier writer of this user, which a write may remove.
    const std::string leftover = target + ".tmp.Lft0v1";
    testsupport::writeFile(leftover, "left over");
    ASSERT_EQ(chown(leftover.c_str(), writer, writer), 0);
    ASSERT_EQ(chmod(leftover.c_str(), 0600), 0);
    struct stat before {};
    ASSERT_EQ(stat(reached.c_str(), &before) == 0, t.kind != kNone);
    const std::vector<std::string> namesBefore = namesIn(dir);

    const Written w = writeInChild(client, target, t.unprivileged);
    if (w.hung) {
      ADD_FAILURE() << "the write waited";
      continue;
    }
    EXPECT_EQ(w.code, t.code) << w.text;
    if (t.code == 20) {
      EXPECT_EQ(w.text, "CPKCS7SignatureClient::getSignedEnvelopeByFile -> error during fopen " + target);
      EXPECT_EQ(namesIn(dir), namesBefore);
      EXPECT_EQ(testsupport::readFile(leftover), "left over");
      struct stat after {};
      ASSERT_EQ(lstat(target.c_str(), &after), 0);
      EXPECT_EQ(S_IFMT & after.st_mode, t.kind == kLinkToFile ? S_IFLNK : S_IFMT & before.st_mode);
      ASSERT_EQ(stat(reached.c_str(), &after), 0);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_EQ(after.st_uid, before.st_uid);
      EXPECT_EQ(after.st_mode, before.st_mode);
      if (t.kind == kFile || t.kind == kLinkToFile) {
        EXPECT_TRUE(testsupport::readFile(reached) == "the old bytes") << "the file was written";
      }
    } else if (t.code == 0) {
      EXPECT_TRUE(verifies(testsupport::readFile(reached), data));
      struct stat after {};
      ASSERT_EQ(lstat(target.c_str(), &after), 0);
      // A link stays a link, its file written in place; a replaced file is
      // the writer's; the leftover of a replaced file is gone.
      if (t.kind == kLinkToFile) {
        EXPECT_TRUE(S_ISLNK(after.st_mode));
        EXPECT_TRUE(exists(leftover));
      } else {
        EXPECT_TRUE(S_ISREG(after.st_mode));
        EXPECT_EQ(after.st_uid, writer);
        EXPECT_FALSE(exists(leftover));
      }
    }
  }
}

// The new file has the old one's permissions without set-user-id, set-group-id
// and sticky, which a write in place by an ordinary writer clears.
TEST(EnvelopeFile, TheNewFileKeepsTheOldPermissionsWithoutSetIdAndStickyBits) {
  CPKCS7SignatureClientUI client;
  signAndBuild(client, "pay 100");
  const std::string dir = testsupport::freshDir("modes");
  struct Row {
    mode_t old;
    mode_t now;
  } rows[] = {{06755, 0755}, {04700, 0700}, {02640, 0640}, {01644, 0644}, {07777, 0777}, {0604, 0604}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.old);
    const std::string path = dir + "/env" + std::to_string(r.old) + ".p7";
    testsupport::writeFile(path, "old");
    ASSERT_EQ(chmod(path.c_str(), r.old), 0);
    ASSERT_EQ(client.writeSignedEnvelopeFile(path.c_str()), 0) << client.getErrorText();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, r.now);
    EXPECT_TRUE(verifies(testsupport::readFile(path), "pay 100"));
  }
}
