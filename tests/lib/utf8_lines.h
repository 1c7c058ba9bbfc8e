// What the tests of text handed out by the library check of UTF-8: whether
// bytes are valid UTF-8, and how a text splits into lines.
#ifndef VELMAIL_TESTS_LIB_UTF8_LINES_H
#define VELMAIL_TESTS_LIB_UTF8_LINES_H

#include <cstddef>
#include <string>
#include <vector>

namespace veltest {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF, no character cut short).
inline bool ValidUtf8(const std::string& text) {
  const auto* v = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char lead = v[i];
    size_t size = 1;
    unsigned char low = 0x80, high = 0xbf;
    if (lead < 0x80) {
      size = 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
      size = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      size = 3;
      if (lead == 0xe0) low = 0xa0;
      if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      size = 4;
      if (lead == 0xf0) low = 0x90;
      if (lead == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (i + size > n) return false;
    for (size_t k = 1; k < size; ++k) {
      const unsigned char next = v[i + k];
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xbf)) return false;
    }
    i += size;
  }
  return true;
}

// The lines of a text, each without its "\n"; a text ending in "\n" has no
// empty line after it.
inline std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace veltest

#endif
