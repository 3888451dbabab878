// Helpers shared by the com family's sources; not part of its interface.
#pragma once

#include <string>
#include <string_view>

#include "platform/com.h"
#include "platform/utf.h"
#include "platform/winreg.h"

namespace com_internal {

// UTF-8 <-> UTF-16 (ill-formed input replaced by U+FFFD).
using platform::utf::toUtf16;
using platform::utf::toUtf8;
inline std::u16string str16(const char16_t* text) { return text != nullptr ? std::u16string(text) : std::u16string(); }

// The system ANSI code page <-> UTF-16, for the registry's A functions.
std::u16string ansiToWide(const char* text, size_t length);
std::string wideToAnsi(std::u16string_view text);

// Names compared without regard to ASCII case.
char16_t foldChar(char16_t c);
std::u16string fold(std::u16string_view text);
bool equalsNoCase(std::u16string_view a, std::u16string_view b);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" both ways.
std::u16string guidText(REFGUID guid);
bool parseGuid(std::u16string_view text, GUID* out);

// Registry shortcuts for HKEY_CLASSES_ROOT paths.
// Reads the string value `name` (nullptr: the default value) of key `path`.
bool readRegString(HKEY root, const std::u16string& path, const char16_t* name, std::u16string* out);
LSTATUS writeRegString(HKEY root, const std::u16string& path, const char16_t* name, const std::u16string& value);
LSTATUS deleteRegTree(HKEY root, const std::u16string& path);
bool regKeyExists(HKEY root, const std::u16string& path);

// Module resources.
bool moduleResource(HMODULE module, const char16_t* type, UINT id, std::string* data);

// Allocates a task-memory copy of the string.
LPOLESTR taskString(std::u16string_view text);

}  // namespace com_internal
