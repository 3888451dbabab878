// Feeds setIllegalPIN arbitrary text. Whatever the input: a code of 0, 1 or
// 2; on 0 the list holds exactly the braced values, last first, each checked
// by isIllegalPIN; on 1 the previous list stands unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "signlib/PKCS7SignatureClient.h"

namespace {
// The braced values of a well-formed text, in text order (empty for none).
bool parse(const std::string& text, std::vector<std::string>* values) {
  int depth = 0;
  size_t open = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{') {
      if (++depth > 1) return false;
      open = i;
    } else if (text[i] == '}') {
      if (--depth < 0 || i == open + 1) return false;
      values->push_back(text.substr(open + 1, i - open - 1));
    }
  }
  return depth == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();  // the member sees text up to its first NUL
  CPKCS7SignatureClient client(SignVariant::signatureControl());
  if (client.setIllegalPIN("{keep}") != 0) __builtin_trap();
  const int code = client.setIllegalPIN(text.c_str());
  std::vector<std::string> values;
  const bool wellFormed = parse(text, &values);
  if (code == 1) {
    if (wellFormed) __builtin_trap();
    if (client.getIllegalPINCount() != 1 || std::strcmp(client.getIllegalPIN(0), "keep") != 0) __builtin_trap();
    return 0;
  }
  if (code != 0 || !wellFormed) __builtin_trap();
  if (client.getIllegalPINCount() != static_cast<int>(values.size())) __builtin_trap();
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[values.size() - 1 - i] != client.getIllegalPIN(static_cast<int>(i))) __builtin_trap();
    if (!client.isIllegalPIN(values[i].c_str())) __builtin_trap();
  }
  return 0;
}
