#include "LogLines.h"

namespace testsupport {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isTagChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' '; }
}  // namespace

bool matchesShape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '#' ? !isDigit(text[i]) : text[i] != shape[i]) return false;
  }
  return true;
}

std::string maskLogStamps(std::string_view text) {
  std::string out;
  const size_t n = kLogStampShape.size();
  for (size_t i = 0; i < text.size();) {
    if (i + n <= text.size() && matchesShape(text.substr(i, n), kLogStampShape)) {
      out += "    TIME >> ";
      i += n;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

bool splitLogLine(std::string_view line, std::string* tag, std::string* message) {
  if (line.empty() || line[0] != '[') return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos || close < 2) return false;
  for (size_t i = 1; i < close; ++i)
    if (!isTagChar(line[i])) return false;
  std::string_view rest = line.substr(close + 1);
  const size_t n = kLogStampShape.size();
  if (rest.size() < n || !matchesShape(rest.substr(0, n), kLogStampShape)) return false;
  *tag = std::string(line.substr(0, close + 1));
  *message = std::string(rest.substr(n));
  return true;
}

}  // namespace testsupport
