#include "statement_reader.h"

#include <utility>

#include "call_syntax.h"

namespace velhost {
namespace {

// What became of a piece, from a held line on (StatementReader::outcomes_):
// a number from 0 up is the held line the piece ended with; the others say
// that it ran to the end of the input, and what was then left open.
constexpr int32_t kUnknown = -1;
constexpr int32_t kNothingOpen = -2;
constexpr int32_t kStillOpen = -3;      // the string or comment open at the line's start
constexpr int32_t kOpenedOnFirst = -4;  // kOpenedOnFirst - n: one opened on held line n

constexpr size_t kNone = static_cast<size_t>(-1);

}  // namespace

std::optional<StatementReader::Piece> StatementReader::Next() {
  if (next_held_ + 1 < held_starts_.size()) return NextHeld();
  if (ended_) return std::nullopt;

  Piece piece;
  piece.first_line = next_line_;
  std::vector<size_t> starts;  // where each of its lines starts in its text
  LineScanner scanner;
  for (;;) {
    std::optional<std::string> line = source_.Read(!piece.text.empty());
    if (!line) break;
    ++next_line_;
    starts.push_back(piece.text.size());
    piece.text += *line;
    piece.text += '\n';
    scanner.Add(*line);
    if (!scanner.NeedsMore()) return piece;
  }
  ended_ = true;
  if (piece.text.empty()) return std::nullopt;
  if (source_.interactive()) {
    ended_ = false;  // Ctrl-D inside a statement hands on what there is; the prompt goes on
    return piece;
  }
  const size_t open_line = static_cast<size_t>(scanner.open_quote_line());
  if (open_line > 0 && open_line < starts.size()) {
    const size_t cut = starts[open_line];
    held_ = piece.text.substr(cut);
    held_starts_.clear();
    for (size_t i = open_line; i < starts.size(); ++i) held_starts_.push_back(starts[i] - cut);
    held_starts_.push_back(held_.size());
    held_first_line_ = piece.first_line + static_cast<int>(open_line);
    next_held_ = 0;
    outcomes_.assign((starts.size() - open_line) * LineScanner::kOpenStates, kUnknown);
    piece.text.resize(cut);
  }
  return piece;
}

// Read again from a held line, a piece goes as a piece read from the
// source would, with one shortcut: a piece that comes to the start of a
// line in a state in which an earlier piece was there already ends as that
// one did. Only states with a string or comment open are kept: a line is
// read with nothing open at its start by one piece at most, since the
// pieces after that one start past it, and those before it ran on to the
// end inside a string or comment that was open over it.
StatementReader::Piece StatementReader::NextHeld() {
  const size_t count = held_starts_.size() - 1;
  const size_t first = next_held_;
  LineScanner scanner;
  std::vector<std::pair<size_t, int>> passed;  // held line, state at its start
  bool complete = false;
  size_t last = count - 1;
  size_t opener = kNone;  // the held line that opened what is left open
  for (size_t line = first;;) {
    if (line == count) {
      if (scanner.open_quote_line() > 0) opener = first + scanner.open_quote_line() - 1;
      break;
    }
    const int state = scanner.state();
    if (state >= 0) {
      const int32_t known = outcomes_[line * LineScanner::kOpenStates + state];
      if (known >= 0) {
        complete = true;
        last = static_cast<size_t>(known);
        break;
      }
      if (known == kStillOpen) {
        opener = first + scanner.open_quote_line() - 1;
        break;
      }
      if (known <= kOpenedOnFirst) {
        opener = static_cast<size_t>(kOpenedOnFirst - known);
        break;
      }
      if (known == kNothingOpen) break;
      passed.emplace_back(line, state);
    }
    scanner.Add(HeldLine(line++));
    if (!scanner.NeedsMore()) {
      complete = true;
      last = line - 1;
      break;
    }
  }
  for (const auto& [line, state] : passed) {
    int32_t& outcome = outcomes_[line * LineScanner::kOpenStates + state];
    if (complete) {
      outcome = static_cast<int32_t>(last);
    } else if (opener == kNone) {
      outcome = kNothingOpen;
    } else if (opener >= line) {
      outcome = kOpenedOnFirst - static_cast<int32_t>(opener);
    } else {
      outcome = kStillOpen;
    }
  }
  // Ran to the end with a string or comment open: the piece ends with the
  // line that opened it, unless that is the last.
  if (!complete && opener != kNone && opener + 1 < count) last = opener;

  Piece piece;
  piece.first_line = held_first_line_ + static_cast<int>(first);
  piece.text = held_.substr(held_starts_[first], held_starts_[last + 1] - held_starts_[first]);
  next_held_ = last + 1;
  return piece;
}

std::string_view StatementReader::HeldLine(size_t index) const {
  const size_t start = held_starts_[index];
  return std::string_view(held_).substr(start, held_starts_[index + 1] - start - 1);
}

}  // namespace velhost
