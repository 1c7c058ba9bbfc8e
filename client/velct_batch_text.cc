// Reading a batch's text: the filler between statements and "use NAME".
#include "velct_batch_text.h"

#include <cctype>

namespace velct::detail {
namespace {

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

void SkipFiller(const std::string& text, size_t& pos) {
  while (pos < text.size()) {
    const char c = text[pos];
    if (Blank(c) || c == ';') {
      ++pos;
    } else if (text.compare(pos, 2, "--") == 0) {
      const size_t eol = text.find('\n', pos);
      pos = eol == std::string::npos ? text.size() : eol + 1;
    } else if (text.compare(pos, 2, "/*") == 0) {
      const size_t close = text.find("*/", pos + 2);
      pos = close == std::string::npos ? text.size() : close + 2;
    } else {
      return;
    }
  }
}

bool ReadUse(const std::string& text, size_t& pos, std::string& name) {
  if (text.size() - pos < 4 || std::toupper(static_cast<unsigned char>(text[pos])) != 'U' ||
      std::toupper(static_cast<unsigned char>(text[pos + 1])) != 'S' ||
      std::toupper(static_cast<unsigned char>(text[pos + 2])) != 'E' || !Blank(text[pos + 3]))
    return false;
  size_t i = pos + 3;
  while (i < text.size() && Blank(text[i])) ++i;
  size_t end = i;
  if (i < text.size() && (text[i] == '[' || text[i] == '"')) {
    const char close = text[i] == '[' ? ']' : '"';
    end = text.find(close, i + 1);
    if (end == std::string::npos) end = text.size();
    name = text.substr(i + 1, end - i - 1);
    pos = end + 1 < text.size() ? end + 1 : text.size();
    return true;
  }
  while (end < text.size() && !Blank(text[end]) && text[end] != ';') ++end;
  name = text.substr(i, end - i);
  pos = end;
  return true;
}

std::string UseRefusedText(const std::string& name, const std::string& why) {
  std::string text = "Database '" + name + "' " + why;
  if (text.back() != '.') text += '.';
  return text;
}

}  // namespace velct::detail
