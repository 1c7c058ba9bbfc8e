// UTF-8 as the library cuts and wraps text: never inside a character.
#ifndef VELMAIL_FRAME_UTF8_H
#define VELMAIL_FRAME_UTF8_H

#include <cstdint>

// The bytes of the UTF-8 character a byte starts: 1 for ASCII, 2 to 4 for a
// lead byte, 0 for one that starts no character (a continuation byte, or a
// byte UTF-8 never uses).
inline int32_t sm_utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return 2;
  if (lead >= 0xe0 && lead <= 0xef) return 3;
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  return 0;
}

#endif
