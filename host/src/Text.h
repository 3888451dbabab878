// Text between the script engine, the controls and the terminal.
//
// The engine keeps strings as UTF-8 extended to surrogates (a character
// outside the BMP written in script as "\uD83D\uDE00" is two 3-byte
// sequences), so a string's JavaScript length is its count of UTF-16 units.
// Controls take and give UTF-16 BSTRs.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// Engine text to UTF-16: 4-byte sequences become surrogate pairs, encoded
// surrogates stay single units; ill-formed bytes give U+FFFD.
std::u16string fromScript(const char* text, std::size_t size);
// UTF-16 to engine text: each unit by itself, so the script sees exactly the
// units the control gave (lone surrogates included).
std::string toScript(const char16_t* text, std::size_t size);
// UTF-16 to UTF-8 for output: pairs joined, lone surrogates as U+FFFD.
std::string toUtf8(const std::u16string& text);

}  // namespace host
