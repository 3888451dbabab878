// WinHTTP family: splitting addresses, and the HTTPS request that reads a
// host's server certificate.
#pragma once

#include "platform/wintypes.h"

using INTERNET_PORT = WORD;
using INTERNET_SCHEME = int;
using HINTERNET = void*;

constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTP = 1;
constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTPS = 2;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;
constexpr INTERNET_PORT INTERNET_DEFAULT_PORT = 0;

constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
constexpr DWORD ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_WINHTTP_INVALID_OPTION = 12009;
constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;
constexpr DWORD ERROR_WINHTTP_SECURE_CERT_DATE_INVALID = 12037;
constexpr DWORD ERROR_WINHTTP_SECURE_CERT_CN_INVALID = 12038;
constexpr DWORD ERROR_WINHTTP_SECURE_INVALID_CA = 12045;

struct URL_COMPONENTS {
  DWORD dwStructSize;
  LPWSTR lpszScheme;
  DWORD dwSchemeLength;
  INTERNET_SCHEME nScheme;
  LPWSTR lpszHostName;
  DWORD dwHostNameLength;
  INTERNET_PORT nPort;
  LPWSTR lpszUserName;
  DWORD dwUserNameLength;
  LPWSTR lpszPassword;
  DWORD dwPasswordLength;
  LPWSTR lpszUrlPath;
  DWORD dwUrlPathLength;
  LPWSTR lpszExtraInfo;
  DWORD dwExtraInfoLength;
};
using LPURL_COMPONENTS = URL_COMPONENTS*;

// Splits an address as a browser reads it: the authority ends at the first
// '/', '\', '?' or '#'; user information before the last '@' of the
// authority is not the host; the host keeps its case. For each component a
// buffer with a non-zero length receives a copy (its length on return excludes
// the NUL; ERROR_INSUFFICIENT_BUFFER when it does not fit), a null pointer with
// a non-zero length receives a pointer into the address, a zero length means
// not wanted. urlLength 0: the address is NUL-terminated.
// Errors: 12006 unrecognised scheme (the empty address too), 12005 invalid
// address or port, 122 a component too long for its buffer.
PLATFORM_API BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, LPURL_COMPONENTS components);
