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
constexpr DWORD ERROR_WINHTTP_CANNOT_CALL_BEFORE_SEND = 12176;

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

// ---- the request family ----
// Synchronous sessions only; every connection is direct (the default proxy
// setting here is "no proxy"). A request with WINHTTP_FLAG_SECURE speaks TLS
// through OpenSSL with the host name as SNI (not for address literals) and,
// during WinHttpSendRequest, verifies the server's chain against the system's
// trust anchors plus the certificates of the system store "Root" under the
// platform root, and the host name against the certificate (subject
// alternative names, else the common name). A refused certificate fails the
// send with one number per reason:
//   12045 ERROR_WINHTTP_SECURE_INVALID_CA       no trusted issuer (unknown CA, self-signed)
//   12037 ERROR_WINHTTP_SECURE_CERT_DATE_INVALID expired or not yet valid
//   12038 ERROR_WINHTTP_SECURE_CERT_CN_INVALID  the name is not the host's
//   12175 ERROR_WINHTTP_SECURE_FAILURE          any other TLS or certificate failure
// Other errors: 12007 name not resolved, 12029 no connection could be made,
// 12002 a time-out, 12030 the connection was reset or closed, 12152 the
// response is not HTTP, 6 an unknown handle, 12018 a handle of the wrong kind,
// 12019 a call out of order.

constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
constexpr DWORD WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY = 4;
#define WINHTTP_NO_PROXY_NAME nullptr
#define WINHTTP_NO_PROXY_BYPASS nullptr
#define WINHTTP_NO_REFERER nullptr
#define WINHTTP_DEFAULT_ACCEPT_TYPES nullptr
#define WINHTTP_NO_ADDITIONAL_HEADERS nullptr
#define WINHTTP_NO_REQUEST_DATA nullptr

constexpr DWORD WINHTTP_FLAG_ASYNC = 0x10000000;
constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;

constexpr DWORD WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT = 32;

struct WINHTTP_CERTIFICATE_INFO {
  FILETIME ftExpiry;
  FILETIME ftStart;
  LPWSTR lpszSubjectInfo;        // LocalAlloc'd: free with LocalFree
  LPWSTR lpszIssuerInfo;         // LocalAlloc'd: free with LocalFree
  LPWSTR lpszProtocolName;       // not used: NULL
  LPWSTR lpszSignatureAlgName;   // not used: NULL
  LPWSTR lpszEncryptionAlgName;  // not used: NULL
  DWORD dwKeySize;               // strength of the negotiated cipher, in bits
};

// The documented defaults, in milliseconds (0: no limit). The environment
// variable PLATFORM_WINHTTP_TIMEOUTS="resolve,connect,send,receive" replaces
// them for sessions opened afterwards (tests shorten them this way).
constexpr int WINHTTP_DEFAULT_RESOLVE_TIMEOUT = 0;
constexpr int WINHTTP_DEFAULT_CONNECT_TIMEOUT = 60000;
constexpr int WINHTTP_DEFAULT_SEND_TIMEOUT = 30000;
constexpr int WINHTTP_DEFAULT_RECEIVE_TIMEOUT = 30000;

PLATFORM_API HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                                   DWORD flags);
PLATFORM_API HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT serverPort, DWORD reserved);
PLATFORM_API HINTERNET WinHttpOpenRequest(HINTERNET connect, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                                          LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags);
PLATFORM_API BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                                     DWORD optionalLength, DWORD totalLength, DWORD_PTR context);
PLATFORM_API BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
PLATFORM_API BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength);
// Time-outs of a session (inherited by its connections and requests opened
// afterwards) or of one request. -1 or 0: no limit. Negative values other than
// -1: ERROR_INVALID_PARAMETER.
PLATFORM_API BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                                     int receiveTimeout);
PLATFORM_API BOOL WinHttpCloseHandle(HINTERNET handle);

// Handles open in this process (for tests that check every handle was closed).
PLATFORM_API DWORD PlatformWinHttpOpenHandles();
