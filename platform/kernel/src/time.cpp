// FILETIME and SYSTEMTIME conversions. Calendar arithmetic is done here rather
// than with gmtime so that the whole FILETIME range (years 1601 to 30827) works.
#include <sys/time.h>
#include <ctime>

#include "platform/kernel.h"

namespace {
constexpr LONGLONG kTicksPerSecond = 10000000LL;
constexpr LONGLONG kTicksPerMs = 10000LL;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr LONGLONG kEpochDiffSeconds = 11644473600LL;
constexpr ULONGLONG kMaxFileTime = 0x7FFFFFFFFFFFFFFFULL;

ULONGLONG toU64(const FILETIME* ft) { return (static_cast<ULONGLONG>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime; }
void fromU64(ULONGLONG v, FILETIME* ft) {
  ft->dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

// Days since 1970-01-01 for a proleptic Gregorian date, and back.
LONGLONG daysFromCivil(LONGLONG y, unsigned m, unsigned d) {
  y -= m <= 2;
  const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}
void civilFromDays(LONGLONG z, LONGLONG* y, unsigned* m, unsigned* d) {
  z += 719468;
  const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<LONGLONG>(yoe) + era * 400 + (*m <= 2);
}

bool isLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
unsigned daysInMonth(unsigned y, unsigned m) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// UTC offset, in seconds, that the zone in TZ applies at the given instant.
long offsetAt(LONGLONG unixSeconds) {
  tzset();
  time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}
}  // namespace

PLATFORM_API void GetSystemTimeAsFileTime(LPFILETIME ft) {
  if (ft == nullptr) return;
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  ULONGLONG v = static_cast<ULONGLONG>(ts.tv_sec + kEpochDiffSeconds) * kTicksPerSecond +
                static_cast<ULONGLONG>(ts.tv_nsec / 100);
  fromU64(v, ft);
}

PLATFORM_API BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st) {
  if (ft == nullptr || st == nullptr || toU64(ft) > kMaxFileTime) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = toU64(ft);
  LONGLONG totalSeconds = static_cast<LONGLONG>(v / kTicksPerSecond);
  LONGLONG days = totalSeconds / 86400 - kEpochDiffSeconds / 86400;
  LONGLONG secOfDay = totalSeconds % 86400;
  LONGLONG y;
  unsigned m, d;
  civilFromDays(days, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  // 1601-01-01 was a Monday.
  st->wDayOfWeek = static_cast<WORD>((days + kEpochDiffSeconds / 86400 + 1) % 7);
  st->wHour = static_cast<WORD>(secOfDay / 3600);
  st->wMinute = static_cast<WORD>((secOfDay / 60) % 60);
  st->wSecond = static_cast<WORD>(secOfDay % 60);
  st->wMilliseconds = static_cast<WORD>((v % kTicksPerSecond) / kTicksPerMs);
  return TRUE;
}

PLATFORM_API BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft) {
  if (st == nullptr || ft == nullptr || st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 ||
      st->wDay < 1 || st->wDay > daysInMonth(st->wYear, st->wMonth) || st->wHour > 23 || st->wMinute > 59 ||
      st->wSecond > 59 || st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  LONGLONG days = daysFromCivil(st->wYear, st->wMonth, st->wDay) + kEpochDiffSeconds / 86400;
  LONGLONG seconds = days * 86400 + st->wHour * 3600LL + st->wMinute * 60LL + st->wSecond;
  fromU64(static_cast<ULONGLONG>(seconds) * kTicksPerSecond + st->wMilliseconds * kTicksPerMs, ft);
  return TRUE;
}

PLATFORM_API BOOL FileTimeToLocalFileTime(const FILETIME* ft, LPFILETIME local) {
  if (ft == nullptr || local == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = toU64(ft);
  LONGLONG unixSeconds = static_cast<LONGLONG>(v / kTicksPerSecond) - kEpochDiffSeconds;
  LONGLONG shifted = static_cast<LONGLONG>(v) + static_cast<LONGLONG>(offsetAt(unixSeconds)) * kTicksPerSecond;
  if (shifted < 0) shifted = 0;
  fromU64(static_cast<ULONGLONG>(shifted), local);
  return TRUE;
}

PLATFORM_API BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME ft) {
  if (ft == nullptr || local == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONGLONG v = toU64(local);
  LONGLONG unixSeconds = static_cast<LONGLONG>(v / kTicksPerSecond) - kEpochDiffSeconds;
  LONGLONG shifted = static_cast<LONGLONG>(v) - static_cast<LONGLONG>(offsetAt(unixSeconds)) * kTicksPerSecond;
  if (shifted < 0) shifted = 0;
  fromU64(static_cast<ULONGLONG>(shifted), ft);
  return TRUE;
}

PLATFORM_API LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
  ULONGLONG x = toU64(a), y = toU64(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

PLATFORM_API void GetSystemTime(LPSYSTEMTIME st) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  FileTimeToSystemTime(&ft, st);
}

PLATFORM_API void GetLocalTime(LPSYSTEMTIME st) {
  FILETIME ft, local;
  GetSystemTimeAsFileTime(&ft);
  FileTimeToLocalFileTime(&ft, &local);
  FileTimeToSystemTime(&local, st);
}
