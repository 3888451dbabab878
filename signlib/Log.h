// The controls' diagnostic log: one file a day in a folder the page names,
// one line an entry. Silent until a level is set.
#pragma once

#include <cstdarg>

class CLog {
 public:
  static constexpr int LEVEL_ERROR = 1;
  static constexpr int LEVEL_WARNING = 2;
  static constexpr int LEVEL_DEBUG = 3;
  static constexpr int LEVEL_INFO = 4;

  CLog();
  virtual ~CLog();

  // 0, or -1 when the folder does not exist (the file then goes to the current
  // folder) or the current folder cannot be read (no file at all).
  int setLogFile(const char* directory, const char* baseName);
  int setLogLevel(int level);
  // Writes message as it stands: page text belongs here, never in a format.
  int writeLog(int level, const char* message, int resultCode);
  // printf-style front end of writeLog, for the library's own formats only.
  int log(int level, int resultCode, const char* format, ...) __attribute__((format(printf, 4, 5)));

  int level() const { return m_iLevel; }
  const char* path() const { return m_szPath; }

 private:
  int m_iLevel;
  char m_szPath[256];
};
