#include "encoding.h"

#include <cstring>

namespace velpg {
namespace {

// The length of the valid UTF-8 character at s (at most n bytes), or 0.
size_t Utf8Character(const unsigned char* s, size_t n) {
  if (n == 0) return 0;
  const unsigned char c = s[0];
  size_t length = 0;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF)
    length = 2;
  else if (c >= 0xE0 && c <= 0xEF)
    length = 3;
  else if (c >= 0xF0 && c <= 0xF4)
    length = 4;
  else
    return 0;
  if (n < length) return 0;
  for (size_t i = 1; i < length; ++i)
    if ((s[i] & 0xC0) != 0x80) return 0;
  // Overlong forms, surrogates and code points beyond U+10FFFF.
  if (c == 0xE0 && s[1] < 0xA0) return 0;
  if (c == 0xED && s[1] > 0x9F) return 0;
  if (c == 0xF0 && s[1] < 0x90) return 0;
  if (c == 0xF4 && s[1] > 0x8F) return 0;
  return length;
}

bool ValidUtf8(const char* data, size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  for (size_t at = 0; at < length;) {
    const size_t n = Utf8Character(s + at, length - at);
    if (n == 0 || s[at] == 0) return false;
    at += n;
  }
  return true;
}

// data as valid UTF-8 without NUL (U+FFFD for what is not), palloc'd.
char* Sanitised(const char* data, size_t length, bool* replaced) {
  StringInfoData out;
  initStringInfo(&out);
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  for (size_t at = 0; at < length;) {
    const size_t n = s[at] == 0 ? 0 : Utf8Character(s + at, length - at);
    if (n == 0) {
      appendBinaryStringInfo(&out, "\xEF\xBF\xBD", 3);
      *replaced = true;
      ++at;
      continue;
    }
    appendBinaryStringInfo(&out, data + at, static_cast<int>(n));
    at += n;
  }
  return out.data;
}

// UTF-8 text in the server's encoding, or null when it cannot hold it.
char* InServerEncoding(const char* character, int n) {
  MemoryContext context = CurrentMemoryContext;
  char* volatile converted = nullptr;
  PG_TRY();
  { converted = pg_any_to_server(character, n, PG_UTF8); }
  PG_CATCH();
  {
    MemoryContextSwitchTo(context);
    FlushErrorState();
    converted = nullptr;
  }
  PG_END_TRY();
  return converted;
}

// The length of text without an incomplete UTF-8 character at its end.
size_t WholeCharacters(const char* data, size_t length) {
  const auto* s = reinterpret_cast<const unsigned char*>(data);
  // Back over at most three continuation bytes to the lead byte.
  size_t lead = length;
  for (size_t back = 0; back < 4 && lead > 0; ++back) {
    --lead;
    if ((s[lead] & 0xC0) != 0x80) break;
  }
  if (lead == length) return length;
  const unsigned char c = s[lead];
  const size_t wanted = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  return length - lead < wanted ? lead : length;
}

}  // namespace

char* ToLibrary(const char* data, int length, int* out_length, const char* what) {
  if (GetDatabaseEncoding() == PG_SQL_ASCII) {
    if (!ValidUtf8(data, static_cast<size_t>(length)))
      ereport(ERROR,
              (errcode(ERRCODE_CHARACTER_NOT_IN_REPERTOIRE), errmsg("%s is not valid UTF-8", what),
               errhint("A SQL_ASCII database declares no encoding, so mail takes its text as "
                       "UTF-8; convert it with convert_to(..., 'UTF8') first, or use a database "
                       "with an encoding.")));
    *out_length = length;
    return const_cast<char*>(data);
  }
  char* converted = pg_server_to_any(data, length, PG_UTF8);
  *out_length = converted == data ? length : static_cast<int>(std::strlen(converted));
  return converted;
}

char* FromLibrary(const char* data, size_t length, bool* replaced) {
  char* text = Sanitised(data, length, replaced);
  const int encoding = GetDatabaseEncoding();
  if (encoding == PG_UTF8 || encoding == PG_SQL_ASCII) return text;
  const int n = static_cast<int>(std::strlen(text));
  char* whole = InServerEncoding(text, n);
  if (whole != nullptr) return whole;
  // Character by character, '?' for those the encoding lacks.
  StringInfoData out;
  initStringInfo(&out);
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  for (int at = 0; at < n;) {
    const int width = static_cast<int>(Utf8Character(s + at, static_cast<size_t>(n - at)));
    char* one = InServerEncoding(text + at, width);
    if (one == nullptr) {
      appendStringInfoChar(&out, '?');
      *replaced = true;
    } else {
      appendStringInfoString(&out, one);
    }
    at += width;
  }
  return out.data;
}

std::string Capped(const std::string& text, size_t max) {
  if (text.size() <= max) return text;
  return text.substr(0, WholeCharacters(text.data(), max)) + " ...";
}

}  // namespace velpg
