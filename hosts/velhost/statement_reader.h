// Gathers the lines of a script into pieces that hold whole statements.
// A statement ends at the end of its line or at ';', unless the line ends
// inside a string or comment or the statement is left open (see
// NeedsMoreInput); a piece ends with the line that leaves nothing open.
//
// When a script ends inside a string or comment, the piece that opened it
// ends with the line it was opened on (so that it is reported there), and
// the lines after that one are read again as statements of their own. At
// the prompt the unfinished piece is handed on as it is, and reading goes
// on.
//
// Reading takes time in proportion to the script's size: each line is
// scanned once as it arrives, and a line read again is scanned at most once
// for each state a string or comment can leave it in (LineScanner::state).
#ifndef VELHOST_STATEMENT_READER_H
#define VELHOST_STATEMENT_READER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line_source.h"

namespace velhost {

class StatementReader {
 public:
  struct Piece {
    std::string text;    // its lines, each with its line end
    int first_line = 0;  // the number of its first line in the script
  };

  explicit StatementReader(LineSource& source) : source_(source) {}

  // The next piece; nothing once the input has ended.
  std::optional<Piece> Next();

 private:
  // The next piece from the lines left to read again.
  Piece NextHeld();
  std::string_view HeldLine(size_t index) const;

  LineSource& source_;
  int next_line_ = 1;
  bool ended_ = false;  // the source has nothing more

  // The lines to read again after a string or comment the script left
  // open: their text, where each starts (and where the text ends), the
  // number of the first, and the next one to read.
  std::string held_;
  std::vector<size_t> held_starts_;
  int held_first_line_ = 0;
  size_t next_held_ = 0;
  // For each held line and LineScanner::state(), what became of the piece
  // that was in that state at the start of the line (see NextHeld).
  std::vector<int32_t> outcomes_;
};

}  // namespace velhost

#endif
