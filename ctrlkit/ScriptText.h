// Script strings in and out of a control: page arguments become 8-bit text
// for the library, the library's 8-bit text becomes a new script string.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/com.h"
#include "platform/locale.h"

namespace ctrlkit {

// A null script string and a script string of length 0 are both empty.
bool isEmpty(BSTR text);

// A script string that holds a NUL before its end: as 8-bit text it would
// reach the library cut there ("Demo Customer\0anything" read as "Demo
// Customer", "\0" as ""). Such an argument is refused with 1.
bool hasEmbeddedNul(BSTR text);

// Thrown by CAnsiText for such a text; the member shell turns it into 1.
struct RefusedText : std::invalid_argument {
  RefusedText() : std::invalid_argument("text argument with an embedded NUL") {}
};

const char* orEmpty(const char* text);

// A script string as 8-bit text in a code page (CP_ACP for arguments, as the
// library expects). A null BSTR gives a null text; the text lives as long as
// the object. Secret texts (PINs) are wiped when the object goes. A text
// with an embedded NUL throws RefusedText (1); a text that cannot be
// converted throws otherwise, which a member reports as its unknown error.
class CAnsiText {
 public:
  explicit CAnsiText(BSTR text, UINT codePage = CP_ACP, bool secret = false);
  ~CAnsiText();
  CAnsiText(const CAnsiText&) = delete;
  CAnsiText& operator=(const CAnsiText&) = delete;

  // Null for a null BSTR.
  const char* get() const { return m_null ? nullptr : m_text.c_str(); }
  // Never null: "" for a null BSTR.
  const char* text() const { return m_text.c_str(); }

 private:
  std::string m_text;
  bool m_null;
  bool m_secret;
};

// A wide string from 8-bit text in a code page; null or "" give "".
std::u16string widen(const char* text, UINT codePage);
// 8-bit text in a code page from a wide string.
std::string narrow(const std::u16string& text, UINT codePage);

// A text result for script: 8-bit text in the code page (the calling
// thread's ANSI code page unless said otherwise) as a new BSTR; a null text
// gives a null BSTR and S_OK. E_OUTOFMEMORY when the BSTR cannot be made.
HRESULT textResult(const char* text, BSTR* out, UINT codePage = CP_THREAD_ACP);
// A wide text as a new BSTR (never null on success); E_OUTOFMEMORY otherwise.
HRESULT wideResult(const std::u16string& text, BSTR* out);

}  // namespace ctrlkit
