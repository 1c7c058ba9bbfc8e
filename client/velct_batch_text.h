// Reading a batch's text the way both database backends do: the filler
// between statements, and the "use NAME" statement. Internal to
// libvelct.so.
#ifndef VELCT_BATCH_TEXT_H
#define VELCT_BATCH_TEXT_H

#include <cstddef>
#include <string>

namespace velct::detail {

// Moves pos past blanks, "--" and "/* */" comments and empty statements.
void SkipFiller(const std::string& text, size_t& pos);

// Reads "use NAME" at pos, NAME plain, in brackets or in double quotes;
// pos then stands just after the name. False, with pos unchanged, when the
// statement at pos is something else.
bool ReadUse(const std::string& text, size_t& pos, std::string& name);

}  // namespace velct::detail

#endif
