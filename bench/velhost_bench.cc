// Reading a script into statements as velhost does (the statement reader,
// then the parser on each piece), on scripts that cost time out of all
// proportion to their size while each line made the reader look again at
// the statement so far: lines that each open a comment, which the script
// never closes (each is reported and the lines after it read again), and a
// string over many lines. The anchor, in the same run: the same lines taken
// out of the same kind of stream and copied into one text. Each script at
// two sizes; the ratio to the anchor stays put when the time is linear.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "call_syntax.h"
#include "line_source.h"
#include "statement_reader.h"

namespace {

using MakeScript = std::string (*)(int64_t lines);

std::string OpenComments(int64_t lines) {
  std::string script;
  for (int64_t i = 0; i < lines; ++i) script += "/* note " + std::to_string(i) + "\n";
  return script;
}

std::string LongString(int64_t lines) {
  std::string script = "print 'line 0\n";
  for (int64_t i = 1; i < lines - 1; ++i) {
    script += "line " + std::to_string(i) + " of a long text\n";
  }
  return script + "end'\n";
}

void ReadStatements(benchmark::State& state, MakeScript make) {
  const std::string script = make(state.range(0));
  int64_t statements = 0;
  for (auto _ : state) {
    std::istringstream in(script);
    velhost::StreamLineSource source(in);
    velhost::StatementReader reader(source);
    statements = 0;
    while (std::optional<velhost::StatementReader::Piece> piece = reader.Next()) {
      statements +=
          static_cast<int64_t>(velhost::ParseScript(piece->text, piece->first_line).size());
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(script.size()));
  state.counters["statements"] = static_cast<double>(statements);
}

void CopyLines(benchmark::State& state, MakeScript make) {
  const std::string script = make(state.range(0));
  for (auto _ : state) {
    std::istringstream in(script);
    velhost::StreamLineSource source(in);
    std::string text;
    while (std::optional<std::string> line = source.Read(false)) {
      text += *line;
      text += '\n';
    }
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(script.size()));
}

BENCHMARK_CAPTURE(CopyLines, open_comments, OpenComments)->Arg(2000)->Arg(4000);
BENCHMARK_CAPTURE(ReadStatements, open_comments, OpenComments)->Arg(2000)->Arg(4000);
BENCHMARK_CAPTURE(CopyLines, long_string, LongString)->Arg(20000)->Arg(40000);
BENCHMARK_CAPTURE(ReadStatements, long_string, LongString)->Arg(20000)->Arg(40000);

}  // namespace

BENCHMARK_MAIN();
