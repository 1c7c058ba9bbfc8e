#include "script_runner.h"

#include <deque>
#include <sstream>
#include <vector>

#include "call_syntax.h"

namespace velhost {
namespace {

void Echo(std::ostream& out, const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    out << "> " << line << "\n";
  }
}

// Lines from the source, after any that were handed back to be read again.
class Reader {
 public:
  explicit Reader(LineSource& source) : source_(source) {}
  std::optional<std::string> Read(bool continuation) {
    if (!replay_.empty()) {
      std::string line = std::move(replay_.front());
      replay_.pop_front();
      return line;
    }
    return source_.Read(continuation);
  }
  void HandBack(std::vector<std::string> lines) {
    replay_.insert(replay_.begin(), lines.begin(), lines.end());
  }

 private:
  LineSource& source_;
  std::deque<std::string> replay_;
};

}  // namespace

int RunLines(Session& session, LineSource& source, RunOptions options) {
  const int errors_before = session.errors();
  session.set_line_numbers(!source.interactive());
  auto* prompt = dynamic_cast<PromptLineSource*>(&source);
  Reader reader(source);
  int next_line = 1;
  for (;;) {
    // Gather one or more lines until no statement is left open.
    std::vector<std::string> lines;
    std::string text;
    const int first_line = next_line;
    bool ended = false;
    for (;;) {
      std::optional<std::string> line = reader.Read(!text.empty());
      if (!line) {
        ended = true;
        break;
      }
      ++next_line;
      lines.push_back(*line);
      text += *line + '\n';
      if (!NeedsMoreInput(text)) break;
    }
    if (prompt != nullptr && !text.empty()) {
      prompt->Remember(text.substr(0, text.size() - 1));
    }
    // The input ended inside a string or comment: in a script, the
    // statement that opened it is reported and the lines after that one
    // are read again as statements of their own. At the prompt the
    // unfinished statement is dropped and the session goes on.
    const int open_line = ended ? OpenQuoteLine(text) : 0;
    if (open_line > 0) {
      if (!source.interactive() && static_cast<size_t>(open_line) < lines.size()) {
        reader.HandBack({lines.begin() + open_line, lines.end()});
        lines.resize(static_cast<size_t>(open_line));
        text.clear();
        for (const std::string& line : lines) text += line + '\n';
        next_line = first_line + open_line;
        ended = false;
      }
    }
    if (ended && source.interactive() && !text.empty()) ended = false;  // Ctrl-D mid-statement
    if (options.echo) Echo(session.out(), text);
    for (const ParsedStatement& statement : ParseScript(text, first_line)) {
      if (!session.Execute(statement)) return session.errors() - errors_before;
    }
    if (ended) break;
  }
  return session.errors() - errors_before;
}

int RunText(Session& session, std::string_view text, RunOptions options) {
  std::istringstream in{std::string(text)};
  StreamLineSource source(in);
  return RunLines(session, source, options);
}

}  // namespace velhost
