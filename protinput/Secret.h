// Wiping of texts that held secrets (typed digits, plain text), the whole of
// their storage, the inline buffer of a short string included.
#pragma once

#include <openssl/crypto.h>

#include <string>

namespace protinput {

template <typename Char>
void WipeString(std::basic_string<Char>& s) {
  s.resize(s.capacity());
  OPENSSL_cleanse(s.data(), s.size() * sizeof(Char));
  s.clear();
}

}  // namespace protinput
