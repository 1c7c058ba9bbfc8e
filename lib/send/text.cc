#include <cstring>

#include "frame/errors.h"
#include "send/send.h"

bool sm_appendtext(sm_text* text, const char* bytes, int32_t n, const char* reporter) {
  const int64_t wanted = static_cast<int64_t>(text->length) + n + 1;
  if (wanted > INT32_MAX) {
    sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, reporter, INT32_MAX);
    return false;
  }
  const int32_t size = static_cast<int32_t>(wanted);
  char* grown =
      static_cast<char*>(text->block == nullptr ? srv_alloc(size) : srv_realloc(text->block, size));
  if (grown == nullptr) {
    sm_raise(nullptr, 0, SM_MSG_NO_MEMORY, reporter, size);
    return false;
  }
  if (n > 0) memcpy(grown + text->length, bytes, static_cast<size_t>(n));
  grown[text->length + n] = '\0';
  text->block = grown;
  text->length += n;
  return true;
}

sm_text::~sm_text() { sm_freetext(this); }

void sm_freetext(sm_text* text) {
  if (text->block != nullptr) srv_free(text->block);
  text->block = nullptr;
  text->length = 0;
}
