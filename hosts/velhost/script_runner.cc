#include "script_runner.h"

#include <sstream>

#include "call_syntax.h"
#include "statement_reader.h"

namespace velhost {
namespace {

void Echo(std::ostream& out, const std::string& text) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    out << "> " << line << "\n";
  }
}

}  // namespace

int RunLines(Session& session, LineSource& source, RunOptions options) {
  const int errors_before = session.errors();
  session.set_line_numbers(!source.interactive());
  auto* prompt = dynamic_cast<PromptLineSource*>(&source);
  StatementReader reader(source);
  while (std::optional<StatementReader::Piece> piece = reader.Next()) {
    if (prompt != nullptr) prompt->Remember(piece->text.substr(0, piece->text.size() - 1));
    if (options.echo) Echo(session.out(), piece->text);
    for (const ParsedStatement& statement : ParseScript(piece->text, piece->first_line)) {
      if (!session.Execute(statement)) return session.errors() - errors_before;
    }
  }
  return session.errors() - errors_before;
}

int RunText(Session& session, std::string_view text, RunOptions options) {
  std::istringstream in{std::string(text)};
  StreamLineSource source(in);
  return RunLines(session, source, options);
}

}  // namespace velhost
