// Feeds arbitrary text to the keypad cipher's two readers of outside text:
// the labels decoder and the public-key wrap. Also reads the input as key
// presses (columns, some outside the keys) and checks that their labels
// decode to the keys' characters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protinput/CVKB.h"

namespace {
CVKB& keypad(int layouts) {
  static CVKB six, four;
  static bool ready = [] {
    six.layoutCount = 6;
    four.layoutCount = 4;
    return six.makeSessionKey() == 0 && six.buildLayouts() == 0 && four.makeSessionKey() == 0 &&
           four.buildLayouts() == 0;
  }();
  if (!ready) __builtin_trap();
  return layouts == 6 ? six : four;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (int layouts : {6, 4}) {
    CVKB& k = keypad(layouts);
    std::string out = "unchanged";
    int r = k.labelsToText(text, out);
    if (r == 0 ? out.size() != size / 16 : (r != -2 || out != "unchanged")) __builtin_trap();

    std::string labels, expected;
    for (size_t i = 0; i < size; ++i) {
      int column = static_cast<int>(data[i] % 13) - 1;
      std::string label;
      int got = k.getKeyLabel(column, label);
      if ((column < 0 || column > 10) != (got != 0)) __builtin_trap();
      if (got != 0) continue;
      labels += label;
      expected.push_back(k.getKeyChar(column));
    }
    std::string decoded;
    if (k.labelsToText(labels, decoded) != 0 || decoded != expected) __builtin_trap();
  }
  std::string wrapped = "unchanged";
  int w = keypad(6).wrapSessionKey(text, wrapped);
  if (w == 0 ? (wrapped.empty() || wrapped.size() % 4 != 0) : (w != -1 || wrapped != "unchanged")) __builtin_trap();
  return 0;
}
