// How velhost gathers a script's lines into statements: the reader that
// scans each line once must cut every script exactly where looking at the
// whole text again after each line cuts it, with the same line numbers,
// including scripts that end inside strings and comments and so are read
// again after the line that opened them.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "call_syntax.h"
#include "statement_reader.h"

namespace velhost {
namespace {

class LinesSource : public LineSource {
 public:
  explicit LinesSource(std::vector<std::string> lines) : lines_(lines.begin(), lines.end()) {}
  std::optional<std::string> Read(bool /*continuation*/) override {
    if (lines_.empty()) return std::nullopt;
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

 private:
  std::deque<std::string> lines_;
};

using Pieces = std::vector<std::pair<int, std::string>>;  // first line, text

Pieces Read(const std::vector<std::string>& script) {
  LinesSource source(script);
  StatementReader reader(source);
  Pieces pieces;
  while (std::optional<StatementReader::Piece> piece = reader.Next()) {
    pieces.emplace_back(piece->first_line, piece->text);
  }
  return pieces;
}

// The same, looking at all the text of a piece again after each line.
Pieces ReadWholeTextEachLine(const std::vector<std::string>& script) {
  std::deque<std::string> left(script.begin(), script.end());
  Pieces pieces;
  int next_line = 1;
  while (!left.empty()) {
    const int first_line = next_line;
    std::vector<std::string> lines;
    std::string text;
    while (!left.empty()) {
      lines.push_back(left.front());
      left.pop_front();
      ++next_line;
      text += lines.back() + '\n';
      if (!NeedsMoreInput(text)) break;
    }
    const size_t open_line = left.empty() ? static_cast<size_t>(OpenQuoteLine(text)) : 0;
    if (open_line > 0 && open_line < lines.size()) {
      left.insert(left.begin(), lines.begin() + static_cast<ptrdiff_t>(open_line), lines.end());
      next_line = first_line + static_cast<int>(open_line);
      text.clear();
      for (size_t i = 0; i < open_line; ++i) text += lines[i] + '\n';
    }
    pieces.emplace_back(first_line, text);
  }
  return pieces;
}

TEST(VelhostReader, StatementsOverLinesAndWhatIsLeftOpenAtTheEnd) {
  EXPECT_EQ(Read({"exec p 'a',", "  'b", "c'", "print 1; print 2", "", "exec", "  q /* x", "*/ 1",
                  "print 'open", "print 3 /* open", "print 4"}),
            (Pieces{{1, "exec p 'a',\n  'b\nc'\n"},
                    {4, "print 1; print 2\n"},
                    {5, "\n"},
                    {6, "exec\n  q /* x\n*/ 1\n"},
                    {9, "print 'open\n"},
                    {10, "print 3 /* open\n"},
                    {11, "print 4\n"}}));
  EXPECT_EQ(Read({}), Pieces{});
  EXPECT_EQ(Read({"exec p,"}), (Pieces{{1, "exec p,\n"}}));
}

// Scripts made of lines that open, close and carry strings, comments and
// statements in every order.
TEST(VelhostReader, CutsEveryScriptWhereTheWholeTextIsCut) {
  const std::vector<std::string> kLines = {"exec p 'a',",
                                           "  'b'",
                                           "exec",
                                           "xp_stopmail",
                                           "print 'open",
                                           "close' ;",
                                           "/* open",
                                           "*/",
                                           "still */ print",
                                           "select @a --'",
                                           "exec p \"dq",
                                           "\"",
                                           "''",
                                           "'''",
                                           "declare @x int =",
                                           "5",
                                           ", 'lead'",
                                           "",
                                           "exec p; exec q,",
                                           "x /* a */ y",
                                           "/* a */ exec",
                                           "N'",
                                           "[bracket",
                                           "set @a = 'x' /*",
                                           "-- ' /*",
                                           "exec /* c",
                                           "exec p, /* c",
                                           "exec p /* c",
                                           "exec q 'it''s",
                                           "*/ '",
                                           "' /*",
                                           "\"\"\"",
                                           "/*/",
                                           "*",
                                           "/",
                                           "(",
                                           ";",
                                           "0x'",
                                           "-- */",
                                           "print 1 -- '"};
  std::mt19937 random(20261207);
  std::uniform_int_distribution<size_t> pick(0, kLines.size() - 1);
  std::uniform_int_distribution<int> length(1, 40);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> script;
    for (int n = length(random); n > 0; --n) script.push_back(kLines[pick(random)]);
    const Pieces expected = ReadWholeTextEachLine(script);
    ASSERT_EQ(Read(script), expected) << "script " << round << ", " << script.size() << " lines";
  }
}

}  // namespace
}  // namespace velhost
