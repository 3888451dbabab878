// The registry: a file-backed stand-in with the Win32 registry functions.
//
// Each hive is one text file under $PLATFORM_ROOT/registry/ (see
// platform/README.md for the form), replaced atomically on every change under
// an exclusive lock, and read again whenever another process has replaced it.
// HKEY_CLASSES_ROOT is a view of HKEY_LOCAL_MACHINE\Software\Classes.
// Key and value names are compared without regard to ASCII case and keep the
// case they were created with.
#pragma once

#include "platform/wintypes.h"

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000003u)))

// Registry error numbers beyond the base set.
constexpr DWORD ERROR_BADDB = 1009;        // a hive file that cannot be read
constexpr DWORD ERROR_CANTWRITE = 1013;    // a hive file that cannot be replaced
constexpr DWORD ERROR_KEY_DELETED = 1018;  // the key of an open handle was deleted

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights (checked for setting values and creating subkeys).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0x0;
constexpr DWORD REG_OPTION_VOLATILE = 0x1;
constexpr DWORD REG_CREATED_NEW_KEY = 0x1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 0x2;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

PLATFORM_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     PHKEY phkResult, LPDWORD lpdwDisposition);
PLATFORM_API LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                     REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     PHKEY phkResult, LPDWORD lpdwDisposition);
PLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PLATFORM_API LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
PLATFORM_API LSTATUS RegCloseKey(HKEY hKey);
PLATFORM_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData);
PLATFORM_API LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                    DWORD cbData);
PLATFORM_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                      LPDWORD lpcbData);
PLATFORM_API LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                      LPDWORD lpcbData);
PLATFORM_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
PLATFORM_API LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes the key (or hKey itself when lpSubKey is NULL: its subkeys and values) with everything below it.
PLATFORM_API LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
PLATFORM_API LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
PLATFORM_API LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Subkeys are enumerated in name order (ASCII case ignored), values in the order they were first set.
PLATFORM_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
PLATFORM_API LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
PLATFORM_API LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
PLATFORM_API LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                      LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                      LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
