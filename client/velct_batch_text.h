// Reading a batch's text the way the database backends do: the filler
// between statements, and the "use NAME" statement with the text of its
// refusal. Internal to libvelct.so.
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

// The text of the message that refuses "use NAME": "Database 'NAME' " and
// why, ending with one full stop (why may end with its own, as a server's
// reason does).
std::string UseRefusedText(const std::string& name, const std::string& why);

}  // namespace velct::detail

#endif
