// Text between the database's encoding and the mail library's, which
// speaks UTF-8 (its providers decode and encode mail in it).
#ifndef VELPG_ENCODING_H
#define VELPG_ENCODING_H

#include <cstddef>
#include <string>

#include "pg_headers.h"

namespace velpg {

// The UTF-8 form of text in the database's encoding (palloc'd, or data
// itself when nothing changes). In a SQL_ASCII database, whose bytes have
// no declared encoding, text must be valid UTF-8 already: an ERROR
// (22021) naming what says otherwise. May raise an ERROR.
char* ToLibrary(const char* data, int length, int* out_length, const char* what);

// Text of the library's in the database's encoding, palloc'd: bytes that
// are not UTF-8 become U+FFFD, characters the encoding cannot hold '?'
// (*replaced is then set). A SQL_ASCII database gets the UTF-8 text. Never
// raises an ERROR but out of memory.
char* FromLibrary(const char* data, size_t length, bool* replaced);

// At most max bytes of text, cut after a whole UTF-8 character, with
// " ..." added when it was cut.
std::string Capped(const std::string& text, size_t max);

}  // namespace velpg

#endif
