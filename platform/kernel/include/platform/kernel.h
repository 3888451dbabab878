// Kernel family: last error, module loading, time, version, debugger output,
// the platform root and the C run-time file functions the components call.
#pragma once

#include <sys/stat.h>
#include <cstdio>

#include "platform/wintypes.h"

// ---- last error (per thread) ----
PLATFORM_API DWORD GetLastError();
PLATFORM_API void SetLastError(DWORD code);

// ---- modules ----
// LoadLibraryA keeps only the file name of what it is given (after the last
// '/' or '\'), appends nothing, and looks that name up case-insensitively in
// the module search path: $PLATFORM_ROOT/modules, /usr/lib/x86_64-linux-gnu/pkcs11,
// /usr/lib/softhsm. Not found: NULL with ERROR_MOD_NOT_FOUND (126).
PLATFORM_API HMODULE LoadLibraryA(LPCSTR fileName);
PLATFORM_API HMODULE LoadLibraryW(LPCWSTR fileName);
// Loads a library by its full path, as activation and registration do with the
// path the registry holds. Not reachable from page-supplied names.
PLATFORM_API HMODULE PlatformLoadLibraryPath(LPCSTR fullPath);
PLATFORM_API BOOL FreeLibrary(HMODULE module);
PLATFORM_API void* GetProcAddress(HMODULE module, LPCSTR procName);
// NULL gives the main program. A name is matched against loaded modules' file
// names. The system's own library names ("kernel32.dll", "user32.dll",
// "gdi32.dll") are always loaded: the platform plays them, and GetProcAddress
// on them finds the exports of the platform's family libraries.
PLATFORM_API HMODULE GetModuleHandleA(LPCSTR moduleName);
PLATFORM_API HMODULE GetModuleHandleW(LPCWSTR moduleName);
// The module that contains the given address (the caller's own image when it
// passes the address of one of its functions or data).
PLATFORM_API HMODULE PlatformModuleFromAddress(const void* address);
// Full path of the module's file; NULL gives the main program.
PLATFORM_API DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
PLATFORM_API DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
// The folders searched by LoadLibraryA, in order, separated by ':'.
PLATFORM_API const char* PlatformModuleSearchPath();

// ---- platform root ----
// Everything the platform keeps on disk lives below this directory:
// $PLATFORM_ROOT, or $HOME/.local/share/platform-root when unset.
PLATFORM_API const char* PlatformRoot();
// Re-reads $PLATFORM_ROOT (tests that switch roots inside one process).
PLATFORM_API void PlatformResetRoot();

// ---- time ----
// FILETIME counts 100-ns intervals since 1601-01-01 UTC.
PLATFORM_API void GetSystemTimeAsFileTime(LPFILETIME ft);
PLATFORM_API void GetSystemTime(LPSYSTEMTIME st);
PLATFORM_API void GetLocalTime(LPSYSTEMTIME st);
PLATFORM_API BOOL FileTimeToSystemTime(const FILETIME* ft, LPSYSTEMTIME st);
PLATFORM_API BOOL SystemTimeToFileTime(const SYSTEMTIME* st, LPFILETIME ft);
// Honours TZ, with the offset in force at the given instant.
PLATFORM_API BOOL FileTimeToLocalFileTime(const FILETIME* ft, LPFILETIME local);
PLATFORM_API BOOL LocalFileTimeToFileTime(const FILETIME* local, LPFILETIME ft);
PLATFORM_API LONG CompareFileTime(const FILETIME* a, const FILETIME* b);

// The platform clock in milliseconds. In headless mode (the default for tests
// and the demo) it advances only when the scripted user waits or when Sleep is
// called; otherwise it follows the monotonic clock.
PLATFORM_API DWORD GetTickCount();
PLATFORM_API ULONGLONG GetTickCount64();
PLATFORM_API void Sleep(DWORD milliseconds);
PLATFORM_API void PlatformSetHeadlessClock(BOOL headless);
PLATFORM_API BOOL PlatformClockIsHeadless();
PLATFORM_API void PlatformAdvanceClock(DWORD milliseconds);

// ---- version ----
struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
constexpr DWORD VER_PLATFORM_WIN32_NT = 2;
// Reports Windows 6.1 (build 7601).
PLATFORM_API BOOL GetVersionExW(LPOSVERSIONINFOW info);

// ---- debugger output ----
// Lines go to an in-process sink that tests read, and to stderr when
// PLATFORM_DEBUG_STDERR is set.
PLATFORM_API void OutputDebugStringA(LPCSTR text);
PLATFORM_API void OutputDebugStringW(LPCWSTR text);
// Copies the collected debugger output (UTF-8, one line per call) and clears it when asked.
PLATFORM_API SIZE_T PlatformDebugOutput(char* buffer, SIZE_T size, BOOL clear);

// ---- C run-time file functions, Windows path forms ----
// Paths given in Windows form: backslashes read as '/', a drive prefix "X:"
// maps to $PLATFORM_ROOT/drives/x. Plain POSIX paths pass unchanged.
// Writes the mapped path; returns its length, or 0 when it does not fit.
PLATFORM_API SIZE_T PlatformMapPath(LPCSTR windowsPath, LPSTR out, SIZE_T outSize);
PLATFORM_API int _access(const char* path, int mode);
struct _stat64 {
  unsigned int st_mode;
  long long st_size;
  long long st_modified;  // st_mtime is a macro in the C library here
};
PLATFORM_API int _stat64(const char* path, struct _stat64* buffer);
PLATFORM_API FILE* crt_fopen(const char* path, const char* mode);
PLATFORM_API int crt_remove(const char* path);
// The current directory in the platform's form (ends without a separator).
PLATFORM_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);

// Replaces a file atomically: write to a temporary file beside it, fsync, rename.
// Returns TRUE on success; sets the last error otherwise.
PLATFORM_API BOOL PlatformWriteFileAtomic(LPCSTR posixPath, const void* data, SIZE_T size);
// Creates the folder and its parents (POSIX path). TRUE when it exists afterwards.
PLATFORM_API BOOL PlatformMakeDirs(LPCSTR posixPath);

// ---- local memory ----
// Blocks that a system function hands to its caller to free with LocalFree.
using HLOCAL = HANDLE;
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;
constexpr UINT LPTR = LMEM_FIXED | LMEM_ZEROINIT;
// Only fixed blocks: other flags give NULL with ERROR_INVALID_PARAMETER.
PLATFORM_API HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// NULL on success (and for NULL).
PLATFORM_API HLOCAL LocalFree(HLOCAL block);
