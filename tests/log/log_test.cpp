#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "CwdScope.h"
#include "LogLines.h"
#include "TestRoot.h"
#include "platform/kernel.h"
#include "signlib/Log.h"

namespace {
std::string today() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return buf;
}

std::vector<std::string> lines(const std::string& path) {
  std::istringstream in(testsupport::readFile(path));
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}
}  // namespace

TEST(Log, SilentUntilALevelIsSetThenOneFileADay) {
  std::string dir = testsupport::freshDir("log1");
  CLog log;
  EXPECT_EQ(log.writeLog(1, "before anything", 0), 0);  // level 0: skipped
  ASSERT_EQ(log.setLogFile(dir.c_str(), "teskel"), 0);
  std::string expected = dir + "\\" + today() + "-teskel.log";
  EXPECT_EQ(std::string(log.path()), expected);
  EXPECT_EQ(log.writeLog(1, "still silent", 3), 0);
  std::string file = dir + "/" + today() + "-teskel.log";
  EXPECT_FALSE(std::filesystem::exists(file));

  log.setLogLevel(4);
  struct Case {
    int level;
    const char* tag;
    bool written;
  } cases[] = {{1, "[Error ]", true}, {2, "[Warning]", true}, {3, "[Debug ]", true},
               {4, "[Info  ]", true}, {5, "", false},         {0, "[Invalid]", true}};
  for (const auto& c : cases) EXPECT_EQ(log.log(c.level, c.level * 10, "entry %d", c.level), 0);
  auto got = lines(file);
  ASSERT_EQ(got.size(), 5u);
  size_t i = 0;
  for (const auto& c : cases) {
    if (!c.written) continue;
    std::string tag, message;
    ASSERT_TRUE(testsupport::splitLogLine(got[i], &tag, &message)) << got[i];
    EXPECT_EQ(tag, c.tag);
    EXPECT_EQ(message, "entry " + std::to_string(c.level) + " >> rtn = " + std::to_string(c.level * 10));
    ++i;
  }

  log.setLogLevel(1);
  log.log(4, 0, "info skipped");
  log.log(1, 99, "error kept");
  got = lines(file);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_NE(got.back().find("error kept >> rtn = 99"), std::string::npos);
}

TEST(Log, PageTextIsWrittenAsItStands) {
  std::string dir = testsupport::freshDir("log2");
  CLog log;
  log.setLogFile(dir.c_str(), "page");
  log.setLogLevel(4);
  EXPECT_EQ(log.writeLog(1, "%s%n%x from the page", 1), 0);
  auto got = lines(dir + "/" + today() + "-page.log");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].find(">> %s%n%x from the page >> rtn = 1"), std::string::npos);
}

TEST(Log, MissingFolderFallsBackToTheCurrentFolder) {
  std::string cwd = testsupport::freshDir("cwd");
  testsupport::CwdScope inFresh(cwd);
  CLog log;
  EXPECT_EQ(log.setLogFile("C:\\no\\such\\folder", "x"), -1);
  EXPECT_EQ(std::string(log.path()), cwd + "\\" + today() + "-x.log");
  log.setLogLevel(4);
  EXPECT_EQ(log.writeLog(4, "here", 0), 0);
  EXPECT_TRUE(std::filesystem::exists(cwd + "/" + today() + "-x.log"));
  // A folder name too long to hold is not cut to some other folder.
  std::string longDir(200, 'a');
  EXPECT_EQ(log.setLogFile(longDir.c_str(), "x"), -1);
  EXPECT_EQ(std::string(log.path()), cwd + "\\" + today() + "-x.log");
}

TEST(Log, WindowsFolderFormsAndLongMessages) {
  testsupport::FreshRoot fresh("longlog");  // today's file starts empty
  std::string folder = std::string(PlatformRoot()) + "/drives/c/banklogs";
  ASSERT_TRUE(PlatformMakeDirs(folder.c_str()));
  CLog log;
  ASSERT_EQ(log.setLogFile("C:\\banklogs", "sign"), 0);
  log.setLogLevel(4);
  std::string big(100000, 'x');
  EXPECT_EQ(log.log(1, 0, "%s", big.c_str()), 0);
  auto got = lines(folder + "/" + today() + "-sign.log");
  ASSERT_EQ(got.size(), 1u);
  // Messages hold at most 80,959 characters.
  EXPECT_NE(got[0].find(std::string(80959, 'x') + " >> rtn = 0"), std::string::npos);
  EXPECT_EQ(got[0].find(std::string(80960, 'x')), std::string::npos);
  // A file that cannot be opened is reported, never thrown.
  std::string blocker = testsupport::freshDir("blocked");
  ASSERT_EQ(log.setLogFile(blocker.c_str(), "b"), 0);
  std::filesystem::remove_all(blocker);
  EXPECT_EQ(log.writeLog(1, "x", 0), -1);
}

// A link planted at the daily file's name must not carry page text into the
// file it points to; a FIFO there must not block; a new file is the owner's.
TEST(Log, PlantedLinkOrFifoIsNotWrittenAndNewFileIsPrivate) {
  std::string dir = testsupport::freshDir("log-link");
  std::string victim = dir + "/victim.txt";
  testsupport::writeFile(victim, "original");
  std::string name = dir + "/" + today() + "-linked.log";
  ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
  CLog linked;
  ASSERT_EQ(linked.setLogFile(dir.c_str(), "linked"), 0);
  linked.setLogLevel(4);
  EXPECT_EQ(linked.writeLog(1, "page text", 7), -1);
  EXPECT_EQ(testsupport::readFile(victim), "original");

  std::string fifo = dir + "/" + today() + "-fifo.log";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CLog piped;
  ASSERT_EQ(piped.setLogFile(dir.c_str(), "fifo"), 0);
  piped.setLogLevel(4);
  EXPECT_EQ(piped.writeLog(1, "page text", 7), -1);  // returns at once

  mode_t old = umask(0);  // the file's own mode decides, not a lax umask
  CLog fresh;
  ASSERT_EQ(fresh.setLogFile(dir.c_str(), "fresh"), 0);
  fresh.setLogLevel(4);
  EXPECT_EQ(fresh.writeLog(4, "hello", 0), 0);
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat((dir + "/" + today() + "-fresh.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}
