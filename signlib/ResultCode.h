// Result codes shared by the library and the controls, and the error-text rule.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace rc {
constexpr int OK = 0;
constexpr int WRONG_PARAMETER = 1;
constexpr int OUT_OF_MEMORY = 2;
constexpr int OPERATION_ERROR = 3;
constexpr int CERT_NOT_FOUND = 4;
constexpr int CERT_EXPIRED = 8;
constexpr int PRIVATE_KEY_NOT_FOUND = 13;
constexpr int NO_TOKEN = 14;  // token probe only
constexpr int INPUT_FORMAT_ERROR = 17;
constexpr int FILE_NOT_FOUND = 20;
constexpr int PASSWORD_ERROR = 21;
constexpr int CRYPTO_ERROR = 23;
constexpr int PROBE_LIBRARY_FAILURE = 24;  // token probe only
constexpr int USER_CANCEL = 28;
constexpr int TOKEN_PIN_INCORRECT = 50;
constexpr int TOKEN_PIN_ILLEGAL = 51;
constexpr int TOKEN_PIN_LOCKED = 52;
constexpr int TOKEN_NOT_FOUND = 55;
constexpr int ILLEGAL_URL = 61;
constexpr int TOKEN_UNPLUG_TIMEOUT = 62;
constexpr int SEVERAL_TOKENS = 63;
constexpr int TOKEN_LIBRARY_FAILURE = 64;
constexpr int TOKEN_INIT_FAILURE = 65;
constexpr int ADAPTER_LIST_FAILURE = 70;
constexpr int UNKNOWN_ERROR = 99;
constexpr int PROBE_UNKNOWN_ERROR = 999;  // token probe only

// The library's named codes, in the order the library keeps them.
inline constexpr int kNamedCodes[] = {1, 2, 3, 4, 8, 13, 17, 20, 21, 23, 28, 50, 51, 52, 55, 61, 63, 64, 65, 99};

// String-table id of the user-facing text for a code, in the given language:
// codes 0..28 map to 500 + code; the others to their own ids. Code 51 has
// 530 in the Chinese tables and 531 in English. -1 when the code has no text
// of its own (callers then use 539, "other error").
int textIdForCode(int code, unsigned short langId);
}  // namespace rc

// Every library object keeps the message of its last failure in one of these:
// at most 511 characters and a NUL; longer output is cut, never overrun.
constexpr std::size_t ERROR_TEXT_SIZE = 512;

// printf-style formatting into an error-text buffer. The text is formatted into
// a temporary first, so arguments may point into the buffer itself (a caller
// wrapping its own earlier text). Returns the buffer.
char* formatErrorText(char (&buffer)[ERROR_TEXT_SIZE], const char* format, ...) __attribute__((format(printf, 2, 3)));
char* vformatErrorText(char (&buffer)[ERROR_TEXT_SIZE], const char* format, va_list args);
// Same for any bounded buffer (size includes the NUL).
char* formatBounded(char* buffer, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
