// UTF-8 and UTF-16: the one codec of the platform layer.
//
// Every family converts between the two through these functions. Windows
// code pages (the A functions, CP_ACP, CP_UTF8 as a code page) belong to the
// locale family, which uses this codec for UTF-8 and keeps its own tables for
// the rest.
//
// Ill-formed UTF-8 is replaced by one U+FFFD per maximal ill-formed
// subsequence (Unicode's recommended practice); a lone surrogate in UTF-16 by
// one U+FFFD. Strict forms stop at the first ill-formed piece instead.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::utf {

// UTF-8 to UTF-16, ill-formed input replaced.
std::u16string toUtf16(std::string_view text);
// UTF-16 to UTF-8, surrogate pairs joined, lone surrogates replaced.
std::string toUtf8(std::u16string_view text);

// Appending forms. When strict, ill-formed input makes them return false
// (what `out` holds then is unspecified); otherwise they replace and return true.
bool appendUtf16(std::u16string& out, std::string_view text, bool strict);
bool appendUtf8(std::string& out, std::u16string_view text, bool strict);

// The length of the longest well-formed UTF-8 prefix of `text`
// (text.size() when all of it is well formed).
std::size_t validUtf8Prefix(std::string_view text);
inline bool isValidUtf8(std::string_view text) { return validUtf8Prefix(text) == text.size(); }

// Generalised UTF-8, the string form of script engines: a surrogate code unit
// may stand alone as a three-byte sequence, so any UTF-16 text goes through
// unchanged. Decoding joins four-byte sequences into surrogate pairs and keeps
// encoded surrogates as single units; encoding writes each unit by itself.
std::u16string fromGeneralizedUtf8(std::string_view text);
std::string toGeneralizedUtf8(std::u16string_view text);

}  // namespace platform::utf
