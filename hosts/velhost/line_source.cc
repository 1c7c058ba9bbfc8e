#include "line_source.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <readline/history.h>
#include <readline/readline.h>

namespace velhost {

std::optional<std::string> StreamLineSource::Read(bool /*continuation*/) {
  std::string line;
  if (!std::getline(in_, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

PromptLineSource::PromptLineSource(std::string history_file)
    : history_file_(std::move(history_file)) {
  using_history();
  if (!history_file_.empty()) read_history(history_file_.c_str());
}

PromptLineSource::~PromptLineSource() {
  if (!history_file_.empty()) {
    write_history(history_file_.c_str());
    history_truncate_file(history_file_.c_str(), 1000);
  }
}

std::optional<std::string> PromptLineSource::Read(bool continuation) {
  std::unique_ptr<char, decltype(&std::free)> line(
      readline(continuation ? "      -> " : "velhost> "), &std::free);
  if (!line) {
    std::fputs("\n", stdout);
    return std::nullopt;
  }
  return std::string(line.get());
}

void PromptLineSource::Remember(const std::string& statement) {
  if (statement.find_first_not_of(" \t\n") == std::string::npos) return;
  add_history(statement.c_str());
}

}  // namespace velhost
