// The library's Base64 (standard alphabet, "=" padding).
//
// The encoder ends every 76 output characters with CR LF, also after the last
// full line, so an input whose length is a multiple of 57 ends with CR LF.
// The decoder skips every character outside the alphabet (line ends, blanks,
// bytes above 127, NUL) and stops at the first "=".
#pragma once

// Encodes n bytes. Returns a new NUL-terminated text (free with free()), the
// empty text for n == 0; null when data is null with n > 0, when n is negative,
// when the text would not fit an int, or when memory runs out.
char* base64Encode(const unsigned char* data, int n);

// Decodes the first *n characters of text (all of them count, NUL included).
// Returns a new buffer of *n + 1 bytes (free with free()) holding the decoded
// bytes followed by zeros, and sets *n to the number of decoded bytes. Returns
// null (and leaves *n alone) when text or n is null, *n is negative, or memory
// runs out.
unsigned char* base64Decode(const char* text, int* n);
