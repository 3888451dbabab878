// Locale family: code pages and their conversions, the thread locale and the
// thread UI language.
//
// The ANSI code page (CP_ACP) comes from the text of LC_ALL, LC_CTYPE or LANG,
// the first one set and non-empty, and never from setlocale(): a fresh machine
// has no generated locales, and the components only need the name. The
// codeset part of the value (after '.', before '@') decides, compared without
// case and without '-' or '_':
//   BIG5                    -> 950
//   GBK, GB2312, GB18030    -> 936 (GB18030 text outside GBK does not convert)
//   ISO-8859-1, CP1252      -> 1252
//   UTF-8, anything else, or no codeset / no variable -> 65001
// The user default locale comes from the language_territory part of the same
// value: zh_TW -> 0x0404, zh_CN -> 0x0804, en_US -> 0x0409, anything else 0x0409.
// The system default locale is the user default. The environment is read once,
// on first use; PlatformResetLocale() reads it again.
//
// Per thread: the thread locale starts as the user default and CP_THREAD_ACP
// equals CP_ACP until SetThreadLocale() names a locale; it then is the ANSI
// code page of that locale's language (Chinese Traditional 950, Chinese
// Simplified 936, English 1252). SetThreadLocale(LOCALE_USER_DEFAULT) or
// (LOCALE_SYSTEM_DEFAULT) returns the thread to the starting state. The thread
// UI language starts at 1028 (Chinese, Traditional) until SetThreadUILanguage().
//
// Conversions use iconv (CP950, CP936, CP1252) and an exact UTF-8 codec of our
// own. WCHAR is a UTF-16 code unit.
#pragma once

#include "platform/wintypes.h"

// ---- code pages ----
constexpr UINT CP_ACP = 0;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

// MultiByteToWideChar flags. MB_PRECOMPOSED is accepted and changes nothing
// (the supported code pages have no composite forms); MB_COMPOSITE and
// MB_USEGLYPHCHARS are not supported and fail with ERROR_INVALID_FLAGS.
constexpr DWORD MB_PRECOMPOSED = 0x00000001;
constexpr DWORD MB_COMPOSITE = 0x00000002;
constexpr DWORD MB_USEGLYPHCHARS = 0x00000004;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x00000008;

// WideCharToMultiByte flags. No best-fit mapping is ever done, so
// WC_NO_BEST_FIT_CHARS is accepted and changes nothing; WC_ERR_INVALID_CHARS
// is for CP_UTF8 only. Others fail with ERROR_INVALID_FLAGS.
constexpr DWORD WC_COMPOSITECHECK = 0x00000200;
constexpr DWORD WC_DEFAULTCHAR = 0x00000040;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x00000080;
constexpr DWORD WC_NO_BEST_FIT_CHARS = 0x00000400;

// Returns the ANSI code page: 950, 936, 1252 or 65001.
PLATFORM_API UINT GetACP();

// Converts 8-bit text in the code page to UTF-16. cbMultiByte -1 reads up to
// and including the terminating NUL (which is then converted and counted);
// cchWideChar 0 asks for the size and writes nothing. Returns the number of
// WCHARs written (or needed), 0 on failure with the last error:
//   ERROR_INVALID_PARAMETER (87)  null input, cbMultiByte 0 or < -1,
//                                 cchWideChar < 0, null output with a size,
//                                 input and output the same buffer, or an
//                                 unsupported code page;
//   ERROR_INVALID_FLAGS (1004)    flags outside those above (for CP_UTF8 only
//                                 MB_ERR_INVALID_CHARS is allowed);
//   ERROR_INSUFFICIENT_BUFFER (122) the output does not fit (nothing written);
//   ERROR_NO_UNICODE_TRANSLATION (1113) invalid input with MB_ERR_INVALID_CHARS.
// Without MB_ERR_INVALID_CHARS invalid input is replaced: in UTF-8 each
// maximal ill-formed subsequence by U+FFFD; in 950 and 936 each undecodable
// single- or double-byte code by U+30FB, the code pages' default Unicode
// character. In 1252 the five bytes without a character (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) map to the C1 controls of the same value, as Windows does.
PLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByteStr, int cbMultiByte,
                                     LPWSTR wideCharStr, int cchWideChar);

// Converts UTF-16 text to 8-bit text in the code page. cchWideChar -1 reads up
// to and including the terminating NUL; cbMultiByte 0 asks for the size.
// A code unit the code page cannot represent (lone surrogates included)
// becomes the default character: the first character of defaultChar when
// given, else '?', and *usedDefaultChar is set TRUE (FALSE when none was
// needed). For CP_UTF8 defaultChar and usedDefaultChar must be null (else
// ERROR_INVALID_PARAMETER); a lone surrogate becomes U+FFFD, or fails with
// ERROR_NO_UNICODE_TRANSLATION under WC_ERR_INVALID_CHARS. Errors otherwise as
// for MultiByteToWideChar.
PLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wideCharStr, int cchWideChar,
                                     LPSTR multiByteStr, int cbMultiByte, LPCSTR defaultChar, LPBOOL usedDefaultChar);

// ---- locales and languages ----
constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD LANG_CHINESE = 0x04;
constexpr WORD LANG_ENGLISH = 0x09;
constexpr WORD SUBLANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr WORD SUBLANG_ENGLISH_US = 0x01;
constexpr WORD SUBLANG_CHINESE_TRADITIONAL = 0x01;
constexpr WORD SUBLANG_CHINESE_SIMPLIFIED = 0x02;
constexpr WORD SORT_DEFAULT = 0x0;

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

PLATFORM_API LCID GetUserDefaultLCID();
PLATFORM_API LCID GetSystemDefaultLCID();
PLATFORM_API LANGID GetUserDefaultLangID();
PLATFORM_API LANGID GetSystemDefaultLangID();
PLATFORM_API LANGID GetUserDefaultUILanguage();
PLATFORM_API LANGID GetSystemDefaultUILanguage();

// The calling thread's locale (the user default until SetThreadLocale).
PLATFORM_API LCID GetThreadLocale();
// Accepts LOCALE_USER_DEFAULT, LOCALE_SYSTEM_DEFAULT and the locales of the
// supported languages: English (any sublanguage, code page 1252) and Chinese
// (Traditional, Hong Kong, Macao: 950; Simplified, Singapore: 936), with any
// sort identifier. Anything else: FALSE with ERROR_INVALID_PARAMETER.
PLATFORM_API BOOL SetThreadLocale(LCID locale);

// The calling thread's UI language: 1028 until set.
PLATFORM_API LANGID GetThreadUILanguage();
// Sets the calling thread's UI language and returns it; 0 restores the
// starting language (1028) and returns that.
PLATFORM_API LANGID SetThreadUILanguage(LANGID language);

// Reads LC_ALL, LC_CTYPE and LANG again and returns every thread's locale and
// UI language to the starting state (each thread notices on its next call).
// For tests that change the environment inside one process.
PLATFORM_API void PlatformResetLocale();
